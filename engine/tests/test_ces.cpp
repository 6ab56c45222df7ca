// Complex exponential smoothing: estimation, forecasts, gaps, paths and intervals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/ces.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<tarn::Model> fed_ces(const std::vector<double>& y, std::int64_t m = 1) {
  auto model = std::make_unique<tarn::Ces>(tarn::CesConfig{static_cast<std::int64_t>(y.size()), m});
  for (std::size_t t = 0; t < y.size(); ++t) model->update(static_cast<std::int64_t>(t), y[t]);
  return model;
}

// A series drawn from the model itself.
std::vector<double> simulate(double a0, double a1, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 1.0);
  double l = 100.0, c = 100.0;
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) {
    const double e = eps(rng);
    y.push_back(l + e);
    const double nl = l - (1.0 - a1) * c + (a0 - a1) * e;
    c = l + (1.0 - a0) * c + (a0 + a1) * e;
    l = nl;
  }
  return y;
}

TEST(Ces, StabilityRegion) {
  EXPECT_TRUE(tarn::ces_detail::stable(1.3, 1.0));  // the usual starting point
  EXPECT_TRUE(tarn::ces_detail::stable(1.4, 1.05));
  EXPECT_FALSE(tarn::ces_detail::stable(1.0, 1.0));  // on the boundary
  EXPECT_FALSE(tarn::ces_detail::stable(3.0, 1.0));
  EXPECT_FALSE(tarn::ces_detail::stable(0.2, 0.2));
  EXPECT_FALSE(tarn::ces_detail::stable(kNaN, 1.0));
  EXPECT_NEAR(tarn::ces_detail::forecast_radius(1.3, 1.0), 1.0, 1e-12);  // roots 1 and -0.3
  EXPECT_GT(tarn::ces_detail::forecast_radius(1.4, 1.05), 1.0);
  EXPECT_LT(tarn::ces_detail::forecast_radius(1.4, 0.97), 1.0);
}

TEST(Ces, RecoversTheParametersOfSimulatedData) {
  for (unsigned seed : {1U, 2U}) {
    const auto y = simulate(1.4, 0.97, 1500, seed);
    auto m = fed_ces(y);
    const auto& ces = static_cast<const tarn::Ces&>(*m);
    EXPECT_NEAR(ces.a0(), 1.4, 0.08) << seed;
    EXPECT_NEAR(ces.a1(), 0.97, 0.03) << seed;
    // The one-step forecast is the level: close to the latest values.
    EXPECT_NEAR(m->forecast_steps(1), y.back(), 5.0);
  }
}

TEST(Ces, ForecastsALevelFlatAndATrendRising) {
  std::mt19937 rng(3);
  std::normal_distribution<double> eps(0.0, 1.0);
  std::vector<double> level, trend;
  for (int t = 0; t < 80; ++t) {
    level.push_back(50.0 + eps(rng));
    trend.push_back(20.0 + 2.0 * t + eps(rng));
  }
  auto flat = fed_ces(level);
  for (double h : {1.0, 6.0, 18.0}) EXPECT_NEAR(flat->forecast_steps(h), 50.0, 2.0) << h;
  auto up = fed_ces(trend);
  const double f1 = up->forecast_steps(1), f10 = up->forecast_steps(10);
  EXPECT_NEAR(f1, 20.0 + 2.0 * 80, 6.0);
  // It follows the trend (no stable CES has a double unit root, so it extrapolates a line as
  // mild growth).
  EXPECT_GT((f10 - f1) / 9.0, 1.2);
  EXPECT_LT((f10 - f1) / 9.0, 4.0);
}

TEST(Ces, AdjustsForASeasonAndKeepsItsPhaseOverGaps) {
  std::vector<double> y;
  for (int t = 0; t < 96; ++t)
    y.push_back((50.0 + 0.2 * t) * (1.0 + 0.3 * std::sin(2 * M_PI * t / 12)));
  auto m = fed_ces(y, 12);
  EXPECT_EQ(static_cast<const tarn::Ces&>(*m).season_length(), 12);
  for (int h = 1; h <= 12; ++h) {
    const double truth = (50.0 + 0.2 * (95 + h)) * (1.0 + 0.3 * std::sin(2 * M_PI * (95 + h) / 12));
    EXPECT_NEAR(m->forecast_steps(h), truth, 0.08 * truth) << h;
  }
  // A gap of k steps moves the state exactly as k - 1 missing values do.
  auto gap = m->clone(), holes = m->clone();
  gap->update(95 + 7, 60.0);
  for (int t = 96; t < 102; ++t) holes->update(t, kNaN);
  holes->update(102, 60.0);
  for (double h : {1.0, 5.0, 13.0}) {
    EXPECT_NEAR(gap->forecast_steps(h), holes->forecast_steps(h),
                1e-9 * std::fabs(holes->forecast_steps(h)));
  }
}

TEST(Ces, PathsMatchSingleForecastsAndIntervalsWiden) {
  const auto y = simulate(1.3, 0.98, 120, 7);
  auto m = fed_ces(y);
  std::vector<double> steps = {1.0, 2.5, 3.0, 40.0, 2e5, 3e9};
  std::vector<double> path(steps.size());
  m->forecast_steps(steps.data(), steps.size(), path.data());
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_NEAR(path[i], m->forecast_steps(steps[i]), 1e-9 * (1.0 + std::fabs(path[i]))) << i;
  }
  std::vector<double> lo(24), hi(24), f(24);
  m->forecast_interval_path(24, 0.95, lo.data(), hi.data());
  m->forecast_path(24, f.data());
  for (std::size_t k = 0; k < 24; ++k) {
    EXPECT_LT(lo[k], f[k]);
    EXPECT_GT(hi[k], f[k]);
    if (k) {
      EXPECT_GE(hi[k] - lo[k], hi[k - 1] - lo[k - 1] - 1e-9) << k;
    }
  }
}

TEST(Ces, IntervalsCoverDrawsOfTheModel) {
  // 95% one- to six-step intervals cover about 95% of futures drawn from the fitted process.
  int covered = 0, total = 0;
  for (unsigned seed = 20; seed < 60; ++seed) {
    const auto y = simulate(1.3, 1.0, 206, seed);
    const std::vector<double> train(y.begin(), y.end() - 6);
    auto m = fed_ces(train);
    std::vector<double> lo(6), hi(6);
    m->forecast_interval_path(6, 0.95, lo.data(), hi.data());
    for (std::size_t k = 0; k < 6; ++k) {
      const double v = y[train.size() + k];
      covered += (v >= lo[k] && v <= hi[k]) ? 1 : 0;
      ++total;
    }
  }
  const double share = static_cast<double>(covered) / total;
  EXPECT_GT(share, 0.88);
  EXPECT_LT(share, 0.995);
}

TEST(Ces, BuilderChecksItsOptions) {
  EXPECT_THROW(tarn::build("ces", {{"season_length", -2}}), tarn::InvalidArgument);
  EXPECT_THROW(tarn::build("ces", {{"alpha", 0.3}}), tarn::InvalidArgument);
  auto m = tarn::build("ces", {{"training_sample_size", 20}, {"season_length", 1}});
  EXPECT_STREQ(m->kind(), "ces");
}

}  // namespace
