// Regressors computed from timestamps: day-of-week and month dummies, Fourier terms.
//
// The dummies drop one level each (Monday, January) so that they are never collinear with a
// level or an intercept: Monday and January are the base, and a dummy is that day's or month's
// difference from it. The Fourier terms of a period P (in steps of the series' grid) are
// sin(2 pi k t / P) and cos(2 pi k t / P), k = 1..K, where t is the step number on the grid's
// axis counted from 1970-01-01 (for integer times, the time over the step): the same date gives
// the same terms whichever span it is computed in, so terms of the training span continue
// seamlessly into the future. The sine of k = P / 2 is zero at every step and is left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarn/calendar.hpp"

#pragma GCC visibility push(default)

namespace tarn::calendar {

struct FourierTerms {
  double period = 0.0;  // in steps of the grid, above 1 (fractional periods are allowed)
  int order = 0;        // K: harmonics 1..K, at least 1 and at most period / 2
};

struct CalendarFeatureSet {
  bool day_of_week = false;  // day_tue ... day_sun (Monday is the base)
  bool month = false;        // month_feb ... month_dec (January is the base)
  std::vector<FourierTerms> fourier;
};

// Column names and values (row after row: times.size() rows of names.size() values).
struct CalendarFeatures {
  std::vector<std::string> names;
  std::vector<double> values;
};

// The column names `wanted` gives, in order: day dummies, month dummies, then per Fourier entry
// sin_<P>_1, cos_<P>_1, sin_<P>_2, ... (P written as %g). Throws std::invalid_argument for a
// period or order out of range.
std::vector<std::string> calendar_feature_names(const CalendarFeatureSet& wanted);

// The features of `times` (nanoseconds since 1970 for dates, or integers when grid.plain) on
// `grid` (the grid of the series whose steps number the Fourier terms; the times need not be the
// ones it was detected on, but must lie on its axis). Throws std::invalid_argument naming the
// problem: dummies of integer times, a time off the grid's axis, a bad period or order.
CalendarFeatures calendar_features(const std::vector<std::int64_t>& times, const Grid& grid,
                                   const CalendarFeatureSet& wanted);

// The step number of a time on a grid, counted from 1970-01-01 on the grid's axis (for integer
// times: the time over the step). False when the time is not on the grid's axis.
bool absolute_step(const Grid& grid, std::int64_t time, double* step);

// Monday 0 ... Sunday 6 and the month 1..12 of a date (nanoseconds since 1970).
int day_of_week(std::int64_t ns);
unsigned month_of(std::int64_t ns);

}  // namespace tarn::calendar

#pragma GCC visibility pop
