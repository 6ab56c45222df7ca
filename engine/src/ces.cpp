#include "tarn/ces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "series_util.hpp"
#include "tarn/optimize.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

constexpr double kCesInf = std::numeric_limits<double>::infinity();
// Paths longer than this are not cached step by step; farther steps use powers of F.
constexpr double kCesCachedSteps = 100000.0;
// With an explosive root the trajectory compounds over this many steps, then goes on along its
// last step.
constexpr double kCesCompoundSteps = 1000.0;

// The 2 x 2 transition F = [[1, a1 - 1], [1, 1 - a0]] acting on (level, potential).
struct CesMatrix {
  double a = 1.0, b = 0.0, c = 0.0, d = 1.0;
  CesMatrix operator*(const CesMatrix& o) const {
    return {a * o.a + b * o.c, a * o.b + b * o.d, c * o.a + d * o.c, c * o.b + d * o.d};
  }
};

CesMatrix ces_transition(double a0, double a1) {
  return {1.0, a1 - 1.0, 1.0, 1.0 - a0};
}

CesMatrix ces_power(CesMatrix m, std::uint64_t k) {
  CesMatrix r;
  while (k) {
    if (k & 1U) r = r * m;
    m = m * m;
    k >>= 1U;
  }
  return r;
}

// Mean squared one-step error of the recursion over x (NaN: missing) from (l0, c0).
double ces_mse(const std::vector<double>& x, double a0, double a1, double l0, double c0) {
  double l = l0, c = c0, sse = 0.0, cnt = 0.0;
  for (double v : x) {
    const double e = std::isfinite(v) ? v - l : 0.0;
    if (std::isfinite(v)) {
      sse += e * e;
      cnt += 1.0;
    }
    const double nl = l - (1.0 - a1) * c + (a0 - a1) * e;
    c = l + (1.0 - a0) * c + (a0 + a1) * e;
    l = nl;
    if (!std::isfinite(l) || !std::isfinite(c)) return kCesInf;
  }
  return cnt > 0.0 ? sse / cnt : kCesInf;
}

}  // namespace

bool ces_detail::stable(double a0, double a1) {
  // D = F - g w' = [[1 - a0 + a1, a1 - 1], [1 - a0 - a1, 1 - a0]]; both roots of
  // z^2 - tr z + det lie inside the unit circle iff |det| < 1 and |tr| < 1 + det.
  const double tr = 2.0 - 2.0 * a0 + a1;
  const double det = (1.0 - a0 + a1) * (1.0 - a0) - (a1 - 1.0) * (1.0 - a0 - a1);
  return std::isfinite(tr) && std::isfinite(det) && std::fabs(det) < 1.0 &&
         std::fabs(tr) < 1.0 + det;
}

double ces_detail::forecast_radius(double a0, double a1) {
  // Roots of z^2 - (2 - a0) z + (2 - a0 - a1), the characteristic polynomial of F.
  const double tr = 2.0 - a0, det = 2.0 - a0 - a1;
  const double disc = tr * tr - 4.0 * det;
  if (disc < 0.0) return std::sqrt(std::max(det, 0.0));
  const double r = std::sqrt(disc);
  return std::max(std::fabs(tr + r), std::fabs(tr - r)) / 2.0;
}

std::size_t Ces::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void Ces::clear() {
  const CesConfig c = config_;
  adopt(Ces(c));
}

// Takes over the model's own fields; the time axis of the base stays.
void Ces::adopt(Ces&& o) {
  config_ = o.config_;
  train_ = std::move(o.train_);
  fitted_ = o.fitted_;
  scale_ = o.scale_;
  multiplicative_ = o.multiplicative_;
  season_ = std::move(o.season_);
  pos_ = o.pos_;
  a0_ = o.a0_;
  a1_ = o.a1_;
  level_ = o.level_;
  potential_ = o.potential_;
  variance_ = o.variance_;
  calibration_ = o.calibration_;
}

void Ces::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
  // A long gap moves the state by a power of F: O(log gap).
  const std::int64_t skipped = gap - 1;
  if (skipped > 0) {
    const CesMatrix f = ces_power(ces_transition(a0_, a1_), static_cast<std::uint64_t>(skipped));
    const double l = f.a * level_ + f.b * potential_;
    potential_ = f.c * level_ + f.d * potential_;
    level_ = l;
    if (!season_.empty())
      pos_ =
          (pos_ + static_cast<std::size_t>(skipped % static_cast<std::int64_t>(season_.size()))) %
          season_.size();
  }
  step(value);
}

void Ces::step(double y) {
  double x = detail::nan_value();
  if (std::isfinite(y)) {
    x = y / scale_;
    if (!season_.empty()) {
      const double s = season_[pos_];
      x = multiplicative_ ? x / s : x - s;
    }
  }
  double e = 0.0;
  if (std::isfinite(x)) {
    e = x - level_;
    variance_.add(e);
  }
  const double l = level_ - (1.0 - a1_) * potential_ + (a0_ - a1_) * e;
  const double c = level_ + (1.0 - a0_) * potential_ + (a0_ + a1_) * e;
  // A state that leaves the doubles keeps its last finite value rather than poisoning the
  // forecasts.
  if (std::isfinite(l) && std::isfinite(c)) {
    level_ = l;
    potential_ = c;
  }
  if (!season_.empty()) pos_ = (pos_ + 1) % season_.size();
}

void Ces::fit() {
  detail::CleanSeries cs = detail::clean_series(train_.values());
  std::vector<double> y = cs.y;
  scale_ = detail::series_scale(y);
  for (auto& v : y) v /= scale_;
  const std::size_t n = y.size();

  // Seasonal adjustment by classical decomposition, kept only when the season is significant.
  std::vector<double> x =
      detail::seasonally_adjusted(y, config_.season_length, season_, multiplicative_);

  // The starting values of the original authors: a0 = 1.3, a1 = 1 (a stable, level-like
  // model); the initial level at the first value, the potential at the same size.
  a0_ = 1.3;
  a1_ = 1.0;
  double l0 = n ? x[0] : 0.0, c0 = l0;
  if (n >= 4 && !detail::is_constant(x)) {
    const double x0 = x[0];
    auto f = [&](const std::vector<double>& u) {
      if (!ces_detail::stable(u[0], u[1])) return kCesInf;
      return ces_mse(x, u[0], u[1], x0 + u[2], x0 + u[3]);
    };
    NelderMeadOptions opt;
    opt.initial_step = 0.3;
    opt.max_evaluations = 800;
    opt.x_tolerance = 1e-6;
    const OptimizeResult r = nelder_mead_restarted(f, {1.3, 1.0, 0.0, 0.0}, opt);
    if (std::isfinite(r.value) && ces_detail::stable(r.x[0], r.x[1])) {
      a0_ = r.x[0];
      a1_ = r.x[1];
      l0 = x0 + r.x[2];
      c0 = x0 + r.x[3];
    }
  }

  // Run the recursion over the training data to reach the current state, calibrating the
  // h-step variances on every origin after the estimated values (H: up to two seasons, at
  // least 8 steps, at most a third of the data).
  level_ = l0;
  potential_ = c0;
  pos_ = 0;
  // Estimated: a0, a1, the two initial states and the season's free indices.
  variance_.reset(4.0 + (season_.empty() ? 0.0 : static_cast<double>(season_.size() - 1)));
  const double saved_scale = scale_;
  scale_ = 1.0;  // the training values are scaled already
  const std::size_t m = season_.size();
  const std::size_t H = std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * m, 8));
  const auto first = static_cast<std::size_t>(variance_.parameters());
  calibration_.start(H >= 2 ? H : 0);
  // psi[k - 1] = sum_{j<k} (w' F^{j-1} g)^2 + 1: the k-step variance over sigma^2.
  std::vector<double> psi(H + 1, 1.0);
  {
    double ul = a0_ - a1_, uc = a0_ + a1_;  // F^{j-1} g
    for (std::size_t k = 1; k < psi.size(); ++k) {
      psi[k] = psi[k - 1] + ul * ul;
      const double nl = ul + (a1_ - 1.0) * uc;
      uc = ul + (1.0 - a0_) * uc;
      ul = nl;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    step(y[i]);
    if (H < 2 || i + 1 < first) continue;
    double l = level_, c = potential_;
    for (std::size_t k = 1; k <= H && i + k < n; ++k) {
      const double yk = y[i + k];
      if (std::isfinite(yk)) {
        const double e = yk - to_output(l, static_cast<double>(k));
        double den = psi[k - 1];
        if (m && multiplicative_) {
          const double s = season_[(pos_ + k - 1) % m];
          den *= s * s;
        }
        calibration_.add(k, e * e / den);
      }
      const double nl = l - (1.0 - a1_) * c;
      c = l + (1.0 - a0_) * c;
      l = nl;
    }
  }
  calibration_.finish(variance_.variance());
  scale_ = saved_scale;
  for (std::size_t i = 0; i < cs.trailing_missing; ++i) step(detail::nan_value());
  fitted_ = true;
  train_.clear();
}

double Ces::adjusted_point(double h) const {
  if (h > kCesCompoundSteps && ces_detail::forecast_radius(a0_, a1_) > 1.0) {
    const double last = adjusted_point(kCesCompoundSteps);
    return last + (h - kCesCompoundSteps) * (last - adjusted_point(kCesCompoundSteps - 1.0));
  }
  if (h <= kCesCachedSteps) {
    // The recursion itself, as a path walks it: single forecasts and paths agree bit for bit.
    double l = level_, c = potential_;
    for (double k = 1.0; k < h; k += 1.0) {
      const double nl = l - (1.0 - a1_) * c;
      c = l + (1.0 - a0_) * c;
      l = nl;
    }
    return l;
  }
  const CesMatrix f = ces_power(ces_transition(a0_, a1_), static_cast<std::uint64_t>(h - 1.0));
  return f.a * level_ + f.b * potential_;
}

double Ces::to_output(double x, double h) const {
  if (!season_.empty()) {
    const std::size_t m = season_.size();
    const double k = std::fmod(std::floor(h) - 1.0, static_cast<double>(m));
    const double s = season_[(pos_ + static_cast<std::size_t>(k)) % m];
    x = multiplicative_ ? x * s : x + s;
  }
  return detail::unscale(detail::finite_or(x, level_), scale_);
}

double Ces::forecast_ahead(double h) const {
  const double v = detail::interpolate_steps(
      std::min(h, 9.0e15), [&](double k) { return to_output(adjusted_point(k), k); });
  return detail::finite_or(v, detail::unscale(level_, scale_));
}

// Along a path the recursion runs once over the first steps; farther steps use powers of F.
void Ces::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  std::vector<double> near;  // near[k - 1]: adjusted forecast k steps ahead
  double l = level_, c = potential_;
  const bool explosive = ces_detail::forecast_radius(a0_, a1_) > 1.0;
  auto pt = [&](double kd) {
    if (kd > kCesCachedSteps || (explosive && kd > kCesCompoundSteps)) {
      return to_output(adjusted_point(kd), kd);
    }
    const auto k = static_cast<std::size_t>(kd);
    while (near.size() < k) {
      near.push_back(l);
      const double nl = l - (1.0 - a1_) * c;
      c = l + (1.0 - a0_) * c;
      l = nl;
    }
    return to_output(near[k - 1], kd);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double v = detail::interpolate_steps(std::min(h[i], 9.0e15), pt);
    out[i] = detail::finite_or(v, detail::unscale(level_, scale_));
  }
}

bool Ces::forecast_variances(std::int64_t h, double* var) const {
  if (!variance_.known()) return false;
  const double s2 = variance_.variance() * scale_ * scale_;
  const std::size_t m = season_.size();
  double psi = 1.0, base = 0.0, last_step = 0.0;
  double ul = a0_ - a1_, uc = a0_ + a1_;  // F^{k-1} g
  const bool explosive = ces_detail::forecast_radius(a0_, a1_) > 1.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    // Calibrated, the variance still never falls with the horizon.
    base = std::max(base, s2 * psi * calibration_.factor(static_cast<std::size_t>(k)));
    double v = std::isfinite(base) ? base : std::numeric_limits<double>::max();
    if (m && multiplicative_) {
      const double s =
          season_[(pos_ + static_cast<std::size_t>((k - 1) % static_cast<std::int64_t>(m))) % m];
      v *= s * s;
    }
    var[k - 1] = v;
    if (explosive && static_cast<double>(k) >= kCesCompoundSteps) {
      psi += last_step;  // the variance goes on growing as the point forecast does
      continue;
    }
    last_step = ul * ul;
    psi += ul * ul;
    const double nl = ul + (a1_ - 1.0) * uc;
    uc = ul + (1.0 - a0_) * uc;
    ul = nl;
  }
  return true;
}

std::string Ces::describe() const {
  std::ostringstream os;
  os << "ces(training_sample_size=" << config_.training_sample_size;
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  if (fitted_) {
    os << ": a0=" << a0_ << " a1=" << a1_;
    if (!season_.empty()) {
      os << " season=" << season_.size() << (multiplicative_ ? " multiplicative" : " additive");
    }
  }
  return os.str();
}

namespace {
constexpr std::uint16_t kCesVersion = 1;
}

void Ces::save(Writer& w) const {
  w.put<std::uint16_t>(kCesVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put_bool(multiplicative_);
  w.put_vector(season_);
  w.put<std::int64_t>(static_cast<std::int64_t>(pos_));
  for (double v : {scale_, a0_, a1_, level_, potential_}) w.put<double>(v);
  variance_.save(w);
  calibration_.save(w);
}

void Ces::load(Reader& r) {
  if (r.get<std::uint16_t>() != kCesVersion) throw FormatError("model state: unknown ces version");
  Ces f;
  f.config_.training_sample_size = r.get<std::int64_t>();
  f.config_.season_length = r.get_count(0, 1000000);
  if (f.config_.training_sample_size > 100000000) throw FormatError("model state: bad size");
  f.fitted_ = r.get_bool();
  if (!f.fitted_) {
    f.train_.load(r, f.target_size(), "ces");
    adopt(std::move(f));
    return;
  }
  f.multiplicative_ = r.get_bool();
  f.season_ = r.get_vector<double>();
  if (f.season_.size() == 1) throw FormatError("model state: ces season of length 1");
  for (double v : f.season_) {
    if (!std::isfinite(v) || (f.multiplicative_ && !(v > 0.0))) {
      throw FormatError("model state: bad ces season index");
    }
  }
  const std::int64_t pos = r.get<std::int64_t>();
  if (pos < 0 ||
      (f.season_.empty() ? pos != 0 : pos >= static_cast<std::int64_t>(f.season_.size()))) {
    throw FormatError("model state: bad ces season position");
  }
  f.pos_ = static_cast<std::size_t>(pos);
  for (double* p : {&f.scale_, &f.a0_, &f.a1_, &f.level_, &f.potential_}) {
    *p = r.get<double>();
    if (!std::isfinite(*p)) throw FormatError("model state: ces value is not finite");
  }
  if (!(f.scale_ > 0.0) || std::fabs(f.a0_) > 10.0 || std::fabs(f.a1_) > 10.0) {
    throw FormatError("model state: ces parameter out of range");
  }
  f.variance_.load(r);
  f.calibration_.load(r);
  adopt(std::move(f));
}

std::unique_ptr<Model> build_ces(const Options& options) {
  OptionReader r("ces", options);
  CesConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.season_length = r.integer("season_length", 0);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return std::make_unique<Ces>(c);
}

}  // namespace tarn
