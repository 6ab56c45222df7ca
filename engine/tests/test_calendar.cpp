#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/calendar.hpp"

namespace cal = tarn::calendar;

namespace {

std::int64_t date(std::int64_t y, unsigned m, unsigned d, std::int64_t hours = 0) {
  return cal::days_from_civil(y, m, d) * cal::kNsPerDay + hours * 3'600'000'000'000LL;
}

std::vector<std::int64_t> on_axis(const cal::Axis& a, const std::vector<std::int64_t>& ns) {
  std::vector<std::int64_t> out;
  for (std::int64_t t : ns) {
    std::int64_t v = 0;
    EXPECT_TRUE(cal::to_axis(a, t, &v));
    out.push_back(v);
  }
  return out;
}

}  // namespace

TEST(Calendar, CivilDaysRoundTripAcrossLeapYearsAndBeforeTheEpoch) {
  EXPECT_EQ(cal::days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(cal::days_from_civil(2000, 3, 1) - cal::days_from_civil(2000, 2, 28), 2);
  EXPECT_EQ(cal::days_from_civil(1900, 3, 1) - cal::days_from_civil(1900, 2, 28), 1);
  for (std::int64_t z : {-800000LL, -1LL, 0LL, 11016LL, 20000LL, 2900000LL}) {
    std::int64_t y;
    unsigned m, d;
    cal::civil_from_days(z, &y, &m, &d);
    EXPECT_EQ(cal::days_from_civil(y, m, d), z);
  }
  EXPECT_EQ(cal::days_in_month(2024, 2), 29u);
  EXPECT_EQ(cal::days_in_month(2023, 2), 28u);
}

TEST(Calendar, MonthlyDataStepByCalendarMonths) {
  std::vector<std::int64_t> ns;
  for (unsigned m = 1; m <= 12; ++m) ns.push_back(date(2015, m, 1));
  const cal::Axis a = cal::detect(ns);
  EXPECT_EQ(a.unit, cal::Unit::kMonth);
  const auto v = on_axis(a, ns);
  for (std::size_t i = 1; i < v.size(); ++i) EXPECT_EQ(v[i] - v[i - 1], 1);
  EXPECT_EQ(cal::from_axis(a, v.back() + 1.0), date(2016, 1, 1));
  EXPECT_EQ(cal::from_axis(a, v.back() + 2.0), date(2016, 2, 1));
  EXPECT_EQ(cal::next_dates(ns, 2),
            (std::vector<std::int64_t>{date(2016, 1, 1), date(2016, 2, 1)}));
}

TEST(Calendar, MonthEndsStayMonthEndsAndQuartersStepThreeMonths) {
  std::vector<std::int64_t> ends{date(2023, 11, 30), date(2023, 12, 31), date(2024, 1, 31)};
  const cal::Axis a = cal::detect(ends);
  ASSERT_EQ(a.unit, cal::Unit::kMonth);
  EXPECT_TRUE(a.month_end);
  EXPECT_EQ(cal::next_dates(ends, 2),
            (std::vector<std::int64_t>{date(2024, 2, 29), date(2024, 3, 31)}));
  std::vector<std::int64_t> quarters{date(2020, 1, 15, 6), date(2020, 4, 15, 6),
                                     date(2020, 7, 15, 6)};
  EXPECT_EQ(cal::next_dates(quarters, 1), std::vector<std::int64_t>{date(2020, 10, 15, 6)});
  // A date between the months is not on the axis.
  std::int64_t v;
  EXPECT_FALSE(cal::to_axis(cal::detect(quarters), date(2020, 8, 1, 6), &v));
}

// Monthly dates of a day late in the month, put on the last day of shorter months (as a month
// added to the 30th gives), and a month's last or first business day, step by months too.
TEST(Calendar, ClippedDaysAndBusinessMonthsStepByMonths) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> dates, next;
    bool business_month, month_end;
  };
  const Case cases[] = {
      {"the 30th",
       {date(2022, 12, 30), date(2023, 1, 30), date(2023, 2, 28), date(2023, 3, 30)},
       {date(2023, 4, 30), date(2023, 5, 30), date(2023, 6, 30)},
       false,
       false},
      // Last business days: 2022-12-30 (a Friday) ...; then 2023-04-28 (the 30th is a Sunday).
      {"closes",
       {date(2022, 12, 30), date(2023, 1, 31), date(2023, 2, 28), date(2023, 3, 31)},
       {date(2023, 4, 28), date(2023, 5, 31), date(2023, 6, 30)},
       true,
       true},
      // First business days: 2022-07-01 (a Friday), ..., 2022-10-03 (the 1st is a Saturday).
      {"opens",
       {date(2022, 7, 1), date(2022, 8, 1), date(2022, 9, 1), date(2022, 10, 3)},
       {date(2022, 11, 1), date(2022, 12, 1)},
       true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const cal::Axis a = cal::detect(c.dates);
    ASSERT_EQ(a.unit, cal::Unit::kMonth);
    EXPECT_EQ(a.business_month, c.business_month);
    EXPECT_EQ(a.month_end, c.month_end);
    const auto v = on_axis(a, c.dates);
    for (std::size_t i = 1; i < v.size(); ++i) EXPECT_EQ(v[i] - v[i - 1], 1);
    EXPECT_EQ(cal::next_dates(c.dates, c.next.size()), c.next);
  }
  EXPECT_EQ(on_axis(cal::detect(cases[0].dates), cases[0].dates).front(), 635);  // 2022-12
  const cal::Axis opens = cal::detect(cases[2].dates);
  std::int64_t v;
  EXPECT_FALSE(cal::to_axis(opens, date(2023, 1, 1), &v));  // a Sunday, not January's first
  EXPECT_TRUE(cal::to_axis(opens, date(2023, 1, 2), &v));
  // Days that follow none of these rules are no months.
  EXPECT_NE(cal::detect({date(2023, 1, 5), date(2023, 2, 12), date(2023, 3, 30)}).unit,
            cal::Unit::kMonth);
}

TEST(Calendar, DailyWeeklyAndHourlyUseTheLargestWholeUnit) {
  std::vector<std::int64_t> days{date(2015, 1, 1), date(2015, 1, 2), date(2015, 1, 3)};
  cal::Axis a = cal::detect(days);
  EXPECT_EQ(a.unit, cal::Unit::kDay);
  EXPECT_EQ(on_axis(a, days), (std::vector<std::int64_t>{16436, 16437, 16438}));
  EXPECT_EQ(cal::next_dates(days, 1), std::vector<std::int64_t>{date(2015, 1, 4)});

  std::vector<std::int64_t> weeks{date(2015, 1, 5), date(2015, 1, 12), date(2015, 1, 26)};
  EXPECT_EQ(cal::detect(weeks).unit, cal::Unit::kDay);
  // A week absent: the series still steps by weeks (its smallest spacing).
  EXPECT_EQ(cal::next_dates(weeks, 1), std::vector<std::int64_t>{date(2015, 2, 2)});

  std::vector<std::int64_t> hours{date(2015, 1, 1, 1), date(2015, 1, 1, 3), date(2015, 1, 1, 5)};
  a = cal::detect(hours);
  EXPECT_EQ(a.unit, cal::Unit::kHour);
  EXPECT_EQ(cal::next_dates(hours, 1), std::vector<std::int64_t>{date(2015, 1, 1, 7)});
  // Days at noon: a day axis shifted by half a day.
  std::vector<std::int64_t> noons{date(2015, 1, 1, 12), date(2015, 1, 2, 12)};
  a = cal::detect(noons);
  EXPECT_EQ(a.unit, cal::Unit::kDay);
  EXPECT_EQ(cal::from_axis(a, 16438.0), date(2015, 1, 3, 12));
  EXPECT_FALSE(cal::to_axis(a, date(2015, 1, 3), &a.phase_ns));
}

TEST(Calendar, BusinessDaysContinueOnWeekdays) {
  // Wednesday 2015-01-07 to Friday 2015-01-16, weekends left out.
  std::vector<std::int64_t> days;
  for (unsigned d : {7u, 8u, 9u, 12u, 13u, 14u, 15u, 16u}) days.push_back(date(2015, 1, d));
  EXPECT_EQ(cal::next_dates(days, 2),
            (std::vector<std::int64_t>{date(2015, 1, 19), date(2015, 1, 20)}));
  // Every day of the week: the next days, weekend included.
  std::vector<std::int64_t> all{date(2015, 1, 9), date(2015, 1, 10), date(2015, 1, 11)};
  EXPECT_EQ(cal::next_dates(all, 1), std::vector<std::int64_t>{date(2015, 1, 12)});
}

TEST(Calendar, ABusinessDayAxisCountsWeekdaysAndRefusesWeekends) {
  // Thursday 2015-01-08 at 09:30 to Tuesday 2015-01-20, weekends left out.
  std::vector<std::int64_t> days;
  for (unsigned d : {8u, 9u, 12u, 13u, 14u, 15u, 16u, 19u, 20u})
    days.push_back(date(2015, 1, d, 9));
  const cal::Axis axis = cal::detect_step_axis(days);
  ASSERT_TRUE(axis.business_days);
  const std::vector<std::int64_t> v = on_axis(axis, days);
  for (std::size_t i = 1; i < v.size(); ++i) EXPECT_EQ(v[i] - v[i - 1], 1) << i;
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_EQ(cal::from_axis(axis, static_cast<double>(v[i])), days[i]) << i;
  }
  // The steps after the last day are the next weekdays; before the first, the earlier ones.
  EXPECT_EQ(cal::from_axis(axis, static_cast<double>(v.back() + 4)), date(2015, 1, 26, 9));
  EXPECT_EQ(cal::from_axis(axis, static_cast<double>(v[0] - 5)), date(2015, 1, 1, 9));
  std::int64_t out = 0;
  EXPECT_FALSE(cal::to_axis(axis, date(2015, 1, 10, 9), &out));   // a Saturday
  EXPECT_FALSE(cal::to_axis(axis, date(2015, 1, 12, 10), &out));  // off the time of day
  EXPECT_THROW(cal::from_axis(axis, 9e18), std::invalid_argument);
  EXPECT_THROW(cal::from_axis(axis, -3e17), std::invalid_argument);
  // Every day of the week, or weekdays that never skip a weekend: plain days.
  EXPECT_FALSE(cal::detect_step_axis({date(2015, 1, 9), date(2015, 1, 10), date(2015, 1, 11)})
                   .business_days);
  EXPECT_FALSE(
      cal::detect_step_axis({date(2015, 1, 5), date(2015, 1, 6), date(2015, 1, 7)}).business_days);
}

TEST(Calendar, BadSeriesAreRejected) {
  EXPECT_THROW(cal::detect({}), std::invalid_argument);
  EXPECT_THROW(cal::detect({date(2015, 1, 2), date(2015, 1, 1)}), std::invalid_argument);
  EXPECT_THROW(cal::detect({date(2015, 1, 1), date(2015, 1, 1)}), std::invalid_argument);
  EXPECT_THROW(cal::detect({INT64_MIN, date(2015, 1, 1)}), std::invalid_argument);
  EXPECT_THROW(cal::unit_from_name("fortnight"), std::invalid_argument);
  EXPECT_EQ(cal::unit_from_name(cal::unit_name(cal::Unit::kMinute)), cal::Unit::kMinute);
  // A single date: one day forward.
  EXPECT_EQ(cal::next_dates({date(2015, 3, 1)}, 1), std::vector<std::int64_t>{date(2015, 3, 2)});
}

// datetime64[ns] holds 1677-09-21 00:12:43.145224193 to 2262-04-11 23:47:16.854775807: dates
// past either end are refused with the limit named, never wrapped round to the other end.
TEST(Calendar, DatesBeyondTheNanosecondRangeAreRefusedNotWrapped) {
  auto refuses = [](auto&& f, const char* limit) {
    try {
      f();
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(limit), std::string::npos) << e.what();
    }
  };
  std::vector<std::int64_t> months;
  for (unsigned m = 1; m <= 12; ++m) months.push_back(date(2261, m, 1));
  // 2262-01 to 2262-04 exist; 2262-05-01 does not.
  const auto last = cal::next_dates(months, 4);
  EXPECT_EQ(last.back(), date(2262, 4, 1));
  refuses([&] { cal::next_dates(months, 5); }, "2262-04-11");
  // The first of the month in April 2262 exists, the last day of it does not.
  std::vector<std::int64_t> ends{date(2261, 12, 31), date(2262, 1, 31), date(2262, 2, 28)};
  EXPECT_EQ(cal::next_dates(ends, 1).back(), date(2262, 3, 31));
  refuses([&] { cal::next_dates(ends, 2); }, "2262-04-11");
  // Daily, hourly and nanosecond steps, and far-off axis values.
  const std::vector<std::int64_t> days{date(2262, 4, 9), date(2262, 4, 10)};
  EXPECT_EQ(cal::next_dates(days, 1).back(), date(2262, 4, 11));
  refuses([&] { cal::next_dates(days, 2); }, "2262-04-11");
  const std::vector<std::int64_t> seconds{INT64_MAX / 1000000000 * 1000000000 - 2000000000,
                                          INT64_MAX / 1000000000 * 1000000000 - 1000000000};
  EXPECT_EQ(cal::next_dates(seconds, 1).back(), INT64_MAX / 1000000000 * 1000000000);
  refuses([&] { cal::next_dates(seconds, 2); }, "2262-04-11");
  const std::vector<std::int64_t> back{date(1677, 9, 22), date(1677, 9, 22, 1)};
  const cal::Axis hourly = cal::detect(back);
  refuses([&] { cal::from_axis(hourly, -1e30); }, "1677-09-21");
  refuses([&] { cal::from_axis(hourly, -3e14); }, "1677-09-21");
  refuses([&] { cal::from_axis(cal::detect(months), -5000.0); }, "1677-09-21");
  refuses([&] { cal::from_axis(cal::detect(months), 1e300); }, "2262-04-11");
}
