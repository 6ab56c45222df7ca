// The forecasting engine's model interface.
//
// Every forecaster of the engine (Holt-Winters, ARIMA, ARMA, BATS, the automatic selector, ...)
// derives from tarn::Model. The base class owns the time axis: it checks that observations
// arrive in time order, maps integer timestamps onto the model's regular grid of steps
// (a gap of k grid steps is k - 1 missing observations), tracks the latest timestamp and the
// mean spacing, and frames the binary state. A derived model only sees values on its grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarn/serialize.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Base of every error the engine raises.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A configuration or an argument the engine cannot work with.
class InvalidArgument : public Error {
 public:
  using Error::Error;
};
// An observation whose timestamp is not newer than the latest one. The caller may skip it.
class StaleUpdate : public Error {
 public:
  using Error::Error;
};
// An observation or a forecast time further from the latest observation than the engine spans
// (Model::kMaxGapSteps grid steps): almost always timestamps in mixed units. Nothing changes.
class GapTooLarge : public InvalidArgument {
 public:
  using InvalidArgument::InvalidArgument;
};
// A forecast was asked of a model that has not seen enough data yet.
class NotInitialized : public Error {
 public:
  using Error::Error;
};

// Longest forecast path forecast_path() computes.
constexpr std::size_t kMaxForecastPath = 1'000'000;

class Model {
 public:
  virtual ~Model() = default;

  // Short name of the model kind ("hws", "arima", ...); also its tag in serialised state.
  virtual const char* kind() const = 0;
  // A human-readable description of the configuration and, once fitted, the chosen model.
  virtual std::string describe() const;
  // How the fit departs from what the configuration asked for (a season it could not carry, a
  // form it had to change), for the caller to pass on as a warning; empty when it does not.
  virtual std::string fit_note() const { return {}; }

  // Longest stretch, in grid steps, between the latest observation and the next one or a
  // forecast time (a trillion steps: billions of years of daily data). Beyond it the gap
  // cannot stand for missing observations the models could account for.
  static constexpr double kMaxGapSteps = 1e12;

  // Feeds one observation. `t` must be greater than last_time(), otherwise StaleUpdate is
  // thrown and nothing changes. A NaN value is a missing observation: it advances time only.
  // A `t` more than kMaxGapSteps grid steps after the latest observation throws GapTooLarge
  // and changes nothing.
  void update(std::int64_t t, double value);
  // Throws the GapTooLarge that update(t, ...) would throw; nothing otherwise.
  void check_reachable(std::int64_t t) const;
  // Feeds a series in time order (equal lengths). Stops with StaleUpdate at the first
  // timestamp that is not newer than the one before it; everything before it is kept.
  void update(const std::int64_t* t, const double* values, std::size_t n);
  void update(const std::vector<std::int64_t>& t, const std::vector<double>& values);

  // True once the model can forecast.
  bool is_initialized() const { return ready(); }
  // For a model still collecting its training values when its series has ended: fits on the
  // values seen so far if the model knows how to, and returns is_initialized(). The default
  // does nothing.
  virtual bool fit_available() { return ready(); }
  // Says that the values to be fed are ln(x + shift) of the series x. A model that can fit on
  // the series' own scale does so, keeps forecasting on the scale it is fed, and returns true.
  // Any other takes the values as they are and returns false; its forecasts and interval bounds
  // then bend below ln of the largest double (from 706 on, still increasing), so that the
  // caller can take exp of them. Only before the first observation (later: ignored, false).
  bool set_log_input(double shift);
  // Tells a model that finds its own seasons which ones the calendar of its data implies
  // (calendar::calendar_seasons, in grid steps) so that it tests them; only before the first
  // observation (later: ignored). The default ignores them.
  virtual void set_calendar_seasons(const std::vector<double>& /*seasons*/) {}
  // The season the caller names (in steps; 1: none), before the first observation (later:
  // ignored). A model that finds its season in the data takes this one instead and still tests
  // by its own criterion whether the data show it; a model built with a season of its own keeps
  // that. The default carries no season of its own finding and ignores it.
  virtual void name_season(std::int64_t /*m*/) {}
  // Forgets every observation (the configuration stays).
  void reset();

  // Forecast for time `t` (on the timestamp axis). Times at or before the latest observation
  // give the one-step forecast. Throws NotInitialized before the model is ready, GapTooLarge
  // for a time more than kMaxGapSteps grid steps ahead.
  double forecast_at(double t) const;
  // Forecast `h` grid steps past the latest observation (h >= 1; fractional h interpolates).
  double forecast_steps(double h) const;
  // The forecasts for n times at once: out[i] is exactly forecast_at(t[i]). Models whose single
  // forecast walks the path up to its step compute the whole path once, so n times in order
  // cost O(n + farthest step) together instead of O(n * farthest step).
  void forecast_at(const double* t, std::size_t n, double* out) const;
  // The same for n step counts: out[i] is exactly forecast_steps(h[i]).
  void forecast_steps(const double* h, std::size_t n, double* out) const;
  // The path 1, 2, ..., h grid steps past the latest observation (out holds h values);
  // InvalidArgument for h above kMaxForecastPath.
  void forecast_path(std::size_t h, double* out) const;

  // Farthest interval horizon, in grid steps (a path costs memory and time in proportion).
  static constexpr double kMaxIntervalSteps = 1e6;
  // Prediction intervals: the quantiles (1 - coverage) / 2 and (1 + coverage) / 2 of the
  // forecast distribution, 0 < coverage < 1. The path fills lower[k - 1] and upper[k - 1] for
  // k = 1..h grid steps past the latest observation, at O(h) cost after the point forecasts.
  // Throws NotInitialized before the model is ready or while it knows nothing of its errors
  // yet, and InvalidArgument for a coverage outside (0, 1).
  void forecast_interval_path(std::int64_t h, double coverage, double* lower, double* upper) const;
  // The interval at time `t` (times at or before the latest observation: one step ahead);
  // fractional steps interpolate between the neighbouring grid steps.
  std::pair<double, double> forecast_interval_at(double t, double coverage) const;
  std::pair<double, double> forecast_interval_steps(double h, double coverage) const;
  // Quantile p (0 < p < 1) of the forecast distribution at h >= 1 grid steps, on the scale the
  // model is fed, for a model that knows its distribution's quantiles itself (an atom at zero,
  // which bounds about the point forecast cannot place); NaN for the others, whose quantiles
  // are the bounds of their intervals. NotInitialized before the model is ready.
  double own_quantile(double h, double p) const;
  // own_quantile at n times (as forecast_interval_at takes them) into out; false, leaving out
  // alone, for a model whose quantiles are the bounds of its intervals.
  bool own_quantile_at(const double* t, std::size_t n, double p, double* out) const;
  // Degrees of freedom left to the model's estimate of its one-step error variance (infinity:
  // its intervals take normal quantiles).
  double error_dof() const { return interval_dof(); }
  // The intervals at n times at once, from one interval path as long as the farthest of them:
  // O(n + farthest step) in all. The same values as forecast_interval_at time by time.
  void forecast_interval_at(const double* t, std::size_t n, double coverage, double* lower,
                            double* upper) const;

  // Timestamp of the latest observation; -1 before any.
  std::int64_t last_time() const { return n_obs_ ? last_t_ : -1; }
  // Mean spacing of the observed timestamps; 1 before two observations were seen.
  double average_interval() const;
  // Grid step (the smallest spacing seen while the model was being initialised); 1 by default.
  std::int64_t grid_step() const { return step_; }
  // Number of observations fed (missing values included).
  std::uint64_t observations() const { return n_obs_; }

  virtual std::unique_ptr<Model> clone() const = 0;

  // Compact, versioned binary state; deserialize() gives an independent equal copy and throws
  // FormatError on anything it cannot read.
  std::string serialize() const;
  static std::unique_ptr<Model> deserialize(const std::string& bytes);
  // Puts this model back into the state `bytes` written by serialize() of a model of the same
  // kind (configuration, time axis and fit alike); throws FormatError, leaving the model as it
  // was, for a state it cannot read or of another kind.
  void restore(const std::string& bytes);

 protected:
  // set_log_input for a model that fits the series' own scale: true when it does.
  virtual bool fit_log_input(double /*shift*/) { return false; }
  // One value on the grid. `gap` >= 1 is the number of grid steps since the previous
  // observation (gap - 1 values were missing); `value` may be NaN.
  virtual void observe(double value, std::int64_t gap) = 0;
  virtual bool ready() const = 0;
  virtual void clear() = 0;
  // Forecast `h` >= 1 grid steps past the latest observation; only called when ready().
  virtual double forecast_ahead(double h) const = 0;
  // Interval path for 1..h grid steps (only called when ready(), 0 < coverage < 1). The
  // default: point forecasts plus or minus the t quantile (interval_dof() degrees of freedom)
  // times the standard deviations from forecast_variances(). Models whose forecast
  // distribution is not symmetric (transformed scales) override it.
  virtual void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const;
  // own_quantile's value (only called when ready(), h >= 1); NaN by default.
  virtual double own_quantile_ahead(double h, double p) const;
  // Variances of the 1..h step forecast errors; false when the model cannot tell them yet.
  virtual bool forecast_variances(std::int64_t h, double* var) const;
  // Degrees of freedom of the variance estimate (infinity: normal quantiles).
  virtual double interval_dof() const;
  // forecast_ahead of n step counts, each already >= 1 (not NaN); only called when ready().
  // The default asks forecast_ahead for each; an override must give the same values.
  virtual void forecast_path_ahead(const double* h, std::size_t n, double* out) const;
  virtual void save(Writer& w) const = 0;
  virtual void load(Reader& r) = 0;

 private:
  // Throws GapTooLarge when `dt` (time units past the latest observation) is more than
  // kMaxGapSteps grid steps; the message starts with `what` ("observation at " or ""),
  // then names the time `t`.
  void check_gap(const char* what, double t, double dt) const;
  static std::string open_state(const std::string& bytes, Reader& r);
  // A forecast or bound as the model gives it out: beyond e^690 (logarithms fed: beyond 706)
  // bent below the largest double (its exponential), still increasing.
  double fed_scale(double v) const;
  void read_state(Reader& r);

  std::int64_t first_t_ = 0;
  std::int64_t last_t_ = 0;
  std::int64_t step_ = 1;
  bool step_known_ = false;
  std::uint64_t n_obs_ = 0;
  bool bend_logs_ = false;  // fed logarithms it does not fit itself (set_log_input)
};

// Factory registry used by deserialize(): every model kind maps to a default constructor.
using ModelFactory = std::unique_ptr<Model> (*)();
// The engine's own kinds: every entry of the table of models (model_table.hpp).
std::map<std::string, ModelFactory> builtin_model_kinds();
// Adds or replaces a kind at run time (tests, extensions).
void register_model_kind(const std::string& kind, ModelFactory factory);

template <class M>
std::unique_ptr<Model> make_default() {
  return std::make_unique<M>();
}

}  // namespace tarn

#pragma GCC visibility pop
