// The per-step helpers of SeasonAdjustedModel, inline: every update and every step of a forecast
// path of theta and ces goes through them.
#pragma once

#include <cmath>
#include <cstdint>

#include "series_util.hpp"
#include "tarn/seasonal_model.hpp"

namespace tarn {

inline double SeasonAdjustedModel::adjusted(double y) const {
  double x = detail::nan_value();
  if (std::isfinite(y)) {
    x = y / scale_;
    if (!season_.empty()) {
      const double s = season_[pos_];
      x = multiplicative_ ? x / s : x - s;
    }
  }
  return x;
}

inline double SeasonAdjustedModel::to_output(double x, double h) const {
  if (!season_.empty()) {
    const std::size_t m = season_.size();
    const double k = std::fmod(std::floor(h) - 1.0, static_cast<double>(m));
    const double s = season_[(pos_ + static_cast<std::size_t>(k)) % m];
    x = multiplicative_ ? x * s : x + s;
  }
  return detail::unscale(detail::finite_or(x, adjusted_level()), scale_);
}

inline void SeasonAdjustedModel::next_phase(std::int64_t steps) {
  if (season_.empty()) return;
  pos_ = (pos_ + static_cast<std::size_t>(steps % static_cast<std::int64_t>(season_.size()))) %
         season_.size();
}

}  // namespace tarn
