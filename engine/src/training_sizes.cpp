// How many values the models are trained on.
#include "tarn/training_sizes.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "tarn/season.hpp"

namespace tarn {

std::int64_t training_size(std::int64_t length, std::int64_t period, std::int64_t lower_limit) {
  std::int64_t size = std::max<std::int64_t>(kTrainingCap, 3 * period);
  size = std::max(size, lower_limit);
  return std::min(size, length);
}

SeriesSizes series_sizes(const double* x, std::size_t n, std::int64_t upper_limit,
                         std::int64_t lower_limit) {
  if (upper_limit < 1) throw std::invalid_argument("upper_limit must be at least 1");
  if (lower_limit < 1) throw std::invalid_argument("lower_limit must be at least 1");
  SeriesSizes s;
  s.length = static_cast<std::int64_t>(n);
  const int upper = static_cast<int>(std::min<std::int64_t>(upper_limit, INT32_MAX));
  s.period = std::max(detect_period(x, n, upper), 1);
  s.seasons = s.length / s.period;
  s.training = training_size(s.length, s.period, lower_limit);
  return s;
}

std::int64_t arima_attempt_size(std::int64_t attempt, std::int64_t length) {
  if (length <= 0) return 0;
  if (attempt <= 0) return length;
  static const double fractions[] = {0.875, 0.75, 0.625, 0.5};
  const double f = fractions[std::min<std::int64_t>(attempt, 4) - 1];
  const auto size = static_cast<std::int64_t>(std::ceil(f * static_cast<double>(length)));
  return std::min(length, std::max<std::int64_t>(size, std::min<std::int64_t>(length, 20)));
}

}  // namespace tarn
