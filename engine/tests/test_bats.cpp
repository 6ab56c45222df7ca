#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/bats.hpp"
#include "tarn/builders.hpp"

namespace {

using tarn::Bats;
using tarn::BatsConfig;

std::vector<double> seasonal_series(std::size_t n, int m, double trend, double noise,
                                    unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, noise);
  std::vector<double> y(n);
  for (std::size_t t = 0; t < n; ++t) {
    y[t] = 100.0 + trend * static_cast<double>(t) +
           10.0 * std::sin(2.0 * M_PI * static_cast<double>(t % m) / m) + eps(rng);
  }
  return y;
}

Bats fitted(const std::vector<double>& y, BatsConfig c = {}) {
  if (c.training_sample_size == 0) c.training_sample_size = static_cast<std::int64_t>(y.size());
  Bats b(c);
  for (std::size_t t = 0; t < y.size(); ++t) b.update(static_cast<std::int64_t>(t), y[t]);
  return b;
}

void expect_all_finite(const tarn::Model& m, int horizon) {
  for (int h = 1; h <= horizon; ++h) ASSERT_TRUE(std::isfinite(m.forecast_steps(h))) << h;
  ASSERT_TRUE(std::isfinite(m.forecast_steps(1e9)));
}

TEST(Bats, FindsSeasonAndForecastsIt) {
  const auto y = seasonal_series(120, 12, 0.5, 0.5);
  Bats b = fitted(y);
  ASSERT_TRUE(b.is_initialized());
  EXPECT_EQ(b.params().m, 12);
  const auto truth = seasonal_series(144, 12, 0.5, 0.0);
  double err = 0.0;
  for (int h = 1; h <= 24; ++h) err += std::fabs(b.forecast_steps(h) - truth[119 + h]);
  EXPECT_LT(err / 24.0, 2.0);
}

TEST(Bats, ChoosesTrendForLinearData) {
  std::vector<double> y;
  for (int t = 0; t < 40; ++t) y.push_back(5.0 + 2.0 * t + ((t * 7) % 3 - 1) * 0.1);
  Bats b = fitted(y, BatsConfig{0, false, 1});
  EXPECT_TRUE(b.params().trend);
  EXPECT_NEAR(b.forecast_steps(10), 5.0 + 2.0 * 49, 3.0);
}

TEST(Bats, BoxCoxOnlyWhenAskedAndPositive) {
  std::vector<double> y;
  std::mt19937 rng(3);
  std::normal_distribution<double> eps(0.0, 0.05);
  for (int t = 0; t < 80; ++t) y.push_back(std::exp(0.03 * t + eps(rng)));
  EXPECT_FALSE(fitted(y).params().box_cox);
  Bats with = fitted(y, BatsConfig{0, true, 1});
  expect_all_finite(with, 30);
  y[10] = -1.0;
  EXPECT_FALSE(fitted(y, BatsConfig{0, true, 1}).params().box_cox);
}

// A series drawn from the model itself: local level (alpha), additive season (gamma).
std::vector<double> simulated(std::size_t n, int m, double alpha, double gamma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 1.0);
  double level = 50.0;
  std::vector<double> season(static_cast<std::size_t>(m));
  for (int j = 0; j < m; ++j)
    season[static_cast<std::size_t>(j)] = 8.0 * std::sin(2.0 * M_PI * j / m);
  std::vector<double> y(n);
  for (std::size_t t = 0; t < n; ++t) {
    double& s = season[t % static_cast<std::size_t>(m)];
    const double e = eps(rng);
    y[t] = level + s + e;
    level += alpha * e;
    s += gamma * e;
  }
  return y;
}

TEST(Bats, BudgetedFitsStillReachTheLikelihoodOptimum) {
  // The optimiser works within a budget per form, the seasonal forms starting from the
  // non-seasonal estimates: on data from the model the estimates land near the truth, and a
  // longer sample only sharpens them.
  for (unsigned seed : {1u, 2u, 3u}) {
    const auto y = simulated(240, 12, 0.3, 0.2, seed);
    Bats b = fitted(y, BatsConfig{0, false, 12, false, false});
    ASSERT_TRUE(b.is_initialized());
    EXPECT_EQ(b.params().m, 12) << seed;
    EXPECT_NEAR(b.params().alpha, 0.3, 0.2) << seed;
    EXPECT_NEAR(b.params().gamma, 0.2, 0.2) << seed;
    EXPECT_TRUE(std::isfinite(b.aicc()));
  }
}

TEST(Bats, UpdatesAfterTheTrainingSample) {
  const auto y = seasonal_series(100, 4, 0.0, 1.0);
  Bats b(BatsConfig{60});
  for (int t = 0; t < 59; ++t) b.update(t, y[t]);
  EXPECT_FALSE(b.is_initialized());
  EXPECT_THROW(b.forecast_steps(1), tarn::NotInitialized);
  b.update(59, y[59]);
  ASSERT_TRUE(b.is_initialized());
  for (int t = 60; t < 100; ++t) b.update(t, y[t]);
  EXPECT_EQ(b.last_time(), 99);
  expect_all_finite(b, 12);
}

TEST(Bats, NonPositiveTrainingSizeStillInitialises) {
  for (std::int64_t size : {0, -5}) {
    Bats b(BatsConfig{size});
    for (int t = 0; t < 20; ++t) b.update(t, 3.0 + t);
    EXPECT_TRUE(b.is_initialized()) << size;
    expect_all_finite(b, 5);
  }
}

struct Case {
  const char* name;
  std::vector<double> y;
};

std::vector<Case> awkward_series() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Case> cases;
  cases.push_back({"constant", std::vector<double>(30, 7.0)});
  cases.push_back({"one", {4.0}});
  cases.push_back({"two", {4.0, 5.0}});
  cases.push_back({"zeros", std::vector<double>(25, 0.0)});
  std::vector<double> neg, huge, tiny, spike, holes, short_season, lead_nan;
  for (int t = 0; t < 40; ++t) {
    neg.push_back(-50.0 + std::sin(t) * 3.0);
    huge.push_back(1e300 * (1.0 + 0.1 * std::sin(t)));
    tiny.push_back(1e-300 * (1.0 + 0.1 * std::sin(t)));
    spike.push_back(t == 20 ? 1e6 : 10.0 + (t % 4));
    holes.push_back(t % 5 == 2 ? nan : 10.0 + (t % 7));
    lead_nan.push_back(t < 5 || t > 36 ? nan : 3.0 * t);
  }
  for (int t = 0; t < 10; ++t) short_season.push_back(t % 12);
  cases.push_back({"negative", neg});
  cases.push_back({"huge", huge});
  cases.push_back({"tiny", tiny});
  cases.push_back({"spike", spike});
  cases.push_back({"nan_inside", holes});
  cases.push_back({"nan_at_ends", lead_nan});
  cases.push_back({"shorter_than_season", short_season});
  return cases;
}

class BatsAwkward : public ::testing::TestWithParam<Case> {};

TEST_P(BatsAwkward, FinitePredictionsAndFiniteUpdates) {
  const Case& c = GetParam();
  for (bool bc : {false, true}) {
    Bats b = fitted(c.y, BatsConfig{static_cast<std::int64_t>(c.y.size()), bc});
    ASSERT_TRUE(b.is_initialized()) << c.name;
    expect_all_finite(b, 30);
    const std::int64_t t0 = b.last_time();
    b.update(t0 + 1, c.y.back() == c.y.back() ? c.y.back() : 1.0);
    b.update(t0 + 5, std::numeric_limits<double>::quiet_NaN());
    b.update(t0 + 9, -3.0);
    expect_all_finite(b, 30);
  }
}

TEST_P(BatsAwkward, RoundTripsThroughSerialisedState) {
  const Case& c = GetParam();
  Bats b = fitted(c.y, BatsConfig{static_cast<std::int64_t>(c.y.size()), true});
  auto copy = tarn::Model::deserialize(b.serialize());
  ASSERT_STREQ(copy->kind(), "bats");
  for (double h : {1.0, 2.5, 7.0, 40.0}) EXPECT_EQ(copy->forecast_steps(h), b.forecast_steps(h));
  EXPECT_EQ(copy->serialize(), b.serialize());
}

INSTANTIATE_TEST_SUITE_P(Series, BatsAwkward, ::testing::ValuesIn(awkward_series()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Bats, TimestampGapsAreMissingSteps) {
  Bats b(BatsConfig{30, false, 1});
  for (int i = 0; i < 30; ++i) b.update(i * 10 + (i > 15 ? 40 : 0), 2.0 * i);
  ASSERT_TRUE(b.is_initialized());
  EXPECT_EQ(b.grid_step(), 10);
  const double at_next = b.forecast_at(b.last_time() + 10);
  const double between = b.forecast_at(b.last_time() + 15);
  const double later = b.forecast_at(b.last_time() + 20);
  EXPECT_GT(later, at_next);
  EXPECT_NEAR(between, 0.5 * (at_next + later), 1e-9);
  b.update(b.last_time() + 1000, 100.0);
  expect_all_finite(b, 5);
}

TEST(Bats, StaleUpdateIsRejectedAndChangesNothing) {
  Bats b = fitted(seasonal_series(40, 4, 0.1, 0.3));
  const std::string before = b.serialize();
  EXPECT_THROW(b.update(39, 1.0), tarn::StaleUpdate);
  EXPECT_THROW(b.update(10, 1.0), tarn::StaleUpdate);
  EXPECT_EQ(b.serialize(), before);
}

TEST(Bats, UnfittedStateRoundTrips) {
  Bats b(BatsConfig{50});
  for (int t = 0; t < 10; ++t) b.update(t, t);
  auto copy = tarn::Model::deserialize(b.serialize());
  for (int t = 10; t < 50; ++t) {
    b.update(t, t);
    copy->update(t, t);
  }
  ASSERT_TRUE(copy->is_initialized());
  EXPECT_EQ(copy->forecast_steps(3), b.forecast_steps(3));
}

TEST(Bats, GarbledStateIsAFormatError) {
  Bats b = fitted(seasonal_series(60, 6, 0.2, 0.4));
  const std::string good = b.serialize();
  for (std::size_t cut = 0; cut < good.size(); cut += 3) {
    EXPECT_THROW(tarn::Model::deserialize(good.substr(0, cut)), tarn::FormatError) << cut;
  }
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::string bad = good;
    bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    try {
      auto m = tarn::Model::deserialize(bad);
      if (m->is_initialized()) (void)m->forecast_steps(3);
    } catch (const tarn::FormatError&) {
    } catch (const tarn::Error&) {
    }
  }
}

TEST(Bats, BuilderReadsItsOptions) {
  auto m = tarn::build("bats", {{"training_sample_size", 12}, {"box_cox_transform", true}});
  EXPECT_STREQ(m->kind(), "bats");
  EXPECT_THROW(tarn::build("bats", {{"training_sample_size", 1.5}}), tarn::InvalidArgument);
  EXPECT_THROW(tarn::build("bats", {{"box_cox", true}}), tarn::InvalidArgument);
  EXPECT_NO_THROW(tarn::build("bats", {{"training_sample_size", 0}}));
}

}  // namespace
