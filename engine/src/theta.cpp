#include "tarn/theta.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "info_criteria.hpp"
#include "series_util.hpp"
#include "tarn/optimize.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinAlpha = 0.01, kMaxAlpha = 0.99, kMaxTheta = 10.0;

struct Line {
  double a = 0.0, b = 0.0;
};

Line fit_line(double cnt, double st, double stt, double sy, double sty) {
  Line l;
  if (cnt <= 0.0) return l;
  const double den = cnt * stt - st * st;
  if (cnt >= 2.0 && den > 0.0) l.b = (cnt * sty - st * sy) / den;
  l.a = (sy - l.b * st) / cnt;
  if (!std::isfinite(l.a) || !std::isfinite(l.b)) l = Line{};
  return l;
}

// Mean squared one-step error of the theta recursion over x with a fixed line (a, b) (the
// optimised theta method), or, `dynamic`, with the line through the values before each one
// (the dynamic optimised theta method of Fiorucci et al., 2016).
double theta_mse(const std::vector<double>& x, double alpha, double level0, double theta, Line ln,
                 bool dynamic = false) {
  const double w = 1.0 - 1.0 / theta;
  double level = level0, decay = 1.0, sse = 0.0;  // decay = (1 - alpha)^(t - 1)
  double cnt = 0, st = 0, stt = 0, sy = 0, sty = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (dynamic) {
      ln = cnt >= 1.0 ? fit_line(cnt, st, stt, sy, sty) : Line{x[0], 0.0};
      const double t = static_cast<double>(i + 1);
      cnt += 1;
      st += t;
      stt += t * t;
      sy += x[i];
      sty += t * x[i];
    }
    const double pred = level + w * (decay * ln.a + (1.0 - decay * (1.0 - alpha)) / alpha * ln.b);
    const double e = x[i] - pred;
    sse += e * e;
    level = alpha * x[i] + (1.0 - alpha) * level;
    decay *= 1.0 - alpha;
  }
  return sse / static_cast<double>(x.size());
}

}  // namespace

std::size_t Theta::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void Theta::clear() {
  const ThetaConfig c = config_;
  adopt(Theta(c));
}

void Theta::adopt(Theta&& o) {
  config_ = o.config_;
  train_ = std::move(o.train_);
  fitted_ = o.fitted_;
  scale_ = o.scale_;
  multiplicative_ = o.multiplicative_;
  season_ = std::move(o.season_);
  pos_ = o.pos_;
  alpha_ = o.alpha_;
  theta_ = o.theta_;
  dynamic_ = o.dynamic_;
  level_ = o.level_;
  decay_ = o.decay_;
  t_ = o.t_;
  cnt_ = o.cnt_;
  st_ = o.st_;
  stt_ = o.stt_;
  sy_ = o.sy_;
  sty_ = o.sty_;
  variance_ = o.variance_;
  calibration_ = o.calibration_;
}

void Theta::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
  const std::int64_t skipped = std::min<std::int64_t>(gap - 1, 1000000);
  for (std::int64_t i = 0; i < skipped; ++i) step(detail::nan_value());
  step(value);
}

void Theta::step(double y) {
  double x = detail::nan_value();
  if (std::isfinite(y)) {
    x = y / scale_;
    if (!season_.empty()) {
      const double s = season_[pos_];
      x = multiplicative_ ? x / s : x - s;
    }
  }
  t_ += 1.0;
  if (std::isfinite(x)) {
    if (cnt_ >= 3.0) {
      // The one-step forecast on the adjusted scale, before this value moves the state.
      const Line ln = fit_line(cnt_, st_, stt_, sy_, sty_);
      const double w = 1.0 - 1.0 / theta_;
      variance_.add(
          x - (level_ + w * (decay_ * ln.a + (1.0 - decay_ * (1.0 - alpha_)) / alpha_ * ln.b)));
    }
    level_ = alpha_ * x + (1.0 - alpha_) * level_;
    cnt_ += 1.0;
    st_ += t_;
    stt_ += t_ * t_;
    sy_ += x;
    sty_ += t_ * x;
  }
  decay_ *= 1.0 - alpha_;
  if (!season_.empty()) pos_ = (pos_ + 1) % season_.size();
}

void Theta::fit() {
  detail::CleanSeries cs = detail::clean_series(train_.values());
  std::vector<double> y = cs.y;
  scale_ = detail::series_scale(y);
  for (auto& v : y) v /= scale_;
  const std::size_t n = y.size();

  // Seasonal adjustment by classical decomposition, kept only when the season is significant.
  std::vector<double> x =
      detail::seasonally_adjusted(y, config_.season_length, season_, multiplicative_);

  // Line through the adjusted training data.
  double cnt = 0, st = 0, stt = 0, sy = 0, sty = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i + 1);
    cnt += 1;
    st += t;
    stt += t * t;
    sy += x[i];
    sty += t * x[i];
  }
  const Line ln = fit_line(cnt, st, stt, sy, sty);

  alpha_ = 1.0;
  theta_ = 1.0;
  dynamic_ = false;
  double level0 = n ? x[0] : 0.0;
  if (n >= 3 && !detail::is_constant(x)) {
    // Classical theta (theta = 2) and an estimated theta, each with the line fitted once (the
    // optimised theta method) or fitted anew before each value (the dynamic one); the lower
    // AIC wins, as Fiorucci et al. (2016) choose. The forecasts follow the line through the
    // data seen so far either way; the two differ in the parameters they estimate.
    double best_aic = kInf;
    const double nn = static_cast<double>(n);
    for (int form = 0; form < 4; ++form) {
      const bool free_theta = form % 2 == 1, dynamic = form >= 2;
      if (free_theta && n < 5) continue;
      auto decode = [&](const std::vector<double>& u, double& a, double& l0, double& th) {
        a = to_bounded(u[0], kMinAlpha, kMaxAlpha);
        l0 = x[0] + u[1];
        th = free_theta ? to_bounded(u[2], 1.0, kMaxTheta) : 2.0;
      };
      auto f = [&](const std::vector<double>& u) {
        double a, l0, th;
        decode(u, a, l0, th);
        return theta_mse(x, a, l0, th, ln, dynamic);
      };
      std::vector<double> u0 = {from_bounded(0.5, kMinAlpha, kMaxAlpha), 0.0};
      if (free_theta) u0.push_back(from_bounded(2.0, 1.0, kMaxTheta));
      NelderMeadOptions opt;
      opt.initial_step = 0.5;
      opt.max_evaluations = 400;
      opt.x_tolerance = 1e-5;
      OptimizeResult r = nelder_mead_restarted(f, u0, opt);
      if (!std::isfinite(r.value)) continue;
      const double aic =
          detail::aic(nn * std::log(std::max(r.value, 1e-300)), static_cast<double>(u0.size()));
      if (aic < best_aic) {
        best_aic = aic;
        decode(r.x, alpha_, level0, theta_);
        dynamic_ = dynamic;
      }
    }
  }
  // Run the recursion over the training data to reach the current state.
  level_ = level0;
  decay_ = 1.0;
  t_ = cnt_ = st_ = stt_ = sy_ = sty_ = 0.0;
  pos_ = 0;
  // Estimated: alpha, theta, the initial level and the season's free indices.
  variance_.reset(3.0 + (season_.empty() ? 0.0 : static_cast<double>(season_.size() - 1)));
  const std::vector<double>& scaled = y;
  const double saved_scale = scale_;
  scale_ = 1.0;  // the training values are scaled already
  // From every origin after the estimated values, the 1..H step errors against the formula's
  // variances (H: up to two seasons, at least 8 steps, at most a third of the data).
  const std::size_t m = season_.size();
  const std::size_t H = std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * m, 8));
  const auto first = static_cast<std::size_t>(variance_.parameters());
  calibration_.start(H >= 2 ? H : 0);
  for (std::size_t i = 0; i < n; ++i) {
    step(scaled[i]);
    if (H < 2 || i + 1 < first) continue;
    for (std::size_t k = 1; k <= H && i + k < n; ++k) {
      const double y = scaled[i + k];
      if (!std::isfinite(y)) continue;
      const double e = y - point(static_cast<double>(k));
      double den = 1.0 + static_cast<double>(k - 1) * alpha_ * alpha_;
      if (m && multiplicative_) {
        const double s = season_[(pos_ + k - 1) % m];
        den *= s * s;
      }
      calibration_.add(k, e * e / den);
    }
  }
  calibration_.finish(variance_.variance());
  scale_ = saved_scale;
  for (std::size_t i = 0; i < cs.trailing_missing; ++i) step(detail::nan_value());
  fitted_ = true;
  train_.clear();
}

double Theta::point(double h) const {
  const Line ln = fit_line(cnt_, st_, stt_, sy_, sty_);
  const double w = 1.0 - 1.0 / theta_;
  double x =
      level_ + w * (decay_ * ln.a + ((h - 1.0) + (1.0 - decay_ * (1.0 - alpha_)) / alpha_) * ln.b);
  if (!season_.empty()) {
    const std::size_t m = season_.size();
    const double k = std::fmod(std::floor(h) - 1.0, static_cast<double>(m));
    const double s = season_[(pos_ + static_cast<std::size_t>(k)) % m];
    x = multiplicative_ ? x * s : x + s;
  }
  return detail::unscale(detail::finite_or(x, level_), scale_);
}

// Theta as simple exponential smoothing with drift: the h-step variance on the adjusted scale
// is sigma^2 (1 + (h - 1) alpha^2); the season and the scale map it back to the data.
bool Theta::forecast_variances(std::int64_t h, double* var) const {
  if (!variance_.known()) return false;
  const double s2 = variance_.variance() * scale_ * scale_;
  const std::size_t m = season_.size();
  double base = 0.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    // Calibrated, the variance still never falls with the horizon.
    base = std::max(
        base, s2 * (1.0 + static_cast<double>(k - 1) * alpha_ * alpha_) * calibration_.factor(k));
    double v = base;
    if (m && multiplicative_) {
      const double s =
          season_[(pos_ + static_cast<std::size_t>((k - 1) % static_cast<std::int64_t>(m))) % m];
      v *= s * s;
    }
    var[k - 1] = v;
  }
  return true;
}

double Theta::forecast_ahead(double h) const {
  const double v = detail::interpolate_steps(h, [&](double k) { return point(k); });
  return detail::finite_or(v, detail::unscale(level_, scale_));
}

std::string Theta::describe() const {
  std::ostringstream os;
  os << "theta(training_sample_size=" << config_.training_sample_size;
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  if (fitted_) {
    os << ": alpha=" << alpha_ << " theta=" << theta_ << (dynamic_ ? " dynamic" : "");
    if (!season_.empty()) {
      os << " season=" << season_.size() << (multiplicative_ ? " multiplicative" : " additive");
    }
  }
  return os.str();
}

namespace {
// Version 2 adds whether the line was dynamic in the fit (older states: static).
constexpr std::uint16_t kThetaVersion = 2;
}  // namespace

void Theta::save(Writer& w) const {
  w.put<std::uint16_t>(kThetaVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put_bool(multiplicative_);
  w.put_bool(dynamic_);
  w.put_vector(season_);
  w.put<std::int64_t>(static_cast<std::int64_t>(pos_));
  for (double v : {scale_, alpha_, theta_, level_, decay_, t_, cnt_, st_, stt_, sy_, sty_}) {
    w.put<double>(v);
  }
  variance_.save(w);
  calibration_.save(w);
}

void Theta::load(Reader& r) {
  const auto version = r.get<std::uint16_t>();
  if (version < 1 || version > kThetaVersion) {
    throw FormatError("model state: unknown theta version");
  }
  Theta f;
  f.config_.training_sample_size = r.get<std::int64_t>();
  f.config_.season_length = r.get_count(0, 1000000);
  if (f.config_.training_sample_size > 100000000) throw FormatError("model state: bad size");
  f.fitted_ = r.get_bool();
  if (!f.fitted_) {
    f.train_.load(r, f.target_size(), "theta");
    adopt(std::move(f));
    return;
  }
  f.multiplicative_ = r.get_bool();
  if (version >= 2) f.dynamic_ = r.get_bool();
  f.season_ = r.get_vector<double>();
  if (f.season_.size() == 1) throw FormatError("model state: theta season of length 1");
  for (double v : f.season_) {
    if (!std::isfinite(v) || (f.multiplicative_ && !(v > 0.0))) {
      throw FormatError("model state: bad theta season index");
    }
  }
  const std::int64_t pos = r.get<std::int64_t>();
  if (pos < 0 ||
      (f.season_.empty() ? pos != 0 : pos >= static_cast<std::int64_t>(f.season_.size()))) {
    throw FormatError("model state: bad theta season position");
  }
  f.pos_ = static_cast<std::size_t>(pos);
  double* fields[] = {&f.scale_, &f.alpha_, &f.theta_, &f.level_, &f.decay_, &f.t_,
                      &f.cnt_,   &f.st_,    &f.stt_,   &f.sy_,    &f.sty_};
  for (double* p : fields) {
    *p = r.get<double>();
    if (!std::isfinite(*p)) throw FormatError("model state: theta value is not finite");
  }
  if (!(f.scale_ > 0.0) || !(f.alpha_ > 0.0) || f.alpha_ > 1.0 || f.theta_ < 1.0 || f.cnt_ < 0.0) {
    throw FormatError("model state: theta parameter out of range");
  }
  // States of older formats learn the variance from the values that follow.
  if (r.version() >= 3) {
    f.variance_.load(r);
    f.calibration_.load(r);
  }
  adopt(std::move(f));
}

std::unique_ptr<Model> build_theta(const Options& options) {
  OptionReader r("theta", options);
  ThetaConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.season_length = r.integer("season_length", 0);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return std::make_unique<Theta>(c);
}

}  // namespace tarn
