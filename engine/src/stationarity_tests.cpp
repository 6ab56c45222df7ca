#include "stationarity_tests.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace tarn {
namespace arima_detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Critical value of the KPSS level test at the 5% level.
constexpr double kKpssCritical = 0.463;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Series helpers.

std::vector<double> difference(const std::vector<double>& x, int lag) {
  std::vector<double> out;
  if (x.size() <= static_cast<std::size_t>(lag)) return out;
  out.reserve(x.size() - lag);
  for (std::size_t t = lag; t < x.size(); ++t) out.push_back(x[t] - x[t - lag]);
  return out;
}

std::vector<double> interpolated(const std::vector<double>& x) {
  std::vector<double> out = x;
  const std::size_t n = x.size();
  std::size_t last = n;
  for (std::size_t t = 0; t < n; ++t) {
    if (!std::isfinite(x[t])) continue;
    if (last == n) {
      for (std::size_t k = 0; k < t; ++k) out[k] = x[t];
    } else {
      for (std::size_t k = last + 1; k < t; ++k) {
        const double f = static_cast<double>(k - last) / static_cast<double>(t - last);
        out[k] = x[last] + f * (x[t] - x[last]);
      }
    }
    last = t;
  }
  if (last == n) return std::vector<double>(n, 0.0);
  for (std::size_t k = last + 1; k < n; ++k) out[k] = x[last];
  return out;
}

double variance(const std::vector<double>& x) {
  double s = 0.0, s2 = 0.0;
  int c = 0;
  for (double v : x)
    if (std::isfinite(v)) s += v, ++c;
  if (c < 2) return 0.0;
  const double mean = s / c;
  for (double v : x)
    if (std::isfinite(v)) s2 += (v - mean) * (v - mean);
  return s2 / c;
}

// ---------------------------------------------------------------------------------------------
// Tests that decide the differencing.

double kpss_statistic(const std::vector<double>& x) {
  const std::size_t n = x.size();
  if (n < 2) return 0.0;
  const double mean = std::accumulate(x.begin(), x.end(), 0.0) / static_cast<double>(n);
  std::vector<double> e(n);
  for (std::size_t t = 0; t < n; ++t) e[t] = x[t] - mean;
  double eta = 0.0, s = 0.0;
  for (double v : e) {
    s += v;
    eta += s * s;
  }
  const double nn = static_cast<double>(n);
  eta /= nn * nn;
  // Short lag truncation of Kwiatkowski et al.: 3 sqrt(n) / 13.
  const int lags = static_cast<int>(std::trunc(3.0 * std::sqrt(nn) / 13.0));
  double lrv = 0.0;
  for (double v : e) lrv += v * v;
  for (int l = 1; l <= lags && static_cast<std::size_t>(l) < n; ++l) {
    double c = 0.0;
    for (std::size_t t = l; t < n; ++t) c += e[t] * e[t - l];
    lrv += 2.0 * (1.0 - l / (lags + 1.0)) * c;
  }
  lrv /= nn;
  if (!(lrv > 1e-300)) return 0.0;
  return eta / lrv;
}

int choose_d(std::vector<double> x, int max_d) {
  int d = 0;
  while (d < max_d && x.size() >= 5) {
    if (variance(x) < 1e-20) break;  // nothing left to difference
    if (kpss_statistic(x) < kKpssCritical) break;
    x = difference(x, 1);
    ++d;
  }
  return d;
}

double seasonal_strength(const std::vector<double>& x, int m) {
  const std::size_t n = x.size();
  if (m < 2 || n < 2 * static_cast<std::size_t>(m) + 1) return 0.0;
  // Centred moving average of length m (2 x m for even m).
  const std::size_t half = static_cast<std::size_t>(m) / 2;
  std::vector<double> detr(n, kNaN);
  for (std::size_t t = half; t + half < n; ++t) {
    double tr = 0.0;
    if (m % 2 == 1) {
      for (std::size_t k = t - half; k <= t + half; ++k) tr += x[k];
      tr /= m;
    } else {
      for (std::size_t k = t - half + 1; k < t + half; ++k) tr += x[k];
      tr += 0.5 * (x[t - half] + x[t + half]);
      tr /= m;
    }
    detr[t] = x[t] - tr;
  }
  std::vector<double> idx(m, 0.0);
  std::vector<int> cnt(m, 0);
  for (std::size_t t = 0; t < n; ++t)
    if (std::isfinite(detr[t])) idx[t % m] += detr[t], ++cnt[t % m];
  double mean_idx = 0.0;
  for (int k = 0; k < m; ++k) {
    idx[k] = cnt[k] ? idx[k] / cnt[k] : 0.0;
    mean_idx += idx[k] / m;
  }
  std::vector<double> rem(n, kNaN);
  for (std::size_t t = 0; t < n; ++t)
    if (std::isfinite(detr[t])) rem[t] = detr[t] - (idx[t % m] - mean_idx);
  const double vd = variance(detr);
  if (!(vd > 1e-300)) return 0.0;
  return std::clamp(1.0 - variance(rem) / vd, 0.0, 1.0);
}

}  // namespace arima_detail
}  // namespace tarn
