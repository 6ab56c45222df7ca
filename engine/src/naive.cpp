#include "tarn/naive.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "series_util.hpp"
#include "tarn/season.hpp"

namespace tarn {

void SeasonalNaive::forget() {
  last_.clear();
  pos_ = 0;
}

void SeasonalNaive::advance(double value, std::int64_t gap) {
  // A gap of a whole number of seasons or more leaves every phase as it was.
  const std::int64_t m = static_cast<std::int64_t>(last_.size());
  const std::int64_t skipped = (gap - 1) % m;
  pos_ = (pos_ + static_cast<std::size_t>(skipped)) % last_.size();
  if (std::isfinite(value)) variance_.add(value - last_[pos_]);
  step(value);
}

void SeasonalNaive::step(double y) {
  if (std::isfinite(y)) last_[pos_] = y;
  pos_ = (pos_ + 1) % last_.size();
}

void SeasonalNaive::fit() {
  const detail::CleanSeries cs = detail::clean_series(train_.values());
  const std::vector<double>& y = cs.y;
  const std::size_t n = y.size();
  int m = static_cast<int>(config_.season_length);
  if (m <= 0) {
    const int upper = static_cast<int>(std::min<std::size_t>(200, n / 2));
    m = upper >= 2 ? detect_period(y.data(), n, upper) : 1;
  }
  if (m < 1) m = 1;
  // Every phase starts from the latest value of the series and takes the latest observed
  // value of its own phase; values interpolated over gaps count as observed.
  last_.assign(static_cast<std::size_t>(m), y.empty() ? 0.0 : y.back());
  pos_ = 0;
  variance_.reset();
  for (std::size_t i = 0; i < n; ++i) {
    // Every phase has a value of its own once a whole season has passed.
    if (i >= static_cast<std::size_t>(m)) variance_.add(y[i] - last_[pos_]);
    step(y[i]);
  }
  for (std::size_t i = 0; i < cs.trailing_missing; ++i) step(detail::nan_value());
}

// The h-step error sums one innovation per season crossed: sigma^2 (1 + floor((h - 1) / m)).
bool SeasonalNaive::forecast_variances(std::int64_t h, double* var) const {
  if (!variance_.known()) return false;
  const auto m = static_cast<std::int64_t>(last_.size());
  const double s2 = variance_.variance();
  for (std::int64_t k = 1; k <= h; ++k) var[k - 1] = s2 * static_cast<double>(1 + (k - 1) / m);
  return true;
}

double SeasonalNaive::forecast_ahead(double h) const {
  const std::size_t m = last_.size();
  auto at = [&](double k) {
    const double phase = std::fmod(k - 1.0, static_cast<double>(m));
    return last_[(pos_ + static_cast<std::size_t>(phase)) % m];
  };
  return detail::finite_or(detail::interpolate_steps(h, at), last_[pos_]);
}

std::string SeasonalNaive::describe() const {
  std::ostringstream os;
  os << describe_config();
  if (fitted_) os << ": season=" << last_.size();
  return os.str();
}

void SeasonalNaive::save_fit(Writer& w) const {
  w.put_vector(last_);
  w.put<std::int64_t>(static_cast<std::int64_t>(pos_));
  variance_.save(w);
}

void SeasonalNaive::load_fit(Reader& r, std::uint16_t /*version*/) {
  std::vector<double> last = r.get_vector<double>();
  if (last.empty()) throw FormatError("model state: empty snaive season");
  for (double v : last)
    if (!std::isfinite(v)) throw FormatError("model state: snaive value is not finite");
  const std::int64_t p = r.get<std::int64_t>();
  if (p < 0 || p >= static_cast<std::int64_t>(last.size())) {
    throw FormatError("model state: bad snaive position");
  }
  ErrorVariance variance;  // states of older formats learn it from the values that follow
  if (r.version() >= 3) variance.load(r);
  last_ = std::move(last);
  pos_ = static_cast<std::size_t>(p);
  variance_ = variance;
}

std::unique_ptr<Model> build_seasonal_naive(const Options& options) {
  return std::make_unique<SeasonalNaive>(read_seasonal_config("snaive", options));
}

}  // namespace tarn
