#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "tarn/metrics.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kPi = 3.14159265358979323846;

double normal_cdf(double z) {
  return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// The CRPS of N(mu, sigma^2) against y in closed form.
double normal_crps(double mu, double sigma, double y) {
  const double z = (y - mu) / sigma;
  const double pdf = std::exp(-0.5 * z * z) / std::sqrt(2.0 * kPi);
  return sigma * (z * (2.0 * normal_cdf(z) - 1.0) + 2.0 * pdf - 1.0 / std::sqrt(kPi));
}

// The standard normal quantile by bisection on the distribution function (tests only).
double normal_quantile(double p) {
  double lo = -40.0, hi = 40.0;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    (normal_cdf(mid) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// The empirical CRPS by its definition, O(N^2).
double brute_crps(double y, const std::vector<double>& x) {
  const double n = static_cast<double>(x.size());
  double a = 0.0, b = 0.0;
  for (double xi : x) {
    a += std::fabs(xi - y);
    for (double xj : x) b += std::fabs(xi - xj);
  }
  return a / n - b / (2.0 * n * n);
}

std::vector<double> normal_draws(std::uint64_t seed, std::size_t n, double mu, double sigma) {
  std::mt19937_64 rng(seed);
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; i += 2) {
    // Box-Muller on two uniforms in (0, 1].
    const double u1 = (static_cast<double>(rng() >> 11) + 1.0) / 9007199254740992.0;
    const double u2 = static_cast<double>(rng() >> 11) / 9007199254740992.0;
    const double r = std::sqrt(-2.0 * std::log(u1));
    out[i] = mu + sigma * r * std::cos(2.0 * kPi * u2);
    if (i + 1 < n) out[i + 1] = mu + sigma * r * std::sin(2.0 * kPi * u2);
  }
  return out;
}

TEST(PinballLoss, BothSidesOfTheQuantile) {
  EXPECT_DOUBLE_EQ(tarn::pinball_loss(10.0, 8.0, 0.9), 1.8);   // under-forecast: p (y - q)
  EXPECT_DOUBLE_EQ(tarn::pinball_loss(10.0, 12.0, 0.9), 0.2);  // over-forecast: (1 - p) (q - y)
  EXPECT_DOUBLE_EQ(tarn::pinball_loss(10.0, 10.0, 0.3), 0.0);
  // At the median the loss is half the absolute error.
  EXPECT_DOUBLE_EQ(tarn::pinball_loss(-3.0, 1.0, 0.5), 2.0);
}

TEST(QuantileScores, HandComputedValuesAndTheGridWeights) {
  const std::vector<double> y = {1.0, 3.0};
  // Rows are positions, columns the quantiles at 0.25 and 0.75.
  const std::vector<double> even_probs = {0.25, 0.75};
  const std::vector<double> q = {0.0, 2.0, 2.0, 5.0};
  const auto even =
      tarn::quantile_scores(y.data(), 2, even_probs.data(), 2, q.data(), nullptr, 0, 1);
  // 0.25: (0.25 * 1 + 0.25 * 1) / 2; 0.75: (0.25 * 1 + 0.25 * 2) / 2.
  ASSERT_EQ(even.pinball.size(), 2u);
  EXPECT_DOUBLE_EQ(even.pinball[0], 0.25);
  EXPECT_DOUBLE_EQ(even.pinball[1], 0.375);
  EXPECT_DOUBLE_EQ(even.mean_pinball, 0.3125);
  // (i - 1/2) / k is the even grid: CRPS is twice the mean pinball loss.
  EXPECT_DOUBLE_EQ(even.crps, 2.0 * even.mean_pinball);
  EXPECT_EQ(even.count, 2u);
  EXPECT_TRUE(std::isnan(even.scaled_crps));  // no in-sample part to scale by

  // An uneven grid weighs each loss by its share of (0, 1): [0, 0.3] and [0.3, 1].
  const std::vector<double> uneven_probs = {0.1, 0.5};
  const auto uneven =
      tarn::quantile_scores(y.data(), 2, uneven_probs.data(), 2, q.data(), nullptr, 0, 1);
  const double p1 = (0.1 * 1 + 0.1 * 1) / 2, p5 = (0.5 * 1 + 0.5 * 2) / 2;
  EXPECT_DOUBLE_EQ(uneven.pinball[0], p1);
  EXPECT_DOUBLE_EQ(uneven.pinball[1], p5);
  EXPECT_NEAR(uneven.crps, 2.0 * (0.3 * p1 + 0.7 * p5), 1e-15);

  // A median alone is a point forecast: its CRPS is the mean absolute error.
  const std::vector<double> median = {0.5};
  const std::vector<double> point = {2.0, 1.0};
  EXPECT_DOUBLE_EQ(
      tarn::quantile_scores(y.data(), 2, median.data(), 1, point.data(), nullptr, 0, 1).crps, 1.5);

  // Scaled by the in-sample seasonal naive MAE, as MASE is (season 2: 2.25).
  const std::vector<double> insample = {1, 2, 4, 3, 5, 7};
  const auto scaled =
      tarn::quantile_scores(y.data(), 2, even_probs.data(), 2, q.data(), insample.data(), 6, 2);
  EXPECT_DOUBLE_EQ(scaled.scaled_pinball, 0.3125 / 2.25);
  EXPECT_DOUBLE_EQ(scaled.scaled_crps, 0.625 / 2.25);
}

TEST(QuantileScores, OneRuleForMissingValuesAndBadProbabilities) {
  const std::vector<double> probs = {0.1, 0.9};
  const std::vector<double> y = {kNaN, 3.0};
  const std::vector<double> q = {kNaN, kNaN, 2.0, 4.0};  // a missing actual does not count
  const auto ok = tarn::quantile_scores(y.data(), 2, probs.data(), 2, q.data(), nullptr, 0, 1);
  EXPECT_EQ(ok.count, 1u);
  EXPECT_DOUBLE_EQ(ok.pinball[0], 0.1);
  for (double bad : {kNaN, kInf}) {
    const std::vector<double> qb = {0.0, 1.0, bad, 4.0};
    const auto s = tarn::quantile_scores(y.data(), 2, probs.data(), 2, qb.data(), nullptr, 0, 1);
    EXPECT_TRUE(std::isnan(s.crps) && std::isnan(s.mean_pinball) && std::isnan(s.pinball[0]));
  }
  const std::vector<double> none = {kNaN, kNaN};
  EXPECT_TRUE(std::isnan(
      tarn::quantile_scores(none.data(), 2, probs.data(), 2, q.data(), nullptr, 0, 1).crps));
  const std::vector<double> inf_actual = {kInf, 3.0};
  const std::vector<double> qf = {0, 1, 2, 4};
  EXPECT_TRUE(std::isnan(
      tarn::quantile_scores(inf_actual.data(), 2, probs.data(), 2, qf.data(), nullptr, 0, 1).crps));

  for (const std::vector<double>& p : std::vector<std::vector<double>>{
           {0.0, 0.5}, {0.5, 1.0}, {0.6, 0.4}, {0.5, 0.5}, {kNaN, 0.5}}) {
    EXPECT_THROW(tarn::quantile_scores(y.data(), 2, p.data(), 2, qf.data(), nullptr, 0, 1),
                 std::invalid_argument);
  }
  EXPECT_THROW(tarn::quantile_scores(y.data(), 2, probs.data(), 0, qf.data(), nullptr, 0, 1),
               std::invalid_argument);
}

TEST(SampleCrps, HandComputedAndAgainstTheDefinition) {
  EXPECT_DOUBLE_EQ(tarn::sample_crps(1.0, std::vector<double>{0.0, 2.0}.data(), 2), 0.5);
  EXPECT_DOUBLE_EQ(tarn::sample_crps(3.0, std::vector<double>{1.0}.data(), 1), 2.0);
  // E|X - 2| = 2, E|X - X'| = 20 / 9.
  EXPECT_NEAR(tarn::sample_crps(2.0, std::vector<double>{5.0, 0.0, 1.0}.data(), 3), 2.0 - 10.0 / 9,
              1e-15);
  const auto x = normal_draws(7, 301, 4.0, 3.0);
  for (double y : {-5.0, 4.0, 4.2, 30.0}) {
    EXPECT_NEAR(tarn::sample_crps(y, x.data(), x.size()), brute_crps(y, x), 1e-12);
  }
  // The input is left as it was (the function sorts a copy).
  EXPECT_EQ(x, normal_draws(7, 301, 4.0, 3.0));
  EXPECT_TRUE(std::isnan(tarn::sample_crps(1.0, x.data(), 0)));
  EXPECT_TRUE(std::isnan(tarn::sample_crps(kNaN, x.data(), x.size())));
  EXPECT_TRUE(std::isnan(tarn::sample_crps(1.0, std::vector<double>{0.0, kInf}.data(), 2)));
}

TEST(SampleCrps, DrawsOfANormalConvergeToItsClosedForm) {
  const double mu = 10.0, sigma = 2.0;
  for (double y : {10.0, 11.5, 4.0}) {
    const double exact = normal_crps(mu, sigma, y);
    double previous = kInf;
    for (std::size_t n : {100u, 10000u, 200000u}) {
      // Averaged over a few seeds so that one lucky draw cannot pass a wrong formula.
      double err = 0.0;
      for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        const auto x = normal_draws(seed * 1000 + n, n, mu, sigma);
        err += std::fabs(tarn::sample_crps(y, x.data(), n) - exact) / 4.0;
      }
      EXPECT_LT(err, 3.0 * sigma / std::sqrt(static_cast<double>(n))) << "y " << y << " n " << n;
      EXPECT_LT(err, previous + 1e-12);
      previous = err;
    }
  }
}

TEST(QuantileScores, TheQuantileFormOfCrpsConvergesToo) {
  // The normal's own quantiles on the even grid (i - 1/2) / k: twice the mean pinball loss
  // approaches the closed form as the grid gets finer, and the sample form of the same values
  // agrees with it.
  const double mu = -1.0, sigma = 0.5;
  const std::vector<double> y = {-1.0, 0.2, -2.5};
  for (std::size_t k : {9u, 99u, 999u}) {
    std::vector<double> probs(k), row(k), values;
    for (std::size_t j = 0; j < k; ++j) {
      probs[j] = (static_cast<double>(j) + 0.5) / static_cast<double>(k);
      row[j] = mu + sigma * normal_quantile(probs[j]);
    }
    for (std::size_t i = 0; i < y.size(); ++i) values.insert(values.end(), row.begin(), row.end());
    const auto s =
        tarn::quantile_scores(y.data(), y.size(), probs.data(), k, values.data(), nullptr, 0, 1);
    double exact = 0.0, from_samples = 0.0;
    for (double v : y) {
      exact += normal_crps(mu, sigma, v) / 3.0;
      from_samples += tarn::sample_crps(v, row.data(), k) / 3.0;
    }
    EXPECT_NEAR(s.crps, exact, 2.0 * sigma / static_cast<double>(k)) << "k " << k;
    EXPECT_NEAR(from_samples, exact, 2.0 * sigma / static_cast<double>(k)) << "k " << k;
  }
}

TEST(SampleScores, PathsByPositionWithTheMissingValueRule) {
  // Three paths of two positions: one row per path.
  const std::vector<double> paths = {0.0, 10.0, 2.0, 10.0, 1.0, 13.0};
  const std::vector<double> y = {1.0, kNaN};
  const auto s = tarn::sample_scores(y.data(), 2, paths.data(), 3, nullptr, 0, 1);
  EXPECT_EQ(s.count, 1u);
  // Position 0 holds {0, 2, 1} against 1: E|X - 1| = 2/3, E|X - X'| = 8/9.
  EXPECT_NEAR(s.crps[0], 2.0 / 3 - 4.0 / 9, 1e-15);
  EXPECT_TRUE(std::isnan(s.crps[1]));
  EXPECT_DOUBLE_EQ(s.mean_crps, s.crps[0]);
  EXPECT_TRUE(std::isnan(s.scaled_crps));

  const std::vector<double> both = {1.0, 12.0};
  const std::vector<double> insample = {1, 2, 4, 3, 5, 7};
  const auto scaled = tarn::sample_scores(both.data(), 2, paths.data(), 3, insample.data(), 6, 2);
  const double second = tarn::sample_crps(12.0, std::vector<double>{10.0, 10.0, 13.0}.data(), 3);
  EXPECT_NEAR(scaled.mean_crps, (s.crps[0] + second) / 2, 1e-15);
  EXPECT_NEAR(scaled.scaled_crps, scaled.mean_crps / 2.25, 1e-15);

  // A missing sample where the actual is known, or no paths at all: every score NaN.
  std::vector<double> holed = paths;
  holed[3] = kNaN;
  const auto bad = tarn::sample_scores(both.data(), 2, holed.data(), 3, nullptr, 0, 1);
  EXPECT_TRUE(std::isnan(bad.mean_crps) && std::isnan(bad.crps[0]));
  EXPECT_TRUE(
      std::isnan(tarn::sample_scores(both.data(), 2, paths.data(), 0, nullptr, 0, 1).mean_crps));
}

TEST(ProbabilisticScores, HugeMagnitudesScoreAsSmallOnes) {
  const double big = std::ldexp(1.0, 1010);  // a power of two: the comparison is exact
  const std::vector<double> probs = {0.1, 0.5, 0.9};
  const std::vector<double> y = {1.0, 3.0}, q = {0.0, 1.5, 2.0, 2.0, 4.0, 9.0};
  const std::vector<double> insample = {1, 2, 4, 3, 5, 7};
  std::vector<double> yb = y, qb = q, ib = insample;
  for (auto* v : {&yb, &qb, &ib}) {
    for (double& x : *v) x *= big;
  }
  const auto small =
      tarn::quantile_scores(y.data(), 2, probs.data(), 3, q.data(), insample.data(), 6, 1);
  const auto huge =
      tarn::quantile_scores(yb.data(), 2, probs.data(), 3, qb.data(), ib.data(), 6, 1);
  EXPECT_TRUE(std::isfinite(huge.crps));
  EXPECT_DOUBLE_EQ(huge.crps / big, small.crps);
  EXPECT_DOUBLE_EQ(huge.scaled_crps, small.scaled_crps);
  // Paths near the largest double: the spread term must not overflow.
  const std::vector<double> x = {-1.5e308, 1.5e308, 0.0};
  const double c = tarn::sample_crps(1.0e308, x.data(), 3);
  EXPECT_TRUE(std::isfinite(c));
  EXPECT_NEAR(c / 1e308, brute_crps(1.0, {-1.5, 1.5, 0.0}), 1e-12);
}

}  // namespace
