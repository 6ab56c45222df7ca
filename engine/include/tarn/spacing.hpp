// Regularity of the spacing of timestamps.
//
// The spacings of sorted timestamps (differences of consecutive ones) are regular enough when
// their coefficient of variation, 100 * standard deviation / mean, is at most 20 (percent).
// The statistics are computed in long double from the raw numbers; a caller that needs the
// decision exactly as another computation would make it asks `regularity` whether the result
// is clear-cut and settles the close cases with that computation.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn::spacing {

// Largest coefficient of variation (percent) of regularly spaced timestamps.
constexpr double kMaxVariationPercent = 20.0;

struct Stats {
  double mean = 0.0;
  double stdev = 0.0;  // sample standard deviation (n - 1 in the denominator)
};

// Mean and standard deviation of the spacings of x[0..n), when there are at least two spacings
// and every one is finite and exact; false otherwise (*out then unspecified):
// - of_ticks: date-time ticks, `ticks_per_second` ticks a second, spacings in seconds (the
//   tick difference divided in double). A missing date (INT64_MIN, numpy's NaT), a difference
//   that overflows or whose magnitude exceeds 2^53 ticks give false.
// - of_integers: plain integers; a difference that overflows gives false.
// - of_reals: doubles; a non-finite difference gives false.
// A mean or standard deviation that is not finite gives false too.
bool of_ticks(const std::int64_t* x, std::size_t n, double ticks_per_second, Stats* out);
bool of_integers(const std::int64_t* x, std::size_t n, Stats* out);
bool of_reals(const double* x, std::size_t n, Stats* out);

enum class Regularity { regular, irregular, undecided };

// regular or irregular when the statistics settle it beyond rounding; undecided when the mean
// is zero, negative or tiny (1e-250 or less) or the coefficient of variation lies within 1e-7
// of the limit.
Regularity regularity(const Stats& s);

}  // namespace tarn::spacing

#pragma GCC visibility pop
