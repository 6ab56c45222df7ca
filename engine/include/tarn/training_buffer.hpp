// The values a model collects before its first fit, shared by the models that estimate from
// an initial sample (BATS, theta, seasonal naive, the automatic selector).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarn/serialize.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// The longest stretch of training data a model estimates from. A longer initial sample is
// fitted on its latest values only (BATS, ARIMA, intermittent demand, the automatic selector;
// Holt-Winters, whose evaluations are cheaper, keeps 20,000): a handful of parameters settles
// long before that, the fitted state forgets older data anyway, and the cost of a fit stays
// bounded whatever the length of the series, so training costs O(n) for the data's passage
// alone. (BATS with a season of 12 spends about 1 s on 5,000 values, the selector's search
// about 0.5 s.)
constexpr std::size_t kFitWindow = 5'000;

// The fit window for season length m: kFitWindow, but at least four seasons, in whole seasons
// (the positions of the season stay where the whole sample would put them).
inline std::size_t fit_window(std::int64_t m) {
  if (m <= 1) return kFitWindow;
  const auto s = static_cast<std::size_t>(m);
  return (std::max(kFitWindow, 4 * s) + s - 1) / s * s;
}

// Where the fit of `values` (NaN: missing) starts: `window` values before the end, unless
// those hold fewer than 8 known values (a long run of missing values at the end), in which
// case the whole sample is fitted as before.
inline std::size_t fit_start(const std::vector<double>& values, std::size_t window) {
  if (values.size() <= window) return 0;
  const std::size_t start = values.size() - window;
  std::size_t known = 0;
  for (std::size_t i = start; i < values.size() && known < 8; ++i) {
    if (std::isfinite(values[i])) ++known;
  }
  return known >= 8 ? start : 0;
}

// One value per step of the time grid, NaN for a missing step. Missing values before the first
// real one count towards the training size but are not kept, so a stream of missing values
// cannot grow the buffer; a gap inside the data inserts at most `target` missing steps, so an
// absurd timestamp jump cannot exhaust memory either.
class TrainingBuffer {
 public:
  // Largest count of leading missing values kept track of.
  static constexpr std::int64_t kMaxLeadingMissing = 100000000;

  // Adds `value`, `gap` grid steps after the previous one (NaN: missing). True once the values
  // kept and the leading missing ones reach `target` steps: the model fits then.
  bool add(double value, std::int64_t gap, std::size_t target);

  // The values kept, from the first real one on.
  const std::vector<double>& values() const { return values_; }
  std::size_t size() const { return values_.size(); }
  double operator[](std::size_t i) const { return values_[i]; }
  // Count of finite values kept.
  std::size_t finite() const { return finite_; }
  // Empties the buffer and releases its memory.
  void clear();

  // The values, then the count of leading missing ones.
  void save(Writer& w) const;
  // Reads what save wrote, for a model that fits at `target` steps; `kind` names the model in
  // the error a malformed buffer raises. The buffer changes only when the whole read succeeds.
  void load(Reader& r, std::size_t target, const char* kind);

 private:
  std::vector<double> values_;
  std::size_t finite_ = 0;
  std::int64_t leading_missing_ = 0;  // missing values seen before the first real one
};

}  // namespace tarn

#pragma GCC visibility pop
