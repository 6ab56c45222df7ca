// Season-length detection.
#pragma once

#include <cstddef>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// The dominant season length of x[0..n) between 2 and upper_limit (inclusive) with at least
// three cycles in the data, or 1 when the data show no significant seasonality. NaN values are
// treated as missing.
int detect_period(const double* x, std::size_t n, int upper_limit = 200);

}  // namespace tarn

#pragma GCC visibility pop
