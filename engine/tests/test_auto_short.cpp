// The selector on short histories: the drift kept in proportion to its evidence, and the extra
// spread of a drift estimated from few values.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tarn/auto.hpp"
#include "tarn/intervals.hpp"

namespace {

using tarn::AutoConfig;
using tarn::AutoSelector;
namespace ad = tarn::auto_detail;

std::vector<double> line_with_noise(std::size_t n, double slope, double sd, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, sd);
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) y.push_back(50.0 + slope * static_cast<double>(t) + eps(rng));
  return y;
}

AutoSelector fed(const std::vector<double>& y) {
  AutoSelector a(AutoConfig{static_cast<std::int64_t>(y.size()), 0, {}});
  for (std::size_t t = 0; t < y.size(); ++t) a.update(static_cast<std::int64_t>(t), y[t]);
  return a;
}

TEST(AutoShortHistory, DriftStandardErrorAndShrinkage) {
  // An exact line: its drift is certain and kept whole.
  std::vector<double> line;
  for (int t = 0; t < 10; ++t) line.push_back(3.0 + 2.0 * t);
  double drift = 0.0;
  EXPECT_EQ(ad::drift_standard_error(line, 1, &drift), 0.0);
  EXPECT_DOUBLE_EQ(drift, 2.0);
  EXPECT_EQ(ad::drift_shrinkage(drift, 0.0), 1.0);
  // Differences 1, 3, 1, 3, ...: mean 2, sd about 1.03 over 9 of them.
  std::vector<double> zig = {0, 1, 4, 5, 8, 9, 12, 13, 16, 17};
  const double se = ad::drift_standard_error(zig, 1, &drift);
  EXPECT_NEAR(drift, 17.0 / 9.0, 1e-12);
  double ss = 0.0;
  for (std::size_t i = 1; i < zig.size(); ++i) {
    const double d = zig[i] - zig[i - 1] - drift;
    ss += d * d;
  }
  EXPECT_NEAR(se, std::sqrt(ss / 8.0 / 9.0), 1e-12);
  // Shrinkage (1 - 1/t^2)+: none for a clear drift, all for one within its noise.
  EXPECT_NEAR(ad::drift_shrinkage(10.0, 1.0), 0.99, 1e-12);
  EXPECT_EQ(ad::drift_shrinkage(0.5, 1.0), 0.0);
  EXPECT_EQ(ad::drift_shrinkage(-0.5, 1.0), 0.0);
  // Seasonal differences overlap: m of them count about as one, per step of the season.
  std::vector<double> s4;
  for (int t = 0; t < 40; ++t) s4.push_back((t % 4) * 5.0 + 0.1 * t + (t % 3 == 0 ? 0.2 : 0.0));
  const double se4 = ad::drift_standard_error(s4, 4, &drift);
  EXPECT_NEAR(drift, 0.1, 0.02);
  EXPECT_GT(se4, 0.0);
  // Too few differences tell nothing; missing values are skipped.
  EXPECT_EQ(ad::drift_standard_error({1.0, 2.0, 4.0}, 1), 0.0);
  EXPECT_EQ(ad::drift_standard_error({1.0, 2.0, 4.0, 5.0, 9.0}, 4), 0.0);
  const double nan = std::nan("");
  EXPECT_TRUE(std::isfinite(ad::drift_standard_error({1.0, nan, 3.0, 4.0, 6.0, 7.0, 9.0}, 1)));
}

TEST(AutoShortHistory, ATrendingShortSeriesKeepsItsTrend) {
  const auto y = line_with_noise(16, 2.0, 0.5, 7);
  AutoSelector a = fed(y);
  ASSERT_TRUE(a.is_initialized());
  std::vector<double> f(6);
  a.forecast_path(6, f.data());
  // A clear drift (t far above 1) is kept nearly whole: five steps of about two each.
  EXPECT_GT(f[5] - f[0], 0.7 * 5 * 2.0);
  EXPECT_LT(f[5] - f[0], 1.3 * 5 * 2.0);
  // Single steps and the path agree.
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(a.forecast_steps(k), f[k - 1], 1e-9 * (1 + f[k - 1]));
}

TEST(AutoShortHistory, AFlatNoisyShortSeriesForecastsFlat) {
  for (unsigned seed : {1u, 2u, 3u}) {
    auto y = line_with_noise(16, 0.0, 2.0, seed);
    // A drift well within the noise of its differences.
    double drift = 0.0;
    const double se = ad::drift_standard_error(y, 1, &drift);
    if (std::fabs(drift) > se) continue;  // this draw shows a drift after all
    AutoSelector a = fed(y);
    std::vector<double> f(8);
    a.forecast_path(8, f.data());
    for (double v : f) EXPECT_NEAR(v, f[0], 1e-9 * std::fabs(f[0])) << seed;
    // Near the naive forecast: the level lies within the data's noise of the latest value.
    EXPECT_NEAR(f[0], y.back(), 3 * 2.0) << seed;
  }
}

TEST(AutoShortHistory, FewOriginsWidenTheBandByTheDriftsSpread) {
  // Steps checked on their own: none of 15 values (5 steps from about 10 origins each), 5 of 24,
  // a third of the data from 29 values on.
  EXPECT_EQ(ad::drift_checked_steps(15.0), 0.0);
  EXPECT_EQ(ad::drift_checked_steps(24.0), 5.0);
  EXPECT_EQ(ad::drift_checked_steps(90.0), 30.0);
  // So the short series takes the drift's spread from the first step.
  const auto y = line_with_noise(15, 1.0, 1.0, 11);
  AutoSelector a = fed(y);
  const double se = ad::drift_standard_error(y, 1);
  ASSERT_GT(se, 0.0);
  std::vector<double> lo(8), hi(8), f(8);
  a.forecast_interval_path(8, 0.95, lo.data(), hi.data());
  a.forecast_path(8, f.data());
  const double q = tarn::normal_quantile(0.975);
  for (int k = 1; k <= 8; ++k) {
    EXPECT_GE(hi[k - 1] - f[k - 1], q * k * se * (1 - 1e-9)) << k;
    EXPECT_GE(f[k - 1] - lo[k - 1], q * k * se * (1 - 1e-9)) << k;
  }
  // A long history checks its own horizons: no extra spread (the band at step 8 is the
  // candidates' own, narrower than the drift term of a short history would make it).
  const auto long_y = line_with_noise(90, 1.0, 1.0, 11);
  AutoSelector b = fed(long_y);
  std::vector<double> lo2(8), hi2(8), f2(8);
  b.forecast_interval_path(8, 0.95, lo2.data(), hi2.data());
  b.forecast_path(8, f2.data());
  EXPECT_LT(hi2[7] - lo2[7], hi[7] - lo[7]);
}

TEST(AutoShortHistory, StateKeepsTheDriftRules) {
  const auto y = line_with_noise(14, 0.3, 1.5, 5);
  AutoSelector a = fed(y);
  auto copy = tarn::Model::deserialize(a.serialize());
  EXPECT_EQ(copy->serialize(), a.serialize());
  std::vector<double> f(6), g(6), lo(6), hi(6), lo2(6), hi2(6);
  a.forecast_path(6, f.data());
  copy->forecast_path(6, g.data());
  a.forecast_interval_path(6, 0.9, lo.data(), hi.data());
  copy->forecast_interval_path(6, 0.9, lo2.data(), hi2.data());
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(f[k], g[k]);
    EXPECT_EQ(lo[k], lo2[k]);
    EXPECT_EQ(hi[k], hi2[k]);
  }
  auto twin = a.clone();
  EXPECT_EQ(twin->serialize(), a.serialize());
}

}  // namespace
