// Dates on an integer time axis.
//
// The models take integer timestamps and forecast at the last timestamp plus multiples of the
// mean spacing. Dated observations (nanoseconds since 1970-01-01, UTC) are mapped to such an
// axis in the unit the dates themselves keep:
//
//   months  every date falls on the same day of its month (or every one on the last day of its
//           month) at the same time of day, in distinct months: the axis counts calendar months
//           since 1970-01, so monthly, quarterly and yearly data step by calendar months
//   else    the largest of day, hour, minute, second, millisecond, microsecond and nanosecond
//           that every spacing is a whole multiple of; the axis counts those units since
//           1970-01-01 (shifted by the dates' common offset within a unit)
//
// Weekly data thus lie on a day axis with spacing 7, quarterly data on a month axis with
// spacing 3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn::calendar {

constexpr std::int64_t kNsPerDay = 86'400'000'000'000LL;

enum class Unit { kNanosecond, kMicrosecond, kMillisecond, kSecond, kMinute, kHour, kDay, kMonth };

struct Axis {
  Unit unit = Unit::kDay;
  std::int64_t step_ns = kNsPerDay;  // length of one unit (not used for months)
  std::int64_t phase_ns = 0;         // date = phase + value * step (not used for months)
  int day = 1;                       // months: the day of the month
  bool month_end = false;            // months: the last day of every month instead of `day`
  std::int64_t time_of_day_ns = 0;   // months: the time of day
  bool business_days = false;        // days: the axis counts weekdays only (Monday to Friday),
                                     // so that a Friday and the next Monday are one apart
  bool business_month = false;       // months: the day falls on a weekday: the last weekday of
                                     // the month with month_end, else the first on or after day
};

// The axis of a strictly increasing series of dates (at least one). Throws
// std::invalid_argument for an empty series, a missing date (INT64_MIN, numpy's NaT) or dates
// out of order.
Axis detect(const std::vector<std::int64_t>& ns);

// The axis value of a date; false when the date does not lie on the axis.
bool to_axis(const Axis& axis, std::int64_t ns, std::int64_t* value);

// The date of an axis value; a fractional value is rounded to the nearest whole unit.
std::int64_t from_axis(const Axis& axis, double value);

// The axis of a strictly increasing series of dates on which its steps are whole units: detect()'s
// axis, counting weekdays only when the dates are business days (detect_grid). Throws as
// detect() does.
Axis detect_step_axis(const std::vector<std::int64_t>& ns);

// The `n` dates that follow a series on its grid (detect_grid: the smallest spacing on its axis
// when every spacing is a whole number of it, else the median spacing; one unit for a single
// date). Daily dates on weekdays only, skipping the weekends, continue on weekdays.
std::vector<std::int64_t> next_dates(const std::vector<std::int64_t>& ns, std::size_t n);

// The grid a series lies on: its axis, and a step of the smallest spacing on the axis when every
// spacing is a whole number of it (else the median spacing, and the series is not regular).
// Daily dates on weekdays only that skip the weekends step by weekdays (business days). A
// series of plain integers (`plain`) is its own axis.
struct Grid {
  Axis axis;
  std::int64_t step = 1;       // axis units per step (1 for business days)
  bool business_days = false;  // a step is one weekday
  bool plain = false;          // integer times, not dates
  bool regular = true;         // every date is a whole number of steps from the first, and
                               // the grid holds at most kMaxGridFactor times the dates given
};

// A grid with more than this many times as many steps as dates is taken as irregular: its
// dates are then not a mostly empty regular series.
constexpr std::int64_t kMaxGridFactor = 10;

// The grid of a strictly increasing series of dates (nanoseconds since 1970), or of integers
// (`plain`). Throws std::invalid_argument as detect() does.
Grid detect_grid(const std::vector<std::int64_t>& times, bool plain = false);

// The step number of each time counted from the first; false (out unspecified) when a time is
// not on the grid.
bool grid_positions(const Grid& grid, const std::vector<std::int64_t>& times,
                    std::vector<std::int64_t>* out);

// The time `k` steps after `origin` (a time on the grid; k may be negative).
std::int64_t grid_time(const Grid& grid, std::int64_t origin, std::int64_t k);

// The name of one step: "month", "quarter", "year", "<k>-month period", "week", "day",
// "business day", "hour", "minute", "second", or "timestamp" for any other step.
std::string step_name(const Grid& grid);

// The seasons a calendar implies for data `step` axis units apart, in steps, shortest first:
// a day, a week and a year (365.25 days, the mean Julian year) of steps shorter than each
// (daily data: 7 and 365.25; weekly data: 365.25 / 7; hourly data: 24, 168 and 8766), a year of
// monthly (12) or quarterly (4) data, the week (5) and year (365.25 x 5 / 7) of business days.
// A cycle must hold at least two steps, and a day or a week a whole number of them. Empty for a
// step of zero or less.
std::vector<double> calendar_seasons(const Axis& axis, std::int64_t step);
// The same for a series of strictly increasing values on `axis`: its step is the one of its grid
// (detect_grid); empty for fewer than two values or an irregular series.
std::vector<double> calendar_seasons(const Axis& axis, const std::vector<std::int64_t>& values);

// "month", "day", "hour", "minute", "second", "millisecond", "microsecond" or "nanosecond".
std::string unit_name(Unit unit);
// The unit of a name given by unit_name; throws std::invalid_argument for another text.
Unit unit_from_name(const std::string& name);

// Calendar helpers (proleptic Gregorian): days since 1970-01-01 of a date and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d);
void civil_from_days(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d);
unsigned days_in_month(std::int64_t y, unsigned m);

// Microseconds since 1970-01-01 of the date-time text s[0..n) of the form
// YYYY-MM-DD[(T| )HH:MM[:SS[.f{1,6}]]] (a year from 1000, a real calendar day, hours 0-23,
// minutes and seconds 0-59; missing time fields are zero, a fraction counts microseconds), as
// a naive date-time. False for any other text, *us then unspecified.
bool parse_iso_datetime(const char* s, std::size_t n, std::int64_t* us);

// True when no two of the values are equal.
bool all_distinct(std::vector<std::int64_t> values);

}  // namespace tarn::calendar

#pragma GCC visibility pop
