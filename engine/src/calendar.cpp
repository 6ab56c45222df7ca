#include "tarn/calendar.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

namespace tarn::calendar {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
  return a - floor_div(a, b) * b;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
  std::int64_t time_of_day;
};

Civil civil(std::int64_t ns) {
  Civil c;
  const std::int64_t days = floor_div(ns, kNsPerDay);
  c.time_of_day = ns - days * kNsPerDay;
  civil_from_days(days, &c.year, &c.month, &c.day);
  return c;
}

// A date datetime64[ns] cannot hold: an error naming the limit it passes.
[[noreturn]] void out_of_range(bool late) {
  throw std::invalid_argument(late ? "the date would fall after 2262-04-11 23:47:16.854775807, "
                                     "the latest date a datetime64[ns] can hold"
                                   : "the date would fall before 1677-09-21 00:12:43.145224193, "
                                     "the earliest date a datetime64[ns] can hold");
}

// a + k * step on an axis, refused when it leaves the int64 range.
std::int64_t offset(std::int64_t a, std::int64_t k, std::int64_t step) {
  std::int64_t d = 0, out = 0;
  if (__builtin_mul_overflow(k, step, &d) || __builtin_add_overflow(a, d, &out)) {
    out_of_range((k > 0) == (step > 0));
  }
  return out;
}

std::int64_t month_index(const Civil& c) {
  return (c.year - 1970) * 12 + static_cast<std::int64_t>(c.month) - 1;
}

struct UnitStep {
  Unit unit;
  std::int64_t ns;
};

constexpr UnitStep kSteps[] = {
    {Unit::kDay, kNsPerDay},           {Unit::kHour, 3'600'000'000'000LL},
    {Unit::kMinute, 60'000'000'000LL}, {Unit::kSecond, 1'000'000'000LL},
    {Unit::kMillisecond, 1'000'000LL}, {Unit::kMicrosecond, 1'000LL},
    {Unit::kNanosecond, 1LL}};

// Monday 0 ... Sunday 6 of a day counted from 1970-01-01 (a Thursday).
int weekday(std::int64_t day) {
  return static_cast<int>(floor_mod(day + 3, 7));
}

// The day (days since 1970-01-01) of a month's date on a business-month axis: the last weekday
// of the month for its end, else the first weekday on or after `day` (within the month).
std::int64_t business_day_of(std::int64_t y, unsigned m, unsigned day, bool month_end) {
  const unsigned last = days_in_month(y, m);
  std::int64_t d = days_from_civil(y, m, month_end ? last : std::min(day, last));
  const std::int64_t first = days_from_civil(y, m, 1), end = days_from_civil(y, m, last);
  const int dir = month_end ? -1 : 1;
  while (weekday(d) >= 5 && d + dir >= first && d + dir <= end) d += dir;
  return d;
}

bool monthly(const std::vector<std::int64_t>& ns, Axis* axis) {
  if (ns.size() < 2) return false;
  std::vector<Civil> dates;
  dates.reserve(ns.size());
  for (std::int64_t t : ns) dates.push_back(civil(t));
  bool same_day = true, all_ends = true;
  unsigned top = 0;
  for (std::size_t i = 0; i < dates.size(); ++i) {
    const Civil& c = dates[i];
    if (c.time_of_day != dates[0].time_of_day) return false;
    if (i > 0 && month_index(c) <= month_index(dates[i - 1])) return false;
    same_day = same_day && c.day == dates[0].day;
    all_ends = all_ends && c.day == days_in_month(c.year, c.month);
    top = std::max(top, c.day);
  }
  // A day late in the month, put on the month's last day where the month is shorter (the 30th,
  // and February's 28th or 29th); or a month's last or first business day, as financial closes
  // and openings are dated.
  bool clipped = !same_day && !all_ends, business_end = clipped, business_start = clipped;
  for (const Civil& c : dates) {
    if (!clipped && !business_end && !business_start) break;
    clipped = clipped && c.day == std::min(top, days_in_month(c.year, c.month));
    const std::int64_t d = days_from_civil(c.year, c.month, c.day);
    business_end = business_end && d == business_day_of(c.year, c.month, 1, true);
    business_start = business_start && d == business_day_of(c.year, c.month, 1, false);
  }
  if (!same_day && !all_ends && !clipped && !business_end && !business_start) return false;
  axis->unit = Unit::kMonth;
  axis->day = static_cast<int>(clipped ? top : business_start ? 1 : dates[0].day);
  axis->month_end = (all_ends && (!same_day || dates[0].day > 28)) || business_end;
  axis->business_month = business_end || business_start;
  axis->time_of_day_ns = dates[0].time_of_day;
  return true;
}

// Weekdays before `day` (days since 1970-01-01), counted from a Monday: a weekday's count is
// its number among the weekdays.
std::int64_t weekday_number(std::int64_t day) {
  const std::int64_t d = day + 3;  // 0 is a Monday
  return 5 * floor_div(d, 7) + std::min<std::int64_t>(floor_mod(d, 7), 5);
}

std::int64_t weekday_of_number(std::int64_t number) {
  return 7 * floor_div(number, 5) + floor_mod(number, 5) - 3;
}

// Days that skip every weekend: none on a Saturday or Sunday, and some step over one.
bool weekdays_only(const std::vector<std::int64_t>& days) {
  if (days.size() < 3) return false;
  bool skips = false;
  for (std::size_t i = 0; i < days.size(); ++i) {
    if (weekday(days[i]) >= 5) return false;
    if (i > 0 && days[i] - days[i - 1] == 3 && weekday(days[i]) == 0) skips = true;
  }
  return skips;
}

}  // namespace

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

unsigned days_in_month(std::int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2) {
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[m - 1];
}

namespace {

// The n decimal digits at s as a number; false if any of them is not a digit.
bool digits(const char* s, int n, int* value) {
  *value = 0;
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    *value = *value * 10 + (s[i] - '0');
  }
  return true;
}

}  // namespace

bool parse_iso_datetime(const char* s, std::size_t n, std::int64_t* us) {
  int y, mo, d, h = 0, mi = 0, sec = 0, frac = 0;
  if (n < 10 || !digits(s, 4, &y) || s[4] != '-' || !digits(s + 5, 2, &mo) || s[7] != '-' ||
      !digits(s + 8, 2, &d))
    return false;
  if (y < 1000 || mo < 1 || mo > 12 || d < 1) return false;
  if (static_cast<unsigned>(d) > days_in_month(y, static_cast<unsigned>(mo))) return false;
  std::size_t p = 10;
  if (p < n) {
    if ((s[p] != 'T' && s[p] != ' ') || n < p + 6) return false;
    if (!digits(s + p + 1, 2, &h) || s[p + 3] != ':' || !digits(s + p + 4, 2, &mi)) return false;
    p += 6;
    if (p < n) {
      if (s[p] != ':' || n < p + 3 || !digits(s + p + 1, 2, &sec)) return false;
      p += 3;
      if (p < n) {
        const std::size_t nd = n - p - 1;
        if (s[p] != '.' || nd < 1 || nd > 6 || !digits(s + p + 1, static_cast<int>(nd), &frac))
          return false;
        for (std::size_t k = nd; k < 6; ++k) frac *= 10;
      }
    }
    if (h > 23 || mi > 59 || sec > 59) return false;
  }
  std::int64_t t =
      ((days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 +
       mi) *
          60 +
      sec;
  *us = t * 1000000 + frac;
  return true;
}

bool all_distinct(std::vector<std::int64_t> values) {
  std::sort(values.begin(), values.end());
  return std::adjacent_find(values.begin(), values.end()) == values.end();
}

Axis detect(const std::vector<std::int64_t>& ns) {
  if (ns.empty()) throw std::invalid_argument("no dates to build a time axis from");
  for (std::size_t i = 0; i < ns.size(); ++i) {
    if (ns[i] == INT64_MIN) throw std::invalid_argument("a date is missing");
    if (i > 0 && ns[i] <= ns[i - 1]) {
      throw std::invalid_argument("the dates are not strictly increasing");
    }
  }
  Axis axis;
  if (monthly(ns, &axis)) return axis;
  for (const UnitStep& s : kSteps) {
    const std::int64_t phase = floor_mod(ns[0], s.ns);
    bool whole = true;
    for (std::int64_t t : ns) {
      if (floor_mod(t, s.ns) != phase) {
        whole = false;
        break;
      }
    }
    if (whole) {
      axis.unit = s.unit;
      axis.step_ns = s.ns;
      axis.phase_ns = phase;
      return axis;
    }
  }
  return axis;  // not reached: every spacing is a whole number of nanoseconds
}

bool to_axis(const Axis& axis, std::int64_t ns, std::int64_t* value) {
  if (ns == INT64_MIN) return false;
  if (axis.unit == Unit::kMonth) {
    const Civil c = civil(ns);
    const std::int64_t v = month_index(c);
    if (from_axis(axis, static_cast<double>(v)) != ns) return false;
    *value = v;
    return true;
  }
  if (axis.step_ns <= 0 || floor_mod(ns - axis.phase_ns, axis.step_ns) != 0) return false;
  const std::int64_t v = floor_div(ns - axis.phase_ns, axis.step_ns);
  if (axis.business_days) {
    if (axis.unit != Unit::kDay || weekday(v) >= 5) return false;
    *value = weekday_number(v);
    return true;
  }
  *value = v;
  return true;
}

std::int64_t from_axis(const Axis& axis, double value) {
  if (!std::isfinite(value)) throw std::invalid_argument("the time is not finite");
  if (!(std::fabs(value) < 9223372036854775808.0)) out_of_range(value > 0.0);  // 2^63
  const std::int64_t v = static_cast<std::int64_t>(std::llround(value));
  std::int64_t ns = 0;
  if (axis.unit == Unit::kMonth) {
    // Months from 1970-01 of 1677-09 and 2262-04, the first and last months datetime64[ns]
    // reaches; the dates within them are checked below.
    constexpr std::int64_t kFirstMonth = (1677 - 1970) * 12 + 8;
    constexpr std::int64_t kLastMonth = (2262 - 1970) * 12 + 3;
    if (v < kFirstMonth || v > kLastMonth) out_of_range(v > 0);
    const std::int64_t y = 1970 + floor_div(v, 12);
    const unsigned m = static_cast<unsigned>(floor_mod(v, 12)) + 1;
    const unsigned last = days_in_month(y, m);
    const unsigned d =
        axis.month_end ? last : std::min<unsigned>(static_cast<unsigned>(axis.day), last);
    const std::int64_t day =
        axis.business_month ? business_day_of(y, m, static_cast<unsigned>(axis.day), axis.month_end)
                            : days_from_civil(y, m, d);
    ns = offset(axis.time_of_day_ns, day, kNsPerDay);
  } else if (axis.business_days) {
    // Far beyond the dates datetime64[ns] reaches either way; keeps the day count in range.
    constexpr std::int64_t kMaxWeekdays = 1'000'000'000'000LL;
    if (v < -kMaxWeekdays || v > kMaxWeekdays) out_of_range(v > 0);
    ns = offset(axis.phase_ns, weekday_of_number(v), axis.step_ns);
  } else {
    ns = offset(axis.phase_ns, v, axis.step_ns);
  }
  if (ns == INT64_MIN) out_of_range(false);  // numpy's NaT, not a date
  return ns;
}

namespace {

std::int64_t median_gap(const std::vector<std::int64_t>& values) {
  if (values.size() < 2) return 1;
  std::vector<std::int64_t> gaps(values.size() - 1);
  for (std::size_t i = 1; i < values.size(); ++i) gaps[i - 1] = values[i] - values[i - 1];
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  return gaps[gaps.size() / 2];
}

// The axis value of a time on the grid's axis.
bool axis_value(const Grid& grid, std::int64_t t, std::int64_t* v) {
  if (grid.plain) {
    *v = t;
    return true;
  }
  return to_axis(grid.axis, t, v);
}

}  // namespace

Grid detect_grid(const std::vector<std::int64_t>& times, bool plain) {
  Grid grid;
  grid.plain = plain;
  if (plain) {
    if (times.empty()) throw std::invalid_argument("no times to build a time axis from");
    for (std::size_t i = 1; i < times.size(); ++i) {
      if (times[i] <= times[i - 1]) {
        throw std::invalid_argument("the times are not strictly increasing");
      }
    }
  } else {
    grid.axis = detect(times);
  }
  std::vector<std::int64_t> values(times.size());
  for (std::size_t i = 0; i < times.size(); ++i) axis_value(grid, times[i], &values[i]);
  // The smallest spacing when every spacing is a whole number of it (the models' own grid
  // step); otherwise the times lie on no grid and step by their median spacing.
  std::int64_t smallest = 0;
  for (std::size_t i = 1; i < values.size(); ++i) {
    const std::int64_t gap = values[i] - values[i - 1];
    if (smallest == 0 || gap < smallest) smallest = gap;
  }
  bool whole = smallest > 0;
  for (std::size_t i = 1; whole && i < values.size(); ++i) {
    whole = (values[i] - values[i - 1]) % smallest == 0;
  }
  grid.step = std::max<std::int64_t>(1, whole ? smallest : median_gap(values));
  grid.business_days =
      !plain && grid.axis.unit == Unit::kDay && grid.step == 1 && weekdays_only(values);
  std::vector<std::int64_t> pos;
  grid.regular = (whole || values.size() < 2) && grid_positions(grid, times, &pos) &&
                 pos.back() < kMaxGridFactor * static_cast<std::int64_t>(times.size());
  return grid;
}

bool grid_positions(const Grid& grid, const std::vector<std::int64_t>& times,
                    std::vector<std::int64_t>* out) {
  out->assign(times.size(), 0);
  if (times.empty()) return true;
  std::int64_t first = 0;
  if (!axis_value(grid, times[0], &first)) return false;
  for (std::size_t i = 0; i < times.size(); ++i) {
    std::int64_t v = 0;
    if (!axis_value(grid, times[i], &v)) return false;
    if (grid.business_days) {
      if (weekday(v) >= 5) return false;
      (*out)[i] = weekday_number(v) - weekday_number(first);
    } else {
      if (floor_mod(v - first, grid.step) != 0) return false;
      (*out)[i] = floor_div(v - first, grid.step);
    }
  }
  return true;
}

std::int64_t grid_time(const Grid& grid, std::int64_t origin, std::int64_t k) {
  std::int64_t v = 0;
  if (!axis_value(grid, origin, &v)) {
    throw std::invalid_argument("the origin does not lie on the time axis");
  }
  if (grid.business_days) {
    std::int64_t day = v;
    while (weekday(day) >= 5) --day;  // a weekend origin counts from the Friday before
    v = weekday_of_number(weekday_number(day) + k);
  } else if (grid.plain) {
    std::int64_t d = 0;
    if (__builtin_mul_overflow(k, grid.step, &d) || __builtin_add_overflow(v, d, &v)) {
      throw std::invalid_argument("the time would leave the range of 64-bit integers");
    }
    return v;
  } else {
    v = offset(v, k, grid.step);
  }
  if (grid.plain) return v;
  return from_axis(grid.axis, static_cast<double>(v));
}

std::string step_name(const Grid& grid) {
  if (grid.plain) return "timestamp";
  if (grid.business_days) return "business day";
  const Unit u = grid.axis.unit;
  if (u == Unit::kMonth) {
    if (grid.step == 1) return "month";
    if (grid.step == 3) return "quarter";
    if (grid.step == 12) return "year";
    return std::to_string(grid.step) + "-month period";
  }
  if (u == Unit::kDay && grid.step == 7) return "week";
  if (grid.step != 1) return "timestamp";
  switch (u) {
    case Unit::kDay:
    case Unit::kHour:
    case Unit::kMinute:
    case Unit::kSecond:
      return unit_name(u);
    default:
      return "timestamp";
  }
}

Axis detect_step_axis(const std::vector<std::int64_t>& ns) {
  const Grid grid = detect_grid(ns);
  Axis axis = grid.axis;
  axis.business_days = grid.business_days;
  return axis;
}

std::vector<std::int64_t> next_dates(const std::vector<std::int64_t>& ns, std::size_t n) {
  const Grid grid = detect_grid(ns);
  std::vector<std::int64_t> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    out[k] = grid_time(grid, ns.back(), static_cast<std::int64_t>(k + 1));
  }
  return out;
}

std::vector<double> calendar_seasons(const Axis& axis, std::int64_t step) {
  std::vector<double> out;
  if (step <= 0) return out;
  const auto steps = static_cast<double>(step);
  if (axis.unit == Unit::kMonth) {
    if (12 % step == 0 && step <= 6) out.push_back(12.0 / steps);
    return out;
  }
  if (axis.business_days) {
    // One step is a weekday: five to a week, 365.25 x 5 / 7 to a year.
    if (step == 1) out.push_back(5.0);
    if (365.25 * 5.0 / 7.0 / steps >= 2.0) out.push_back(365.25 * 5.0 / 7.0 / steps);
    return out;
  }
  if (axis.step_ns <= 0 || step > kNsPerDay * 366 / axis.step_ns) return out;
  const std::int64_t span = axis.step_ns * step;  // nanoseconds per step
  for (const std::int64_t cycle : {kNsPerDay, 7 * kNsPerDay}) {
    if (cycle % span == 0 && cycle / span >= 2) out.push_back(static_cast<double>(cycle / span));
  }
  const double year = 365.25 * static_cast<double>(kNsPerDay) / static_cast<double>(span);
  if (year >= 2.0) out.push_back(year);
  return out;
}

std::vector<double> calendar_seasons(const Axis& axis, const std::vector<std::int64_t>& values) {
  if (values.size() < 2) return {};
  Grid grid;
  try {
    grid = detect_grid(values, true);
  } catch (const std::invalid_argument&) {
    return {};
  }
  if (!grid.regular) return {};
  return calendar_seasons(axis, grid.step);
}

std::string unit_name(Unit unit) {
  switch (unit) {
    case Unit::kMonth:
      return "month";
    case Unit::kDay:
      return "day";
    case Unit::kHour:
      return "hour";
    case Unit::kMinute:
      return "minute";
    case Unit::kSecond:
      return "second";
    case Unit::kMillisecond:
      return "millisecond";
    case Unit::kMicrosecond:
      return "microsecond";
    case Unit::kNanosecond:
      return "nanosecond";
  }
  return "day";
}

Unit unit_from_name(const std::string& name) {
  for (Unit u : {Unit::kMonth, Unit::kDay, Unit::kHour, Unit::kMinute, Unit::kSecond,
                 Unit::kMillisecond, Unit::kMicrosecond, Unit::kNanosecond}) {
    if (unit_name(u) == name) return u;
  }
  throw std::invalid_argument("unknown time unit '" + name + "'");
}

}  // namespace tarn::calendar
