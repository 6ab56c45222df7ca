// How many values the models are trained on.
#include "tarn/training_sizes.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/season.hpp"

namespace tarn {

std::int64_t training_size(std::int64_t length, std::int64_t period, std::int64_t lower_limit) {
  std::int64_t size = std::max<std::int64_t>(kTrainingCap, 3 * period);
  size = std::max(size, lower_limit);
  return std::min(size, length);
}

SeriesSizes series_sizes(const double* x, std::size_t n, std::int64_t upper_limit,
                         std::int64_t lower_limit, const std::vector<double>& calendar) {
  if (upper_limit < 1) throw std::invalid_argument("upper_limit must be at least 1");
  if (lower_limit < 1) throw std::invalid_argument("lower_limit must be at least 1");
  SeriesSizes s;
  s.length = static_cast<std::int64_t>(n);
  const int upper = static_cast<int>(std::min<std::int64_t>(upper_limit, INT32_MAX));
  s.period = std::max(detect_period(x, n, upper), 1);
  // A season near a calendar one is that one (calendar_period: weekly data's 52 weeks).
  const int near = calendar_period(static_cast<int>(s.period), calendar);
  if (near <= upper && 2 * static_cast<std::int64_t>(near) <= s.length) s.period = near;
  s.seasons = s.length / s.period;
  s.training = training_size(s.length, s.period, lower_limit);
  // Several seasons, or one longer than the search above, go to the families that carry long
  // seasons, which estimate every seasonal index from one value per cycle (a cycle-subseries,
  // Cleveland et al. 1990): they train on up to kLongSeasonCycles cycles of the longest season.
  if (s.length >= 3 * (static_cast<std::int64_t>(upper) + 1)) {
    const std::vector<int> found = detect_seasons(x, n, calendar);
    if (found.size() >= 2 || (!found.empty() && found.back() > upper)) {
      s.training =
          std::max(s.training, std::min<std::int64_t>(s.length, kLongSeasonCycles * found.back()));
    }
  }
  return s;
}

LeftOutSeasons seasons_left_out(const double* x, std::size_t n, const std::vector<double>& calendar,
                                std::int64_t carried) {
  LeftOutSeasons out;
  if (n < static_cast<std::size_t>(3 * (kSeasonSearchReach + 1))) return out;
  out.found = detect_seasons(x, n, calendar);
  const std::vector<int>& found = out.found;
  if (!(found.size() >= 2 || (!found.empty() && found.back() > kSeasonSearchReach))) return out;
  if (carried <= 0) {
    const std::size_t len = std::min(n, kSeasonWindow);
    const int p = detect_period(x + (n - len), len, static_cast<int>(kSeasonSearchReach));
    carried = calendar_period(std::max(p, 1), calendar);
  }
  out.carried = carried;
  for (int p : found) {
    if (p != carried) out.left.push_back(p);
  }
  return out;
}

std::string LeftOutSeasons::note(const std::string& algorithm) const {
  if (left.empty()) return {};
  std::string list;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i) list += i + 1 == found.size() ? " and " : ", ";
    list += std::to_string(found[i]);
  }
  std::string text = "the data show " +
                     std::string(found.size() == 1 ? "a season of " : "seasons of ") + list +
                     " steps; " + algorithm + " carries one season of at most " +
                     std::to_string(kSeasonSearchReach) + " steps";
  text += carried > 1 ? " (here " + std::to_string(carried) + ")" : " (here none)";
  return text + ": mstl or autoforecaster model " + (found.size() == 1 ? "it" : "them all");
}

std::int64_t arima_attempt_size(std::int64_t attempt, std::int64_t length) {
  if (length <= 0) return 0;
  if (attempt <= 0) return length;
  static const double fractions[] = {0.875, 0.75, 0.625, 0.5};
  const double f = fractions[std::min<std::int64_t>(attempt, 4) - 1];
  const auto size = static_cast<std::int64_t>(std::ceil(f * static_cast<double>(length)));
  return std::min(length, std::max<std::int64_t>(size, std::min<std::int64_t>(length, 20)));
}

HoltWintersSizes holt_winters_sizes(std::int64_t length, std::int64_t season) {
  HoltWintersSizes s;
  const std::int64_t n = std::max<std::int64_t>(length, 0);
  s.samples_per_season = season > 1 && n >= 2 * season ? season : 1;
  s.initial_training_seasons =
      s.samples_per_season > 1 ? std::max<std::int64_t>(1, n / s.samples_per_season) : n;
  return s;
}

bool log_transformable(const double* x, std::size_t n) {
  bool any = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(x[i])) continue;
    if (!(x[i] > 0.0)) return false;
    any = true;
  }
  return any;
}

}  // namespace tarn
