// Season-length detection.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// The dominant season length of x[0..n) between 2 and upper_limit (inclusive) with at least
// three cycles in the data, or 1 when the data show no significant seasonality. NaN values are
// treated as missing.
int detect_period(const double* x, std::size_t n, int upper_limit = 200);

// Every season length of x[0..n) up to upper_limit, shortest first (empty when there is none):
// the dominant one as detect_period finds it, then, after its seasonal means are taken out, the
// dominant one of what is left, and so on (at most `max_periods`). Each one found is at least
// five times as long as every shorter one and shows at least three cycles in the data, as hourly
// data show 24 and 168 or daily data 7 and 365.
std::vector<int> detect_periods(const double* x, std::size_t n, int upper_limit,
                                int max_periods = 3);

// Longest season detect_seasons looks for.
constexpr int kMaxDetectedSeason = 1000;
// detect_periods on the latest (at most kSeasonWindow) values of x[0..n), seasons up to
// kMaxDetectedSeason: bounded work on a series of any length.
constexpr std::size_t kSeasonWindow = 5000;
std::vector<int> detect_seasons(const double* x, std::size_t n);

// detect_seasons with the seasons a calendar implies (calendar::calendar_seasons: in steps,
// possibly fractional) as candidates. A season the data show within 2% (at least one step) of a
// calendar season is that season rounded to whole steps: a year of daily data is 365 days, not
// the 364 (whole weeks) its autocorrelation peaks at as readily. A calendar season the search
// missed (of at least three cycles in the data and at most kMaxDetectedSeason, nesting with the
// seasons found as detect_periods' do: five times as long as a shorter one) is taken when,
// with the shorter seasons taken out, its seasonal means explain at least kMinSeasonStrength of
// the variance around the moving average beyond what as many means explain by chance (the
// adjusted R^2 of Ezekiel 1930). Shortest first; without calendar seasons, detect_seasons.
std::vector<int> detect_seasons(const double* x, std::size_t n,
                                const std::vector<double>& calendar);

// The shortest calendar season (rounded to whole steps, at most upper_limit) of which the latest
// values of x[0..n) (as detect_seasons takes them) hold two cycles, whose seasonal means pass
// the adjusted-strength test of detect_seasons and whose deviations from the moving average
// correlate by at least 0.5 with those a cycle later (which the swings of a wandering level do
// not); 1 when none does. For series too short for the
// season search (three cycles), when their calendar tells the season to look for.
int calendar_season(const double* x, std::size_t n, const std::vector<double>& calendar,
                    int upper_limit);

// The whole number of steps nearest to `period` when it lies within 2% (at least one step) of
// a calendar season; `period` itself otherwise.
int calendar_period(int period, const std::vector<double>& calendar);

// The season a calendar names outright: its only season when that is a whole number of steps
// (monthly data's 12, quarterly data's 4); 1 for several seasons (daily data's week and year),
// a fractional one (weekly data's 52.18) or none.
int named_season(const std::vector<double>& calendar);

// What a model told a season of m steps says when its fit leaves the season out
// (Model::fit_note): the data held fewer than two of its cycles (`too_short`), or the forms
// without it scored better.
std::string season_not_fitted(std::int64_t m, bool too_short);

}  // namespace tarn

#pragma GCC visibility pop
