// Regression on external regressors, composed with a model of the remainder.
//
// y_t = x_t'b + e_t, where x_t holds k regressors known for every observation and for every
// forecast step (temperatures, prices, promotions, holidays), and e_t follows the wrapped
// ("inner") model. The regression and the inner model form one model of its own kind
// ("regression"), saved with the inner model's state inside its own.
//
// Estimation (train()):
// - ARIMA and ARMA errors: regression with ARIMA errors, estimated jointly. b starts from OLS on
//   the differenced data (ARMA: the levels with an intercept); then the two parts are
//   maximised in turn until b settles: the ARIMA part by its exact likelihood given b (its own
//   order search on y - Xb), and b by GLS given the ARIMA part (the differenced y and x
//   whitened by the same Kalman filter, whose innovations are linear in the data, so OLS on
//   them is the exact-likelihood estimate of b). The covariance of b is the GLS covariance.
// - The automatic selector: b estimated jointly with ARIMA errors as above (an ARIMA search of
//   its own on the training data), shared by every candidate: the selector trains on y - Xb, so
//   its ARIMA candidate refits the ARIMA part given b and the others model the same remainder.
// - Every other model (exponential smoothing, theta, BATS, the seasonal naive):
//   b by OLS on the first differences with an intercept (which leaves the level, the trend and
//   slowly moving seasons to the inner model), then the inner model trained on y - Xb. The
//   covariance of b is the OLS one of that regression.
// - The intermittent family (demand sizes and intervals of a count series) cannot take
//   regressors: InvalidArgument naming it. So can no regression inside another.
//
// Afterwards an observation costs O(k) plus the inner model's update (update(t, y, x)); a
// forecast path of h steps costs O(h k) plus the inner model's path, with the future regressors
// paired with the forecast times. Interval variances add x'Var(b)x to the inner model's.
//
// The model interface without regressors is refused rather than guessed: Model::update(t, y)
// and forecasts without the future regressors throw InvalidArgument.
//
// Told with set_log_input(shift) that its values are ln(y + shift) (the forecaster's log
// transform), the regression undoes the transform: b is estimated on the series' own scale (the
// effects of the regressors are additive, in the series' units) and the inner model fits the
// remainder there; forecasts and interval bounds go back as ln(f + shift).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

class Regression : public Model {
 public:
  // Largest number of regressors.
  static constexpr std::size_t kMaxRegressors = 1000;

  Regression() = default;
  // `inner`: the untrained model of the remainder; `n_regressors` >= 1. InvalidArgument for a
  // model kind that cannot take regressors (naming it) or a count out of range.
  Regression(std::unique_ptr<Model> inner, std::size_t n_regressors);
  Regression(const Regression& other);
  Regression& operator=(const Regression&) = delete;

  const char* kind() const override { return "regression"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Regression>(*this); }

  // Throws InvalidArgument when a model of this kind cannot take regressors.
  static void check_inner_kind(const std::string& kind);

  // Estimates the regression on n observations (times t, values y, regressors x: n rows of k,
  // row-major; NaN values are missing observations), then feeds the inner model the remainder.
  // Forgets whatever the model had seen. InvalidArgument (naming the regressor and the row) for
  // a regressor that is not finite.
  void train(const std::int64_t* t, const double* y, const double* x, std::size_t n);
  // One newer observation with its k regressors: O(k) plus the inner model's update. Throws as
  // Model::update, and InvalidArgument for a regressor that is not finite or before train().
  void update(std::int64_t t, double y, const double* x);
  // Forecasts at n times (as Model::forecast_at), x[i * k ...] the regressors at time t[i].
  void forecast_at(const double* t, std::size_t n, const double* x, double* out) const;
  // Prediction intervals at n times (as Model::forecast_interval_at) with their regressors.
  void forecast_interval_at(const double* t, std::size_t n, double coverage, const double* x,
                            double* lower, double* upper) const;

  std::size_t n_regressors() const { return k_; }
  // Coefficients and their covariance (k x k, row-major); empty before train().
  const std::vector<double>& coefficients() const { return b_; }
  const std::vector<double>& covariance() const { return cov_; }
  std::vector<double> standard_errors() const;
  // Estimated jointly with ARIMA errors (ARIMA, ARMA, the selector; else OLS on differences).
  bool joint() const { return joint_; }
  const Model* inner() const { return inner_.get(); }
  bool fit_available() override;
  bool fit_log_input(double shift) override;
  // Passed on to the model of the residuals.
  void set_calendar_seasons(const std::vector<double>& seasons) override;
  // Above 0: the values fed are ln(y + shift).
  double log_input_shift() const { return log_shift_; }

  void name_season(std::int64_t m) override;

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override;
  void clear() override;
  double forecast_ahead(double h) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  double fitted_part(const double* x) const;    // x'b
  double variance_part(const double* x) const;  // x'Var(b)x
  void check_row(const double* x, std::int64_t t) const;
  void feed(std::int64_t t, double y, const double* x);  // y on the series' own scale

  std::unique_ptr<Model> inner_;
  std::size_t k_ = 0;
  std::vector<double> b_, cov_;
  bool joint_ = false;
  bool trained_ = false;
  double log_shift_ = 0.0;
  // While update(t, y, x) feeds the base time axis: the remainder for the inner model.
  bool feeding_ = false;
  std::int64_t feed_t_ = 0;
  double feed_value_ = 0.0;
};

// The same helpers for any model: with regressors when it is a Regression (x must then hold
// its regressors), the model's own operations otherwise (x ignored, may be null).
void forecast_with(const Model& m, const double* t, std::size_t n, const double* x, double* out);
void interval_with(const Model& m, const double* t, std::size_t n, double coverage, const double* x,
                   double* lower, double* upper);
// The number of regressors a model takes (0: none).
std::size_t regressors_of(const Model& m);

}  // namespace tarn

#pragma GCC visibility pop
