// The automatic selector's combined forecast near the largest double, series too short for a
// model search, values fed as logarithms (selector and ARIMA) and the selector's Holt-Winters
// season form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tarn/arima.hpp"
#include "tarn/auto.hpp"
#include "tarn/holt_winters.hpp"

namespace {

using tarn::AutoConfig;
using tarn::AutoSelector;
using tarn::auto_detail::mean_of;

constexpr double kMax = std::numeric_limits<double>::max();

TEST(AutoCombination, MeanNearTheLargestDoubleStaysFinite) {
  EXPECT_EQ(mean_of({kMax, kMax, kMax}), kMax);
  EXPECT_EQ(mean_of({-kMax, kMax, kMax, -kMax}), 0.0);
  EXPECT_DOUBLE_EQ(mean_of({0.9 * kMax, kMax, 0.8 * kMax}), 0.9 * kMax);
  EXPECT_DOUBLE_EQ(mean_of({10.0, 11.0, 12.0}), 11.0);
  EXPECT_TRUE(std::isnan(mean_of({})));
}

// A series whose values and errors reach the largest double: the forecasts stay finite, the
// error windows do not overflow and the state still reads back.
TEST(AutoCombination, HugeValuesKeepForecastsAndStateFinite) {
  AutoSelector a(AutoConfig{12, 4, {}});
  for (int t = 0; t < 40; ++t) a.update(t, (t % 2 ? 0.9 : -0.9) * kMax);
  ASSERT_TRUE(a.is_initialized());
  for (int h = 1; h <= 6; ++h) EXPECT_TRUE(std::isfinite(a.forecast_steps(h))) << h;
  std::unique_ptr<tarn::Model> back;
  ASSERT_NO_THROW(back = tarn::Model::deserialize(a.serialize()));
  EXPECT_EQ(back->forecast_steps(3), a.forecast_steps(3));
  EXPECT_EQ(back->describe(), a.describe());
}

TEST(AutoCombination, ShortSeriesFitsNaiveWhenTheSeriesEnds) {
  AutoSelector a(AutoConfig{8, 0, {}});
  EXPECT_FALSE(a.fit_available());  // nothing seen yet
  const std::vector<double> y = {4.0, 5.0, std::nan(""), 7.0, 6.0};
  for (std::size_t t = 0; t < y.size(); ++t) a.update(static_cast<std::int64_t>(t), y[t]);
  EXPECT_FALSE(a.is_initialized());
  EXPECT_TRUE(a.fit_available());
  EXPECT_EQ(a.forecast_steps(1), 6.0);
  EXPECT_EQ(a.forecast_steps(5), 6.0);
  EXPECT_EQ(a.choice(), "snaive");
  EXPECT_NE(a.describe().find("naive forecast"), std::string::npos) << a.describe();
  a.update(5, 9.0);  // further values update it in O(1)
  EXPECT_EQ(a.forecast_steps(1), 9.0);
  // Enough values for a model search: fit_available runs the search on them.
  AutoSelector b(AutoConfig{100, 0, {}});
  for (int t = 0; t < 30; ++t) b.update(t, 10.0 + t + (t % 3));
  ASSERT_TRUE(b.fit_available());
  EXPECT_EQ(b.choice(), "combination");
  EXPECT_GT(b.candidate_names().size(), 1u);
  EXPECT_NEAR(b.forecast_steps(1), 41.0, 3.0);
}

TEST(AutoCombination, AllMissingSeriesStaysUnfitted) {
  AutoSelector a(AutoConfig{8, 0, {}});
  for (int t = 0; t < 4; ++t) a.update(t, std::nan(""));
  EXPECT_FALSE(a.fit_available());
  EXPECT_THROW(a.forecast_steps(1), tarn::NotInitialized);
}

}  // namespace

namespace {

std::vector<double> trending(std::size_t n) {
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) {
    y.push_back(50.0 + 3.0 * static_cast<double>(t) + 5.0 * std::sin(0.9 * static_cast<double>(t)));
  }
  return y;
}

TEST(AutoLogInput, FitsTheSeriesOnItsOwnScale) {
  const auto x = trending(40);
  AutoSelector raw(AutoConfig{40, 0, {}});
  AutoSelector logged(AutoConfig{40, 0, {}});
  EXPECT_TRUE(logged.set_log_input(2.0));
  for (std::size_t t = 0; t < x.size(); ++t) {
    raw.update(static_cast<std::int64_t>(t), x[t]);
    logged.update(static_cast<std::int64_t>(t), std::log(x[t] + 2.0));
  }
  ASSERT_TRUE(logged.is_initialized());
  for (int h = 1; h <= 8; ++h) {
    EXPECT_NEAR(logged.forecast_steps(h), std::log(raw.forecast_steps(h) + 2.0), 1e-9) << h;
  }
  // Updates are taken on the fed scale too, and the transform survives a state round trip.
  raw.update(40, 170.0);
  logged.update(40, std::log(172.0));
  EXPECT_NEAR(logged.forecast_steps(2), std::log(raw.forecast_steps(2) + 2.0), 1e-9);
  const auto back = tarn::Model::deserialize(logged.serialize());
  EXPECT_EQ(back->forecast_steps(3), logged.forecast_steps(3));
  EXPECT_NE(back->describe().find("ln(x + 2)"), std::string::npos) << back->describe();
}

TEST(AutoLogInput, ForecastBelowTheShiftStaysFinite) {
  // A steep fall: the theta forecast on the series' scale goes below -2, which has no
  // logarithm; the fed-scale forecast is the lowest the transform carries.
  AutoSelector a(AutoConfig{20, 0, {"theta"}});
  a.set_log_input(2.0);
  for (int t = 0; t < 20; ++t) a.update(t, std::log(100.0 - 5.0 * t + 2.0));
  ASSERT_TRUE(a.is_initialized());
  const double far = a.forecast_steps(12);
  EXPECT_TRUE(std::isfinite(far));
  EXPECT_LT(std::exp(far) - 2.0, -1.9);
}

TEST(AutoLogInput, SetOnlyBeforeTheFirstValueAndWithASoundShift) {
  AutoSelector a(AutoConfig{8, 0, {}});
  EXPECT_THROW(a.set_log_input(-1.0), tarn::InvalidArgument);
  EXPECT_THROW(a.set_log_input(std::nan("")), tarn::InvalidArgument);
  a.update(0, 1.0);
  EXPECT_THROW(a.set_log_input(2.0), tarn::InvalidArgument);
  // Other models take their values as they are.
  auto hw = tarn::build("hws", {{"samples_per_season", 1}, {"initial_training_seasons", 8}});
  EXPECT_FALSE(hw->set_log_input(2.0));
}

}  // namespace

namespace {

// A monthly season whose swing grows with the level (multiplicative), or stays (additive).
std::vector<double> monthly(bool multiplicative) {
  std::vector<double> y;
  for (int t = 0; t < 96; ++t) {
    const double level = 20.0 + 1.5 * t, s = std::sin(2 * M_PI * t / 12.0);
    const double noise = 0.2 * std::sin(1.7 * t);
    y.push_back(multiplicative ? level * (1.0 + 0.4 * s) + noise : level + 8.0 * s + noise);
  }
  return y;
}

TEST(HoltWintersSeasonForm, ChosenByAiccWhenAsked) {
  for (bool mult : {true, false}) {
    tarn::HoltWintersConfig c;
    c.samples_per_season = 12;
    c.initial_training_seasons = 8;
    c.choose_season_form = true;
    tarn::HoltWinters m(c);
    const auto y = monthly(mult);
    for (int t = 0; t < 96; ++t) m.update(t, y[static_cast<std::size_t>(t)]);
    ASSERT_TRUE(m.is_initialized());
    const std::string text = m.describe();
    EXPECT_NE(text.find(mult ? "multiplicative season" : "additive season"), std::string::npos)
        << text;
    const auto back = tarn::Model::deserialize(m.serialize());
    EXPECT_EQ(back->describe(), text);
    EXPECT_EQ(back->forecast_steps(7), m.forecast_steps(7));
  }
}

}  // namespace

namespace {

TEST(ArimaLogInput, ArimaFitsTheSeriesArmaTakesTheLogs) {
  const auto x = trending(60);
  auto raw = tarn::build("arima", {{"min_training_data", 60}});
  auto logged = tarn::build("arima", {{"min_training_data", 60}});
  EXPECT_TRUE(logged->set_log_input(2.0));
  for (std::size_t t = 0; t < x.size(); ++t) {
    raw->update(static_cast<std::int64_t>(t), x[t]);
    logged->update(static_cast<std::int64_t>(t), std::log(x[t] + 2.0));
  }
  ASSERT_TRUE(logged->is_initialized());
  for (int h = 1; h <= 6; ++h) {
    EXPECT_NEAR(logged->forecast_steps(h), std::log(raw->forecast_steps(h) + 2.0), 1e-9) << h;
  }
  const auto back = tarn::Model::deserialize(logged->serialize());
  EXPECT_EQ(back->forecast_steps(4), logged->forecast_steps(4));
  EXPECT_NE(back->describe().find("ln(x + 2)"), std::string::npos) << back->describe();
  EXPECT_THROW(logged->set_log_input(2.0), tarn::InvalidArgument);  // values already seen
  auto arma = tarn::build("arma", {{"min_training_data", 20}});
  EXPECT_FALSE(arma->set_log_input(2.0));
}

}  // namespace
