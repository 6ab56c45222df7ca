#include "tarn/seasonal_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "season_adjustment.hpp"
#include "series_util.hpp"
#include "tarn/season.hpp"

namespace tarn {

std::size_t SeasonalModel::target_size(const SeasonalModelConfig& config) {
  return static_cast<std::size_t>(config.training_sample_size > 0 ? config.training_sample_size
                                                                  : kDefaultTrainingSize);
}

void SeasonalModel::observe(double value, std::int64_t gap) {
  if (fitted_) {
    advance(value, gap);
    return;
  }
  if (train_.add(value, gap, target_size())) {
    fit();
    fitted_ = true;
    train_.clear();
  }
}

void SeasonalModel::clear() {
  train_ = TrainingBuffer();
  fitted_ = false;
  variance_ = ErrorVariance();
  forget();
}

std::string SeasonalModel::describe_config() const {
  std::ostringstream os;
  os << kind() << "(training_sample_size=" << config_.training_sample_size;
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  return os.str();
}

void SeasonalModel::save(Writer& w) const {
  w.put<std::uint16_t>(state_version());
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(fitted_);
  if (fitted_) {
    save_fit(w);
  } else {
    train_.save(w);
  }
}

void SeasonalModel::load(Reader& r) {
  const auto version = r.get<std::uint16_t>();
  if (version < 1 || version > state_version()) {
    throw FormatError(std::string("model state: unknown ") + kind() + " version");
  }
  SeasonalModelConfig c;
  c.training_sample_size = r.get<std::int64_t>();
  c.season_length = r.get_count(0, 1000000);
  if (c.training_sample_size > 100000000) throw FormatError("model state: bad size");
  if (r.get_bool()) {
    load_fit(r, version);
    train_ = TrainingBuffer();
    fitted_ = true;
  } else {
    TrainingBuffer train;
    train.load(r, target_size(c), kind());
    clear();
    train_ = std::move(train);
  }
  config_ = c;
}

SeasonalModelConfig read_seasonal_config(const char* builder, const Options& options) {
  OptionReader r(builder, options);
  SeasonalModelConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.season_length = r.integer("season_length", 0);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return c;
}

SeasonAdjustedModel::TrainingData SeasonAdjustedModel::prepare_training() {
  detail::CleanSeries cs = detail::clean_series(train_.values());
  TrainingData d;
  d.y = std::move(cs.y);
  d.trailing_missing = cs.trailing_missing;
  scale_ = detail::series_scale(d.y);
  for (auto& v : d.y) v /= scale_;
  // Classical decomposition, the season kept only when it is significant.
  d.x = detail::seasonally_adjusted(d.y, config_.season_length, season_, multiplicative_);
  return d;
}

std::size_t SeasonAdjustedModel::calibration_horizon(std::size_t n) const {
  return std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * season_.size(), 8));
}

void SeasonAdjustedModel::run_training(const TrainingData& data, double parameters,
                                       const std::vector<double>& ratios) {
  const std::vector<double>& y = data.y;
  const std::size_t n = y.size();
  pos_ = 0;
  variance_.reset(parameters + (season_.empty() ? 0.0 : static_cast<double>(season_.size() - 1)));
  const double saved_scale = scale_;
  scale_ = 1.0;  // the training values are scaled already
  const std::size_t m = season_.size();
  const std::size_t H = ratios.size();
  const auto first = static_cast<std::size_t>(variance_.parameters());
  calibration_.start(H >= 2 ? H : 0);
  std::vector<double> path(H);
  for (std::size_t i = 0; i < n; ++i) {
    step(y[i]);
    if (H < 2 || i + 1 < first) continue;
    const std::size_t reach = std::min(H, n - 1 - i);
    adjusted_path(reach, path.data());
    for (std::size_t k = 1; k <= reach; ++k) {
      const double yk = y[i + k];
      if (!std::isfinite(yk)) continue;
      const double e = yk - to_output(path[k - 1], static_cast<double>(k));
      double den = ratios[k - 1];
      if (m && multiplicative_) {
        const double s = season_[(pos_ + k - 1) % m];
        den *= s * s;
      }
      calibration_.add(k, e * e / den);
    }
  }
  calibration_.finish(variance_.variance());
  scale_ = saved_scale;
  for (std::size_t i = 0; i < data.trailing_missing; ++i) step(detail::nan_value());
}

double SeasonAdjustedModel::largest_variance() const {
  return std::numeric_limits<double>::infinity();
}

bool SeasonAdjustedModel::forecast_variances(std::int64_t h, double* var) const {
  if (!variance_.known()) return false;
  const double s2 = variance_.variance() * scale_ * scale_;
  const double largest = largest_variance();
  const std::size_t m = season_.size();
  variance_ratios(h, var);
  double base = 0.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    // Calibrated, the variance still never falls with the horizon.
    base = std::max(base, s2 * var[k - 1] * calibration_.factor(static_cast<std::size_t>(k)));
    double v = std::min(base, largest);
    if (m && multiplicative_) {
      const double s =
          season_[(pos_ + static_cast<std::size_t>((k - 1) % static_cast<std::int64_t>(m))) % m];
      v *= s * s;
    }
    var[k - 1] = v;
  }
  return true;
}

std::string SeasonAdjustedModel::describe_season() const {
  if (season_.empty()) return {};
  std::ostringstream os;
  os << " season=" << season_.size() << (multiplicative_ ? " multiplicative" : " additive");
  return os.str();
}

void SeasonAdjustedModel::forget() {
  scale_ = 1.0;
  multiplicative_ = false;
  season_.clear();
  pos_ = 0;
  calibration_ = HorizonCalibration();
}

void SeasonAdjustedModel::save_season(Writer& w) const {
  w.put_vector(season_);
  w.put<std::int64_t>(static_cast<std::int64_t>(pos_));
}

void SeasonAdjustedModel::save_errors(Writer& w) const {
  variance_.save(w);
  calibration_.save(w);
}

void SeasonAdjustedModel::load_season(Reader& r, AdjustedState& a) const {
  const std::string name = kind();
  a.season = r.get_vector<double>();
  if (a.season.size() == 1) throw FormatError("model state: " + name + " season of length 1");
  for (double v : a.season) {
    if (!std::isfinite(v) || (a.multiplicative && !(v > 0.0))) {
      throw FormatError("model state: bad " + name + " season index");
    }
  }
  const std::int64_t pos = r.get<std::int64_t>();
  if (pos < 0 ||
      (a.season.empty() ? pos != 0 : pos >= static_cast<std::int64_t>(a.season.size()))) {
    throw FormatError("model state: bad " + name + " season position");
  }
  a.pos = static_cast<std::size_t>(pos);
}

void SeasonAdjustedModel::load_errors(Reader& r, AdjustedState& a) {
  a.variance.load(r);
  a.calibration.load(r);
}

void SeasonAdjustedModel::adopt(AdjustedState&& a) {
  scale_ = a.scale;
  multiplicative_ = a.multiplicative;
  season_ = std::move(a.season);
  pos_ = a.pos;
  variance_ = a.variance;
  calibration_ = std::move(a.calibration);
}

}  // namespace tarn
