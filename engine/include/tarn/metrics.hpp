// Forecast accuracy metrics.
#pragma once

#include <cstddef>
#include <vector>

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

// Why a pair of series cannot be scored, at the first position where it shows. Checked in this
// order: an infinite truth, an infinite forecast, a known truth without a forecast (NaN), no
// known truth at all. None when compute_metrics would give numbers (finite, unless a metric's
// true value is beyond the floating-point range).
struct ScoreIssue {
  enum Kind { kNone, kTruthInfinite, kForecastInfinite, kForecastMissing, kNoTruth };
  Kind kind = kNone;
  std::size_t index = 0;  // the position (0 for kNone and kNoTruth)
};
ScoreIssue find_score_issue(const double* truth, const double* pred, std::size_t n);

// Index of the first infinite value of x, or n when there is none.
std::size_t first_infinite(const double* x, std::size_t n);

// The symmetric absolute percentage error of one forecast against its truth, in percent (0 to
// 200): 200 |f - t| / (|f| + |t|), exactly as computed in that order. A pair whose denominator
// is not positive (both 0, or either NaN) gives 0; an infinite value gives NaN. Pairs whose
// numerator or denominator would overflow are computed on the values divided by a power of two
// (the ratio does not depend on the scale), so every pair of finite values gives a value in
// [0, 200].
double smape_term(double truth, double forecast);

// smape_term of n pairs into out (which may be either input).
void smape_terms(const double* truth, const double* forecast, std::size_t n, double* out);

// Accuracy of a forecast against the actual values, scaled where the measure asks for it.
//
// One rule for missing values throughout: a position counts when its actual value is known
// (not NaN). Where the actual is known, a forecast or bound that is NaN or infinite makes every
// measure NaN (a missing forecast is never an accurate one), and so does an infinite actual.
// With no position counting, every measure is NaN. In the in-sample part, a seasonal
// difference with a missing (NaN or infinite) end does not count.
//
// Values near the floating-point limit are scored on values divided by one power of two (the
// largest magnitude present), so no measure overflows: a series of magnitude 1e306 scores as
// one of magnitude 1.
struct Accuracy {
  double mae = 0.0;
  double rmse = 0.0;
  double smape = 0.0;      // percent, 0..200, the mean of smape_term
  double mase = 0.0;       // MAE over the in-sample seasonal naive MAE
  double msis = 0.0;       // mean scaled interval score; NaN without bounds
  double coverage = 0.0;   // percent of the actual values inside [lower, upper]; NaN without bounds
  std::size_t count = 0;   // positions that counted
  std::size_t season = 1;  // the season of the naive scale (after the fallback)
};

// The in-sample scale of MASE and MSIS: the mean absolute difference x[t] - x[t - m] over the
// pairs where both are known. The season m falls back to 1 when the part has no more than m
// values (0 counts as 1). NaN when no pair counts; *used (optional) receives the m used.
double naive_scale(const double* insample, std::size_t n, std::size_t season,
                   std::size_t* used = nullptr);

// The accuracy of forecast[0..n) against actual[0..n), scaled by naive_scale(insample, n_in,
// season). lower and upper (both or neither, n values each) are the bounds of a prediction
// interval covering `level` percent (0 < level < 100, std::invalid_argument otherwise); MSIS
// is Gneiting and Raftery's interval score over the scale.
Accuracy accuracy(const double* actual, const double* forecast, std::size_t n,
                  const double* insample, std::size_t n_in, std::size_t season,
                  const double* lower = nullptr, const double* upper = nullptr,
                  double level = 95.0);

// Scores of a probabilistic forecast: quantile forecasts, or sample paths.
//
// The same rule for missing values as accuracy(): a position counts when its actual value is
// known; where it is known, an infinite actual or a quantile or sample that is NaN or infinite
// makes every score NaN; with no position counting every score is NaN. Values near the
// floating-point limit are scored on values divided by a power of two, so no score overflows.
//
// The scaled scores divide by naive_scale(insample, n_in, season) (as MASE does), so that
// series of different magnitudes can be averaged; NaN without an in-sample part or when its
// scale is 0 or unknown.
struct QuantileScores {
  std::vector<double> pinball;  // per quantile: the mean pinball loss over the positions
  double mean_pinball = 0.0;    // the mean over the quantiles
  // CRPS as twice the integral of the pinball loss over the probabilities, taken by the
  // midpoint rule on the probabilities given: each quantile's loss weighs the width of the
  // probabilities nearer to it than to its neighbours (the first reaches down to 0, the last up
  // to 1). On the even grid (i - 1/2) / k this is exactly twice the mean pinball loss.
  double crps = 0.0;
  double scaled_pinball = 0.0;  // mean_pinball over the naive scale
  double scaled_crps = 0.0;     // crps over the naive scale
  std::size_t count = 0;        // positions that counted
};

// The pinball (quantile) loss of the quantile q at probability p against the actual y:
// p (y - q) when y >= q, (1 - p) (q - y) otherwise.
double pinball_loss(double actual, double quantile, double p);

// Scores of k quantile forecasts at the probabilities probs[0..k) (strictly increasing, each in
// (0, 1); std::invalid_argument otherwise) for n positions: values[i * k + j] is the quantile at
// probs[j] for position i (one row per position, as a forecast table holds them).
QuantileScores quantile_scores(const double* actual, std::size_t n, const double* probs,
                               std::size_t k, const double* values, const double* insample,
                               std::size_t n_in, std::size_t season);

// The CRPS of the empirical distribution of the n_samples values x against y, exactly:
// E|X - y| - E|X - X'| / 2 with X, X' drawn from x. Sorting gives the second term in
// O(N log N): sum_{i,j} |x_i - x_j| = 2 sum_j (2j - N - 1) x_(j) (1-based order statistics).
// NaN when y or any value is NaN or infinite, or n_samples is 0.
double sample_crps(double actual, const double* x, std::size_t n_samples);

struct SampleScores {
  std::vector<double> crps;  // per position (NaN where the actual is missing)
  double mean_crps = 0.0;    // the mean over the positions that count
  double scaled_crps = 0.0;  // mean_crps over the naive scale
  std::size_t count = 0;     // positions that counted
};

// The CRPS of sample paths: samples[s * n + i] is path s at position i (one row per path, as a
// simulation gives them), n_samples paths of n positions.
SampleScores sample_scores(const double* actual, std::size_t n, const double* samples,
                           std::size_t n_samples, const double* insample, std::size_t n_in,
                           std::size_t season);

}  // namespace tarn

#pragma GCC visibility pop
