// Theta, complex exponential smoothing and seasonal naive: the checks they share.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/ces.hpp"
#include "tarn/naive.hpp"
#include "tarn/theta.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<tarn::Model> feed(std::unique_ptr<tarn::Model> m, const std::vector<double>& y) {
  for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
  return m;
}

std::unique_ptr<tarn::Model> theta(std::size_t n, std::int64_t m = 0) {
  return std::make_unique<tarn::Theta>(tarn::ThetaConfig{static_cast<std::int64_t>(n), m});
}
std::unique_ptr<tarn::Model> ces(std::size_t n) {
  return std::make_unique<tarn::Ces>(tarn::CesConfig{static_cast<std::int64_t>(n), 0});
}
std::unique_ptr<tarn::Model> snaive(std::size_t n, std::int64_t m = 0) {
  return std::make_unique<tarn::SeasonalNaive>(
      tarn::SeasonalNaiveConfig{static_cast<std::int64_t>(n), m});
}

TEST(Theta, DriftIsHalfTheSlopeForClassicalTheta) {
  // A noisy line: the classical theta forecast grows at about half the fitted slope per step
  // far out; an estimated theta may follow the full slope. Both must keep rising.
  std::vector<double> y;
  std::mt19937 rng(5);
  std::normal_distribution<double> eps(0.0, 1.0);
  for (int t = 0; t < 60; ++t) y.push_back(10.0 + 1.0 * t + eps(rng));
  auto m = feed(theta(y.size(), 1), y);
  const auto& th = static_cast<const tarn::Theta&>(*m);
  const double slope = (m->forecast_steps(30) - m->forecast_steps(10)) / 20.0;
  EXPECT_NEAR(slope, 1.0 - 1.0 / th.theta(), 0.1);
  EXPECT_GT(m->forecast_steps(1), 60.0);
}

TEST(Theta, DynamicLineChosenWhenTheTrendBends) {
  // The slope changes from 3 to -1 half way: a line fitted to all the data misplaces the early
  // values, the line through the values so far follows them; AIC prefers the dynamic form.
  // On a steady line both forms fit alike and the state carries the choice.
  std::vector<double> bend, steady;
  std::mt19937 rng(8);
  std::normal_distribution<double> eps(0.0, 0.5);
  for (int t = 0; t < 80; ++t) {
    bend.push_back((t < 40 ? 3.0 * t : 120.0 - (t - 40)) + 50.0 + eps(rng));
    steady.push_back(50.0 + 0.5 * t + eps(rng));
  }
  auto m = feed(theta(bend.size(), 1), bend);
  EXPECT_TRUE(static_cast<const tarn::Theta&>(*m).dynamic()) << m->describe();
  auto copy = tarn::Model::deserialize(m->serialize());
  EXPECT_TRUE(static_cast<const tarn::Theta&>(*copy).dynamic());
  EXPECT_EQ(copy->describe(), m->describe());
  auto s = feed(theta(steady.size(), 1), steady);
  EXPECT_NEAR(s->forecast_steps(5), 50.0 + 0.5 * 84, 2.0);
}

TEST(Theta, AdjustsForASignificantSeason) {
  std::vector<double> y;
  for (int t = 0; t < 96; ++t)
    y.push_back((50.0 + 0.2 * t) * (1.0 + 0.3 * std::sin(2 * M_PI * t / 12)));
  auto m = feed(theta(y.size(), 12), y);
  const auto& th = static_cast<const tarn::Theta&>(*m);
  EXPECT_EQ(th.season_length(), 12);
  EXPECT_TRUE(th.multiplicative());
  for (int h = 1; h <= 12; ++h) {
    const double truth = (50.0 + 0.2 * (95 + h)) * (1.0 + 0.3 * std::sin(2 * M_PI * (95 + h) / 12));
    EXPECT_NEAR(m->forecast_steps(h), truth, 0.08 * truth) << h;
  }
}

TEST(SeasonalNaive, RepeatsTheLastSeasonAndKeepsPhasesOverGaps) {
  std::vector<double> y;
  for (int t = 0; t < 14; ++t) y.push_back(t % 4 == 0 ? 10.0 : t % 4);
  auto m = feed(snaive(y.size(), 4), y);
  // Last values: t=10 -> 2, t=11 -> 3, t=12 -> 10, t=13 -> 1.
  EXPECT_EQ(m->forecast_steps(1), 2.0);
  EXPECT_EQ(m->forecast_steps(2), 3.0);
  EXPECT_EQ(m->forecast_steps(3), 10.0);
  EXPECT_EQ(m->forecast_steps(7), 10.0);
  m->update(14, kNaN);  // phase 2 keeps its value
  EXPECT_EQ(m->forecast_steps(4), 2.0);
  m->update(17, 99.0);  // skips phases 3 and 0, then sets phase 1
  EXPECT_EQ(m->forecast_steps(4), 99.0);
  EXPECT_EQ(m->forecast_steps(2), 3.0);
}

using Factory = std::function<std::unique_ptr<tarn::Model>(std::size_t)>;

struct Case {
  std::string name;
  std::vector<double> y;
};

std::vector<Case> awkward() {
  std::vector<Case> c;
  c.push_back({"constant", std::vector<double>(20, 3.0)});
  c.push_back({"one", {2.0}});
  c.push_back({"two", {2.0, 4.0}});
  c.push_back({"zeros", std::vector<double>(20, 0.0)});
  std::vector<double> neg, huge, tiny, spike, holes, ends, short_season;
  for (int t = 0; t < 36; ++t) {
    neg.push_back(-20.0 - 0.5 * t + (t % 3));
    huge.push_back(1e305 * (2.0 + std::sin(t)));
    tiny.push_back(1e-305 * (2.0 + std::sin(t)));
    spike.push_back(t == 30 ? -1e7 : 5.0 + (t % 6));
    holes.push_back(t % 4 == 1 ? kNaN : 1.0 + t % 6);
    ends.push_back(t < 3 || t > 33 ? kNaN : 2.0 * t);
  }
  for (int t = 0; t < 9; ++t) short_season.push_back(t % 12);
  c.push_back({"negative", neg});
  c.push_back({"huge", huge});
  c.push_back({"tiny", tiny});
  c.push_back({"spike", spike});
  c.push_back({"nan_inside", holes});
  c.push_back({"nan_at_ends", ends});
  c.push_back({"shorter_than_season", short_season});
  return c;
}

struct Param {
  std::string model;
  Factory make;
  Case data;
};

std::vector<Param> params() {
  std::vector<Param> out;
  for (const auto& c : awkward()) {
    out.push_back({"theta", [](std::size_t n) { return theta(n); }, c});
    out.push_back({"snaive", [](std::size_t n) { return snaive(n); }, c});
    out.push_back({"ces", [](std::size_t n) { return ces(n); }, c});
  }
  return out;
}

class Awkward : public ::testing::TestWithParam<Param> {};

TEST_P(Awkward, FiniteForecastsUpdatesAndRoundTrip) {
  const Param& p = GetParam();
  auto m = feed(p.make(p.data.y.size()), p.data.y);
  ASSERT_TRUE(m->is_initialized());
  for (double h : {1.0, 1.5, 2.0, 12.0, 1e9}) ASSERT_TRUE(std::isfinite(m->forecast_steps(h))) << h;
  const std::int64_t t0 = m->last_time();
  m->update(t0 + 1, 7.0);
  m->update(t0 + 2, kNaN);
  m->update(t0 + 50, -7.0);
  for (double h : {1.0, 3.0, 100.0}) ASSERT_TRUE(std::isfinite(m->forecast_steps(h))) << h;
  auto copy = tarn::Model::deserialize(m->serialize());
  EXPECT_EQ(copy->serialize(), m->serialize());
  for (double h : {1.0, 2.5, 13.0}) EXPECT_EQ(copy->forecast_steps(h), m->forecast_steps(h));
  EXPECT_THROW(m->update(t0 + 50, 1.0), tarn::StaleUpdate);
}

INSTANTIATE_TEST_SUITE_P(Series, Awkward, ::testing::ValuesIn(params()), [](const auto& info) {
  return info.param.model + "_" + info.param.data.name;
});

class Common : public ::testing::TestWithParam<std::string> {};

TEST_P(Common, GarbledStateIsAFormatError) {
  std::vector<double> y;
  for (int t = 0; t < 40; ++t) y.push_back(10.0 + (t % 5) + 0.1 * t);
  auto m = feed(tarn::build(GetParam(), {{"training_sample_size", 40}}), y);
  const std::string good = m->serialize();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_THROW(tarn::Model::deserialize(good.substr(0, cut)), tarn::FormatError) << cut;
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    std::string bad = good;
    bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    try {
      auto g = tarn::Model::deserialize(bad);
      if (g->is_initialized()) (void)g->forecast_steps(2);
    } catch (const tarn::FormatError&) {
    } catch (const tarn::Error&) {
    }
  }
}

TEST_P(Common, WaitsForItsTrainingSizeAndRejectsUnknownOptions) {
  auto m = tarn::build(GetParam(), {{"training_sample_size", 5}});
  for (int t = 0; t < 4; ++t) m->update(t * 3, t);
  EXPECT_FALSE(m->is_initialized());
  EXPECT_THROW(m->forecast_at(20), tarn::NotInitialized);
  m->update(12, 4.0);
  EXPECT_TRUE(m->is_initialized());
  EXPECT_EQ(m->grid_step(), 3);
  EXPECT_THROW(tarn::build(GetParam(), {{"horizon", 3}}), tarn::InvalidArgument);
  auto dflt = tarn::build(GetParam(), {{"training_sample_size", -1}});
  for (int t = 0; t < 8; ++t) dflt->update(t, t);
  EXPECT_TRUE(dflt->is_initialized());
}

INSTANTIATE_TEST_SUITE_P(Models, Common, ::testing::Values("theta", "snaive", "ces"));

}  // namespace
