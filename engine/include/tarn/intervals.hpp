// Pieces shared by the models' prediction intervals: quantiles of the normal and Student t
// distributions, and a running estimate of the one-step error variance.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "tarn/serialize.hpp"

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
  bool known() const { return count_ > 0.0 && std::isfinite(sum_sq_); }
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

}  // namespace tarn
