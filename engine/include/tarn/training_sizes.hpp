// How many values the models are trained on.
//
// The models that fit their whole training data at once (BATS, the automatic selector, ARIMA
// and ARMA) are given a leading part of the series; the remaining observations reach them
// through their (cheap) updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Largest training size suggested for BATS and the automatic selector, unless three seasons or
// the requested minimum need more.
constexpr std::int64_t kTrainingCap = 1000;

// Cycles of the longest season that a series with several (or long) seasons trains on, at
// most: the widest seasonal smoother span of the multiple seasonal decomposition (mstl.hpp), so
// that each seasonal index is smoothed over a full span of cycles rather than the few that a
// fixed number of values holds (on 8 weeks of hourly data, 1000 values hold 5.9 weeks).
constexpr std::int64_t kLongSeasonCycles = 15;

// The longest season the forecaster's season search tries (its upper_limit).
constexpr std::int64_t kSeasonSearchReach = 200;

struct SeriesSizes {
  std::int64_t length = 0;    // number of values
  std::int64_t period = 1;    // season length (1 when the data show none)
  std::int64_t seasons = 0;   // full seasons in the series: length / period
  std::int64_t training = 0;  // training size for BATS and the automatic selector
};

// Training size for BATS and the automatic selector on a series of `length` values with season
// `period`: the whole series up to kTrainingCap values, raised to three seasons and to
// `lower_limit` when the series is that long, never more than `length`. (series_sizes raises it
// further for several or long seasons: kLongSeasonCycles.)
std::int64_t training_size(std::int64_t length, std::int64_t period, std::int64_t lower_limit);

// The sizes of x[0..n): its season is detected between 2 and upper_limit (values above the int
// range count as the int range); NaN values are missing. upper_limit and lower_limit must be at
// least 1 (std::invalid_argument otherwise).
// `calendar`: the seasons the calendar of the data implies (calendar::calendar_seasons), which
// the search for several or long seasons tests too (detect_seasons).
SeriesSizes series_sizes(const double* x, std::size_t n, std::int64_t upper_limit,
                         std::int64_t lower_limit, const std::vector<double>& calendar = {});

// The seasons of x[0..n) that a model carrying one season of at most kSeasonSearchReach steps
// leaves out. The search for several or long seasons (detect_seasons, on the latest
// kSeasonWindow values, with the calendar's seasons) runs on series of three cycles beyond the
// reach; when it finds several seasons or one beyond the reach, `left` holds every one but the
// model's (`carried`; 0: the season the search within the reach finds on those values).
struct LeftOutSeasons {
  std::vector<int> found;    // every season found, shortest first
  std::int64_t carried = 1;  // the model's season (1: none)
  std::vector<int> left;     // found, but not carried
  // "the data show seasons of 48 and 336 steps; hw carries one season of at most 200 steps
  // (here 48): mstl or autoforecaster model them all"; empty when nothing is left out.
  std::string note(const std::string& algorithm) const;
};
LeftOutSeasons seasons_left_out(const double* x, std::size_t n, const std::vector<double>& calendar,
                                std::int64_t carried);

// Number of leading values to fit an ARIMA or ARMA model on, at attempt `attempt` (0, 1, ...)
// on a series of `length` values. The first attempt fits on the whole series; the later ones
// are for a model that did not initialise on it, and fit on shorter leading parts (7/8, 3/4,
// 5/8, then half of the series, never fewer than 20 values nor more than `length`), the rest
// of the series reaching the model through its updates.
std::int64_t arima_attempt_size(std::int64_t attempt, std::int64_t length);

// The Holt-Winters settings the forecaster is given for `length` training values with the
// detected season `season`: the season is kept when the values hold two full seasons (else 1,
// no season), and the initial training spans every full season (every value without a season).
struct HoltWintersSizes {
  std::int64_t samples_per_season = 1;
  std::int64_t initial_training_seasons = 1;
};
HoltWintersSizes holt_winters_sizes(std::int64_t length, std::int64_t season);

// Whether a series may be forecast on the log scale: at least one value is known and every
// known (not NaN) value is above 0.
bool log_transformable(const double* x, std::size_t n);

}  // namespace tarn

#pragma GCC visibility pop
