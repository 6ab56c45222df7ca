// The automatic model selector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/auto.hpp"
#include "tarn/builders.hpp"

namespace {

using tarn::AutoConfig;
using tarn::AutoSelector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> seasonal(std::size_t n, int m, unsigned seed = 2) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 0.3);
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) {
    y.push_back(20.0 + 0.05 * static_cast<double>(t) + 4.0 * std::cos(2 * M_PI * (t % m) / m) +
                eps(rng));
  }
  return y;
}

AutoSelector fed(const std::vector<double>& y, AutoConfig c) {
  AutoSelector a(c);
  for (std::size_t t = 0; t < y.size(); ++t) a.update(static_cast<std::int64_t>(t), y[t]);
  return a;
}

TEST(Auto, FindsTheSeasonAndRunsEveryFamily) {
  const auto y = seasonal(96, 12);
  AutoSelector a = fed(y, AutoConfig{96, 0, {}});
  ASSERT_TRUE(a.is_initialized());
  EXPECT_EQ(a.season_length(), 12);
  const auto names = a.candidate_names();
  for (const char* family : {"bats", "theta", "snaive"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), family), names.end()) << family;
  }
  EXPECT_EQ(a.choice(), "combination");
  const auto truth = seasonal(120, 12);
  for (int h = 1; h <= 24; ++h) EXPECT_NEAR(a.forecast_steps(h), truth[95 + h], 1.5) << h;
}

TEST(Auto, IntermittentSeriesGetTheIntermittentFamilyAlone) {
  // Demand in about one period of three: average interval near 3 > 1.32.
  std::mt19937 rng(4);
  std::bernoulli_distribution occur(0.3);
  std::vector<double> y(80);
  for (double& v : y)
    v = occur(rng) ? 1.0 + std::floor(5.0 * std::generate_canonical<double, 32>(rng)) : 0.0;
  AutoSelector a = fed(y, AutoConfig{60, 0, {}});
  EXPECT_EQ(a.candidate_names(), std::vector<std::string>{"intermittent"});
  EXPECT_EQ(a.choice(), "combination");
  EXPECT_NE(a.describe().find("intermittent demand"), std::string::npos);
  const auto b = a.forecast_interval_steps(1, 0.95);
  EXPECT_EQ(b.first, 0.0);
  EXPECT_GT(b.second, a.forecast_steps(1));
  EXPECT_EQ(tarn::Model::deserialize(a.serialize())->forecast_steps(2), a.forecast_steps(2));

  // Zeros below the threshold, negative values, a series without demand and an explicit list
  // of families keep the regular candidates.
  std::vector<double> few_zeros = seasonal(60, 4);
  for (std::size_t i = 0; i < few_zeros.size(); i += 5) few_zeros[i] = 0.0;
  std::vector<double> negative = y;
  negative[3] = -1.0;
  for (const auto& series : {few_zeros, negative, std::vector<double>(60, 0.0)}) {
    const auto names = fed(series, AutoConfig{60, 0, {}}).candidate_names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "intermittent"), 0);
    EXPECT_NE(std::count(names.begin(), names.end(), "snaive"), 0);
  }
  EXPECT_EQ(fed(y, AutoConfig{60, 0, {"theta"}}).candidate_names(),
            std::vector<std::string>{"theta"});
  EXPECT_TRUE(tarn::auto_detail::is_intermittent(y.data(), y.size()));
}

TEST(Auto, WaitsForMinTrainingDataOfAtLeastEight) {
  AutoSelector a(AutoConfig{3, 0, {"theta"}});
  for (int t = 0; t < 7; ++t) a.update(t, t);
  EXPECT_FALSE(a.is_initialized());
  EXPECT_THROW(a.forecast_steps(1), tarn::NotInitialized);
  a.update(7, 7.0);
  EXPECT_TRUE(a.is_initialized());
}

TEST(Auto, SwitchesToTheCandidateWithTheSmallestRecentError) {
  // An exactly repeating pattern: once the error window is full, an option whose recent
  // errors are smallest forecasts, and it reproduces the pattern.
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> u(0.0, 10.0);
  std::vector<double> pattern(5);
  for (auto& v : pattern) v = u(rng);
  std::vector<double> y;
  for (int t = 0; t < 80; ++t) y.push_back(pattern[t % 5]);
  AutoSelector a = fed(std::vector<double>(y.begin(), y.begin() + 40), AutoConfig{40, 5, {}});
  ASSERT_EQ(a.season_length(), 5);
  for (int t = 40; t < 80; ++t) a.update(t, y[t]);
  EXPECT_EQ(a.window(), 5u);
  for (int h = 1; h <= 10; ++h) EXPECT_NEAR(a.forecast_steps(h), pattern[(79 + h) % 5], 0.05);
}

TEST(Auto, WorksWithAnySubsetOfFamilies) {
  const auto y = seasonal(48, 4);
  for (const auto& fams : std::vector<std::vector<std::string>>{{"snaive"}, {"theta", "bats"}}) {
    AutoSelector a = fed(y, AutoConfig{48, 0, fams});
    EXPECT_EQ(a.candidate_names(), fams);
    EXPECT_TRUE(std::isfinite(a.forecast_steps(3)));
  }
}

struct Case {
  std::string name;
  std::vector<double> y;
};

std::vector<Case> awkward() {
  std::vector<Case> c;
  c.push_back({"constant", std::vector<double>(12, 5.0)});
  c.push_back({"zeros", std::vector<double>(12, 0.0)});
  std::vector<double> neg, huge, tiny, spike, holes, ends, mostly_missing, short_season;
  for (int t = 0; t < 30; ++t) {
    neg.push_back(-100.0 + 3.0 * std::sin(t));
    huge.push_back(1e300 * (2.0 + std::sin(t)));
    tiny.push_back(1e-300 * (2.0 + std::sin(t)));
    spike.push_back(t == 25 ? 1e9 : 3.0 + t % 3);
    holes.push_back(t % 3 == 1 ? kNaN : 1.0 + t);
    ends.push_back(t < 4 || t > 26 ? kNaN : std::sqrt(t));
    mostly_missing.push_back(t == 7 ? 4.0 : kNaN);
  }
  for (int t = 0; t < 10; ++t) short_season.push_back(t % 12);
  c.push_back({"negative", neg});
  c.push_back({"huge", huge});
  c.push_back({"tiny", tiny});
  c.push_back({"spike", spike});
  c.push_back({"nan_inside", holes});
  c.push_back({"nan_at_ends", ends});
  c.push_back({"one_value_among_missing", mostly_missing});
  c.push_back({"shorter_than_season", short_season});
  return c;
}

class AutoAwkward : public ::testing::TestWithParam<Case> {};

TEST_P(AutoAwkward, FiniteForecastsThroughUpdatesAndRoundTrip) {
  const Case& c = GetParam();
  AutoSelector a = fed(c.y, AutoConfig{static_cast<std::int64_t>(c.y.size()), 3, {}});
  ASSERT_TRUE(a.is_initialized());
  for (double h : {1.0, 2.5, 20.0, 1e7}) ASSERT_TRUE(std::isfinite(a.forecast_steps(h))) << h;
  std::int64_t t = a.last_time();
  for (double v : {1.0, kNaN, -2.0, 0.0, 1e6, 3.0}) a.update(t += 2, v);
  for (double h : {1.0, 5.0}) ASSERT_TRUE(std::isfinite(a.forecast_steps(h))) << h;
  auto copy = tarn::Model::deserialize(a.serialize());
  EXPECT_EQ(copy->serialize(), a.serialize());
  copy->update(t + 1, 2.0);
  a.update(t + 1, 2.0);
  for (double h : {1.0, 3.5, 12.0}) EXPECT_EQ(copy->forecast_steps(h), a.forecast_steps(h));
  EXPECT_THROW(a.update(t + 1, 2.0), tarn::StaleUpdate);
  auto twin = a.clone();
  a.update(t + 2, 100.0);
  EXPECT_EQ(twin->last_time(), t + 1);  // clones are independent
}

TEST(Auto, ACopyFedRowsIsTheOriginalFedThemAndLeavesItAlone) {
  // The forecaster feeds new rows to copies of its trained selector, one update per row (each
  // scores, calibrates and updates every candidate); nothing the copy does reaches the original.
  for (const char* rule : {"mean", "weighted"}) {
    AutoConfig c{96, 0, {}};
    c.combination = rule;
    const auto y = seasonal(160, 12, 5);
    AutoSelector a = fed(std::vector<double>(y.begin(), y.begin() + 96), c);
    ASSERT_TRUE(a.is_initialized());
    const std::string trained = a.serialize();
    auto copy = a.clone();
    auto loaded = tarn::Model::deserialize(trained);
    for (std::size_t t = 96; t < y.size(); ++t) {
      if (t == 130) continue;  // a gap of two steps
      const double v = t == 100 ? kNaN : y[t];
      const auto ti = static_cast<std::int64_t>(t);
      copy->update(ti, v);
      loaded->update(ti, v);
      ASSERT_EQ(copy->serialize(), loaded->serialize()) << rule << " row " << t;
      const double c1 = copy->forecast_steps(1.0), l1 = loaded->forecast_steps(1.0);
      EXPECT_EQ(c1, l1) << rule << " row " << t;
      const auto ci = copy->forecast_interval_steps(2.0, 0.8);
      const auto li = loaded->forecast_interval_steps(2.0, 0.8);
      EXPECT_EQ(ci, li) << rule << " row " << t;
    }
    EXPECT_EQ(a.serialize(), trained) << rule;
    // A second copy starts from the trained state, not from where the first one went.
    auto again = a.clone();
    again->update(96, y[96]);
    auto fresh = tarn::Model::deserialize(trained);
    fresh->update(96, y[96]);
    EXPECT_EQ(again->serialize(), fresh->serialize()) << rule;
  }
}

INSTANTIATE_TEST_SUITE_P(Series, AutoAwkward, ::testing::ValuesIn(awkward()),
                         [](const auto& info) { return info.param.name; });

TEST(Auto, GarbledStateIsAFormatError) {
  AutoSelector a = fed(seasonal(24, 4), AutoConfig{24, 2, {"theta", "snaive", "bats"}});
  a.update(24, 21.0);
  a.update(25, 22.0);
  const std::string good = a.serialize();
  for (std::size_t cut = 0; cut < good.size(); cut += 7) {
    EXPECT_THROW(tarn::Model::deserialize(good.substr(0, cut)), tarn::FormatError) << cut;
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 400; ++i) {
    std::string bad = good;
    bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    try {
      auto m = tarn::Model::deserialize(bad);
      if (m->is_initialized()) (void)m->forecast_steps(2);
    } catch (const tarn::FormatError&) {
    } catch (const tarn::Error&) {
    }
  }
}

TEST(Auto, BuilderOptions) {
  auto m = tarn::build("auto", {{"min_training_data", 3}, {"error_history_length", 4}});
  EXPECT_STREQ(m->kind(), "auto");
  for (int t = 0; t < 8; ++t) m->update(t, t % 2);
  EXPECT_TRUE(m->is_initialized());  // raised to 8
  EXPECT_THROW(tarn::build("auto", {{"season", 4}}), tarn::InvalidArgument);
  EXPECT_THROW(tarn::build("auto", {{"candidates", "theta,prophecy"}}), tarn::InvalidArgument);
  EXPECT_NO_THROW(tarn::build("auto", {{"candidates", "theta,snaive"}}));
}

}  // namespace
