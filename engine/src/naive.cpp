#include "tarn/naive.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "series_util.hpp"
#include "tarn/season.hpp"

namespace tarn {

std::size_t SeasonalNaive::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void SeasonalNaive::clear() {
  train_.clear();
  fitted_ = false;
  last_.clear();
  pos_ = 0;
  variance_.reset();
}

void SeasonalNaive::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
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
  fitted_ = true;
  train_.clear();
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
  os << "snaive(training_sample_size=" << config_.training_sample_size;
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  if (fitted_) os << ": season=" << last_.size();
  return os.str();
}

namespace {
constexpr std::uint16_t kNaiveVersion = 1;
}

void SeasonalNaive::save(Writer& w) const {
  w.put<std::uint16_t>(kNaiveVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put_vector(last_);
  w.put<std::int64_t>(static_cast<std::int64_t>(pos_));
  variance_.save(w);
}

void SeasonalNaive::load(Reader& r) {
  if (r.get<std::uint16_t>() != kNaiveVersion)
    throw FormatError("model state: unknown snaive version");
  SeasonalNaiveConfig c;
  c.training_sample_size = r.get<std::int64_t>();
  c.season_length = r.get_count(0, 1000000);
  if (c.training_sample_size > 100000000) throw FormatError("model state: bad size");
  const bool fitted = r.get_bool();
  TrainingBuffer train;
  std::vector<double> last;
  std::size_t pos = 0;
  if (!fitted) {
    train.load(r, SeasonalNaive(c).target_size(), "snaive");
  } else {
    last = r.get_vector<double>();
    if (last.empty()) throw FormatError("model state: empty snaive season");
    for (double v : last)
      if (!std::isfinite(v)) throw FormatError("model state: snaive value is not finite");
    const std::int64_t p = r.get<std::int64_t>();
    if (p < 0 || p >= static_cast<std::int64_t>(last.size())) {
      throw FormatError("model state: bad snaive position");
    }
    pos = static_cast<std::size_t>(p);
  }
  ErrorVariance variance;  // states of older formats learn it from the values that follow
  if (fitted && r.version() >= 3) variance.load(r);
  config_ = c;
  fitted_ = fitted;
  train_ = std::move(train);
  last_ = std::move(last);
  pos_ = pos;
  variance_ = variance;
}

std::unique_ptr<Model> build_seasonal_naive(const Options& options) {
  OptionReader r("snaive", options);
  SeasonalNaiveConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.season_length = r.integer("season_length", 0);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return std::make_unique<SeasonalNaive>(c);
}

}  // namespace tarn
