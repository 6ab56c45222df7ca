#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/calendar_features.hpp"

namespace cal = tarn::calendar;

namespace {

std::int64_t date(std::int64_t y, unsigned m, unsigned d) {
  return cal::days_from_civil(y, m, d) * cal::kNsPerDay;
}

double at(const cal::CalendarFeatures& f, std::size_t row, const std::string& name) {
  for (std::size_t c = 0; c < f.names.size(); ++c) {
    if (f.names[c] == name) return f.values[row * f.names.size() + c];
  }
  ADD_FAILURE() << "no column " << name;
  return NAN;
}

}  // namespace

TEST(CalendarFeatures, KnownDatesGiveKnownDummiesWithMondayAndJanuaryAsTheBase) {
  // 2024-01-01 is a Monday; 2024-02-29 a Thursday; 2023-12-31 a Sunday.
  const std::vector<std::int64_t> t{date(2024, 1, 1), date(2024, 2, 29), date(2023, 12, 31)};
  cal::CalendarFeatureSet wanted;
  wanted.day_of_week = true;
  wanted.month = true;
  const cal::Grid grid = cal::detect_grid({date(2024, 1, 1), date(2024, 1, 2)});
  const auto f = cal::calendar_features(t, grid, wanted);
  ASSERT_EQ(f.names.size(), 6u + 11u);
  EXPECT_EQ(f.names.front(), "day_tue");
  EXPECT_EQ(f.names[5], "day_sun");
  EXPECT_EQ(f.names[6], "month_feb");
  EXPECT_EQ(f.names.back(), "month_dec");
  double row0 = 0.0;
  for (std::size_t c = 0; c < f.names.size(); ++c) row0 += f.values[c];
  EXPECT_EQ(row0, 0.0);  // a Monday in January: every dummy off
  EXPECT_EQ(at(f, 1, "day_thu"), 1.0);
  EXPECT_EQ(at(f, 1, "month_feb"), 1.0);
  EXPECT_EQ(at(f, 1, "day_fri"), 0.0);
  EXPECT_EQ(at(f, 2, "day_sun"), 1.0);
  EXPECT_EQ(at(f, 2, "month_dec"), 1.0);
  // Before 1970 too: 1969-12-31 was a Wednesday.
  EXPECT_EQ(cal::day_of_week(date(1969, 12, 31)), 2);
  EXPECT_EQ(cal::month_of(date(1969, 12, 31)), 12u);
}

TEST(CalendarFeatures, FourierTermsContinueAcrossTheTrainingAndFutureSpans) {
  std::vector<std::int64_t> train, all;
  for (unsigned m = 1; m <= 12; ++m) train.push_back(date(2019, m, 1));
  for (unsigned m = 1; m <= 12; ++m) all.push_back(date(2019, m, 1));
  for (unsigned m = 1; m <= 6; ++m) all.push_back(date(2020, m, 1));
  const std::vector<std::int64_t> future(all.begin() + 12, all.end());
  cal::CalendarFeatureSet wanted;
  wanted.fourier = {{12.0, 2}};
  const cal::Grid grid = cal::detect_grid(train);
  const auto whole = cal::calendar_features(all, grid, wanted);
  const auto ahead = cal::calendar_features(future, grid, wanted);
  ASSERT_EQ(whole.names,
            (std::vector<std::string>{"sin_12_1", "cos_12_1", "sin_12_2", "cos_12_2"}));
  for (std::size_t i = 0; i < future.size(); ++i) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(ahead.values[i * 4 + c], whole.values[(12 + i) * 4 + c], 1e-12);
    }
  }
  // One period later the terms repeat, and every step moves the first harmonic by 30 degrees.
  for (std::size_t c = 0; c < 4; ++c) EXPECT_NEAR(whole.values[c], whole.values[48 + c], 1e-12);
  for (std::size_t i = 1; i < all.size(); ++i) {
    const double a0 = std::atan2(whole.values[(i - 1) * 4], whole.values[(i - 1) * 4 + 1]);
    const double a1 = std::atan2(whole.values[i * 4], whole.values[i * 4 + 1]);
    EXPECT_NEAR(std::remainder(a1 - a0 - M_PI / 6, 2 * M_PI), 0.0, 1e-12);
  }
  // The month axis counts from 1970-01: January's angle is zero in every year.
  EXPECT_NEAR(at(whole, 0, "sin_12_1"), 0.0, 1e-12);
  EXPECT_NEAR(at(whole, 0, "cos_12_1"), 1.0, 1e-12);
}

TEST(CalendarFeatures, StepsFollowTheGridStepsBusinessDaysAndIntegers) {
  // Weekly data: one step is 7 days, so a period of 52 steps spans 364 days.
  std::vector<std::int64_t> weeks;
  for (int w = 0; w < 10; ++w) weeks.push_back(date(2024, 1, 1) + w * 7 * cal::kNsPerDay);
  const cal::Grid weekly = cal::detect_grid(weeks);
  double s0 = 0, s1 = 0;
  ASSERT_TRUE(cal::absolute_step(weekly, weeks[0], &s0));
  ASSERT_TRUE(cal::absolute_step(weekly, weeks[1], &s1));
  EXPECT_NEAR(s1 - s0, 1.0, 1e-12);
  // Business days: a Friday and the next Monday are one step apart; a Saturday is off the grid.
  std::vector<std::int64_t> days;
  for (unsigned d : {1u, 2u, 3u, 4u, 5u, 8u, 9u}) days.push_back(date(2024, 1, d));
  const cal::Grid business = cal::detect_grid(days);
  ASSERT_TRUE(business.business_days);
  double fri = 0, mon = 0, sat = 0;
  ASSERT_TRUE(cal::absolute_step(business, date(2024, 1, 5), &fri));
  ASSERT_TRUE(cal::absolute_step(business, date(2024, 1, 8), &mon));
  EXPECT_EQ(mon - fri, 1.0);
  EXPECT_FALSE(cal::absolute_step(business, date(2024, 1, 6), &sat));
  cal::CalendarFeatureSet wanted;
  wanted.fourier = {{5.0, 2}};
  EXPECT_THROW(cal::calendar_features({date(2024, 1, 6)}, business, wanted), std::invalid_argument);
  // Integer times with a step of 10: t is the time over the step.
  const cal::Grid plain = cal::detect_grid({0, 10, 20}, true);
  const auto f = cal::calendar_features({30, 1000000000030LL}, plain, wanted);
  for (std::size_t c = 0; c < f.names.size(); ++c) {
    EXPECT_NEAR(f.values[c], f.values[f.names.size() + c], 1e-9);  // 10^11 steps: whole periods
  }
  EXPECT_NEAR(at(f, 0, "cos_5_1"), std::cos(2 * M_PI * 3 / 5), 1e-12);
}

TEST(CalendarFeatures, BadRequestsAreRefusedWithTheirReason) {
  const cal::Grid plain = cal::detect_grid({0, 1, 2}, true);
  cal::CalendarFeatureSet dummies;
  dummies.day_of_week = true;
  EXPECT_THROW(cal::calendar_features({0, 1}, plain, dummies), std::invalid_argument);
  for (const cal::FourierTerms bad : {cal::FourierTerms{1.0, 1}, cal::FourierTerms{NAN, 1},
                                      cal::FourierTerms{12.0, 0}, cal::FourierTerms{12.0, 7}}) {
    cal::CalendarFeatureSet wanted;
    wanted.fourier = {bad};
    EXPECT_THROW(cal::calendar_feature_names(wanted), std::invalid_argument);
  }
  // Half the period: the sine is zero at every step and left out; the cosine alternates.
  cal::CalendarFeatureSet wanted;
  wanted.fourier = {{2.0, 1}};
  const auto f = cal::calendar_features({0, 1, 2}, plain, wanted);
  EXPECT_EQ(f.names, std::vector<std::string>{"cos_2_1"});
  EXPECT_NEAR(f.values[0], 1.0, 1e-12);
  EXPECT_NEAR(f.values[1], -1.0, 1e-12);
  // A fractional period (365.25 days) is allowed.
  wanted.fourier = {{365.25, 3}};
  EXPECT_EQ(cal::calendar_feature_names(wanted).size(), 6u);
}
