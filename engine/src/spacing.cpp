// Regularity of the spacing of timestamps.
#include "tarn/spacing.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace tarn::spacing {

namespace {

bool finish(const std::vector<long double>& d, Stats* out) {
  if (d.size() < 2) return false;
  long double sum = 0;
  for (long double v : d) sum += v;
  const long double m = sum / static_cast<long double>(d.size());
  long double ss = 0;
  for (long double v : d) ss += (v - m) * (v - m);
  out->mean = static_cast<double>(m);
  out->stdev = static_cast<double>(std::sqrt(ss / static_cast<long double>(d.size() - 1)));
  return std::isfinite(out->mean) && std::isfinite(out->stdev);
}

}  // namespace

bool of_ticks(const std::int64_t* x, std::size_t n, double ticks_per_second, Stats* out) {
  constexpr std::int64_t kMissing = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  std::vector<long double> d;
  d.reserve(n);
  for (std::size_t i = 1; i < n; ++i) {
    if (x[i] == kMissing || x[i - 1] == kMissing) return false;
    std::int64_t diff;
    if (__builtin_sub_overflow(x[i], x[i - 1], &diff) || diff > kExact || diff < -kExact) {
      return false;
    }
    d.push_back(static_cast<double>(diff) / ticks_per_second);
  }
  return finish(d, out);
}

bool of_integers(const std::int64_t* x, std::size_t n, Stats* out) {
  std::vector<long double> d;
  d.reserve(n);
  for (std::size_t i = 1; i < n; ++i) {
    std::int64_t diff;
    if (__builtin_sub_overflow(x[i], x[i - 1], &diff)) return false;
    d.push_back(static_cast<long double>(diff));
  }
  return finish(d, out);
}

bool of_reals(const double* x, std::size_t n, Stats* out) {
  std::vector<long double> d;
  d.reserve(n);
  for (std::size_t i = 1; i < n; ++i) {
    const double diff = x[i] - x[i - 1];
    if (!std::isfinite(diff)) return false;
    d.push_back(diff);
  }
  return finish(d, out);
}

Regularity regularity(const Stats& s) {
  const double cv = 100.0 * s.stdev / s.mean;
  if (s.mean > 1e-250 && std::fabs(cv - kMaxVariationPercent) > 1e-7) {
    return cv > kMaxVariationPercent ? Regularity::irregular : Regularity::regular;
  }
  return Regularity::undecided;
}

}  // namespace tarn::spacing
