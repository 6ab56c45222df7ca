// Forecast accuracy metrics.
#pragma once

#include <cstddef>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct Metrics {
  double mae = 0.0;
  double mse = 0.0;
  double r2 = 0.0;
  double smape = 0.0;     // percent, 0..200
  std::size_t count = 0;  // positions that counted
};

// Accuracy of `pred` against `truth` (n values each). Positions whose truth is NaN do not
// count. A prediction that is NaN or infinite where the truth is known makes every metric NaN
// (a missing forecast is not an accurate one). With no position counting, every metric is NaN.
// SMAPE counts a position where both values are 0 as a perfect forecast. R2 is 1 for a
// perfect forecast of a constant truth and 0 for an imperfect one.
Metrics compute_metrics(const double* truth, const double* pred, std::size_t n);

}  // namespace tarn

#pragma GCC visibility pop
