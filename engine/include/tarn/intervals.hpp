// Pieces shared by the models' prediction intervals: quantiles of the normal and Student t
// distributions, and a running estimate of the one-step error variance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "tarn/serialize.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Quantile of the standard normal distribution, 0 < p < 1 (Acklam's rational approximation
// refined by one Halley step; relative error below 1e-12).
double normal_quantile(double p);
// Quantile of Student's t distribution with `dof` degrees of freedom (infinite: the normal).
double student_quantile(double p, double dof);

// Running sum of squared one-step forecast errors. The variance divides by the errors counted
// less the parameters estimated from them, so a model fitted on few values does not understate
// its uncertainty. O(1) per error.
class ErrorVariance {
 public:
  void reset(double parameters = 0.0) {
    sum_sq_ = 0.0;
    count_ = 0.0;
    params_ = parameters;
  }
  void set_parameters(double k) { params_ = k; }
  void add(double e) {
    // An error whose square overflows tells nothing usable; the sum stays finite.
    const double s = sum_sq_ + e * e;
    if (!std::isfinite(s)) return;
    sum_sq_ = s;
    count_ += 1.0;
  }
  // Takes `n` errors of mean square `mean_sq` at once (states that kept only a summary).
  void add_summary(double mean_sq, double n) {
    if (!(n > 0.0) || !std::isfinite(sum_sq_ + mean_sq * n)) return;
    sum_sq_ += mean_sq * n;
    count_ += n;
  }
  // Known once the errors outnumber the parameters: errors that the fitted parameters could
  // absorb entirely (the first value, which also set the initial state) say nothing of the
  // spread, and a zero-width band from them would claim certainty.
  bool known() const { return count_ > params_ && std::isfinite(sum_sq_); }
  double count() const { return count_; }
  double parameters() const { return params_; }
  // Degrees of freedom left for the variance (at least one).
  double dof() const { return std::max(count_ - params_, 1.0); }
  double variance() const { return known() ? sum_sq_ / dof() : 0.0; }

  void save(Writer& w) const {
    w.put<double>(sum_sq_);
    w.put<double>(count_);
    w.put<double>(params_);
  }
  void load(Reader& r) {
    sum_sq_ = r.get<double>();
    count_ = r.get<double>();
    params_ = r.get<double>();
    if (!(sum_sq_ >= 0.0) || !(count_ >= 0.0) || !(params_ >= 0.0) || !std::isfinite(sum_sq_) ||
        !std::isfinite(count_) || !std::isfinite(params_)) {
      throw FormatError("model state: bad error variance");
    }
  }

 private:
  double sum_sq_ = 0.0;
  double count_ = 0.0;
  double params_ = 0.0;
};

// How the spread of a model's errors grows with the horizon, measured on its own training data:
// from every origin, the errors of the 1..H step forecasts in units of the standard deviation
// the model's formula gives them. The factor of step k is the mean square of those units at k
// over the one at step 1, so the one-step variance stays the model's own estimate and only the
// growth with the horizon follows what the data showed (a trend that wanders more than the
// fitted model allows, or less than an over-reactive fit claims). Callers keep the calibrated
// variances non-decreasing in the horizon. Each step's mean starts from one prior unit at the
// formula's value. Steps past H keep the factor of step H.
//
// A step scored from fewer than kMinOrigins origins (the far steps of a short series) is not
// calibrated on its own: its few errors would as likely narrow the band as widen it. The scaled
// errors of every step are pooled instead (the scaling by the formula's variance is what makes
// the horizons comparable, as in conformal prediction with normalised scores: Vovk, Gammerman
// & Shafer 2005, ch. 2; for forecasts over several horizons, Stankeviciute, Alaa & van der
// Schaar 2021), and the band is the larger of that pooled calibration and the formula's own.
class HorizonCalibration {
 public:
  // The fewest scores with which a finite-sample 95% quantile exists: the ceil((N + 1) 0.95)-th
  // smallest of N scores needs N >= 19.
  static constexpr double kMinOrigins = 19.0;

  void start(std::size_t horizons) {
    sum_.assign(horizons, 0.0);
    count_.assign(horizons, 0.0);
    factor_.clear();
    fixed_.reset();
  }
  std::size_t horizons() const { return sum_.size(); }
  // Squared error of a k-step forecast (k >= 1) over the variance the formula gives it.
  void add(std::size_t k, double ratio) {
    if (k < 1 || k > sum_.size() || !std::isfinite(ratio)) return;
    sum_[k - 1] += ratio;
    count_[k - 1] += 1.0;
  }
  // `variance`: the one-step variance the ratios were not yet divided by.
  void finish(double variance = 1.0) {
    fixed_.reset();
    factor_.assign(sum_.size(), 1.0);
    if (sum_.empty()) return;
    if (variance > 0.0 && std::isfinite(variance) && variance != 1.0) {
      for (double& v : sum_) v /= variance;
    }
    const double base = (1.0 + sum_[0]) / (1.0 + count_[0]);
    double pooled_sum = 0.0, pooled_count = 0.0;
    for (std::size_t k = 0; k < sum_.size(); ++k) {
      pooled_sum += sum_[k];
      pooled_count += count_[k];
    }
    double pooled = std::max((1.0 + pooled_sum) / (1.0 + pooled_count) / base, 1.0);
    if (!std::isfinite(pooled)) pooled = 1.0;  // sums beyond a double tell nothing usable
    for (std::size_t k = 0; k < sum_.size(); ++k) {
      factor_[k] = count_[k] < kMinOrigins ? pooled : (1.0 + sum_[k]) / (1.0 + count_[k]) / base;
    }
    sum_.clear();
    count_.clear();
    fix();
  }
  // Factor for step k >= 1.
  double factor(std::int64_t k) const {
    const std::vector<double>& f = factors();
    if (f.empty()) return 1.0;
    const auto i = static_cast<std::size_t>(std::min<std::int64_t>(k, f.size()) - 1);
    return f[i];
  }
  void clear() {
    sum_.clear();
    count_.clear();
    factor_.clear();
    fixed_.reset();
  }
  void save(Writer& w) const { w.put_vector(factors()); }
  void load(Reader& r) {
    factor_ = r.get_vector<double>();
    for (double f : factor_) {
      if (!(f > 0.0) || !std::isfinite(f)) throw FormatError("model state: bad horizon factor");
    }
    fix();
  }

 private:
  // The factors, fixed once computed or loaded: shared, never changed, by the copies of a
  // model (a copy made for new rows allocates nothing for them).
  void fix() {
    fixed_.reset();
    if (!factor_.empty()) fixed_ = std::make_shared<const std::vector<double>>(std::move(factor_));
    factor_.clear();
  }
  const std::vector<double>& factors() const {
    static const std::vector<double> none;
    return fixed_ ? *fixed_ : none;
  }
  std::vector<double> sum_, count_;
  std::vector<double> factor_;  // being computed or read (empty otherwise)
  std::shared_ptr<const std::vector<double>> fixed_;
};

}  // namespace tarn

#pragma GCC visibility pop
