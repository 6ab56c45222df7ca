#include "tarn/training_buffer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace tarn {

bool TrainingBuffer::add(double value, std::int64_t gap, std::size_t target) {
  if (finite_ == 0) {
    // Saturates without overflowing: a gap may span nearly the whole time axis.
    const std::int64_t skipped = gap - (std::isfinite(value) ? 1 : 0);
    leading_missing_ = skipped >= kMaxLeadingMissing - leading_missing_
                           ? kMaxLeadingMissing
                           : leading_missing_ + skipped;
    if (!std::isfinite(value)) return false;
    gap = 1;
  }
  const std::int64_t missing = std::min<std::int64_t>(gap - 1, static_cast<std::int64_t>(target));
  for (std::int64_t i = 0; i < missing; ++i)
    values_.push_back(std::numeric_limits<double>::quiet_NaN());
  values_.push_back(value);
  if (std::isfinite(value)) ++finite_;
  return values_.size() + static_cast<std::size_t>(leading_missing_) >= target;
}

void TrainingBuffer::clear() {
  std::vector<double>().swap(values_);
  finite_ = 0;
  leading_missing_ = 0;
}

void TrainingBuffer::save(Writer& w) const {
  w.put_vector(values_);
  w.put<std::int64_t>(leading_missing_);
}

void TrainingBuffer::load(Reader& r, std::size_t target, const char* kind) {
  std::vector<double> values = r.get_vector<double>();
  if (values.size() > target + 1)
    throw FormatError(std::string("model state: bad ") + kind + " buffer");
  std::size_t finite = 0;
  for (double v : values) {
    if (std::isinf(v)) throw FormatError("model state: infinite value");
    if (std::isfinite(v)) ++finite;
  }
  const std::int64_t leading = r.get_count(0, kMaxLeadingMissing);
  values_ = std::move(values);
  finite_ = finite;
  leading_missing_ = leading;
}

}  // namespace tarn
