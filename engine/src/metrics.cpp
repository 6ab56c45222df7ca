#include "tarn/metrics.hpp"

#include <cmath>
#include <limits>

namespace tarn {

Metrics compute_metrics(const double* truth, const double* pred, std::size_t n) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  Metrics m;
  double sum_abs = 0.0, sum_sq = 0.0, sum_smape = 0.0, sum_t = 0.0;
  bool bad = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    ++m.count;
    if (!std::isfinite(pred[i]) || !std::isfinite(truth[i])) {
      bad = true;
      continue;
    }
    const double e = truth[i] - pred[i];
    sum_abs += std::fabs(e);
    sum_sq += e * e;
    const double denom = std::fabs(truth[i]) + std::fabs(pred[i]);
    if (denom > 0.0) sum_smape += 2.0 * std::fabs(e) / denom;
    sum_t += truth[i];
  }
  if (m.count == 0 || bad) {
    m.mae = m.mse = m.r2 = m.smape = kNaN;
    return m;
  }
  const double cnt = static_cast<double>(m.count);
  m.mae = sum_abs / cnt;
  m.mse = sum_sq / cnt;
  m.smape = 100.0 * sum_smape / cnt;
  const double mean = sum_t / cnt;
  double ss_tot = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    ss_tot += (truth[i] - mean) * (truth[i] - mean);
  }
  if (ss_tot > 0.0) {
    m.r2 = 1.0 - sum_sq / ss_tot;
  } else {
    m.r2 = sum_sq == 0.0 ? 1.0 : 0.0;
  }
  return m;
}

}  // namespace tarn
