// Seasons a calendar implies: which ones each step gives, how the season search uses them, and
// how they reach the models that find their own seasons (with their saved states).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tarn/auto.hpp"
#include "tarn/builders.hpp"
#include "tarn/calendar.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/mstl.hpp"
#include "tarn/season.hpp"
#include "tarn/training_sizes.hpp"

namespace {

namespace cal = tarn::calendar;
constexpr double kPi = 3.14159265358979323846;
constexpr std::int64_t kNsPerHour = 3'600'000'000'000LL;

cal::Axis axis_of(cal::Unit unit, std::int64_t step_ns) {
  cal::Axis a;
  a.unit = unit;
  a.step_ns = step_ns;
  return a;
}

// A slow trend, a wandering level, noise and a non-sinusoidal cycle per season (three
// harmonics with random phases); the seasons may be fractional.
std::vector<double> seasonal(std::size_t n, const std::vector<double>& seasons, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 1.0), walk(0.0, 0.15);
  std::uniform_real_distribution<double> phase(0.0, 2 * kPi);
  std::vector<double> y(n, 100.0);
  double level = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    level += walk(rng);
    y[t] += 0.01 * static_cast<double>(t) + level + eps(rng);
  }
  for (std::size_t i = 0; i < seasons.size(); ++i) {
    for (int k = 1; k <= 3; ++k) {
      const double amp = (i == 0 ? 6.0 : 4.0) / k, ph = phase(rng);
      for (std::size_t t = 0; t < n; ++t) {
        y[t] += amp * std::sin(2 * kPi * k * static_cast<double>(t) / seasons[i] + ph);
      }
    }
  }
  return y;
}

TEST(CalendarSeasons, EachStepGetsTheCyclesLongerThanIt) {
  const cal::Axis days = axis_of(cal::Unit::kDay, cal::kNsPerDay);
  EXPECT_EQ(cal::calendar_seasons(days, 1), (std::vector<double>{7.0, 365.25}));
  EXPECT_EQ(cal::calendar_seasons(days, 7), (std::vector<double>{365.25 / 7.0}));
  EXPECT_EQ(cal::calendar_seasons(days, 2), (std::vector<double>{365.25 / 2.0}));  // no week
  EXPECT_TRUE(cal::calendar_seasons(days, 365).empty());
  EXPECT_TRUE(cal::calendar_seasons(days, 0).empty());
  const cal::Axis hours = axis_of(cal::Unit::kHour, kNsPerHour);
  EXPECT_EQ(cal::calendar_seasons(hours, 1), (std::vector<double>{24.0, 168.0, 8766.0}));
  const cal::Axis minutes = axis_of(cal::Unit::kMinute, 60'000'000'000LL);
  EXPECT_EQ(cal::calendar_seasons(minutes, 30), (std::vector<double>{48.0, 336.0, 17532.0}));
  cal::Axis months;
  months.unit = cal::Unit::kMonth;
  EXPECT_EQ(cal::calendar_seasons(months, 1), (std::vector<double>{12.0}));
  EXPECT_EQ(cal::calendar_seasons(months, 3), (std::vector<double>{4.0}));
  EXPECT_TRUE(cal::calendar_seasons(months, 12).empty());
  cal::Axis weekdays = days;
  weekdays.business_days = true;
  const auto b = cal::calendar_seasons(weekdays, 1);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0], 5.0);
  EXPECT_NEAR(b[1], 260.89, 0.01);
  // From the axis values: the step of their grid (weekly dates on a day axis), none when
  // irregular or too few.
  EXPECT_EQ(cal::calendar_seasons(days, std::vector<std::int64_t>{0, 7, 14, 28}),
            (std::vector<double>{365.25 / 7.0}));
  EXPECT_TRUE(cal::calendar_seasons(days, std::vector<std::int64_t>{0}).empty());
  EXPECT_TRUE(cal::calendar_seasons(days, std::vector<std::int64_t>{0, 1, 500}).empty());
}

TEST(CalendarSeasons, TheSearchSnapsToThemAndTestsTheOnesItMissed) {
  const std::vector<double> daily = {7.0, 365.25};
  // Four years of daily data with a week and a year of 365 days: the year is 365 days with
  // the calendar told, whatever neighbouring lag the autocorrelation preferred.
  for (unsigned seed : {2u, 3u, 4u}) {  // alone: 362, 364 and no year
    const auto y = seasonal(365 * 4, {7.0, 365.0}, seed);
    EXPECT_EQ(tarn::detect_seasons(y.data(), y.size(), daily), (std::vector<int>{7, 365})) << seed;
  }
  // Weekly data over twelve years: a year of 52 weeks, also for the single-season search.
  const auto weekly = seasonal(52 * 12, {365.25 / 7.0}, 4);
  EXPECT_EQ(tarn::detect_seasons(weekly.data(), weekly.size(), {365.25 / 7.0}),
            (std::vector<int>{52}));
  EXPECT_EQ(tarn::calendar_period(53, {365.25 / 7.0}), 52);
  EXPECT_EQ(tarn::calendar_period(52, {365.25 / 7.0}), 52);
  EXPECT_EQ(tarn::calendar_period(48, {365.25 / 7.0}), 48);  // too far off: left as found
  EXPECT_EQ(tarn::calendar_period(12, {}), 12);
  // Under three cycles the search cannot look; the calendar's season is tested from two on,
  // and the selector takes it over a season the calendar does not know.
  std::vector<double> short_weekly(150);
  {
    std::mt19937 g(11);
    std::normal_distribution<double> e(0.0, 1.0);
    for (std::size_t t = 0; t < short_weekly.size(); ++t) {
      const double u = static_cast<double>(t);
      short_weekly[t] = 300.0 + 0.03 * u + 3.0 * std::sin(2 * kPi * u / (365.25 / 7.0)) +
                        std::cos(4 * kPi * u / (365.25 / 7.0)) + 0.3 * e(g);
    }
  }
  EXPECT_EQ(tarn::calendar_season(short_weekly.data(), 150, {365.25 / 7.0}, 75), 52);
  EXPECT_EQ(tarn::calendar_season(short_weekly.data(), 100, {365.25 / 7.0}, 50), 1);
  for (const bool told : {false, true}) {
    tarn::AutoConfig config;
    config.min_training_data = 150;
    tarn::AutoSelector sel(config);
    if (told) sel.set_calendar_seasons({365.25 / 7.0});
    for (std::size_t t = 0; t < 150; ++t) sel.update(static_cast<std::int64_t>(t), short_weekly[t]);
    ASSERT_TRUE(sel.is_initialized());
    // (Alone, the search reads a season of 2 into the noise here; the calendar's year stands
    // above it.)
    EXPECT_EQ(sel.season_length() == 52, told);
  }
  // A fractional calendar season brings the decomposition, on the rounded season, into the
  // combination of the single-season families; a whole one (or none) does not.
  for (const double year : {365.25 / 7.0, 52.0, 0.0}) {
    tarn::AutoConfig config;
    config.min_training_data = static_cast<std::int64_t>(weekly.size());
    tarn::AutoSelector sel(config);
    if (year > 0.0) sel.set_calendar_seasons({year});
    for (std::size_t t = 0; t < weekly.size(); ++t) {
      sel.update(static_cast<std::int64_t>(t), weekly[t]);
    }
    ASSERT_TRUE(sel.is_initialized());
    const auto names = sel.candidate_names();
    const bool decomposed = std::find(names.begin(), names.end(), "mstl") != names.end();
    EXPECT_EQ(decomposed, year == 365.25 / 7.0) << year;
    EXPECT_EQ(std::count(names.begin(), names.end(), "hws"), 1) << year;
    if (decomposed) {
      EXPECT_NE(sel.describe().find("seasons=52;"), std::string::npos) << sel.describe();
      auto copy = tarn::Model::deserialize(sel.serialize());
      EXPECT_EQ(copy->forecast_steps(52.0), sel.forecast_steps(52.0));
    }
  }
  // Noise and a wandering level have no season, calendar or not: the chance share of 365
  // means over four years (about a third) is not taken for one.
  std::mt19937 rng(5);
  std::normal_distribution<double> eps(0.0, 1.0);
  std::vector<double> noise(365 * 4), walk(365 * 4);
  double level = 0.0;
  for (std::size_t t = 0; t < noise.size(); ++t) {
    noise[t] = eps(rng);
    level += eps(rng);
    walk[t] = level;
  }
  EXPECT_TRUE(tarn::detect_seasons(noise.data(), noise.size(), daily).empty());
  EXPECT_TRUE(tarn::detect_seasons(walk.data(), walk.size(), daily).empty());
  EXPECT_EQ(tarn::calendar_season(noise.data(), 150, {365.25 / 7.0}, 75), 1);
  EXPECT_EQ(tarn::calendar_season(walk.data(), 150, {365.25 / 7.0}, 75), 1);
  // A calendar season must nest with the ones found: a year of 12 months is not added beside
  // a found cycle of 24 (whose second harmonic it is), which would make two seasons of one.
  const auto two_years = seasonal(240, {24.0}, 12);
  const auto alone = tarn::detect_seasons(two_years.data(), two_years.size());
  ASSERT_EQ(alone, (std::vector<int>{24}));
  EXPECT_EQ(tarn::detect_seasons(two_years.data(), two_years.size(), {12.0}), alone);
  // Seasons too long for the data (fewer than three cycles) are not tested.
  const auto daily_two_years = seasonal(365 * 2, {7.0}, 6);
  EXPECT_EQ(tarn::detect_seasons(daily_two_years.data(), daily_two_years.size(), daily),
            (std::vector<int>{7}));
}

TEST(CalendarSeasons, LongSeasonsTrainOnEveryCycleSingleSeasonsStayBounded) {
  // Eight weeks of hourly data: every value (the 1,000-value cap held under six weeks).
  const auto hourly = seasonal(168 * 8, {24.0, 168.0}, 7);
  EXPECT_EQ(tarn::series_sizes(hourly.data(), hourly.size(), 200, 8).training, 168 * 8);
  // Far longer: bounded by the cycles the decomposition smooths over.
  const auto long_hourly = seasonal(168 * 20, {24.0, 168.0}, 8);
  const std::int64_t bounded =
      tarn::series_sizes(long_hourly.data(), long_hourly.size(), 200, 8).training;
  EXPECT_GE(bounded, tarn::kLongSeasonCycles * 160);
  EXPECT_LE(bounded, tarn::kLongSeasonCycles * 168);
  // One ordinary season keeps the usual cap.
  const auto monthly = seasonal(3000, {12.0}, 9);
  EXPECT_EQ(tarn::series_sizes(monthly.data(), monthly.size(), 200, 8).training,
            tarn::kTrainingCap);
}

TEST(CalendarSeasons, SeasonsAModelCarryingOneLeavesOutAreNamed) {
  const auto hourly = seasonal(168 * 8, {24.0, 168.0}, 7);
  const tarn::LeftOutSeasons two = tarn::seasons_left_out(hourly.data(), hourly.size(), {}, 0);
  ASSERT_EQ(two.found, (std::vector<int>{24, 168}));
  EXPECT_EQ(two.carried, 24);  // what the search within reach finds
  EXPECT_EQ(two.left, std::vector<int>{168});
  EXPECT_EQ(two.note("hw"),
            "the data show seasons of 24 and 168 steps; hw carries one season of at most 200 "
            "steps (here 24): mstl or autoforecaster model them all");
  EXPECT_EQ(tarn::seasons_left_out(hourly.data(), hourly.size(), {}, 1).left,
            (std::vector<int>{24, 168}));
  // One season within reach is carried: nothing to say; nor is anything on a short series.
  const auto monthly = seasonal(3000, {12.0}, 9);
  EXPECT_TRUE(tarn::seasons_left_out(monthly.data(), monthly.size(), {}, 0).note("bats").empty());
  EXPECT_TRUE(tarn::seasons_left_out(hourly.data(), 500, {}, 0).found.empty());
  // A season beyond reach is named even alone.
  const auto yearly = seasonal(365 * 4, {365.0}, 3);
  const tarn::LeftOutSeasons year = tarn::seasons_left_out(yearly.data(), yearly.size(), {}, 0);
  ASSERT_EQ(year.found.size(), 1u);
  EXPECT_GT(year.found[0], 200);
  EXPECT_EQ(year.left, year.found);
}

TEST(CalendarSeasons, ModelsAreToldThemThroughTheSessionAndKeepThemInTheirState) {
  const std::size_t n = 365 * 4;
  const auto y = seasonal(n + 60, {7.0, 365.0}, 2);
  std::vector<std::int64_t> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<std::int64_t>(i);
  tarn::Forecaster::TrainInput in{t.data(), y.data(), n, 1, false, false};
  in.calendar_seasons = {7.0, 365.25};
  tarn::Forecaster session;
  session.train(in,
                {std::shared_ptr<tarn::Model>(
                    tarn::build("mstl", {{"training_sample_size", std::int64_t(n)}}))},
                nullptr);
  ASSERT_TRUE(session.ready());
  const auto* m = dynamic_cast<const tarn::Mstl*>(session.models()[0].get());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->seasons(), (std::vector<int>{7, 365}));

  // An untrained selector keeps the calendar in its state; a trained one forecasts the same
  // after a round trip, with its long-season candidate on the calendar's year.
  auto sel = tarn::build("auto", {{"min_training_data", std::int64_t(n)}});
  sel->set_calendar_seasons({7.0, 365.25});
  auto copy = tarn::Model::deserialize(sel->serialize());
  for (std::size_t i = 0; i < n; ++i) {
    sel->update(t[i], y[i]);
    copy->update(t[i], y[i]);
  }
  ASSERT_TRUE(sel->is_initialized());
  EXPECT_NE(sel->describe().find("seasons=7,365;"), std::string::npos) << sel->describe();
  EXPECT_EQ(copy->forecast_steps(30.0), sel->forecast_steps(30.0));
  auto again = tarn::Model::deserialize(sel->serialize());
  EXPECT_EQ(again->forecast_steps(30.0), sel->forecast_steps(30.0));
  // Told after its first value, a model keeps what it had; bad values are dropped.
  sel->set_calendar_seasons({3.0});
  EXPECT_EQ(tarn::Model::deserialize(sel->serialize())->forecast_steps(30.0),
            sel->forecast_steps(30.0));
  auto mstl = tarn::build("mstl", {});
  mstl->set_calendar_seasons({std::nan(""), 1.0, 12.0});
  EXPECT_NO_THROW(tarn::Model::deserialize(mstl->serialize()));
}

}  // namespace

// A calendar of one whole season names it: the selector tells every candidate, whatever its
// own search makes of the data, and the candidates decide whether the data show it. Several
// seasons or a fractional one name nothing; a season found that spans whole cycles of the named
// one stays.
TEST(CalendarSeasons, OneWholeCalendarSeasonIsGivenToTheCandidates) {
  std::mt19937 g(21);
  std::normal_distribution<double> e(0.0, 1.0);
  std::vector<double> weak(120);
  double level = 50.0;
  for (std::size_t t = 0; t < weak.size(); ++t) {
    level += 0.5 * e(g);
    weak[t] = level + 0.6 * std::sin(2 * kPi * static_cast<double>(t) / 12.0) + e(g);
  }
  auto season_of = [](const std::vector<double>& y, const std::vector<double>& calendar) {
    tarn::AutoConfig config;
    config.min_training_data = static_cast<std::int64_t>(y.size());
    tarn::AutoSelector sel(config);
    if (!calendar.empty()) sel.set_calendar_seasons(calendar);
    for (std::size_t t = 0; t < y.size(); ++t) sel.update(static_cast<std::int64_t>(t), y[t]);
    EXPECT_TRUE(sel.is_initialized());
    return sel.season_length();
  };
  ASSERT_NE(season_of(weak, {}), 12);  // too weak for the search alone
  EXPECT_EQ(season_of(weak, {12.0}), 12);
  EXPECT_EQ(season_of(weak, {4.0}), 4);
  EXPECT_EQ(season_of(weak, {12.2}), season_of(weak, {}));        // fractional: names nothing
  EXPECT_EQ(season_of(weak, {12.0, 60.0}), season_of(weak, {}));  // several: the search's
  // Under two cycles of the named season the data cannot show it.
  const std::vector<double> short_one(weak.begin(), weak.begin() + 20);
  EXPECT_EQ(season_of(short_one, {12.0}), season_of(short_one, {}));
  // A cycle of 24 found in monthly data carries the year of 12 and stays.
  const auto two_years = seasonal(240, {24.0}, 12);
  ASSERT_EQ(season_of(two_years, {}), 24);
  EXPECT_EQ(season_of(two_years, {12.0}), 24);
  EXPECT_EQ(tarn::named_season({12.0}), 12);
  EXPECT_EQ(tarn::named_season({365.25 / 7.0}), 1);
  EXPECT_EQ(tarn::named_season({}), 1);
}
