// Reading ISO date-time texts (tarn::calendar::parse_iso_datetime) and the distinctness check.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tarn/calendar.hpp"

namespace cal = tarn::calendar;

namespace {

constexpr std::int64_t kUsPerDay = 86'400'000'000LL;

bool parse(const std::string& text, std::int64_t* us) {
  return cal::parse_iso_datetime(text.data(), text.size(), us);
}

std::int64_t us_of(const std::string& text) {
  std::int64_t us = -12345;
  EXPECT_TRUE(parse(text, &us)) << text;
  return us;
}

bool accepted(const std::string& text) {
  std::int64_t us = 0;
  return parse(text, &us);
}

TEST(Dates, DatesAndTimesOfTheForm) {
  EXPECT_EQ(us_of("1970-01-01"), 0);
  EXPECT_EQ(us_of("1970-01-02"), kUsPerDay);
  EXPECT_EQ(us_of("1969-12-31"), -kUsPerDay);  // before the epoch
  EXPECT_EQ(us_of("2024-03-01T00:00"), cal::days_from_civil(2024, 3, 1) * kUsPerDay);
  // T or a space; seconds and a fraction of one to six digits (microseconds).
  const std::int64_t day = cal::days_from_civil(2021, 6, 15) * kUsPerDay;
  EXPECT_EQ(us_of("2021-06-15 13:45"), day + (13 * 60 + 45) * 60'000'000LL);
  EXPECT_EQ(us_of("2021-06-15T13:45:07"), day + ((13 * 60 + 45) * 60 + 7) * 1'000'000LL);
  EXPECT_EQ(us_of("2021-06-15T00:00:00.5"), day + 500'000);
  EXPECT_EQ(us_of("2021-06-15T00:00:00.000001"), day + 1);
  EXPECT_EQ(us_of("2021-06-15T23:59:59.999999"), day + kUsPerDay - 1);
  EXPECT_EQ(us_of("1000-01-01"), cal::days_from_civil(1000, 1, 1) * kUsPerDay);
  EXPECT_EQ(us_of("9999-12-31"), cal::days_from_civil(9999, 12, 31) * kUsPerDay);
}

TEST(Dates, LeapDaysOnlyInLeapYears) {
  EXPECT_TRUE(accepted("2024-02-29"));
  EXPECT_TRUE(accepted("2000-02-29"));   // divisible by 400
  EXPECT_FALSE(accepted("1900-02-29"));  // by 100 only
  EXPECT_FALSE(accepted("2023-02-29"));
  EXPECT_FALSE(accepted("2024-02-30"));
  EXPECT_EQ(us_of("2024-03-01") - us_of("2024-02-28"), 2 * kUsPerDay);
  EXPECT_EQ(us_of("2023-03-01") - us_of("2023-02-28"), kUsPerDay);
  EXPECT_FALSE(accepted("2024-04-31"));
  EXPECT_TRUE(accepted("2024-12-31"));
}

TEST(Dates, OtherTextsAreRefused) {
  for (const char* text : {"",
                           "2024-1-01",
                           "2024-01-1",
                           "24-01-01",
                           "2024/01/01",
                           "2024-00-10",
                           "2024-13-01",
                           "2024-01-00",
                           "0999-12-31",
                           "2024-01-01T",
                           "2024-01-01T1:00",
                           "2024-01-01T10:00:",
                           "2024-01-01T10:00:0",
                           "2024-01-01T24:00",
                           "2024-01-01T23:60",
                           "2024-01-01T23:59:60",
                           "2024-01-01T10:00:00.",
                           "2024-01-01T10:00:00.1234567",
                           "2024-01-01T10:00:00,5",
                           "2024-01-01x10:00",
                           "2024-01-01T10:00Z",
                           "2024-01-01T10:00:00+01:00",
                           " 2024-01-01",
                           "2024-01-01 ",
                           "2024-01-01T10-00",
                           "2024-01-01T10:00:00.12a"}) {
    EXPECT_FALSE(accepted(text)) << text;
  }
  // Only the given length is read: a longer buffer does not leak into the text.
  const char* buffer = "2024-01-01T10:00";
  std::int64_t us = 0;
  EXPECT_TRUE(cal::parse_iso_datetime(buffer, 10, &us));
  EXPECT_EQ(us, us_of("2024-01-01"));
  EXPECT_FALSE(cal::parse_iso_datetime(buffer, 9, &us));
}

TEST(Dates, AllDistinct) {
  EXPECT_TRUE(cal::all_distinct({}));
  EXPECT_TRUE(cal::all_distinct({5}));
  EXPECT_TRUE(cal::all_distinct({3, 1, 2, INT64_MIN, INT64_MAX}));
  EXPECT_FALSE(cal::all_distinct({3, 1, 2, 1}));  // duplicates need not be neighbours
  EXPECT_FALSE(cal::all_distinct({7, 7}));
}

}  // namespace
