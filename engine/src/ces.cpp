#include "tarn/ces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "season_adjustment.hpp"
#include "series_util.hpp"
#include "tarn/interrupt.hpp"
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
  interruption_point(x.size());
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

void Ces::forget() {
  SeasonAdjustedModel::forget();
  state_ = State();
}

void Ces::advance(double value, std::int64_t gap) {
  // A long gap moves the state by a power of F: O(log gap).
  const std::int64_t skipped = gap - 1;
  if (skipped > 0) {
    State& s = state_;
    const CesMatrix f = ces_power(ces_transition(s.a0, s.a1), static_cast<std::uint64_t>(skipped));
    const double l = f.a * s.level + f.b * s.potential;
    s.potential = f.c * s.level + f.d * s.potential;
    s.level = l;
    next_phase(skipped);
  }
  step(value);
}

void Ces::step(double y) {
  const double x = adjusted(y);
  State& s = state_;
  double e = 0.0;
  if (std::isfinite(x)) {
    e = x - s.level;
    variance_.add(e);
  }
  const double l = s.level - (1.0 - s.a1) * s.potential + (s.a0 - s.a1) * e;
  const double c = s.level + (1.0 - s.a0) * s.potential + (s.a0 + s.a1) * e;
  // A state that leaves the doubles keeps its last finite value rather than poisoning the
  // forecasts.
  if (std::isfinite(l) && std::isfinite(c)) {
    s.level = l;
    s.potential = c;
  }
  next_phase();
}

void Ces::fit() {
  const TrainingData data = prepare_training();
  const std::vector<double>& x = data.x;
  const std::size_t n = x.size();

  // The starting values of the original authors: a0 = 1.3, a1 = 1 (a stable, level-like
  // model); the initial level at the first value, the potential at the same size.
  state_.a0 = 1.3;
  state_.a1 = 1.0;
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
      state_.a0 = r.x[0];
      state_.a1 = r.x[1];
      l0 = x0 + r.x[2];
      c0 = x0 + r.x[3];
    }
  }

  // Run the recursion over the training data to reach the current state, calibrating the
  // h-step variances on the way.
  state_.level = l0;
  state_.potential = c0;
  // psi[k - 1] = sum_{j<k} (w' F^{j-1} g)^2 + 1: the k-step variance over sigma^2.
  std::vector<double> psi(calibration_horizon(n), 1.0);
  {
    double ul = state_.a0 - state_.a1, uc = state_.a0 + state_.a1;  // F^{j-1} g
    for (std::size_t k = 1; k < psi.size(); ++k) {
      psi[k] = psi[k - 1] + ul * ul;
      const double nl = ul + (state_.a1 - 1.0) * uc;
      uc = ul + (1.0 - state_.a0) * uc;
      ul = nl;
    }
  }
  // Estimated: a0, a1 and the two initial states (and the season's free indices).
  run_training(data, 4.0, psi);
}

void Ces::adjusted_path(std::size_t k, double* out) const {
  double l = state_.level, c = state_.potential;
  for (std::size_t i = 0; i < k; ++i) {
    out[i] = l;
    state_.walk(l, c);
  }
}

double Ces::adjusted_point(double h) const {
  if (h > kCesCompoundSteps && ces_detail::forecast_radius(state_.a0, state_.a1) > 1.0) {
    const double last = adjusted_point(kCesCompoundSteps);
    return last + (h - kCesCompoundSteps) * (last - adjusted_point(kCesCompoundSteps - 1.0));
  }
  if (h <= kCesCachedSteps) {
    // The recursion itself, as a path walks it: single forecasts and paths agree bit for bit.
    double l = state_.level, c = state_.potential;
    for (double k = 1.0; k < h; k += 1.0) {
      state_.walk(l, c);
    }
    return l;
  }
  const CesMatrix f =
      ces_power(ces_transition(state_.a0, state_.a1), static_cast<std::uint64_t>(h - 1.0));
  return f.a * state_.level + f.b * state_.potential;
}

double Ces::forecast_ahead(double h) const {
  const double v = detail::interpolate_steps(
      std::min(h, 9.0e15), [&](double k) { return to_output(adjusted_point(k), k); });
  return detail::finite_or(v, detail::unscale(state_.level, scale_));
}

// Along a path the recursion runs once over the first steps; farther steps use powers of F.
void Ces::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  std::vector<double> near;  // near[k - 1]: adjusted forecast k steps ahead
  double l = state_.level, c = state_.potential;
  const bool explosive = ces_detail::forecast_radius(state_.a0, state_.a1) > 1.0;
  auto pt = [&](double kd) {
    if (kd > kCesCachedSteps || (explosive && kd > kCesCompoundSteps)) {
      return to_output(adjusted_point(kd), kd);
    }
    const auto k = static_cast<std::size_t>(kd);
    while (near.size() < k) {
      near.push_back(l);
      state_.walk(l, c);
    }
    return to_output(near[k - 1], kd);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double v = detail::interpolate_steps(std::min(h[i], 9.0e15), pt);
    out[i] = detail::finite_or(v, detail::unscale(state_.level, scale_));
  }
}

// psi_k = 1 + sum_{j=1}^{k-1} (w' F^{j-1} g)^2; with an explosive root it goes on growing by
// its last step after kCesCompoundSteps, as the point forecast does.
void Ces::variance_ratios(std::int64_t h, double* ratios) const {
  double psi = 1.0, last_step = 0.0;
  double ul = state_.a0 - state_.a1, uc = state_.a0 + state_.a1;  // F^{k-1} g
  const bool explosive = ces_detail::forecast_radius(state_.a0, state_.a1) > 1.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    ratios[k - 1] = psi;
    if (explosive && static_cast<double>(k) >= kCesCompoundSteps) {
      psi += last_step;
      continue;
    }
    last_step = ul * ul;
    psi += ul * ul;
    const double nl = ul + (state_.a1 - 1.0) * uc;
    uc = ul + (1.0 - state_.a0) * uc;
    ul = nl;
  }
}

// A variance that overflows stays the largest double before a multiplicative season scales it.
double Ces::largest_variance() const {
  return std::numeric_limits<double>::max();
}

std::string Ces::describe() const {
  std::ostringstream os;
  os << describe_config();
  if (fitted_) os << ": a0=" << state_.a0 << " a1=" << state_.a1 << describe_season();
  return os.str();
}

void Ces::save_fit(Writer& w) const {
  w.put_bool(multiplicative_);
  save_season(w);
  for (double v : {scale_, state_.a0, state_.a1, state_.level, state_.potential}) w.put<double>(v);
  save_errors(w);
}

void Ces::load_fit(Reader& r, std::uint16_t /*version*/) {
  AdjustedState a;
  State f;
  a.multiplicative = r.get_bool();
  load_season(r, a);
  for (double* p : {&a.scale, &f.a0, &f.a1, &f.level, &f.potential}) {
    *p = r.get<double>();
    if (!std::isfinite(*p)) throw FormatError("model state: ces value is not finite");
  }
  if (!(a.scale > 0.0) || std::fabs(f.a0) > 10.0 || std::fabs(f.a1) > 10.0) {
    throw FormatError("model state: ces parameter out of range");
  }
  load_errors(r, a);
  adopt(std::move(a));
  state_ = f;
}

std::unique_ptr<Model> build_ces(const Options& options) {
  return std::make_unique<Ces>(read_seasonal_config("ces", options));
}

}  // namespace tarn
