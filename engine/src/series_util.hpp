// Helpers shared by the BATS, theta, seasonal-naive and automatic-selector models: cleaning the
// initial training series for estimation, scaling, classical seasonal decomposition and a few
// numeric kernels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tarn/season.hpp"

namespace tarn {
namespace detail {

inline double nan_value() {
  return std::numeric_limits<double>::quiet_NaN();
}

// A training series prepared for estimation: leading missing values dropped, interior ones
// linearly interpolated, trailing ones counted (the fitted model steps over them as missing).
struct CleanSeries {
  std::vector<double> y;
  std::size_t trailing_missing = 0;
};

// `keep_last` bounds the series to its latest values (the fit window of a long sample).
inline CleanSeries clean_series(const std::vector<double>& raw,
                                std::size_t keep_last = std::numeric_limits<std::size_t>::max()) {
  CleanSeries out;
  std::size_t first = raw.size() > keep_last ? raw.size() - keep_last : 0, last = raw.size();
  while (first < raw.size() && !std::isfinite(raw[first])) ++first;
  while (last > first && !std::isfinite(raw[last - 1])) --last;
  out.trailing_missing = raw.size() - last;
  out.y.assign(raw.begin() + static_cast<std::ptrdiff_t>(first),
               raw.begin() + static_cast<std::ptrdiff_t>(last));
  std::size_t i = 0;
  while (i < out.y.size()) {
    if (std::isfinite(out.y[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (!std::isfinite(out.y[j])) ++j;  // the last value is finite
    const double a = out.y[i - 1], b = out.y[j];
    const double span = static_cast<double>(j - i + 1);
    for (std::size_t k = i; k < j; ++k)
      out.y[k] = a + (b - a) * static_cast<double>(k - i + 1) / span;
    i = j;
  }
  return out;
}

// The products of u (n values) delayed by i and by j steps (zero before the delay), for i, j
// in 0..m-1, as an m x m row-major matrix:
//   S(i, j) = sum_{t < n} u_{t-i} u_{t-j} = sum_{s < n - max(i, j)} u_s u_{s+|i-j|}.
// One pass over u serves every lag, each lag's sum growing in the order of s, O(m n) in all:
// the sums of the m lags advance side by side (independent, so the processor overlaps them),
// and in the last m steps each sum of length N = n - j is recorded as it completes.
// The sums of the first n - m steps, for m known at compile time (quarterly and monthly
// seasons): the m sums stay in registers. The same sums in the same order.
template <std::size_t M>
void delayed_products_head(const double* u, std::size_t tail, double* acc) {
  double a[M];
  for (std::size_t lag = 0; lag < M; ++lag) a[lag] = acc[lag];
  for (std::size_t s = 0; s < tail; ++s) {
    const double us = u[s];
    const double* ahead = u + s;
#pragma GCC unroll 12
    for (std::size_t lag = 0; lag < M; ++lag) a[lag] += us * ahead[lag];
  }
  for (std::size_t lag = 0; lag < M; ++lag) acc[lag] = a[lag];
}

inline void delayed_products(const std::vector<double>& u, std::size_t m, std::vector<double>& S) {
  const std::size_t n = u.size();
  S.assign(m * m, 0.0);
  if (m == 0) return;
  std::vector<double> acc(m, 0.0);
  const std::size_t tail = n > m ? n - m : 0;
  if (m == 4) {
    delayed_products_head<4>(u.data(), tail, acc.data());
  } else if (m == 12) {
    delayed_products_head<12>(u.data(), tail, acc.data());
  } else {
    for (std::size_t s = 0; s < tail; ++s) {
      const double us = u[s];
      const double* ahead = &u[s];
      for (std::size_t lag = 0; lag < m; ++lag) acc[lag] += us * ahead[lag];
    }
  }
  for (std::size_t s = tail; s < n; ++s) {
    const std::size_t j = n - 1 - s;  // the sums of length n - j are complete after s
    const double us = u[s];
    for (std::size_t lag = 0; lag <= j; ++lag) {
      acc[lag] += us * u[s + lag];
      S[(j - lag) * m + j] = S[j * m + (j - lag)] = acc[lag];
    }
  }
}

inline std::vector<double> delayed_products(const std::vector<double>& u, std::size_t m) {
  std::vector<double> S;
  delayed_products(u, m, S);
  return S;
}

// A positive scale that brings the series to unit size, so very large or very small
// magnitudes neither overflow nor underflow the estimation.
inline double series_scale(const std::vector<double>& y) {
  double s = 0.0;
  std::size_t n = 0;
  for (double v : y) {
    if (std::isfinite(v)) {
      s += std::fabs(v);
      ++n;
    }
  }
  if (n == 0) return 1.0;
  s /= static_cast<double>(n);
  if (!(s > 0.0) || !std::isfinite(s)) {
    double mx = 0.0;
    for (double v : y)
      if (std::isfinite(v)) mx = std::max(mx, std::fabs(v));
    s = mx;
  }
  return (s > 0.0 && std::isfinite(s)) ? s : 1.0;
}

inline bool is_constant(const std::vector<double>& y) {
  for (double v : y)
    if (v != y.front()) return false;
  return true;
}

// Autocorrelation of y at lag k (y has no missing values).
inline double autocorrelation(const std::vector<double>& y, std::size_t k) {
  const std::size_t n = y.size();
  if (k >= n) return 0.0;
  double mean = 0.0;
  for (double v : y) mean += v;
  mean /= static_cast<double>(n);
  double den = 0.0, num = 0.0;
  for (std::size_t i = 0; i < n; ++i) den += (y[i] - mean) * (y[i] - mean);
  for (std::size_t i = k; i < n; ++i) num += (y[i] - mean) * (y[i - k] - mean);
  return den > 0.0 ? num / den : 0.0;
}

// The classical test for a season of length m: the lag-m autocorrelation exceeds the 90%
// bound computed from the lower lags.
inline bool seasonality_significant(const std::vector<double>& y, int m) {
  const std::size_t n = y.size();
  if (m < 2 || n < 3 * static_cast<std::size_t>(m)) return false;
  double acc = 0.0;
  for (int k = 1; k < m; ++k) {
    const double r = autocorrelation(y, static_cast<std::size_t>(k));
    acc += r * r;
  }
  const double rm = autocorrelation(y, static_cast<std::size_t>(m));
  return std::fabs(rm) > 1.645 * std::sqrt((1.0 + 2.0 * acc) / static_cast<double>(n));
}

// Seasonal indices of a classical decomposition with a centred moving average: index i belongs
// to positions i, i + m, ... of y. Multiplicative indices average 1, additive ones 0. Needs
// at least two full seasons; returns neutral indices otherwise.
inline std::vector<double> seasonal_indices(const std::vector<double>& y, int m,
                                            bool multiplicative) {
  const double neutral = multiplicative ? 1.0 : 0.0;
  std::vector<double> idx(static_cast<std::size_t>(std::max(m, 1)), neutral);
  const std::size_t n = y.size(), mm = static_cast<std::size_t>(m);
  if (m < 2 || n < 2 * mm) return idx;
  std::vector<double> sum(mm, 0.0);
  std::vector<int> cnt(mm, 0);
  const std::size_t half = mm / 2;
  for (std::size_t t = half; t + half < n; ++t) {
    double trend;
    if (mm % 2 == 1) {
      double s = 0.0;
      for (std::size_t k = t - half; k <= t + half; ++k) s += y[k];
      trend = s / static_cast<double>(mm);
    } else {
      if (t + half >= n) break;
      double s = 0.5 * (y[t - half] + y[t + half]);
      for (std::size_t k = t - half + 1; k < t + half; ++k) s += y[k];
      trend = s / static_cast<double>(mm);
    }
    double r;
    if (multiplicative) {
      if (!(trend > 0.0)) continue;
      r = y[t] / trend;
    } else {
      r = y[t] - trend;
    }
    sum[t % mm] += r;
    ++cnt[t % mm];
  }
  double total = 0.0;
  for (std::size_t i = 0; i < mm; ++i) {
    idx[i] = cnt[i] ? sum[i] / cnt[i] : neutral;
    total += idx[i];
  }
  const double mean = total / static_cast<double>(mm);
  for (auto& v : idx) {
    v = multiplicative ? (mean > 0.0 ? v / mean : 1.0) : v - mean;
    if (!std::isfinite(v) || (multiplicative && !(v > 0.0))) v = neutral;
  }
  return idx;
}

// The seasonally adjusted values of y by classical decomposition, as theta and complex
// exponential smoothing fit them: the season `season_length` (<= 0: detected among periods up
// to 200 or n / 2) is kept only when significant (seasonality_significant), multiplicative
// when every value is positive. `season` receives the indices (empty: none), `multiplicative`
// their form.
inline std::vector<double> seasonally_adjusted(const std::vector<double>& y,
                                               std::int64_t season_length,
                                               std::vector<double>& season, bool& multiplicative) {
  const std::size_t n = y.size();
  season.clear();
  multiplicative = false;
  if (n >= 4) {
    int m = static_cast<int>(season_length);
    if (m <= 0) {
      const int upper = static_cast<int>(std::min<std::size_t>(200, n / 2));
      m = upper >= 2 ? detect_period(y.data(), n, upper) : 1;
    }
    if (m >= 2 && seasonality_significant(y, m)) {
      multiplicative = std::all_of(y.begin(), y.end(), [](double v) { return v > 0.0; });
      season = seasonal_indices(y, m, multiplicative);
    }
  }
  std::vector<double> x(y);
  if (!season.empty()) {
    for (std::size_t i = 0; i < n; ++i) {
      const double s = season[i % season.size()];
      x[i] = multiplicative ? x[i] / s : x[i] - s;
    }
  }
  return x;
}

// Replaces a non-finite forecast by a fallback, and keeps finite ones within the double range.
// For models fed ln(x + shift) of a series x that fit x itself: a fed value on the series'
// scale (a value beyond the largest double's logarithm gives the largest double), and a
// forecast back on the fed scale (one at or below -shift, which has no logarithm, gives the
// lowest the transform carries). A shift of 0 leaves values as they are.
inline double from_log_input(double fed, double shift) {
  if (!(shift > 0.0) || !std::isfinite(fed)) return fed;
  return std::min(std::exp(fed), std::numeric_limits<double>::max()) - shift;
}
// Forecasts that compound far ahead outgrow any double. Magnitudes beyond e^690 bend towards
// e^709 (below the largest double) instead: finite, still strictly increasing, so interval bounds
// stay apart from their forecast, and every smaller value unchanged. bend_log takes the
// logarithm of the magnitude (for values that would overflow before they could be bent).
constexpr double kBendLog = 690.0;
constexpr double kCeilingLog = 709.0;

// Above `start`: start + room e / (room + e) for the excess e (room = ceiling - start), which
// rises with slope 1 at the bend and only slowly (not exponentially) closer to the ceiling, so
// that values far apart stay apart.
inline double bend_above(double x, double start, double ceiling) {
  if (!(x > start)) return x;
  const double room = ceiling - start;
  const double e = x - start;
  if (std::isinf(e)) return ceiling;
  return start + room * e / (room + e);
}

inline double bend_exponent(double x) {
  return bend_above(x, kBendLog, kCeilingLog);
}

// Logarithms fed to a model that does not fit them itself: only their exponential has to stay
// finite, so they bend later, from 706 (a series near 2e306) towards 709.5 (below ln of the
// largest double, with room for the transform's shift); data of any size short of that keep
// their forecasts.
constexpr double kFedBendLog = 706.0;
constexpr double kFedCeilingLog = 709.5;
inline double bend_fed_exponent(double x) {
  return bend_above(x, kFedBendLog, kFedCeilingLog);
}

inline double bend_log(double log_magnitude) {
  return std::exp(bend_exponent(log_magnitude));
}

inline double bend(double v) {
  if (std::isnan(v) || std::fabs(v) <= std::exp(kBendLog)) return v;
  const double m = bend_log(std::log(std::fabs(v)));
  return v < 0.0 ? -m : m;
}

// A forecast of x as ln(x + shift); a forecast beyond the range of doubles bends (bend) first,
// so the logarithm stays finite.
inline double to_log_input(double forecast, double shift) {
  if (!(shift > 0.0) || std::isnan(forecast)) return forecast;
  return std::log(std::max(bend(forecast) + shift, std::numeric_limits<double>::min()));
}

inline double finite_or(double v, double fallback) {
  if (std::isfinite(v)) return v;
  if (std::isnan(v)) return fallback;
  return v > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
}

// Multiplies by a scale without overflowing to infinity.
inline double unscale(double v, double scale) {
  const double r = v * scale;
  if (std::isfinite(r)) return r;
  if (std::isnan(r)) return 0.0;
  return r > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
}

// Linear interpolation of an integer-step forecast function at fractional h >= 1.
template <class F>
double interpolate_steps(double h, F&& f) {
  const double lo = std::floor(h);
  const double w = h - lo;
  const double a = f(lo);
  if (w <= 0.0) return a;
  const double b = f(lo + 1.0);
  return a + w * (b - a);
}

}  // namespace detail
}  // namespace tarn
