#include "tarn/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

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

namespace {

constexpr double kNaNValue = std::numeric_limits<double>::quiet_NaN();

// The power of two at or below the largest finite magnitude in the arrays (1 for none): dividing
// by it is exact, so ordinary values give the same bits as unscaled sums.
double power_scale(std::initializer_list<std::pair<const double*, std::size_t>> arrays) {
  double top = 0.0;
  for (const auto& a : arrays) {
    if (a.first == nullptr) continue;
    for (std::size_t i = 0; i < a.second; ++i) {
      if (std::isfinite(a.first[i])) top = std::max(top, std::fabs(a.first[i]));
    }
  }
  return top > 0.0 ? std::ldexp(1.0, std::ilogb(top)) : 1.0;
}

double scaled_naive(const double* x, std::size_t n, std::size_t m, double s) {
  double sum = 0.0;
  std::size_t k = 0;
  for (std::size_t i = m; i < n; ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(x[i - m])) continue;
    sum += std::fabs(x[i] / s - x[i - m] / s);
    ++k;
  }
  return k == 0 ? kNaNValue : sum / static_cast<double>(k);
}

std::size_t naive_season(std::size_t n, std::size_t season) {
  const std::size_t m = std::max<std::size_t>(season, 1);
  return n > m ? m : 1;
}

}  // namespace

double naive_scale(const double* insample, std::size_t n, std::size_t season, std::size_t* used) {
  const std::size_t m = naive_season(n, season);
  if (used != nullptr) *used = m;
  const double s = power_scale({{insample, n}});
  return scaled_naive(insample, n, m, s) * s;
}

Accuracy accuracy(const double* actual, const double* forecast, std::size_t n,
                  const double* insample, std::size_t n_in, std::size_t season, const double* lower,
                  const double* upper, double level) {
  if ((lower == nullptr) != (upper == nullptr)) {
    throw std::invalid_argument("an interval needs both its lower and its upper bounds");
  }
  const bool bands = lower != nullptr;
  if (bands && !(level > 0.0 && level < 100.0)) {
    throw std::invalid_argument("level must be a coverage in percent between 0 and 100");
  }
  Accuracy a;
  a.season = naive_season(n_in, season);
  bool bad = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    ++a.count;
    bad = bad || !std::isfinite(actual[i]) || !std::isfinite(forecast[i]) ||
          (bands && (!std::isfinite(lower[i]) || !std::isfinite(upper[i])));
  }
  if (a.count == 0 || bad) {
    a.mae = a.rmse = a.smape = a.mase = a.msis = a.coverage = kNaNValue;
    return a;
  }
  const double s = power_scale({{actual, n},
                                {forecast, n},
                                {insample, n_in},
                                {lower, bands ? n : 0},
                                {upper, bands ? n : 0}});
  const double alpha = 1.0 - level / 100.0;
  double sum_abs = 0.0, sum_sq = 0.0, sum_smape = 0.0, sum_score = 0.0;
  std::size_t inside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    const double y = actual[i] / s, f = forecast[i] / s;
    const double e = y - f;
    sum_abs += std::fabs(e);
    sum_sq += e * e;
    sum_smape += smape_term(actual[i], forecast[i]);
    if (bands) {
      const double lo = lower[i] / s, hi = upper[i] / s;
      double score = hi - lo;
      if (y < lo) score += 2.0 / alpha * (lo - y);
      if (y > hi) score += 2.0 / alpha * (y - hi);
      sum_score += score;
      if (y >= lo && y <= hi) ++inside;
    }
  }
  const double cnt = static_cast<double>(a.count);
  const double scale = n_in > 0 ? scaled_naive(insample, n_in, a.season, s) : kNaNValue;
  const bool scaled = std::isfinite(scale) && scale > 0.0;
  a.mae = sum_abs / cnt * s;
  a.rmse = std::sqrt(sum_sq / cnt) * s;
  a.smape = sum_smape / cnt;
  a.mase = scaled ? (sum_abs / cnt) / scale : kNaNValue;
  a.msis = bands && scaled ? (sum_score / cnt) / scale : kNaNValue;
  a.coverage = bands ? 100.0 * static_cast<double>(inside) / cnt : kNaNValue;
  return a;
}

double pinball_loss(double actual, double quantile, double p) {
  const double e = actual - quantile;
  return e >= 0.0 ? p * e : (p - 1.0) * e;
}

namespace {

void check_probabilities(const double* probs, std::size_t k) {
  if (k == 0) throw std::invalid_argument("quantile scores need at least one probability");
  for (std::size_t j = 0; j < k; ++j) {
    if (!(probs[j] > 0.0 && probs[j] < 1.0)) {
      throw std::invalid_argument(
          "a quantile's probability must lie strictly between 0 and 1, not " +
          std::to_string(probs[j]));
    }
    if (j > 0 && !(probs[j] > probs[j - 1])) {
      throw std::invalid_argument(
          "quantile probabilities must be strictly increasing: " + std::to_string(probs[j]) +
          " follows " + std::to_string(probs[j - 1]));
    }
  }
}

// The CRPS of the sorted values x[0..n) against y, all divided by the same power of two. The
// second term is taken about a middle value: its weights (2j - n - 1) sum to 0, so the shift
// changes nothing but the cancellation between large terms.
double crps_of_sorted(double y, const double* x, std::size_t n) {
  const double nn = static_cast<double>(n);
  const double mid = x[n / 2];
  double abs_sum = 0.0, spread = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    abs_sum += std::fabs(x[j] - y);
    spread += (2.0 * static_cast<double>(j + 1) - nn - 1.0) * (x[j] - mid);
  }
  // Both terms are exact for the empirical distribution; rounding alone could take the
  // difference below 0.
  return std::max(0.0, abs_sum / nn - spread / (nn * nn));
}

}  // namespace

QuantileScores quantile_scores(const double* actual, std::size_t n, const double* probs,
                               std::size_t k, const double* values, const double* insample,
                               std::size_t n_in, std::size_t season) {
  check_probabilities(probs, k);
  QuantileScores q;
  q.pinball.assign(k, kNaNValue);
  bool bad = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    ++q.count;
    bad = bad || !std::isfinite(actual[i]);
    for (std::size_t j = 0; j < k && !bad; ++j) bad = !std::isfinite(values[i * k + j]);
  }
  if (q.count == 0 || bad) {
    q.mean_pinball = q.crps = q.scaled_pinball = q.scaled_crps = kNaNValue;
    return q;
  }
  const double s = power_scale({{actual, n}, {values, n * k}, {insample, n_in}});
  std::vector<double> sums(k, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    const double y = actual[i] / s;
    for (std::size_t j = 0; j < k; ++j) sums[j] += pinball_loss(y, values[i * k + j] / s, probs[j]);
  }
  const double cnt = static_cast<double>(q.count);
  double mean = 0.0, integral = 0.0;
  for (std::size_t j = 0; j < k; ++j) {
    const double loss = sums[j] / cnt;  // on the divided values
    q.pinball[j] = loss * s;
    mean += loss;
    const double lo = j == 0 ? 0.0 : 0.5 * (probs[j - 1] + probs[j]);
    const double hi = j + 1 == k ? 1.0 : 0.5 * (probs[j] + probs[j + 1]);
    integral += (hi - lo) * loss;
  }
  mean /= static_cast<double>(k);
  q.mean_pinball = mean * s;
  q.crps = 2.0 * integral * s;
  const double scale =
      n_in > 0 ? scaled_naive(insample, n_in, naive_season(n_in, season), s) : kNaNValue;
  const bool scaled = std::isfinite(scale) && scale > 0.0;
  q.scaled_pinball = scaled ? mean / scale : kNaNValue;
  q.scaled_crps = scaled ? 2.0 * integral / scale : kNaNValue;
  return q;
}

double sample_crps(double actual, const double* x, std::size_t n_samples) {
  if (n_samples == 0 || !std::isfinite(actual)) return kNaNValue;
  if (first_infinite(x, n_samples) < n_samples) return kNaNValue;
  for (std::size_t j = 0; j < n_samples; ++j) {
    if (std::isnan(x[j])) return kNaNValue;
  }
  const double one[] = {actual};
  const double s = power_scale({{one, 1}, {x, n_samples}});
  std::vector<double> v(n_samples);
  for (std::size_t j = 0; j < n_samples; ++j) v[j] = x[j] / s;
  std::sort(v.begin(), v.end());
  return crps_of_sorted(actual / s, v.data(), n_samples) * s;
}

SampleScores sample_scores(const double* actual, std::size_t n, const double* samples,
                           std::size_t n_samples, const double* insample, std::size_t n_in,
                           std::size_t season) {
  SampleScores r;
  r.crps.assign(n, kNaNValue);
  bool bad = n_samples == 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    ++r.count;
    bad = bad || !std::isfinite(actual[i]);
    for (std::size_t p = 0; p < n_samples && !bad; ++p) bad = !std::isfinite(samples[p * n + i]);
  }
  if (r.count == 0 || bad) {
    r.mean_crps = r.scaled_crps = kNaNValue;
    return r;
  }
  const double s = power_scale({{actual, n}, {samples, n * n_samples}, {insample, n_in}});
  std::vector<double> column(n_samples);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(actual[i])) continue;
    for (std::size_t p = 0; p < n_samples; ++p) column[p] = samples[p * n + i] / s;
    std::sort(column.begin(), column.end());
    const double c = crps_of_sorted(actual[i] / s, column.data(), n_samples);
    r.crps[i] = c * s;
    sum += c;
  }
  const double mean = sum / static_cast<double>(r.count);
  r.mean_crps = mean * s;
  const double scale =
      n_in > 0 ? scaled_naive(insample, n_in, naive_season(n_in, season), s) : kNaNValue;
  r.scaled_crps = std::isfinite(scale) && scale > 0.0 ? mean / scale : kNaNValue;
  return r;
}

}  // namespace tarn
