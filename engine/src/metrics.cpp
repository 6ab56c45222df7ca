#include "tarn/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarn {

Metrics compute_metrics(const double* truth, const double* pred, std::size_t n) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  Metrics m;
  // Sums are taken of the values divided by the largest magnitude, so that values near the
  // floating-point limit neither overflow the squares nor turn R2 into inf / inf; MAE and MSE
  // are scaled back at the end (MSE is infinite only when its true value is beyond the range).
  double scale = 0.0;
  bool bad = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    ++m.count;
    if (!std::isfinite(pred[i]) || !std::isfinite(truth[i])) {
      bad = true;
      continue;
    }
    scale = std::max(scale, std::max(std::fabs(truth[i]), std::fabs(pred[i])));
  }
  if (m.count == 0 || bad) {
    m.mae = m.mse = m.r2 = m.smape = kNaN;
    return m;
  }
  // A power of two: the scaling is exact, so ordinary values give the same bits as unscaled sums.
  const double s = scale > 0.0 ? std::ldexp(1.0, std::ilogb(scale)) : 1.0;
  double sum_abs = 0.0, sum_sq = 0.0, sum_smape = 0.0, sum_t = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    const double t = truth[i] / s, p = pred[i] / s;
    const double e = t - p;
    sum_abs += std::fabs(e);
    sum_sq += e * e;
    const double denom = std::fabs(t) + std::fabs(p);
    if (denom > 0.0) sum_smape += 2.0 * std::fabs(e) / denom;
    sum_t += t;
  }
  const double cnt = static_cast<double>(m.count);
  m.mae = sum_abs / cnt * s;
  m.mse = sum_sq / cnt * s * s;
  m.smape = 100.0 * sum_smape / cnt;
  const double mean = sum_t / cnt;
  double ss_tot = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    const double d = truth[i] / s - mean;
    ss_tot += d * d;
  }
  if (ss_tot > 0.0) {
    m.r2 = 1.0 - sum_sq / ss_tot;
  } else {
    m.r2 = sum_sq == 0.0 ? 1.0 : 0.0;
  }
  return m;
}

std::size_t first_infinite(const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isinf(x[i])) return i;
  }
  return n;
}

ScoreIssue find_score_issue(const double* truth, const double* pred, std::size_t n) {
  std::size_t i = first_infinite(truth, n);
  if (i < n) return {ScoreIssue::kTruthInfinite, i};
  i = first_infinite(pred, n);
  if (i < n) return {ScoreIssue::kForecastInfinite, i};
  bool any_truth = false;
  for (i = 0; i < n; ++i) {
    if (std::isnan(truth[i])) continue;
    if (std::isnan(pred[i])) return {ScoreIssue::kForecastMissing, i};
    any_truth = true;
  }
  if (!any_truth) return {ScoreIssue::kNoTruth, 0};
  return {};
}

double smape_term(double truth, double forecast) {
  const double denom = std::fabs(forecast) + std::fabs(truth);
  if (!(denom > 0.0)) return 0.0;
  const double num = 200.0 * std::fabs(forecast - truth);
  if ((std::isinf(num) || std::isinf(denom)) && std::isfinite(truth) && std::isfinite(forecast)) {
    const double s = std::ldexp(1.0, std::ilogb(std::max(std::fabs(truth), std::fabs(forecast))));
    const double t = truth / s, f = forecast / s;
    return 200.0 * std::fabs(f - t) / (std::fabs(f) + std::fabs(t));
  }
  return num / denom;
}

void smape_terms(const double* truth, const double* forecast, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = smape_term(truth[i], forecast[i]);
}

}  // namespace tarn
