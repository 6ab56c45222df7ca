#include "tarn/theta.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "info_criteria.hpp"
#include "season_adjustment.hpp"
#include "series_util.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/optimize.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinAlpha = 0.01, kMaxAlpha = 0.99, kMaxTheta = 10.0;

struct Line {
  double a = 0.0, b = 0.0;
};

Line fit_line(const theta_detail::LineSums& s) {
  const double cnt = s.cnt, st = s.st, stt = s.stt, sy = s.sy, sty = s.sty;
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
  interruption_point(x.size());
  const double w = 1.0 - 1.0 / theta;
  double level = level0, decay = 1.0, sse = 0.0;  // decay = (1 - alpha)^(t - 1)
  theta_detail::LineSums sums;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (dynamic) {
      ln = sums.cnt >= 1.0 ? fit_line(sums) : Line{x[0], 0.0};
      sums.add(static_cast<double>(i + 1), x[i]);
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

void Theta::forget() {
  SeasonAdjustedModel::forget();
  state_ = State();
}

void Theta::advance(double value, std::int64_t gap) {
  const std::int64_t skipped = std::min<std::int64_t>(gap - 1, 1000000);
  for (std::int64_t i = 0; i < skipped; ++i) step(detail::nan_value());
  step(value);
}

void Theta::step(double y) {
  const double x = adjusted(y);
  State& s = state_;
  s.t += 1.0;
  if (std::isfinite(x)) {
    if (s.line.cnt >= 3.0) {
      // The one-step forecast on the adjusted scale, before this value moves the state.
      const Line ln = fit_line(s.line);
      const double w = 1.0 - 1.0 / s.theta;
      variance_.add(x - (s.level + w * (s.decay * ln.a +
                                        (1.0 - s.decay * (1.0 - s.alpha)) / s.alpha * ln.b)));
    }
    s.level = s.alpha * x + (1.0 - s.alpha) * s.level;
    s.line.add(s.t, x);
  }
  s.decay *= 1.0 - s.alpha;
  next_phase();
}

void Theta::fit() {
  const TrainingData data = prepare_training();
  const std::vector<double>& x = data.x;
  const std::size_t n = x.size();

  // Line through the adjusted training data.
  theta_detail::LineSums sums;
  for (std::size_t i = 0; i < n; ++i) sums.add(static_cast<double>(i + 1), x[i]);
  const Line ln = fit_line(sums);

  state_.alpha = 1.0;
  state_.theta = 1.0;
  state_.dynamic = false;
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
        decode(r.x, state_.alpha, level0, state_.theta);
        state_.dynamic = dynamic;
      }
    }
  }
  // Run the recursion over the training data to reach the current state.
  state_.level = level0;
  state_.decay = 1.0;
  state_.t = 0.0;
  state_.line = theta_detail::LineSums();
  std::vector<double> ratios(calibration_horizon(n));
  variance_ratios(static_cast<std::int64_t>(ratios.size()), ratios.data());
  // Estimated: alpha, theta and the initial level (and the season's free indices).
  run_training(data, 3.0, ratios);
}

double Theta::adjusted_point(double h) const {
  const State& s = state_;
  const Line ln = fit_line(s.line);
  const double w = 1.0 - 1.0 / s.theta;
  return s.level +
         w * (s.decay * ln.a + ((h - 1.0) + (1.0 - s.decay * (1.0 - s.alpha)) / s.alpha) * ln.b);
}

void Theta::adjusted_path(std::size_t k, double* out) const {
  for (std::size_t i = 0; i < k; ++i) out[i] = adjusted_point(static_cast<double>(i + 1));
}

// Theta as simple exponential smoothing with drift: the h-step variance on the adjusted scale
// is sigma^2 (1 + (h - 1) alpha^2).
void Theta::variance_ratios(std::int64_t h, double* ratios) const {
  for (std::int64_t k = 1; k <= h; ++k) {
    ratios[k - 1] = 1.0 + static_cast<double>(k - 1) * state_.alpha * state_.alpha;
  }
}

double Theta::forecast_ahead(double h) const {
  const double v =
      detail::interpolate_steps(h, [&](double k) { return to_output(adjusted_point(k), k); });
  return detail::finite_or(v, detail::unscale(state_.level, scale_));
}

std::string Theta::describe() const {
  std::ostringstream os;
  os << describe_config();
  if (fitted_) {
    os << ": alpha=" << state_.alpha << " theta=" << state_.theta
       << (state_.dynamic ? " dynamic" : "") << describe_season();
  }
  return os.str();
}

// Version 2 adds whether the line was dynamic in the fit (older states: static).
std::uint16_t Theta::state_version() const {
  return 2;
}

void Theta::save_fit(Writer& w) const {
  w.put_bool(multiplicative_);
  w.put_bool(state_.dynamic);
  save_season(w);
  const State& s = state_;
  const theta_detail::LineSums& l = s.line;
  for (double v :
       {scale_, s.alpha, s.theta, s.level, s.decay, s.t, l.cnt, l.st, l.stt, l.sy, l.sty}) {
    w.put<double>(v);
  }
  save_errors(w);
}

void Theta::load_fit(Reader& r, std::uint16_t version) {
  AdjustedState a;
  State f;
  a.multiplicative = r.get_bool();
  if (version >= 2) f.dynamic = r.get_bool();
  load_season(r, a);
  theta_detail::LineSums& l = f.line;
  double* fields[] = {&a.scale, &f.alpha, &f.theta, &f.level, &f.decay, &f.t,
                      &l.cnt,   &l.st,    &l.stt,   &l.sy,    &l.sty};
  for (double* p : fields) {
    *p = r.get<double>();
    if (!std::isfinite(*p)) throw FormatError("model state: theta value is not finite");
  }
  if (!(a.scale > 0.0) || !(f.alpha > 0.0) || f.alpha > 1.0 || f.theta < 1.0 || l.cnt < 0.0) {
    throw FormatError("model state: theta parameter out of range");
  }
  // States of older formats learn the variance from the values that follow.
  if (r.version() >= 3) load_errors(r, a);
  adopt(std::move(a));
  state_ = f;
}

std::unique_ptr<Model> build_theta(const Options& options) {
  return std::make_unique<Theta>(read_seasonal_config("theta", options));
}

}  // namespace tarn
