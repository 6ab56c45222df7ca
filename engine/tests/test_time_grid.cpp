#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tarn/calendar.hpp"

namespace cal = tarn::calendar;

namespace {

std::int64_t date(std::int64_t y, unsigned m, unsigned d, std::int64_t minutes = 0) {
  return cal::days_from_civil(y, m, d) * cal::kNsPerDay + minutes * 60'000'000'000LL;
}

std::vector<std::int64_t> positions(const cal::Grid& g, const std::vector<std::int64_t>& t) {
  std::vector<std::int64_t> out;
  EXPECT_TRUE(cal::grid_positions(g, t, &out));
  return out;
}

}  // namespace

TEST(TimeGrid, GappedQuarterEndsCountMissingQuarters) {
  // Quarter ends with the third quarter of 2021 absent.
  const std::vector<std::int64_t> t = {date(2021, 3, 31), date(2021, 6, 30), date(2021, 12, 31),
                                       date(2022, 3, 31)};
  const cal::Grid g = cal::detect_grid(t);
  EXPECT_EQ(g.axis.unit, cal::Unit::kMonth);
  EXPECT_EQ(g.step, 3);
  EXPECT_TRUE(g.regular);
  EXPECT_EQ(cal::step_name(g), "quarter");
  EXPECT_EQ(positions(g, t), (std::vector<std::int64_t>{0, 1, 3, 4}));
  EXPECT_EQ(cal::grid_time(g, t[0], 2), date(2021, 9, 30));
  EXPECT_EQ(cal::next_dates(t, 1)[0], date(2022, 6, 30));
}

TEST(TimeGrid, BusinessDaysCountWeekdaysOnly) {
  // Mon 2024-01-01 .. Fri 01-05, Mon 01-08, (Tue 01-09 absent), Wed 01-10, Thu 01-11.
  const std::vector<std::int64_t> t = {date(2024, 1, 1),  date(2024, 1, 2), date(2024, 1, 3),
                                       date(2024, 1, 4),  date(2024, 1, 5), date(2024, 1, 8),
                                       date(2024, 1, 10), date(2024, 1, 11)};
  const cal::Grid g = cal::detect_grid(t);
  EXPECT_TRUE(g.business_days);
  EXPECT_EQ(cal::step_name(g), "business day");
  EXPECT_EQ(positions(g, t), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 7, 8}));
  EXPECT_EQ(cal::grid_time(g, t[0], 6), date(2024, 1, 9));
  EXPECT_EQ(cal::grid_time(g, t.back(), 2), date(2024, 1, 15));
  EXPECT_EQ(cal::grid_time(g, t.back(), -4), date(2024, 1, 5));
  std::vector<std::int64_t> out;
  EXPECT_FALSE(cal::grid_positions(g, {date(2024, 1, 6)}, &out));  // a Saturday
}

TEST(TimeGrid, MinuteStepsAndIrregularSeries) {
  std::vector<std::int64_t> t;
  for (int i = 0; i < 10; ++i) t.push_back(date(2024, 3, 1, 5 * i));
  t.erase(t.begin() + 4);
  const cal::Grid g = cal::detect_grid(t);
  EXPECT_EQ(g.axis.unit, cal::Unit::kMinute);
  EXPECT_EQ(g.step, 5);
  EXPECT_EQ(cal::step_name(g), "timestamp");
  EXPECT_EQ(positions(g, t).back(), 9);
  // A spacing that is not a whole number of steps, and a grid that would be mostly empty.
  const cal::Grid odd =
      cal::detect_grid({date(2024, 3, 1), date(2024, 3, 3), date(2024, 3, 6), date(2024, 3, 8)});
  EXPECT_FALSE(odd.regular);
  EXPECT_EQ(odd.step, 2);  // the median spacing then
  EXPECT_FALSE(cal::detect_grid({0, 1, 2, 500}, true).regular);
}

TEST(TimeGrid, PlainIntegersStepByTheirSmallestSpacing) {
  const cal::Grid g = cal::detect_grid({10, 30, 40, 60, 70}, true);
  EXPECT_TRUE(g.plain && g.regular);
  EXPECT_EQ(g.step, 10);
  EXPECT_EQ(positions(g, {10, 30, 40, 60, 70}), (std::vector<std::int64_t>{0, 2, 3, 5, 6}));
  EXPECT_EQ(cal::grid_time(g, 70, 3), 100);
  EXPECT_THROW(cal::detect_grid({3, 3}, true), std::invalid_argument);
  EXPECT_THROW(cal::detect_grid({}, true), std::invalid_argument);
}
