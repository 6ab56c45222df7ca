// Averaging of overlapping multi-step forecasts.
#include "tarn/averaging.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarn {

std::size_t averaged_length(std::size_t k, std::size_t ph) {
  return k == 0 ? 0 : k + ph - 1;
}

void average_overlapping(const double* forecasts, std::size_t k, std::size_t ph,
                         std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, double* out) {
  if (ph == 0) throw std::invalid_argument("average_overlapping: the horizon must be at least 1");
  const std::size_t m = averaged_length(k, ph);
  // Stepping to the next forecast moves one row down and one position to the left.
  const std::ptrdiff_t step = row_stride - col_stride;
  for (std::size_t j = 0; j < m; ++j) {
    // Forecasts i with i <= j <= i + ph - 1 cover position j; forecast i holds it at offset j - i.
    const std::size_t first = j + 1 >= ph ? j + 1 - ph : 0;
    const std::size_t last = j < k ? j : k - 1;
    double sum = 0.0;
    std::size_t count = 0;
    const double* p = forecasts + static_cast<std::ptrdiff_t>(first) * row_stride +
                      static_cast<std::ptrdiff_t>(j - first) * col_stride;
    for (std::size_t i = first; i <= last; ++i, p += step) {
      const double v = *p;
      if (!std::isnan(v)) {
        sum += v;
        ++count;
      }
    }
    if (count == 0) {
      out[j] = std::numeric_limits<double>::quiet_NaN();
    } else if (std::isinf(sum) && count > 1) {
      // Finite values near the floating-point limit overflowed the sum (an infinite value
      // among them keeps it infinite): average the values divided by their count instead.
      const double c = static_cast<double>(count);
      double mean = 0.0;
      p = forecasts + static_cast<std::ptrdiff_t>(first) * row_stride +
          static_cast<std::ptrdiff_t>(j - first) * col_stride;
      for (std::size_t i = first; i <= last; ++i, p += step) {
        if (!std::isnan(*p)) mean += *p / c;
      }
      out[j] = mean;
    } else {
      out[j] = sum / static_cast<double>(count);
    }
  }
}

void average_overlapping(const double* forecasts, std::size_t k, std::size_t ph, double* out) {
  average_overlapping(forecasts, k, ph, static_cast<std::ptrdiff_t>(ph), 1, out);
}

std::vector<double> average_overlapping(const double* forecasts, std::size_t k, std::size_t ph) {
  if (ph == 0) throw std::invalid_argument("average_overlapping: the horizon must be at least 1");
  std::vector<double> out(averaged_length(k, ph));
  average_overlapping(forecasts, k, ph, out.data());
  return out;
}

}  // namespace tarn
