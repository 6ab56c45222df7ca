#include "tarn/bats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

#include "arima_likelihood.hpp"
#include "arima_polynomial.hpp"
#include "bats_arma.hpp"
#include "bats_likelihood.hpp"
#include "info_criteria.hpp"
#include "linalg.hpp"
#include "series_util.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/optimize.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// The partial autocorrelations of the ARMA errors stay within +-0.98 (roots clear of the unit
// circle).
constexpr double kArmaPacfScale = 0.98;

// One step of the filter. Returns the innovation (0 for a missing value).
inline double filter_step(const BatsParams& p, BatsState& s, double z, bool missing) {
  const double arma = p.ar[0] * s.d[0] + p.ar[1] * s.d[1] + p.ma[0] * s.e[0] + p.ma[1] * s.e[1];
  const double seas = p.m > 1 ? s.season[s.pos] : 0.0;
  const double e = missing ? 0.0 : z - (s.level + p.phi * s.slope + seas + arma);
  const double d = arma + e;
  s.level = s.level + p.phi * s.slope + p.alpha * d;
  if (p.trend) s.slope = p.phi * s.slope + p.beta * d;
  if (p.m > 1) {
    s.season[s.pos] = seas + p.gamma * d;
    s.pos = s.pos + 1 == static_cast<std::size_t>(p.m) ? 0 : s.pos + 1;
  }
  s.d[1] = s.d[0];
  s.d[0] = d;
  s.e[1] = s.e[0];
  s.e[0] = e;
  return e;
}

double box_cox(double y, double lambda) {
  return lambda < 1e-6 ? std::log(y) : (std::pow(y, lambda) - 1.0) / lambda;
}

double inv_box_cox(double z, double lambda) {
  if (lambda < 1e-6) return std::exp(std::min(z, 700.0));
  const double w = lambda * z + 1.0;
  if (!(w > 0.0)) return 0.0;
  return std::pow(w, 1.0 / lambda);
}

// The form of a candidate model: its components, the order of its ARMA errors, and whether its
// seasonal initial states are estimated (else they come from a classical decomposition).
struct Form {
  bool trend = false, damped = false, box_cox = false;
  int m = 1, p = 0, q = 0;
  bool regress_season = true;
};

struct FitResult {
  bool ok = false;
  double aicc = kInf;
  Form form;
  BatsParams par;
  BatsState x0;
  std::vector<double> u;  // optimiser coordinates, for warm starts
};

// Fits one structure by maximum likelihood; initial states by least squares.
class Fitter {
 public:
  Fitter(const std::vector<double>& y) : y_(y), n_(y.size()) {
    sum_log_ = 0.0;
    positive_ = true;
    log_y_.reserve(n_);
    for (double v : y_) {
      if (v > 0.0) {
        log_y_.push_back(std::log(v));
        sum_log_ += log_y_.back();
      } else {
        positive_ = false;
      }
    }
  }
  bool positive() const { return positive_; }

  std::size_t state_count(const Form& form) const {
    std::size_t k = 1 + (form.trend ? 1 : 0);
    if (form.m > 1 && form.regress_season) k += static_cast<std::size_t>(form.m) - 1;
    return k;
  }
  std::size_t param_count(const Form& form) const {
    return 1 + (form.trend ? 1 : 0) + (form.damped ? 1 : 0) + (form.m > 1 ? 1 : 0) +
           (form.box_cox ? 1 : 0) + static_cast<std::size_t>(form.p + form.q);
  }

  BatsParams decode(const Form& form, const std::vector<double>& u) const {
    BatsParams p;
    p.m = form.m;
    p.trend = form.trend;
    p.box_cox = form.box_cox;
    p.p = form.p;
    p.q = form.q;
    std::size_t i = 0;
    p.alpha = to_bounded(u[i++], 1e-4, 0.9999);
    if (form.trend) p.beta = p.alpha * to_bounded(u[i++], 1e-4, 0.9999);
    p.phi = form.damped ? to_bounded(u[i++], 0.8, 0.98) : 1.0;
    if (form.m > 1) p.gamma = (1.0 - p.alpha) * to_bounded(u[i++], 1e-4, 0.9999);
    p.lambda = form.box_cox ? to_bounded(u[i++], 0.0, 1.0) : 1.0;
    if (form.p > 0) {
      std::vector<double> c;
      detail::pacf_to_coef(&u[i], form.p, c, kArmaPacfScale, kInf);
      for (int k = 0; k < form.p; ++k) p.ar[k] = c[static_cast<std::size_t>(k)];
      i += static_cast<std::size_t>(form.p);
    }
    if (form.q > 0) {
      std::vector<double> c;
      detail::pacf_to_coef(&u[i], form.q, c, kArmaPacfScale, kInf);
      for (int k = 0; k < form.q; ++k) p.ma[k] = -c[static_cast<std::size_t>(k)];
      i += static_cast<std::size_t>(form.q);
    }
    return p;
  }

  std::vector<double> initial_u(const Form& form) const {
    std::vector<double> u;
    u.push_back(from_bounded(0.3, 1e-4, 0.9999));
    if (form.trend) u.push_back(from_bounded(0.1, 1e-4, 0.9999));
    if (form.damped) u.push_back(from_bounded(0.95, 0.8, 0.98));
    if (form.m > 1) u.push_back(from_bounded(0.1, 1e-4, 0.9999));
    if (form.box_cox) u.push_back(from_bounded(0.5, 0.0, 1.0));
    for (int k = 0; k < form.p + form.q; ++k) u.push_back(0.0);
    return u;
  }

  // -2 log-likelihood (up to a constant) for parameters p; fills the initial state x0.
  //
  // The filter is linear in its initial state, so the innovations of initial state base + x
  // are e0 + C x: e0 those of the base state, column j of C those of a run on zero data from
  // a unit j-th state. The least-squares x solves (C'C) x = -C'e0 = r. Nothing of C is written
  // out (see regress_season_block), and the sum of squares at x is the quadratic
  // e0'e0 - 2 r'x + x'C'Cx (see sum_of_squares for when it is taken over the innovations).
  double objective(const Form& form, const BatsParams& p, BatsState* x0_out) {
    const std::size_t n = n_;
    interruption_point(n * static_cast<std::size_t>(2 + form.p + form.q));
    if (form.box_cox && !positive_) return kInf;  // no Box-Cox transform of such values
    if (form.box_cox) {
      // box_cox() from the logarithms taken once: y^lambda - 1 = expm1(lambda log y), equal
      // to rounding (and free of the cancellation of y^lambda - 1 for a small lambda).
      z_.resize(n);
      const double lambda = p.lambda;
      if (lambda < 1e-6) {
        std::copy(log_y_.begin(), log_y_.end(), z_.begin());
      } else {
        for (std::size_t t = 0; t < n; ++t) z_[t] = std::expm1(lambda * log_y_[t]) / lambda;
      }
      zv_ = &z_;
    } else {
      zv_ = &y_;
    }
    const std::vector<double>& z = *zv_;
    const std::size_t m = static_cast<std::size_t>(std::max(form.m, 1));
    // The states live in members so that their rings keep their storage between calls.
    BatsState& base = base_state_;
    base.level = z[0];
    base.slope = 0.0;
    base.pos = 0;
    base.d[0] = base.d[1] = base.e[0] = base.e[1] = 0.0;
    if (form.m > 1) {
      if (form.regress_season) {
        base.season.assign(m, 0.0);
      } else {
        base.season = detail::seasonal_indices(z, form.m, false);
      }
    } else {
      base.season.clear();
    }
    const std::size_t k = state_count(form);
    const bool block = form.m > 1 && form.regress_season;
    e0_.resize(n);
    lev_.resize(block ? 0 : n);
    slo_.resize(form.trend ? n : 0);
    unit_.resize(block ? n : 0);
    {
      // The innovations for the base initial state (on z), and the runs on zero data from a
      // unit first seasonal state (with regressed seasonal states) or a unit level (without),
      // and from a unit slope, side by side.
      Run runs[3];
      std::size_t nr = 0;
      ring_.assign(3 * m, 0.0);
      if (form.m > 1 && !block) std::copy(base.season.begin(), base.season.end(), &ring_[0]);
      runs[nr++] = Run{z.data(), e0_.data(), base.level, 0.0};
      if (block) {
        ring_[nr * m] = 1.0;
        runs[nr++] = Run{nullptr, unit_.data(), 0.0, 0.0};
      } else {
        runs[nr++] = Run{nullptr, lev_.data(), 1.0, 0.0};
      }
      if (form.trend) runs[nr++] = Run{nullptr, slo_.data(), 0.0, 1.0};
      forward(p, form, runs, nr);
    }
    // Both regressions below write every entry of g_ and r_.
    g_.resize(k * k);
    r_.resize(k);
    BatsState& fitted = fitted_state_;
    fitted = base;
    if (block) {
      regress_season_block(p, form, k, m);
      if (!solve_normal_equations(k)) return kInf;
      // The level is the mean of the fitted seasonal states, which keeps them summing to zero.
      double mean = 0.0;
      for (std::size_t i = 0; i < m; ++i) mean += x_[i];
      mean /= static_cast<double>(m);
      fitted.level += mean;
      for (std::size_t i = 0; i < m; ++i) fitted.season[i] = x_[i] - mean;
      if (form.trend) fitted.slope += x_[m];
    } else {
      // A level and perhaps a slope: their products summed directly.
      const double* L = lev_.data();
      const double* B = form.trend ? slo_.data() : nullptr;
      double le = 0.0, lq = 0.0, be = 0.0, lb = 0.0, bq = 0.0;
      for (std::size_t t = 0; t < n; ++t) {
        le += L[t] * e0_[t];
        lq += L[t] * L[t];
      }
      if (B) {
        for (std::size_t t = 0; t < n; ++t) {
          be += B[t] * e0_[t];
          lb += L[t] * B[t];
          bq += B[t] * B[t];
        }
      }
      r_[0] = -le;
      g_[0] = lq;
      if (B) {
        r_[1] = -be;
        g_[1] = g_[2] = lb;
        g_[3] = bq;
      }
      if (!solve_normal_equations(k)) return kInf;
      fitted.level += x_[0];
      if (form.trend) fitted.slope += x_[1];
    }
    const double sse = sum_of_squares(p, z, fitted, k, x0_out != nullptr);
    if (!std::isfinite(sse)) return kInf;
    if (x0_out) *x0_out = fitted;
    const double nn = static_cast<double>(n);
    double ll = nn * std::log(std::max(sse / nn, 1e-300));
    if (form.box_cox) ll -= 2.0 * (p.lambda - 1.0) * sum_log_;
    return ll;
  }

  // Solves g_ x_ = r_ (k x k). The least-squares solution is the same whatever coordinates the
  // initial states are regressed in, so it is solved as it stands; only when the normal
  // equations are numerically singular (a column within 1e-6 of its length of the span of the
  // earlier ones, so the solution would lose most of its digits) does a small ridge settle it
  // (solve_spd_in_place).
  bool solve_normal_equations(std::size_t k) {
    detail::CholeskyChecks checks;
    checks.finite_pivots = true;
    checks.finite_solution = true;
    checks.min_pivot_ratio = 1e-12;
    factor_.assign(g_.begin(), g_.end());
    x_.assign(r_.begin(), r_.end());
    if (detail::cholesky_solve_sized(factor_.data(), x_.data(), k, checks)) return true;
    factor_.assign(g_.begin(), g_.end());
    x_.assign(r_.begin(), r_.end());
    return detail::solve_spd_in_place(factor_.data(), x_.data(), k);
  }

  // The sum of squared innovations of the initial state `fitted` (base + x).
  //
  // From the normal equations' terms, e0'e0 - 2 r'x + x'Gx is the exact sum of squares at
  // the computed x (whatever the accuracy of the solve), but it is a difference: each term is
  // at most a^2, a = |e0| + sum_j |x_j| |c_j| (Cauchy-Schwarz), and carries a rounding of
  // about n eps a^2. When the result is below kCancellation a^2 (so that rounding could reach
  // 1e-11 of it), or when `exact` is asked for (the fitted state a caller keeps), the sum is
  // taken over the innovations of a filter run from `fitted` instead, as with no shortcut.
  double sum_of_squares(const BatsParams& p, const std::vector<double>& z, const BatsState& fitted,
                        std::size_t k, bool exact) {
    constexpr double kCancellation = 1e-3;
    const std::vector<double>& x = x_;
    double ee = 0.0;
    for (double v : e0_) ee += v * v;
    double rx = 0.0, xgx = 0.0, a = std::sqrt(ee);
    for (std::size_t i = 0; i < k; ++i) {
      rx += r_[i] * x[i];
      double gi = 0.0;
      for (std::size_t j = 0; j < k; ++j) gi += g_[i * k + j] * x[j];
      xgx += x[i] * gi;
      a += std::fabs(x[i]) * std::sqrt(std::max(g_[i * k + i], 0.0));
    }
    const double quick = ee - 2.0 * rx + xgx;
    if (!exact && quick >= kCancellation * a * a) return quick;
    BatsState s = fitted;
    double sse = 0.0;
    for (double v : z) {
      const double e = filter_step(p, s, v, false);
      sse += e * e;
    }
    return sse;
  }

  // A run of the filter from a state with the level, slope and seasonal ring given (ring_, m
  // values a run), no ARMA history, on the series `in` (the first run; the others have null
  // and run on zeros); writes its innovations.
  struct Run {
    const double* in;
    double* out;
    double level, slope;
  };

  // Runs the filter for every run (two or three) side by side: filter_step's recursion, its
  // sums in another order (equal to rounding).
  void forward(const BatsParams& p, const Form& form, Run* runs, std::size_t nr) {
    const bool seasonal = form.m > 1, arma = form.p + form.q > 0;
    if (nr == 2) {
      return seasonal ? (arma ? forward_run<2, true, true>(p, form, runs)
                              : forward_run<2, true, false>(p, form, runs))
                      : (arma ? forward_run<2, false, true>(p, form, runs)
                              : forward_run<2, false, false>(p, form, runs));
    }
    return seasonal ? (arma ? forward_run<3, true, true>(p, form, runs)
                            : forward_run<3, true, false>(p, form, runs))
                    : (arma ? forward_run<3, false, true>(p, form, runs)
                            : forward_run<3, false, false>(p, form, runs));
  }

  template <std::size_t R, bool Seasonal, bool Arma>
  void forward_run(const BatsParams& p, const Form& form, const Run* runs) {
    const std::size_t n = n_;
    const std::size_t m = static_cast<std::size_t>(std::max(form.m, 1));
    double lev[R], slo[R], d0[R], d1[R], e0[R], e1[R];
    double* ring[R];
    for (std::size_t a = 0; a < R; ++a) {
      lev[a] = runs[a].level;
      slo[a] = runs[a].slope;
      d0[a] = d1[a] = e0[a] = e1[a] = 0.0;
      ring[a] = &ring_[a * m];
    }
    const double alpha = p.alpha, beta = p.beta, phi = p.phi, gamma = p.gamma;
    // A slope has a run of its own: three runs exactly when there is one. Without it every
    // slope stays 0, and lev + phi 0 differs from lev only in the sign of a zero (as d below).
    constexpr bool kTrend = R == 3;
    std::size_t pos = 0;
    for (std::size_t t = 0; t < n; ++t) {
      for (std::size_t a = 0; a < R; ++a) {
        const double arma =
            Arma ? p.ar[0] * d0[a] + p.ar[1] * d1[a] + p.ma[0] * e0[a] + p.ma[1] * e1[a] : 0.0;
        const double seas = Seasonal ? ring[a][pos] : 0.0;
        // Only the first run filters data (the others run on zeros from a unit state).
        const double zt = a == 0 ? runs[0].in[t] : 0.0;
        // The level's own chain is kept short: what does not depend on it is taken first.
        const double f = kTrend ? lev[a] + phi * slo[a] : lev[a];
        const double e = (zt - seas - arma) - f;
        // Without ARMA terms d is e itself (0 + e differs from e only in the sign of a zero,
        // which no sum or product of the filter carries into a nonzero value): one add less on
        // the level's chain.
        const double d = Arma ? arma + e : e;
        lev[a] = f + alpha * d;
        if (kTrend) slo[a] = phi * slo[a] + beta * d;
        if (Seasonal) ring[a][pos] = seas + gamma * d;
        if (Arma) {
          d1[a] = d0[a];
          d0[a] = d;
          e1[a] = e0[a];
          e0[a] = e;
        }
        runs[a].out[t] = e;
      }
      if (Seasonal) pos = pos + 1 == m ? 0 : pos + 1;
    }
  }

  // The adjoint of the seasonal filter on zero data, run backward over the n steps once for
  // every weight sequence w[a] (one or two, side by side): adj_[a] ends as the gradient of
  // sum_t w[a]_t e_t with respect to the initial level, slope and seasonal states. Each step
  // reverses filter_step: given the adjoints of the state after it, e's total adjoint is w_t +
  // (that of the stored e) + d's (d = arma + e feeds the level, slope, season and the stored
  // d), and it flows back with minus sign into every term of the one-step forecast.
  void adjoint(const BatsParams& p, const Form& form, const double* const* w, std::size_t nw) {
    const bool arma = form.p + form.q > 0;
    if (nw == 2) {
      arma ? adjoint_run<2, true, true>(p, form, w) : adjoint_run<2, true, false>(p, form, w);
    } else {
      arma ? adjoint_run<1, true, true>(p, form, w) : adjoint_run<1, true, false>(p, form, w);
    }
  }

  template <std::size_t NW, bool Seasonal, bool Arma>
  void adjoint_run(const BatsParams& p, const Form& form, const double* const* w) {
    const std::size_t n = n_;
    const std::size_t m = static_cast<std::size_t>(std::max(form.m, 1));
    double lev[NW], slo[NW], d0[NW], d1[NW], e0[NW], e1[NW];
    double* ring[NW];
    for (std::size_t a = 0; a < NW; ++a) {
      lev[a] = slo[a] = d0[a] = d1[a] = e0[a] = e1[a] = 0.0;
      adj_[a].season.assign(Seasonal ? m : 0, 0.0);
      ring[a] = adj_[a].season.data();
    }
    const double alpha = p.alpha, beta = form.trend ? p.beta : 0.0, phi = p.phi,
                 gamma = Seasonal ? p.gamma : 0.0;
    // A second weight sequence exactly when there is a slope (its run). Without one the
    // slope's adjoint stays 0 and alpha lev + 0 0 differs from alpha lev only in the sign of
    // a zero.
    constexpr bool kTrend = NW == 2;
    std::size_t pos = Seasonal ? (n - 1) % m : 0;
    for (std::size_t t = n; t-- > 0;) {
      for (std::size_t a = 0; a < NW; ++a) {
        const double ls = Seasonal ? ring[a][pos] : 0.0;
        double dbar = kTrend ? alpha * lev[a] + beta * slo[a] : alpha * lev[a];
        if (Seasonal) dbar += gamma * ls;
        if (Arma) dbar += d0[a];
        const double ebar = Arma ? w[a][t] + e0[a] : w[a][t];
        const double tot = ebar + dbar;
        if (kTrend) slo[a] = phi * (lev[a] + slo[a] - tot);
        lev[a] -= tot;
        if (Seasonal) ring[a][pos] = ls - tot;
        if (Arma) {
          // arma enters d directly and e with minus sign: its adjoint is -ebar.
          const double ab = -ebar, pd1 = d1[a], pe1 = e1[a];
          d0[a] = pd1 + p.ar[0] * ab;
          d1[a] = p.ar[1] * ab;
          e0[a] = pe1 + p.ma[0] * ab;
          e1[a] = p.ma[1] * ab;
        }
      }
      if (Seasonal) pos = pos == 0 ? m - 1 : pos - 1;
    }
    for (std::size_t a = 0; a < NW; ++a) {
      adj_[a].level = lev[a];
      adj_[a].slope = slo[a];
    }
  }

  // The regression of the initial states of a form with regressed seasonal states: fills g_
  // (k x k) and r_ from the runs unit_ and slo_ and the innovations e0_.
  //
  // Its coordinates are the seasonal states at ring positions 0..m-1, then the slope; the
  // level is not one of them. A unit level with every seasonal state lowered by one forecasts
  // exactly as the state without them, forever (level and season enter the forecast only as
  // their sum, and the updates leave that difference alone), so the level's column is the sum
  // of the seasonal ones: m free seasonal states span the same fits as a level with m - 1
  // free seasonal states and the last one keeping them summing to zero, and the fit is mapped
  // back to that (the level takes their mean).
  //
  // A seasonal state at ring position i lies idle (innovations exactly zero) until its season
  // comes up at step i, from where the run is the one of position 0: its column is unit_
  // delayed by i steps, and the products of two such columns are lagged products of unit_
  // alone (delayed_products, O(m n)). C'w, for a sequence w, is the gradient of sum_t w_t e_t
  // with respect to the initial state, which the filter's adjoint gives in one backward pass
  // (O(1) a step, whatever the season): the passes with w = e0 and w = the slope's run give
  // r and the slope's row.
  void regress_season_block(const BatsParams& p, const Form& form, std::size_t k, std::size_t m) {
    detail::delayed_products(unit_, m, S_);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < m; ++j) g_[i * k + j] = S_[i * m + j];
    }
    const double* w[2] = {e0_.data(), form.trend ? slo_.data() : nullptr};
    adjoint(p, form, w, form.trend ? 2 : 1);
    for (std::size_t i = 0; i < m; ++i) r_[i] = -adj_[0].season[i];
    if (form.trend) {
      r_[m] = -adj_[0].slope;
      for (std::size_t i = 0; i < m; ++i) g_[m * k + i] = g_[i * k + m] = adj_[1].season[i];
      g_[m * k + m] = adj_[1].slope;
    }
  }

  // Fits `form` from `warm` (or the default start) by one run of the simplex; the first
  // `frozen` coordinates stay at their warm-start values. A restart is a second fit from the
  // first one's end (u).
  FitResult fit(const Form& form, const std::vector<double>* warm, std::size_t frozen = 0) {
    FitResult res;
    res.form = form;
    const double K = static_cast<double>(param_count(form) + state_count(form));
    const double nn = static_cast<double>(n_);
    if (nn - K - 1.0 < 1.0) return res;
    const std::vector<double> full0 = warm ? *warm : initial_u(form);
    frozen = std::min(frozen, full0.size());
    std::vector<double> u0(full0.begin() + static_cast<std::ptrdiff_t>(frozen), full0.end());
    std::vector<double> full = full0;
    auto expand = [&](const std::vector<double>& u) -> const std::vector<double>& {
      std::copy(u.begin(), u.end(), full.begin() + static_cast<std::ptrdiff_t>(frozen));
      return full;
    };
    auto f = [&](const std::vector<double>& u) {
      return objective(form, decode(form, expand(u)), nullptr);
    };
    NelderMeadOptions opt;
    opt.initial_step = 0.5;
    opt.max_evaluations = evaluation_budget(u0.size());
    opt.x_tolerance = 1e-4;
    opt.f_tolerance = 1e-7;
    OptimizeResult r = nelder_mead(f, u0, opt);
    r.x = expand(r.x);
    if (!std::isfinite(r.value)) return res;
    res.par = decode(form, r.x);
    const double ll = objective(form, res.par, &res.x0);
    if (!std::isfinite(ll)) return res;
    res.u = r.x;
    res.aicc = detail::aicc(ll, K, nn);
    res.ok = true;
    return res;
  }

  const std::vector<double>& z() const { return *zv_; }

 private:
  const std::vector<double>& y_;
  std::size_t n_;
  double sum_log_ = 0.0;
  bool positive_ = true;
  // The adjoint of the filter's state (see adjoint()).
  struct Adjoint {
    double level = 0.0, slope = 0.0;
    std::vector<double> season;
  };
  std::vector<double> log_y_;  // the logarithms of y (all of them when positive_)
  std::vector<double> z_, e0_, lev_, slo_, unit_, ring_, g_, r_, x_, factor_, S_;
  Adjoint adj_[2];
  BatsState base_state_, fitted_state_;
  const std::vector<double>* zv_ = &y_;  // the series the last objective filtered
};

// Position of the seasonal smoothing parameter among a form's optimiser coordinates.
std::size_t seasonal_coordinate(const Form& form) {
  return 1 + (form.trend ? 1 : 0) + (form.damped ? 1 : 0);
}

// Warm start for a form that adds one parameter (at coordinate `at`, started at `value` within
// (lo, hi)) to a fitted one.
std::vector<double> with_coordinate(const FitResult& base, std::size_t at, double value,
                                    double lo = 1e-4, double hi = 0.9999) {
  std::vector<double> u = base.u;
  u.insert(u.begin() + static_cast<std::ptrdiff_t>(std::min(at, u.size())),
           from_bounded(value, lo, hi));
  return u;
}

// Warm start for a form that adds ARMA terms to a fitted one.
std::vector<double> extend_u(const FitResult& base, int p, int q) {
  std::vector<double> u = base.u;
  // ARMA coordinates come last; drop the base's own before adding the new ones.
  u.resize(u.size() - static_cast<std::size_t>(base.form.p + base.form.q));
  for (int k = 0; k < p + q; ++k) u.push_back(0.0);
  return u;
}

// The innovations of a fit, on the series it was fitted to.
std::vector<double> innovations(Fitter& fitter, const FitResult& fit) {
  std::vector<double> e;
  BatsState s = fit.x0;
  (void)fitter.objective(fit.form, fit.par, nullptr);  // fills the transformed series
  for (double z : fitter.z()) e.push_back(filter_step(fit.par, s, z, false));
  return e;
}

// Ljung-Box test at the 5% level on the innovations e of a fit: ARMA errors are only worth trying
// when the innovations are autocorrelated (otherwise a near-zero smoothing parameter with a
// persistent AR term can win on likelihood and forecast poorly).
bool residuals_autocorrelated(const std::vector<double>& e) {
  const std::size_t n = e.size();
  const std::size_t lags = std::min<std::size_t>(n / 5, 10);
  if (lags < 2) return false;
  double q = 0.0;
  for (std::size_t k = 1; k <= lags; ++k) {
    const double r = detail::autocorrelation(e, k);
    q += r * r / static_cast<double>(n - k);
  }
  q *= static_cast<double>(n) * static_cast<double>(n + 2);
  // 95% quantile of chi-square with `lags` degrees of freedom (Wilson-Hilferty).
  const double k = static_cast<double>(lags);
  const double c = 1.0 - 2.0 / (9.0 * k) + 1.645 * std::sqrt(2.0 / (9.0 * k));
  return q > k * c * c * c;
}

}  // namespace

namespace detail {

double bats_likelihood(const std::vector<double>& y, const BatsParams& p, bool regress_season,
                       BatsState* x0) {
  Form form;
  form.trend = p.trend;
  form.damped = p.trend && p.phi < 1.0;
  form.box_cox = p.box_cox;
  form.m = p.m;
  form.p = p.p;
  form.q = p.q;
  form.regress_season = regress_season;
  Fitter fitter(y);
  return fitter.objective(form, p, x0);
}

// The order of the ARMA errors as De Livera, Hyndman & Snyder (2011, J. Am. Stat. Assoc.
// 106(496)) choose it: an ARMA(p, q) model, p, q <= 2 and no mean, fitted to the innovations of
// the model without ARMA errors for every order (conditional sum of squares, every order scored
// on the same innovations, those after the largest lag), the smallest AICc wins; (0, 0) when
// none improves on white noise. Only the chosen order is then estimated within the model.
std::pair<int, int> bats_arma_order(const std::vector<double>& e) {
  constexpr int kMaxOrder = 2;
  const std::size_t from = kMaxOrder;
  std::size_t n = 0;
  double ss = 0.0;
  for (std::size_t t = from; t < e.size(); ++t) {
    if (!std::isfinite(e[t])) return {0, 0};
    ss += e[t] * e[t];
    ++n;
  }
  if (n < 8 || !(ss > 0.0)) return {0, 0};
  const double nn = static_cast<double>(n);
  const double white = nn * (std::log(6.283185307179586 * ss / nn) + 1.0);  // 2 pi
  double best = arima_detail::aicc_of(white, 0, static_cast<int>(n));
  std::pair<int, int> order{0, 0};
  for (int p = 0; p <= kMaxOrder; ++p) {
    for (int q = 0; q <= kMaxOrder; ++q) {
      if (p + q == 0) continue;
      arima_detail::Form f;
      f.p = p;
      f.q = q;
      const arima_detail::Fit fit = arima_detail::fit_css(e, f, from, true);
      if (fit.ok && fit.aicc < best) {
        best = fit.aicc;
        order = {p, q};
      }
    }
  }
  return order;
}

}  // namespace detail

std::size_t Bats::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void Bats::name_season(std::int64_t m) {
  if (observations() > 0 || config_.season_length != 0 || m < 1) return;
  config_.season_length = m;
}

void Bats::clear() {
  season_note_.clear();
  train_.clear();
  fitted_ = false;
  par_ = BatsParams{};
  st_ = BatsState{};
  scale_ = 1.0;
  floor_ = 0.0;
  aicc_ = 0.0;
  variance_.reset();
  calibration_.clear();
}

double Bats::transform(double y) const {
  double v = y / scale_;
  if (par_.box_cox) {
    v = std::max(v, floor_);
    return box_cox(v, par_.lambda);
  }
  return v;
}

namespace {
bool state_finite(const BatsState& s) {
  for (double v : {s.level, s.slope, s.d[0], s.d[1], s.e[0], s.e[1]}) {
    if (!std::isfinite(v)) return false;
  }
  for (double v : s.season) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}
}  // namespace

void Bats::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
  // Steps with no observation: the state moves on with a zero innovation.
  const BatsState before = st_;
  const std::int64_t skipped = std::min<std::int64_t>(gap - 1, 100000);
  for (std::int64_t i = 0; i < skipped; ++i) filter_step(par_, st_, 0.0, true);
  if (std::isfinite(value)) {
    variance_.add(filter_step(par_, st_, transform(value), false));
  } else {
    filter_step(par_, st_, 0.0, true);
  }
  if (!state_finite(st_)) {
    // A value far beyond the fitted scale overflowed the states: the level restarts at it when
    // it can be held on the model's scale (else it stays), the other states as before, so the
    // model keeps forecasting and its state stays loadable.
    st_ = before;
    const double z = std::isfinite(value) ? transform(value) : st_.level;
    if (std::isfinite(z)) st_.level = z;
    st_.slope = 0.0;
    st_.d[0] = st_.d[1] = st_.e[0] = st_.e[1] = 0.0;
  }
}

void Bats::fit() {
  // A long sample is fitted on its latest values only (see kFitWindow).
  const std::vector<double>& raw = train_.values();
  detail::CleanSeries cs =
      detail::clean_series(raw, raw.size() - fit_start(raw, fit_window(config_.season_length)));
  std::vector<double>& y = cs.y;
  scale_ = detail::series_scale(y);
  for (auto& v : y) v /= scale_;
  const std::size_t n = y.size();

  BatsParams best;
  BatsState x0;
  aicc_ = 0.0;
  if (n < 4 || detail::is_constant(y)) {
    // Too little to estimate anything: the latest value carries forward.
    best.alpha = 1.0;
    x0.level = y.empty() ? 0.0 : y.front();
  } else {
    int m = static_cast<int>(config_.season_length);
    if (m <= 0) {
      const int upper = static_cast<int>(std::min<std::size_t>(200, n / 2));
      m = upper >= 2 ? detect_period(y.data(), n, upper) : 1;
    }
    if (m < 2 || n < 2 * static_cast<std::size_t>(m) + 2) m = 1;

    Fitter fitter(y);
    FitResult top;
    std::vector<Form> forms;
    for (int season = 0; season < (m > 1 ? 2 : 1); ++season) {
      for (int tr = 0; tr < (config_.trend ? 3 : 1); ++tr) {
        Form form;
        form.m = season ? m : 1;
        form.regress_season = m <= kMaxRegressedSeason;
        form.trend = tr > 0;
        form.damped = tr == 2;
        forms.push_back(form);
      }
    }
    // Every form is compared after one run of the simplex; only the chosen one is restarted
    // from where its run ended (the second run of a restarted fit), as the automatic ARIMA
    // algorithm refines only the model its search chose.
    for (const Form& form : forms) {
      FitResult r = fitter.fit(form, nullptr);
      if (r.ok && r.aicc < top.aicc) top = r;
    }
    if (top.ok) {
      const std::vector<double> u = top.u;
      FitResult r = fitter.fit(top.form, &u);
      if (r.ok && r.aicc <= top.aicc) top = r;
    }
    // A richer form from a warm start, likewise compared after one run and restarted only
    // when it wins.
    auto consider = [&](const Form& form, const std::vector<double>& u, std::size_t frozen) {
      const FitResult r = fitter.fit(form, &u, frozen);
      if (!r.ok || !(r.aicc < top.aicc)) return;
      const FitResult again = fitter.fit(form, &r.u, frozen);
      top = again.ok && again.aicc <= r.aicc ? again : r;
    };
    // Box-Cox starts from the chosen form's estimates, lambda from the middle of its range.
    if (top.ok && config_.box_cox && fitter.positive()) {
      Form form = top.form;
      form.box_cox = true;
      const std::size_t at = seasonal_coordinate(form) + (form.m > 1 ? 1 : 0);
      std::vector<double> u = with_coordinate(top, at, 0.5, 0.0, 1.0);
      consider(form, u, 0);
    }
    if (top.ok && config_.arma_errors) {
      const std::vector<double> e = innovations(fitter, top);
      const std::pair<int, int> order =
          residuals_autocorrelated(e) ? detail::bats_arma_order(e) : std::make_pair(0, 0);
      if (order.first + order.second > 0) {
        const FitResult base = top;
        Form form = base.form;
        form.p = order.first;
        form.q = order.second;
        // The smoothing parameters stay as fitted without ARMA terms: estimated jointly, a
        // vanishing smoothing parameter with a persistent AR term often wins on likelihood
        // and then forecasts a trending series back to its mean.
        std::vector<double> u = extend_u(base, form.p, form.q);
        const std::size_t frozen =
            base.u.size() - static_cast<std::size_t>(base.form.p + base.form.q);
        consider(form, u, frozen);
      }
    }
    if (top.ok) {
      best = top.par;
      x0 = top.x0;
      // A fit without any error (AICc -inf) is kept as 0, so the state stays finite and loads.
      aicc_ = std::isfinite(top.aicc) ? top.aicc : 0.0;
    } else {
      best.alpha = 1.0;
      x0.level = y.front();
    }
  }

  par_ = best;
  if (par_.box_cox) {
    double mn = kInf;
    for (double v : y) mn = std::min(mn, v);
    floor_ = 0.5 * mn;
  } else {
    floor_ = 0.0;
  }
  st_ = x0;
  if (par_.m > 1 && st_.season.size() != static_cast<std::size_t>(par_.m)) {
    st_.season.assign(static_cast<std::size_t>(par_.m), 0.0);
  }
  // Estimated: the smoothing and ARMA parameters, lambda and the initial states.
  variance_.reset(1.0 + (par_.trend ? 3.0 : 0.0) + (par_.m > 1 ? par_.m : 0.0) +
                  (par_.box_cox ? 1.0 : 0.0) + par_.p + par_.q + 1.0);
  // From every origin after the estimated values, the 1..H step errors against the formula's
  // variances (H: up to two seasons, at least 8 steps, at most a third of the data).
  const std::size_t H =
      std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * static_cast<std::size_t>(par_.m), 8));
  std::vector<double> shape(H);
  if (H) variance_shape(static_cast<std::int64_t>(H), shape.data());
  const auto first = static_cast<std::size_t>(variance_.parameters());
  calibration_.start(H >= 2 ? H : 0);
  std::vector<double> z(n);
  for (std::size_t i = 0; i < n; ++i) z[i] = par_.box_cox ? box_cox(y[i], par_.lambda) : y[i];
  std::vector<double> path(H);
  for (std::size_t i = 0; i < n; ++i) {
    variance_.add(filter_step(par_, st_, z[i], false));
    if (H < 2 || i + 1 < first) continue;
    const std::size_t reach = std::min(H, n - 1 - i);
    point_z_path(static_cast<std::int64_t>(reach), path.data());
    for (std::size_t k = 1; k <= reach; ++k) {
      const double e = z[i + k] - path[k - 1];
      calibration_.add(k, e * e / shape[k - 1]);
    }
  }
  calibration_.finish(variance_.variance());
  for (std::size_t i = 0; i < cs.trailing_missing; ++i) filter_step(par_, st_, 0.0, true);
  if (config_.season_length >= 2 && par_.m == 1) {
    const std::size_t need = 2 * static_cast<std::size_t>(config_.season_length) + 2;
    season_note_ = season_not_fitted(config_.season_length, n < need);
  }
  fitted_ = true;
  train_.clear();
}

double Bats::point(std::int64_t h) const {
  return back(point_z(h));
}

// A trend on the Box-Cox scale compounds on the series' scale (exponentially for lambda near 0),
// so forecasts far ahead outgrow any double: they bend below it (detail::bend_log), still
// increasing in z, so interval bounds stay apart from the forecast.
double Bats::back(double z) const {
  const double y = par_.box_cox ? inv_box_cox(z, par_.lambda) : z;
  const double out = detail::unscale(detail::finite_or(y, 0.0), scale_);
  if (!par_.box_cox || !(out > std::exp(detail::kBendLog)) || !(scale_ > 0.0)) return out;
  double log_y = z;  // the logarithm of the back-transformed value, computed without overflow
  if (par_.lambda >= 1e-6) log_y = std::log(par_.lambda * z + 1.0) / par_.lambda;
  return detail::bend_log(log_y + std::log(scale_));
}

// The innovations form is linear: the h-step error is e_{n+h} + sum_{j<h} c_j e_{n+h-j}, where
// c_j is the j-step response of the one-step forecast to a unit innovation. The response comes
// from the filter itself run on a zero state, so the ARMA errors are included; O(1) per step.
bool Bats::forecast_variances(std::int64_t h, double* var) const {
  if (!variance_.known()) return false;
  const double s2 = variance_.variance();
  variance_shape(h, var);
  // Calibrated, the variance still never falls with the horizon.
  double prev = 0.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    prev = std::max(prev, var[k - 1] * s2 * calibration_.factor(k));
    var[k - 1] = prev;
  }
  return true;
}

void Bats::variance_shape(std::int64_t h, double* var) const {
  BatsState s;
  s.season.assign(par_.m > 1 ? static_cast<std::size_t>(par_.m) : 0, 0.0);
  filter_step(par_, s, 1.0, false);  // a unit innovation
  double sum = 1.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    if (k > 1) {
      const double arma =
          par_.ar[0] * s.d[0] + par_.ar[1] * s.d[1] + par_.ma[0] * s.e[0] + par_.ma[1] * s.e[1];
      const double c = s.level + par_.phi * s.slope + (par_.m > 1 ? s.season[s.pos] : 0.0) + arma;
      sum += c * c;
      filter_step(par_, s, 0.0, true);
    }
    var[k - 1] = sum;
  }
}

// Normal quantiles on the transformed scale, mapped back: the transform is monotone, so the
// quantiles (unlike the variance) carry over exactly.
void Bats::interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const {
  std::vector<double> var(static_cast<std::size_t>(h));
  if (!forecast_variances(h, var.data())) {
    throw NotInitialized("bats model knows no forecast errors yet");
  }
  const double q = student_quantile(0.5 + coverage / 2.0, interval_dof());
  for (std::int64_t k = 1; k <= h; ++k) {
    const double z = point_z(k);
    const double w = q * std::sqrt(std::max(var[static_cast<std::size_t>(k - 1)], 0.0));
    lower[k - 1] = back(z - w);
    upper[k - 1] = back(z + w);
  }
}

double Bats::point_z(std::int64_t h) const {
  double z;
  if (par_.p + par_.q == 0) {
    double trend = 0.0;
    if (par_.trend) {
      const double hh = static_cast<double>(h);
      trend = par_.phi < 1.0
                  ? par_.phi * (1.0 - std::pow(par_.phi, hh)) / (1.0 - par_.phi) * st_.slope
                  : hh * st_.slope;
    }
    double seas = 0.0;
    if (par_.m > 1) {
      const std::size_t m = static_cast<std::size_t>(par_.m);
      seas = st_.season[(st_.pos + static_cast<std::size_t>((h - 1) % par_.m)) % m];
    }
    z = st_.level + trend + seas;
  } else {
    // ARMA errors feed back into the states: run the filter forward with zero innovations
    // while they matter, then continue in closed form (the error terms decay geometrically).
    BatsState s = st_;
    const std::int64_t sim = std::min<std::int64_t>(h - 1, kArmaSimulated);
    for (std::int64_t i = 0; i < sim; ++i) filter_step(par_, s, 0.0, true);
    return point_after(s, h, sim);
  }
  return z;
}

// With ARMA errors point_z(k) runs the filter k - 1 steps from the state: along the path it
// runs once (the same steps, so the same values), O(h) instead of O(h^2).
void Bats::point_z_path(std::int64_t h, double* out) const {
  if (par_.p + par_.q == 0) {
    for (std::int64_t k = 1; k <= h; ++k) out[k - 1] = point_z(k);
    return;
  }
  BatsState s = st_;
  for (std::int64_t k = 1; k <= h; ++k) {
    const std::int64_t sim = std::min<std::int64_t>(k - 1, kArmaSimulated);  // s: after sim
    out[k - 1] = point_after(s, k, sim);
    if (k <= kArmaSimulated) filter_step(par_, s, 0.0, true);
  }
}

// The ARMA-error forecast h steps ahead, on the transformed scale, from the state `s` that the
// filter reached after `sim` simulated steps (sim = min(h - 1, kArmaSimulated)).
double Bats::point_after(const BatsState& s, std::int64_t h, std::int64_t sim) const {
  double z;
  {
    const double arma =
        par_.ar[0] * s.d[0] + par_.ar[1] * s.d[1] + par_.ma[0] * s.e[0] + par_.ma[1] * s.e[1];
    const std::int64_t rest = h - 1 - sim;  // steps beyond the simulated ones (ARMA ~ 0)
    double trend = 0.0;
    if (par_.trend) {
      const double r = static_cast<double>(rest);
      trend = par_.phi < 1.0
                  ? par_.phi * (1.0 - std::pow(par_.phi, r + 1.0)) / (1.0 - par_.phi) * s.slope
                  : (r + 1.0) * s.slope;
    }
    double seas = 0.0;
    if (par_.m > 1) {
      const std::size_t m = static_cast<std::size_t>(par_.m);
      seas = s.season[(s.pos + static_cast<std::size_t>(rest % par_.m)) % m];
    }
    z = s.level + trend + seas + (rest == 0 ? arma : 0.0);
  }
  return z;
}

double Bats::forecast_ahead(double h) const {
  if (h > 9.0e15) h = 9.0e15;
  const double v =
      detail::interpolate_steps(h, [&](double k) { return point(static_cast<std::int64_t>(k)); });
  return detail::finite_or(v, detail::unscale(st_.level, scale_));
}

// With ARMA errors every single forecast re-runs the filter up to its step: along a path the
// filter runs once, and the forecasts of the first steps are kept.
void Bats::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  if (par_.p + par_.q == 0) {
    Model::forecast_path_ahead(h, n, out);
    return;
  }
  std::vector<double> near;  // near[k - 1]: the forecast k steps ahead, k <= kArmaSimulated + 1
  BatsState s = st_;
  auto pt = [&](double kd) {
    const auto k = static_cast<std::int64_t>(kd);
    while (static_cast<std::int64_t>(near.size()) < std::min(k, kArmaSimulated + 1)) {
      const auto next = static_cast<std::int64_t>(near.size()) + 1;  // s: after next - 1 steps
      near.push_back(back(point_after(s, next, next - 1)));
      if (next <= kArmaSimulated) filter_step(par_, s, 0.0, true);
    }
    if (k <= kArmaSimulated + 1) return near[static_cast<std::size_t>(k - 1)];
    return back(point_after(s, k, kArmaSimulated));  // s: after kArmaSimulated steps
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double hi = h[i] > 9.0e15 ? 9.0e15 : h[i];
    const double v = detail::interpolate_steps(hi, pt);
    out[i] = detail::finite_or(v, detail::unscale(st_.level, scale_));
  }
}

std::string Bats::describe() const {
  std::ostringstream os;
  os << "bats(training_sample_size=" << config_.training_sample_size
     << ", box_cox_transform=" << (config_.box_cox ? "true" : "false");
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  if (fitted_) {
    os << ": BATS(" << (par_.box_cox ? std::to_string(par_.lambda) : std::string("1")) << ", {"
       << par_.p << "," << par_.q << "}, "
       << (par_.trend ? (par_.phi < 1.0 ? "damped" : "trend") : "-") << ", "
       << (par_.m > 1 ? std::to_string(par_.m) : std::string("-")) << ")"
       << " alpha=" << par_.alpha;
    if (par_.trend) os << " beta=" << par_.beta << " phi=" << par_.phi;
    if (par_.m > 1) os << " gamma=" << par_.gamma;
  }
  return os.str();
}

namespace {
constexpr std::uint16_t kBatsVersion = 1;

void check_finite(double v) {
  if (!std::isfinite(v)) throw FormatError("model state: bats parameter is not finite");
}
}  // namespace

void Bats::save(Writer& w) const {
  w.put<std::uint16_t>(kBatsVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put_bool(config_.box_cox);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(config_.arma_errors);
  w.put_bool(config_.trend);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put<std::int64_t>(par_.m);
  w.put_bool(par_.trend);
  w.put_bool(par_.box_cox);
  w.put<std::int64_t>(par_.p);
  w.put<std::int64_t>(par_.q);
  for (double v : {par_.alpha, par_.beta, par_.phi, par_.gamma, par_.lambda, par_.ar[0], par_.ar[1],
                   par_.ma[0], par_.ma[1], scale_, floor_, aicc_, st_.level, st_.slope, st_.d[0],
                   st_.d[1], st_.e[0], st_.e[1]}) {
    w.put<double>(v);
  }
  w.put<std::int64_t>(static_cast<std::int64_t>(st_.pos));
  w.put_vector(st_.season);
  variance_.save(w);
  calibration_.save(w);
}

void Bats::adopt(Bats&& f) {
  // Only this model's own fields: the time axis of the base class was read already.
  config_ = f.config_;
  train_ = std::move(f.train_);
  fitted_ = f.fitted_;
  par_ = f.par_;
  st_ = std::move(f.st_);
  scale_ = f.scale_;
  floor_ = f.floor_;
  aicc_ = f.aicc_;
  variance_ = f.variance_;
  calibration_ = f.calibration_;
}

void Bats::load(Reader& r) {
  if (r.get<std::uint16_t>() != kBatsVersion)
    throw FormatError("model state: unknown bats version");
  Bats fresh;
  fresh.config_.training_sample_size = r.get<std::int64_t>();
  fresh.config_.box_cox = r.get_bool();
  fresh.config_.season_length = r.get_count(0, 1000000);
  fresh.config_.arma_errors = r.get_bool();
  fresh.config_.trend = r.get_bool();
  if (fresh.config_.training_sample_size > 100000000) throw FormatError("model state: bad size");
  fresh.fitted_ = r.get_bool();
  if (!fresh.fitted_) {
    fresh.train_.load(r, fresh.target_size(), "bats");
    adopt(std::move(fresh));
    return;
  }
  BatsParams& p = fresh.par_;
  p.m = static_cast<int>(r.get_count(1, 1000000));
  p.trend = r.get_bool();
  p.box_cox = r.get_bool();
  p.p = static_cast<int>(r.get_count(0, 2));
  p.q = static_cast<int>(r.get_count(0, 2));
  double* fields[] = {&p.alpha,         &p.beta,          &p.phi,          &p.gamma,
                      &p.lambda,        &p.ar[0],         &p.ar[1],        &p.ma[0],
                      &p.ma[1],         &fresh.scale_,    &fresh.floor_,   &fresh.aicc_,
                      &fresh.st_.level, &fresh.st_.slope, &fresh.st_.d[0], &fresh.st_.d[1],
                      &fresh.st_.e[0],  &fresh.st_.e[1]};
  for (double* f : fields) {
    *f = r.get<double>();
    check_finite(*f);
  }
  if (!(fresh.scale_ > 0.0) || p.lambda < 0.0 || p.lambda > 1.0 || p.phi <= 0.0 || p.phi > 1.0) {
    throw FormatError("model state: bats parameter out of range");
  }
  fresh.st_.pos = static_cast<std::size_t>(r.get_count(0, p.m - 1));
  fresh.st_.season = r.get_vector<double>();
  const std::size_t want = p.m > 1 ? static_cast<std::size_t>(p.m) : 0;
  if (fresh.st_.season.size() != want) throw FormatError("model state: bats season size");
  for (double v : fresh.st_.season) check_finite(v);
  // States of older formats learn the variance from the values that follow.
  if (r.version() >= 3) {
    fresh.variance_.load(r);
    fresh.calibration_.load(r);
  }
  adopt(std::move(fresh));
}

std::unique_ptr<Model> build_bats(const Options& options) {
  OptionReader r("bats", options);
  BatsConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.box_cox = r.flag("box_cox_transform", false);
  c.season_length = r.integer("season_length", 0);
  c.arma_errors = r.flag("arma_errors", true);
  c.trend = r.flag("trend", true);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return std::make_unique<Bats>(c);
}

}  // namespace tarn
