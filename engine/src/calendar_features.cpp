#include "tarn/calendar_features.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace tarn::calendar {

// Named apart from calendar.cpp's helpers: the engine may build its sources as one unit.
namespace {

constexpr double kFullTurn = 6.283185307179586476925286766559;

std::int64_t step_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::int64_t step_mod(std::int64_t a, std::int64_t b) {
  return a - step_div(a, b) * b;
}

// Weekdays before `day` (days since 1970-01-01, a Thursday), counted from a Monday.
std::int64_t weekdays_before(std::int64_t day) {
  const std::int64_t d = day + 3;
  return 5 * step_div(d, 7) + std::min<std::int64_t>(step_mod(d, 7), 5);
}

const char* const kDayNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const char* const kMonthNames[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};

std::string period_text(double period) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", period);
  return buf;
}

void check_terms(const FourierTerms& f) {
  if (!std::isfinite(f.period) || !(f.period > 1.0)) {
    throw std::invalid_argument("a Fourier period must be a number of steps above 1, not " +
                                period_text(f.period));
  }
  if (f.order < 1 || 2.0 * f.order > f.period) {
    throw std::invalid_argument("the Fourier order of period " + period_text(f.period) +
                                " must be from 1 to half the period, not " +
                                std::to_string(f.order));
  }
}

// The sine of harmonic k is zero at every step when k is half the period.
bool sine_vanishes(const FourierTerms& f, int k) {
  return 2.0 * k == f.period;
}

// A time as a whole number of steps and a fraction of one, counted from the axis's zero.
bool split_step(const Grid& grid, std::int64_t time, std::int64_t* whole, double* frac) {
  std::int64_t v = time;
  if (!grid.plain && !to_axis(grid.axis, time, &v)) return false;
  if (grid.business_days) {
    if (step_mod(v + 3, 7) >= 5) return false;  // a Saturday or Sunday
    *whole = weekdays_before(v);
    *frac = 0.0;
    return true;
  }
  const std::int64_t step = grid.step > 0 ? grid.step : 1;
  *whole = step_div(v, step);
  *frac = static_cast<double>(step_mod(v, step)) / static_cast<double>(step);
  return true;
}

// Where a step falls within a period, as a fraction of the period in [0, 1). Reduced in whole
// numbers first when the period is whole, so that far dates keep every digit.
double cycle_fraction(std::int64_t whole, double frac, double period) {
  double within;
  if (period == std::floor(period) && period < 4.0e18) {
    within = static_cast<double>(step_mod(whole, static_cast<std::int64_t>(period))) + frac;
  } else {
    within = std::fmod(static_cast<double>(whole), period);
    if (within < 0.0) within += period;
    within += frac;
  }
  return within / period;
}

[[noreturn]] void off_grid(std::size_t i) {
  throw std::invalid_argument("time " + std::to_string(i) +
                              " does not lie on the grid of the series (its step or its "
                              "calendar unit)");
}

}  // namespace

int day_of_week(std::int64_t ns) {
  return static_cast<int>(step_mod(step_div(ns, kNsPerDay) + 3, 7));
}

unsigned month_of(std::int64_t ns) {
  std::int64_t y = 0;
  unsigned m = 1, d = 1;
  civil_from_days(step_div(ns, kNsPerDay), &y, &m, &d);
  return m;
}

bool absolute_step(const Grid& grid, std::int64_t time, double* step) {
  std::int64_t whole = 0;
  double frac = 0.0;
  if (!split_step(grid, time, &whole, &frac)) return false;
  *step = static_cast<double>(whole) + frac;
  return true;
}

std::vector<std::string> calendar_feature_names(const CalendarFeatureSet& wanted) {
  std::vector<std::string> names;
  if (wanted.day_of_week) {
    for (int d = 1; d < 7; ++d) names.push_back(std::string("day_") + kDayNames[d]);
  }
  if (wanted.month) {
    for (int m = 1; m < 12; ++m) names.push_back(std::string("month_") + kMonthNames[m]);
  }
  for (const FourierTerms& f : wanted.fourier) {
    check_terms(f);
    const std::string p = period_text(f.period);
    for (int k = 1; k <= f.order; ++k) {
      if (!sine_vanishes(f, k)) names.push_back("sin_" + p + "_" + std::to_string(k));
      names.push_back("cos_" + p + "_" + std::to_string(k));
    }
  }
  return names;
}

CalendarFeatures calendar_features(const std::vector<std::int64_t>& times, const Grid& grid,
                                   const CalendarFeatureSet& wanted) {
  CalendarFeatures out;
  out.names = calendar_feature_names(wanted);
  if ((wanted.day_of_week || wanted.month) && grid.plain) {
    throw std::invalid_argument("day-of-week and month dummies need dates, not integer times");
  }
  const std::size_t cols = out.names.size();
  out.values.assign(times.size() * cols, 0.0);
  for (std::size_t i = 0; i < times.size(); ++i) {
    double* row = out.values.data() + i * cols;
    std::size_t c = 0;
    if (!grid.plain && times[i] == INT64_MIN) {
      throw std::invalid_argument("time " + std::to_string(i) + " is missing");
    }
    if (wanted.day_of_week) {
      const int d = day_of_week(times[i]);
      if (d > 0) row[c + static_cast<std::size_t>(d - 1)] = 1.0;
      c += 6;
    }
    if (wanted.month) {
      const unsigned m = month_of(times[i]);
      if (m > 1) row[c + m - 2] = 1.0;
      c += 11;
    }
    if (wanted.fourier.empty()) continue;
    std::int64_t whole = 0;
    double frac = 0.0;
    if (!split_step(grid, times[i], &whole, &frac)) off_grid(i);
    for (const FourierTerms& f : wanted.fourier) {
      const double base = cycle_fraction(whole, frac, f.period);
      for (int k = 1; k <= f.order; ++k) {
        // k * base reduced to one cycle keeps the angle small.
        const double angle = kFullTurn * std::fmod(k * base, 1.0);
        if (!sine_vanishes(f, k)) row[c++] = std::sin(angle);
        row[c++] = std::cos(angle);
      }
    }
  }
  return out;
}

}  // namespace tarn::calendar
