// Information criteria that rank the candidate forms of a model. `m2ll` is -2 log likelihood,
// or any criterion that differs from it by a constant shared by every candidate of the same
// data; k counts the estimated quantities (parameters and initial states, plus the innovation
// variance where the caller counts it), n the observations they were estimated from.
#pragma once

namespace tarn {
namespace detail {

// Akaike's criterion.
inline double aic(double m2ll, double k) {
  return m2ll + 2.0 * k;
}

// Akaike's criterion with the small-sample correction. Meaningful only for n > k + 1; the
// caller decides what a smaller sample scores.
inline double aicc(double m2ll, double k, double n) {
  return m2ll + 2.0 * k + 2.0 * k * (k + 1.0) / (n - k - 1.0);
}

}  // namespace detail
}  // namespace tarn
