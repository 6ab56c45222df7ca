// ARIMA and ARMA models.
//
// The model buffers its initial training data (min_training_data values, or a size chosen from
// the orders), then:
//   1. standardises the series (the model is equivariant under affine maps, so this only
//      protects the numerics for very large or very small magnitudes);
//   2. chooses the seasonal differencing D (0 or 1) from the strength of the season (given, or
//      found by detect_period) and the differencing d with a KPSS unit-root test, unless d is
//      given (ARMA never differences);
//   3. searches the orders p, q and the seasonal orders P, Q (0 or 1) stepwise and keeps the
//      candidate with the smallest AICc: with a small state every candidate is estimated by
//      exact Gaussian likelihood (a Kalman filter on the state-space form, started from
//      conditional-sum-of-squares estimates); with a larger one (seasonal models) candidates
//      are screened by conditional sum of squares and the best three refitted exactly. A
//      constant (mean, or drift when d + D = 1) is one of the searched choices when
//      d + D <= 1; fits with roots crowding the unit circle are not chosen;
//   4. falls back to the conditional-sum-of-squares estimates, then to simpler orders, so a fit
//      never fails outright.
// Afterwards each observation is one Kalman step on the differenced series: O(r^2) while the
// filter is still converging (or after missing values), O(r) once it has reached its steady
// state, where r = max(p + P*m, q + Q*m + 1). History is never re-read.
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

namespace arima_detail {
struct Selection;  // the model chosen for the training data (src/arima_search.hpp)
}  // namespace arima_detail

struct ArimaConfig {
  static constexpr std::int64_t kMaxOrder = 12;
  static constexpr std::int64_t kMaxSeason = 100'000;
  static constexpr std::int64_t kMaxTraining = 100'000'000;
  static constexpr std::int64_t kMaxErrorHorizon = 10'000;

  bool differencing = true;  // false: ARMA (d = D = 0, no seasonal terms)
  std::int64_t p_min = 0, p_max = 3;
  std::int64_t q_min = 0, q_max = 3;
  std::int64_t d = -1;                  // -1: chosen by a unit-root test
  std::int64_t samples_per_season = 0;  // 0: found in the data; 1: no season
  std::int64_t min_training_data = -1;  // -1: chosen from the orders
  bool force_model = false;             // fit (p_max, d, q_max) without searching
  std::int64_t error_horizon_length = 1;
  bool use_full_error_history = false;
  // Above 0: the values fed are ln(x + log_input_shift) of the series x; ARIMA fits x itself
  // and gives its forecasts back as ln(forecast + log_input_shift). Set by set_log_input.
  double log_input_shift = 0.0;
  // Above 0: the order search considers only forms with p + q + P + Q at most this (its richest
  // starting form is brought within it). The automatic selector bounds its candidate so.
  std::int64_t max_order_sum = 0;

  // Observations needed before the model fits.
  std::int64_t initial_size() const;
  void validate() const;  // throws InvalidArgument
};

// The chosen form: ARIMA(p, d, q)(P, D, Q)[m], with or without a constant.
struct ArimaOrder {
  int p = 0, d = 0, q = 0;
  int P = 0, D = 0, Q = 0;
  int m = 1;
  bool constant = false;
  std::string str() const;
};

namespace arima_detail {
// The filter's covariance matrix, shared between copies of a model until one of them changes
// it. In the filter's steady state the matrix is zero and never written, so a copy made to
// take new rows (the forecaster copies its trained models for every call) allocates nothing
// for it. Copies may live in other threads: the matrix is copied before any change while
// another copy holds it.
class SharedMatrix {
 public:
  const std::vector<double>& get() const { return p_ ? *p_ : empty(); }
  // For a change: this model's own matrix.
  std::vector<double>& own() {
    if (!p_) {
      p_ = std::make_shared<std::vector<double>>();
    } else if (p_.use_count() > 1) {
      p_ = std::make_shared<std::vector<double>>(*p_);
    }
    return *p_;
  }
  void set(std::vector<double> v) { p_ = std::make_shared<std::vector<double>>(std::move(v)); }
  void clear() { p_.reset(); }

 private:
  static const std::vector<double>& empty() {
    static const std::vector<double> none;
    return none;
  }
  std::shared_ptr<std::vector<double>> p_;
};

// Workspace that each copy of a model allocates for itself when it needs it (copies start
// without one).
struct Workspace {
  std::vector<double> v;
  Workspace() = default;
  Workspace(const Workspace&) {}
  Workspace& operator=(const Workspace&) { return *this; }
};
}  // namespace arima_detail

class Arima : public Model {
 public:
  // Farthest forecast (in grid steps); farther ones are refused rather than looped over.
  static constexpr double kMaxHorizon = 10'000'000.0;
  // Gaps (in grid steps) up to this are filtered step by step; a longer gap restarts the state
  // at the new value.
  static constexpr std::int64_t kMaxGap = 100'000;

  Arima() = default;
  explicit Arima(const ArimaConfig& cfg);

  const char* kind() const override { return cfg_.differencing ? "arima" : "arma"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Arima>(*this); }

  // Fitted form (valid once initialised).
  const ArimaOrder& order() const { return order_; }
  const std::vector<double>& ar() const { return ar_; }
  const std::vector<double>& ma() const { return ma_; }
  const std::vector<double>& seasonal_ar() const { return sar_; }
  const std::vector<double>& seasonal_ma() const { return sma_; }
  // Constant of the differenced series (its mean, or the drift), on the data's scale.
  double constant() const { return mu_ * scale_; }
  // Innovation variance on the data's scale.
  double sigma2() const { return sigma2_ * scale_ * scale_; }
  double aicc() const { return aicc_; }
  // How the fit went: empty, or which fallback was taken.
  const std::string& note() const { return note_; }
  const ArimaConfig& config() const { return cfg_; }
  // Errors of the forecasts made error_horizon_length steps ahead, since the fit.
  const ErrorHistory& errors() const { return errors_; }
  // Fits on the values buffered so far, when the series ended before the training size.
  bool fit_available() override;
  // ARIMA (not ARMA) fits the series on its own scale: its drift and differences fitted to
  // logarithms would compound into exponential growth.
  bool fit_log_input(double shift) override;

  void name_season(std::int64_t m) override;
  std::string fit_note() const override { return season_note_; }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  bool forecast_variances(std::int64_t h, double* var) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  double interval_dof() const override;
  void forecast_path_ahead(const double* h, std::size_t n, double* out) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  void fit();
  void adopt(const arima_detail::Selection& chosen);   // the chosen form's coefficients
  void filter_training(const std::vector<double>& z);  // the state at the end of the data
  void prepare();       // derived polynomials and state sizes from the coefficients
  void step(double z);  // one grid step on the standardised scale (NaN = missing)
  double forecast_z(std::int64_t h) const;  // standardised forecast h >= 1 steps ahead
  void forecast_z_path(std::size_t h, double* out) const;  // the same for 1..h at once
  void psi_shape(std::int64_t h, double* shape) const;     // sum of psi^2 up to each step
  double track_errors(double z);        // compares z with the forecast made for this step
  double from_z(double z) const;        // a standardised forecast on the data's scale
  double series_value(double z) const;  // the same before the input transform

  ArimaConfig cfg_;
  std::vector<double> buffer_;  // initial training data (NaN = missing) until fitted
  bool fitted_ = false;

  ArimaOrder order_;
  std::vector<double> ar_, ma_, sar_, sma_;
  double mu_ = 0.0;      // constant of the differenced standardised series
  double sigma2_ = 0.0;  // innovation variance, standardised scale
  double aicc_ = 0.0;
  double loc_ = 0.0, scale_ = 1.0;  // z = (y - loc) / scale
  std::string note_;
  std::string season_note_;  // a season it was told and left out (fit_note; not saved)

  // Online state.
  std::vector<double> ring_;      // latest d + D*m standardised values, oldest first
  std::vector<double> a_;         // filtered state of the ARMA part
  arima_detail::SharedMatrix P_;  // its covariance (r x r, row-major, unit innovation variance)
  bool steady_ = false;           // filter converged: P is zero and updates cost O(r)
  std::int64_t steps_ = 0;        // grid steps since the fit
  ErrorHistory errors_;
  std::vector<std::int64_t> pending_at_;  // forecasts waiting for their observation
  std::vector<double> pending_;
  ErrorVariance variance_;  // one-step prediction errors, standardised scale
  HorizonCalibration calibration_;

  // Derived (not serialised).
  std::vector<double> phi_;    // AR polynomial expanded with its seasonal factor, length r
  std::vector<double> rvec_;   // (1, theta_1, ..., theta_{r-1})
  std::vector<double> delta_;  // y_t = w_t + sum_k delta_k y_{t-k}
  int r_ = 0;
  arima_detail::Workspace scratch_;  // filter workspace
};

// The same machinery with d = D = 0 and no seasonal terms; its own model kind "arma".
class Arma : public Arima {
 public:
  Arma();
};

std::unique_ptr<Model> build_arima(const Options& options);
std::unique_ptr<Model> build_arma(const Options& options);

namespace arima_detail {
// Exposed for tests.
// KPSS level-stationarity statistic (short lag truncation).
double kpss_statistic(const std::vector<double>& x);
// Number of differences (0..max_d) after which KPSS no longer rejects at the 5% level.
int choose_d(std::vector<double> x, int max_d);
// Strength of the season of length m in [0, 1] (classical decomposition).
double seasonal_strength(const std::vector<double>& x, int m);
}  // namespace arima_detail

}  // namespace tarn

#pragma GCC visibility pop
