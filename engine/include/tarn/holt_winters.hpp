// Holt-Winters exponential smoothing: level, (damped) trend and an additive or multiplicative
// season.
//
// The model collects its initial training data (samples_per_season * initial_training_seasons
// values, or number_of_samples values when it finds the season length itself), then estimates
// the smoothing parameters and the initial level and trend by maximum likelihood (Nelder-Mead),
// choosing among the trend forms none / linear / damped and, when the season is computed,
// between a seasonal and a non-seasonal model by AICc. Afterwards each observation costs O(1).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/error_history.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Which error forms a fit considers. Errors proportional to the level (multiplicative errors,
// Hyndman, Koehler, Snyder & Grose 2002) keep the recursion of the point forecasts and change
// the likelihood, hence the estimates, and the forecast variance, which grows with the level.
// They need strictly positive data. A multiplicative season always has multiplicative errors:
// with additive ones it is numerically unstable (Hyndman et al. 2008, section 2.5.1 / 15.1).
enum class HoltWintersErrors : std::uint8_t {
  Chosen = 0,          // both, for positive data; the lower AICc wins
  Additive = 1,        // additive errors (but for a multiplicative season)
  Multiplicative = 2,  // multiplicative errors for positive data, else additive
};

struct HoltWintersConfig {
  std::int64_t samples_per_season = 2;  // season length m; 1 = no season
  std::int64_t initial_training_seasons = 2;
  bool multiplicative = false;
  // With strictly positive data, try the seasonal forms both additive and multiplicative and
  // keep the lower AICc (the automatic selector's candidate does).
  bool choose_season_form = false;
  HoltWintersErrors errors = HoltWintersErrors::Chosen;
  bool compute_seasonality = true;     // false: never fit a seasonal component
  bool find_season_length = false;     // true: detect m in the first number_of_samples values
  std::int64_t number_of_samples = 0;  // with find_season_length
  std::int64_t error_history_length = 2;
  bool use_full_error_history = false;

  // Observations needed before the model fits.
  std::int64_t initial_size() const;
  void validate() const;  // throws InvalidArgument
};

class HoltWinters : public Model {
 public:
  // Largest initial training size and season length accepted (a season fits in the initial
  // data; the forecaster's default season is a quarter of its training series).
  static constexpr std::int64_t kMaxInitial = 100'000'000;
  static constexpr std::int64_t kMaxSeason = kMaxInitial;
  // Initial samples longer than this are fitted on their latest values (at least 3 seasons).
  static constexpr std::size_t kFitWindow = 20'000;
  // Steps whose multiplicative-error variance is computed exactly (the cost is quadratic).
  static constexpr std::int64_t kExactVarianceSteps = 400;

  HoltWinters() = default;
  explicit HoltWinters(const HoltWintersConfig& cfg);

  const char* kind() const override { return "hws"; }
  std::string describe() const override;
  std::string fit_note() const override { return note_; }
  std::unique_ptr<Model> clone() const override { return std::make_unique<HoltWinters>(*this); }

  // Fitted form (valid once initialised).
  std::int64_t season_length() const { return season_ ? m_ : 1; }
  bool seasonal() const { return season_; }
  bool multiplicative() const { return mult_; }
  bool has_trend() const { return trend_; }
  // Errors proportional to the level (the one-step variance is relative to the forecast).
  bool multiplicative_errors() const { return relative_errors_; }
  double alpha() const { return alpha_; }
  double beta() const { return beta_; }
  double gamma() const { return gamma_; }
  double phi() const { return phi_; }
  double level() const { return level_; }
  double slope() const { return slope_; }
  const HoltWintersConfig& config() const { return cfg_; }
  const ErrorHistory& errors() const { return errors_; }
  // Fits on the values buffered so far, when the series ended before the training size.
  bool fit_available() override;

 protected:
  void observe(double value, std::int64_t gap) override;
  // Fed logarithms, the model still fits them, with additive errors only (see fit()).
  bool fit_log_input(double shift) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  bool forecast_variances(std::int64_t h, double* var) const override;
  double interval_dof() const override { return variance_.dof(); }
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  void fit();
  double forecast_int(std::int64_t h) const;
  void skip(std::int64_t steps);  // missing observations: state moves on without correction
  void step(double y);
  void to_additive();
  // c_j^2 of the h-step variance (see forecast_variances).
  double shape_step(std::int64_t j) const;

  HoltWintersConfig cfg_;
  bool log_input_ = false;           // the values fed are logarithms of the series
  std::vector<double> buffer_;       // initial training data (NaN = missing) until fitted
  std::size_t buffered_values_ = 0;  // non-missing values in buffer_

  bool fitted_ = false;
  bool season_ = false, mult_ = false, trend_ = false;
  std::int64_t m_ = 1;
  std::int64_t pos_ = 0;  // season index of the next observation
  double alpha_ = 0, beta_ = 0, gamma_ = 0, phi_ = 1;
  double level_ = 0, slope_ = 0;
  std::vector<double> s_;
  std::string note_;  // why the fitted form differs from the configured one
  ErrorHistory errors_;
  // One-step errors for the intervals: relative to the forecast when the errors are
  // proportional to the level, absolute otherwise.
  bool relative_errors_ = false;
  ErrorVariance variance_;
  HorizonCalibration calibration_;
};

namespace detail {
// -2 log-likelihood, up to constants, of y under the smoothing recursion started from the
// states l0, b0 and s0 (s0 empty: no season; phi = 1: undamped trend): n log(sum e_t^2 / n)
// for additive errors, n log(sum (e_t / mu_t)^2 / n) + 2 sum log mu_t for multiplicative ones
// (mu_t the one-step forecast), so both are densities of the same data and compare by AICc.
// Infinite when the run leaves the admissible region. NaN values are missing.
double holt_winters_minus2_loglik(const std::vector<double>& y, bool trend, double phi,
                                  bool mult_season, bool mult_errors, double alpha, double beta,
                                  double gamma, double l0, double b0,
                                  const std::vector<double>& s0);

// The initial states of the additive-error recursion (additive season of m values summing to
// zero, none for m = 1) that minimise the squared one-step errors of y for the given smoothing
// parameters: l0, b0 (0 without a trend) and s0. False, states untouched, when the problem is
// degenerate or m - 1 exceeds 62 seasonal states. NaN values are missing.
bool holt_winters_least_squares_states(const std::vector<double>& y, bool trend, double phi,
                                       double alpha, double beta, double gamma, std::size_t m,
                                       double& l0, double& b0, std::vector<double>& s0);
}  // namespace detail

// Builder "hws": samples_per_season, initial_training_seasons, algorithm_type, error_type
// ("auto", "additive" or "multiplicative"), compute_seasonality, error_history_length,
// use_full_error_history; or is_season_length=false with number_of_samples (and
// algorithm_type, error_type).
std::unique_ptr<Model> build_holt_winters(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
