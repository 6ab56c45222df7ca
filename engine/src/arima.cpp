#include "tarn/arima.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <sstream>
#include <tuple>

#include "series_util.hpp"
#include "tarn/intervals.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoPi = 6.283185307179586;
// Unconstrained partial autocorrelations are clamped here: tanh(7.5) keeps every root strictly
// outside the unit circle while allowing fits right up to it.
constexpr double kPacfBound = 7.5;
// Seasonal AR/MA terms only for seasons up to this length (the state grows with m).
constexpr int kMaxSeasonalTerms = 24;
// Critical value of the KPSS level test at the 5% level.
constexpr double kKpssCritical = 0.463;
// Seasonal differencing when the season explains more than this share of the detrended variance.
constexpr double kSeasonalStrength = 0.64;
// The stepwise search visits at most this many models...
constexpr int kMaxModels = 94;
// ... and refits this many of the best by exact likelihood,
constexpr int kFinalists = 3;
// ... unless the state is at most this large: then the search itself is exact.
constexpr int kExactSearchState = 8;

// ---------------------------------------------------------------------------------------------
// Polynomials.

// Unconstrained values -> coefficients c of a stationary 1 - sum_j c_j B^j (via partial
// autocorrelations and the Durbin-Levinson recursion).
void pacf_to_coef(const double* u, int n, std::vector<double>& c) {
  c.assign(static_cast<std::size_t>(n), 0.0);
  std::vector<double> prev(static_cast<std::size_t>(n), 0.0);
  for (int k = 0; k < n; ++k) {
    const double a = std::tanh(std::clamp(u[k], -kPacfBound, kPacfBound));
    prev.assign(c.begin(), c.end());
    for (int j = 0; j < k; ++j) c[j] = prev[j] - a * prev[k - 1 - j];
    c[k] = a;
  }
}

// Inverse of pacf_to_coef; false when the polynomial is not stationary.
bool coef_to_pacf(std::vector<double> c, std::vector<double>& u) {
  const int n = static_cast<int>(c.size());
  u.assign(static_cast<std::size_t>(n), 0.0);
  std::vector<double> prev;
  for (int k = n - 1; k >= 0; --k) {
    const double a = c[k];
    if (!(std::fabs(a) < 1.0)) return false;
    u[k] = std::atanh(a);
    prev.assign(static_cast<std::size_t>(k), 0.0);
    for (int j = 0; j < k; ++j) prev[j] = (c[j] + a * c[k - 1 - j]) / (1.0 - a * a);
    c = prev;
  }
  return true;
}

bool stationary(const std::vector<double>& c) {
  std::vector<double> u;
  return coef_to_pacf(c, u);
}

// (1 + sum s1_i B^i)(1 + sum s2_k B^{m k}) with the signs given: returns the coefficients
// e_1..e_n of 1 + sum e_j B^j.
std::vector<double> multiply(const std::vector<double>& a, const std::vector<double>& s, int m) {
  const std::size_t n = a.size() + s.size() * static_cast<std::size_t>(m);
  std::vector<double> full(n + 1, 0.0), left(a.size() + 1), right(s.size() * m + 1, 0.0);
  left[0] = 1.0;
  for (std::size_t i = 0; i < a.size(); ++i) left[i + 1] = a[i];
  right[0] = 1.0;
  for (std::size_t k = 0; k < s.size(); ++k) right[(k + 1) * m] = s[k];
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i] == 0.0) continue;
    for (std::size_t j = 0; j < right.size(); ++j) full[i + j] += left[i] * right[j];
  }
  return std::vector<double>(full.begin() + 1, full.end());
}

std::vector<double> negate(std::vector<double> v) {
  for (double& x : v) x = -x;
  return v;
}

// ---------------------------------------------------------------------------------------------
// Candidate forms and their parameters.

struct Form {
  int p = 0, q = 0, P = 0, Q = 0, m = 1;
  bool constant = false;
  int count() const { return p + q + P + Q + (constant ? 1 : 0); }
  auto key() const { return std::make_tuple(p, q, P, Q, constant); }
};

struct Coefs {
  std::vector<double> ar, ma, sar, sma;
  double mu = 0.0;
};

Coefs unpack(const Form& f, const std::vector<double>& x) {
  Coefs c;
  const double* u = x.data();
  pacf_to_coef(u, f.p, c.ar);
  pacf_to_coef(u + f.p, f.q, c.ma);
  c.ma = negate(c.ma);
  pacf_to_coef(u + f.p + f.q, f.P, c.sar);
  pacf_to_coef(u + f.p + f.q + f.P, f.Q, c.sma);
  c.sma = negate(c.sma);
  c.mu = f.constant ? x[f.p + f.q + f.P + f.Q] : 0.0;
  return c;
}

// State-space matrices of the ARMA part: T has phi in its first column and ones above the
// diagonal; the innovation enters through R = (1, theta_1, ..., theta_{r-1}).
struct StateSpace {
  int r = 1;
  std::vector<double> phi, R;
  int np = 0, nq = 0;  // expanded AR / MA degrees
};

StateSpace state_space(const Coefs& c, int m) {
  StateSpace s;
  std::vector<double> phi = negate(multiply(negate(c.ar), negate(c.sar), m));
  std::vector<double> theta = multiply(c.ma, c.sma, m);
  s.np = static_cast<int>(phi.size());
  s.nq = static_cast<int>(theta.size());
  s.r = std::max(s.np, s.nq + 1);
  s.phi.assign(static_cast<std::size_t>(s.r), 0.0);
  s.R.assign(static_cast<std::size_t>(s.r), 0.0);
  std::copy(phi.begin(), phi.end(), s.phi.begin());
  s.R[0] = 1.0;
  std::copy(theta.begin(), theta.end(), s.R.begin() + 1);
  return s;
}

// Stationary covariance of the state, P = sum_k T^k R R' T'^k, by doubling.
void stationary_covariance(const StateSpace& s, std::vector<double>& P) {
  const int r = s.r;
  const std::size_t rr = static_cast<std::size_t>(r) * r;
  P.assign(rr, 0.0);
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j) P[i * r + j] = s.R[i] * s.R[j];
  if (r == 1) {
    P[0] = 1.0 / (1.0 - s.phi[0] * s.phi[0]);
    return;
  }
  std::vector<double> A(rr, 0.0), AS(rr), add(rr), A2(rr);
  for (int i = 0; i < r; ++i) {
    A[i * r] = s.phi[i];
    if (i + 1 < r) A[i * r + i + 1] += 1.0;
  }
  for (int it = 0; it < 60; ++it) {
    // AS = A P; add = AS A'
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += A[i * r + k] * P[k * r + j];
        AS[i * r + j] = v;
      }
    double big = 0.0, added = 0.0;
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += AS[i * r + k] * A[j * r + k];
        add[i * r + j] = v;
      }
    for (std::size_t k = 0; k < rr; ++k) {
      P[k] += add[k];
      big = std::max(big, std::fabs(P[k]));
      added = std::max(added, std::fabs(add[k]));
    }
    if (!(added > 1e-15 * big)) break;
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += A[i * r + k] * A[k * r + j];
        A2[i * r + j] = v;
      }
    A.swap(A2);
  }
}

// One Kalman step of the ARMA part: prediction, then (if `w` is finite) the update with the
// innovation v = w - a[0]. Returns false when the innovation variance is unusable.
struct KalmanStep {
  double v = 0.0, F = 1.0;
  bool observed = false;
};

class Filter {
 public:
  // `scratch` is reused between steps (r * r + r values).
  Filter(int r, const double* phi, const double* R, double* a, double* P, bool& steady,
         std::vector<double>& scratch)
      : r_(r), phi_(phi), R_(R), a_(a), P_(P), steady_(steady) {
    const std::size_t need = static_cast<std::size_t>(r) * r + r;
    if (scratch.size() < need) scratch.resize(need);
    tmp_ = scratch.data();
    an_ = tmp_ + static_cast<std::size_t>(r) * r;
  }

  // Predicted value of the next ARMA observation.
  double predict_next() const { return phi_[0] * a_[0] + (r_ > 1 ? a_[1] : 0.0); }

  bool step(double w, KalmanStep& out) {
    const int r = r_;
    const double* phi = phi_;
    const double* R = R_;
    double* P = P_;
    for (int i = 0; i < r; ++i) an_[i] = phi[i] * a_[0] + (i + 1 < r ? a_[i + 1] : 0.0);
    out.observed = std::isfinite(w);
    if (steady_) {
      if (out.observed) {
        out.F = 1.0;
        out.v = w - an_[0];
        for (int i = 0; i < r; ++i) a_[i] = an_[i] + R[i] * out.v;
        return true;
      }
      // A missing value: the state becomes uncertain again.
      steady_ = false;
      std::fill(P, P + static_cast<std::size_t>(r) * r, 0.0);
    }
    // tmp = T P; P = tmp T' + R R'
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j)
        tmp_[i * r + j] = phi[i] * P[j] + (i + 1 < r ? P[(i + 1) * r + j] : 0.0);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j)
        P[i * r + j] = tmp_[i * r] * phi[j] + (j + 1 < r ? tmp_[i * r + j + 1] : 0.0) + R[i] * R[j];
    if (!out.observed) {
      std::copy(an_, an_ + r, a_);
      return true;
    }
    const double F = P[0];
    if (!(F > 0.0) || !std::isfinite(F)) return false;
    out.F = F;
    out.v = w - an_[0];
    double biggest = 0.0;
    for (int i = 0; i < r; ++i) a_[i] = an_[i] + P[i * r] / F * out.v;
    for (int i = 0; i < r; ++i) tmp_[i] = P[i * r];
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double& pij = P[i * r + j];
        pij -= tmp_[i] * tmp_[j] / F;
        biggest = std::max(biggest, std::fabs(pij));
      }
    if (biggest < 1e-12) {
      steady_ = true;
      std::fill(P, P + static_cast<std::size_t>(r) * r, 0.0);
    }
    return true;
  }

 private:
  int r_;
  const double* phi_;
  const double* R_;
  double* a_;
  double* P_;
  bool& steady_;
  double* tmp_;
  double* an_;
};

// Standardised innovations of the exact likelihood, scaled so that their sum of squares is
// sum(v^2/F) * prod(F)^(1/n): minimising it maximises the concentrated Gaussian likelihood.
bool exact_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                     std::vector<double>& res, double* sumlog_out = nullptr) {
  const Coefs c = unpack(f, x);
  const StateSpace s = state_space(c, f.m);
  std::vector<double> a(static_cast<std::size_t>(s.r), 0.0), P;
  stationary_covariance(s, P);
  for (double v : P)
    if (!std::isfinite(v)) return false;
  bool steady = false;
  std::vector<double> scratch;
  Filter filter(s.r, s.phi.data(), s.R.data(), a.data(), P.data(), steady, scratch);
  res.clear();
  double sumlog = 0.0;
  KalmanStep ks;
  for (double wt : w) {
    if (!filter.step(wt - c.mu, ks)) return false;
    if (!ks.observed) continue;
    res.push_back(ks.v / std::sqrt(ks.F));
    sumlog += std::log(ks.F);
  }
  if (res.empty()) return false;
  const double g = std::exp(sumlog / (2.0 * static_cast<double>(res.size())));
  for (double& v : res) v *= g;
  if (sumlog_out) *sumlog_out = sumlog;
  return std::isfinite(g);
}

// Conditional-sum-of-squares residuals: the first p + P*m values are conditioned on, earlier
// innovations are zero, and missing values are replaced by their prediction. Only residuals
// from `count_from` on are returned, so that forms of different orders can be compared on the
// same observations.
bool css_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                   std::vector<double>& res, std::size_t count_from = 0) {
  const Coefs c = unpack(f, x);
  const StateSpace s = state_space(c, f.m);
  const std::size_t n = w.size();
  const std::size_t t0 = static_cast<std::size_t>(s.np);
  std::vector<std::pair<int, double>> phi, theta;
  for (int j = 0; j < s.np; ++j)
    if (s.phi[j] != 0.0) phi.emplace_back(j + 1, s.phi[j]);
  for (int j = 0; j < s.nq; ++j)
    if (s.R[j + 1] != 0.0) theta.emplace_back(j + 1, s.R[j + 1]);
  std::vector<double> z(n), e(n, 0.0);
  res.clear();
  for (std::size_t t = 0; t < n; ++t) {
    z[t] = w[t] - c.mu;
    if (t < t0) {
      if (!std::isfinite(z[t])) z[t] = 0.0;
      continue;
    }
    double pred = 0.0;
    for (const auto& [j, v] : phi) pred += v * z[t - j];
    for (const auto& [j, v] : theta)
      if (t >= static_cast<std::size_t>(j)) pred += v * e[t - j];
    if (!std::isfinite(z[t])) {
      z[t] = pred;
      continue;
    }
    e[t] = z[t] - pred;
    if (t >= count_from) res.push_back(e[t]);
  }
  for (double v : res)
    if (!std::isfinite(v)) return false;
  return !res.empty();
}

// ---------------------------------------------------------------------------------------------
// Levenberg-Marquardt on a residual vector of fixed length.

using ResidualFn = std::function<bool(const std::vector<double>&, std::vector<double>&)>;

struct LmResult {
  std::vector<double> x;
  double ssr = kInf;
  bool ok = false;
};

double sum_sq(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}

// Solves (A) x = b for a symmetric positive definite A (k x k) by Cholesky; false if singular.
bool cholesky_solve(std::vector<double> A, std::vector<double> b, int k, std::vector<double>& x) {
  for (int j = 0; j < k; ++j) {
    double d = A[j * k + j];
    for (int l = 0; l < j; ++l) d -= A[j * k + l] * A[j * k + l];
    if (!(d > 0.0)) return false;
    d = std::sqrt(d);
    A[j * k + j] = d;
    for (int i = j + 1; i < k; ++i) {
      double v = A[i * k + j];
      for (int l = 0; l < j; ++l) v -= A[i * k + l] * A[j * k + l];
      A[i * k + j] = v / d;
    }
  }
  for (int i = 0; i < k; ++i) {
    double v = b[i];
    for (int l = 0; l < i; ++l) v -= A[i * k + l] * b[l];
    b[i] = v / A[i * k + i];
  }
  for (int i = k - 1; i >= 0; --i) {
    double v = b[i];
    for (int l = i + 1; l < k; ++l) v -= A[l * k + i] * b[l];
    b[i] = v / A[i * k + i];
  }
  x = b;
  return true;
}

LmResult levenberg_marquardt(const ResidualFn& fn, std::vector<double> x, int n_bounded,
                             int max_iter, double rel_tol) {
  LmResult out;
  const int k = static_cast<int>(x.size());
  auto clamp_x = [n_bounded](std::vector<double>& v) {
    for (int i = 0; i < n_bounded; ++i) v[i] = std::clamp(v[i], -kPacfBound, kPacfBound);
  };
  clamp_x(x);
  std::vector<double> r, rt;
  if (!fn(x, r)) return out;
  double ssr = sum_sq(r);
  if (!std::isfinite(ssr)) return out;
  out.x = x;
  out.ssr = ssr;
  out.ok = true;
  if (k == 0 || ssr == 0.0) return out;
  const std::size_t n = r.size();
  std::vector<double> J(n * k), JtJ(static_cast<std::size_t>(k) * k), g(k), delta, xt(k);
  double lambda = 1e-3;
  for (int iter = 0; iter < max_iter; ++iter) {
    // Forward-difference Jacobian.
    bool jac_ok = true;
    for (int j = 0; j < k && jac_ok; ++j) {
      xt = x;
      double h = 1e-6 * std::max(1.0, std::fabs(x[j]));
      if (j < n_bounded && xt[j] + h > kPacfBound) h = -h;
      xt[j] += h;
      if (!fn(xt, rt) || rt.size() != n) {
        jac_ok = false;
        break;
      }
      for (std::size_t t = 0; t < n; ++t) J[t * k + j] = (rt[t] - r[t]) / h;
    }
    if (!jac_ok) break;
    for (int i = 0; i < k; ++i) {
      double gi = 0.0;
      for (std::size_t t = 0; t < n; ++t) gi += J[t * k + i] * r[t];
      g[i] = -gi;
      for (int j = 0; j <= i; ++j) {
        double v = 0.0;
        for (std::size_t t = 0; t < n; ++t) v += J[t * k + i] * J[t * k + j];
        JtJ[i * k + j] = JtJ[j * k + i] = v;
      }
    }
    bool accepted = false;
    double new_ssr = ssr;
    for (int attempt = 0; attempt < 12 && !accepted; ++attempt) {
      std::vector<double> A = JtJ;
      for (int i = 0; i < k; ++i) A[i * k + i] += lambda * (JtJ[i * k + i] + 1e-9);
      if (!cholesky_solve(A, g, k, delta)) {
        lambda *= 10.0;
        continue;
      }
      for (int i = 0; i < k; ++i) xt[i] = x[i] + delta[i];
      clamp_x(xt);
      if (fn(xt, rt) && rt.size() == n) {
        const double s = sum_sq(rt);
        if (std::isfinite(s) && s < ssr) {
          accepted = true;
          new_ssr = s;
          x = xt;
          r.swap(rt);
          lambda = std::max(lambda / 5.0, 1e-12);
          break;
        }
      }
      lambda *= 8.0;
    }
    if (!accepted) break;
    const double gain = ssr - new_ssr;
    ssr = new_ssr;
    if (gain <= rel_tol * ssr || ssr == 0.0) break;
  }
  out.x = x;
  out.ssr = ssr;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Fitting one form.

struct Fit {
  Form form;
  std::vector<double> x;
  double m2ll = kInf;  // -2 log likelihood
  double aicc = kInf;
  double sigma2 = 0.0;
  int nobs = 0;
  bool ok = false;
  bool exact = false;
};

// True when every root of the AR and MA polynomials lies outside a circle a little larger than
// the unit circle. Fits whose roots crowd the unit circle (an AR part close to a unit root, an
// MA part close to non-invertible, as after over-differencing) forecast poorly and are
// numerically fragile, so the search does not choose them. The test scales the polynomial,
// c_j -> c_j rho^j, and checks the result is stationary.
bool roots_clear(const Form& f, const std::vector<double>& x) {
  constexpr double rho = 1.01;
  const Coefs c = unpack(f, x);
  auto clear = [](std::vector<double> coef, int lag, bool ma) {
    double s = 1.0;
    const double step = std::pow(rho, lag);
    for (double& v : coef) {
      s *= step;
      v *= ma ? -s : s;
    }
    return stationary(coef);
  };
  return clear(c.ar, 1, false) && clear(c.ma, 1, true) && clear(c.sar, f.m, false) &&
         clear(c.sma, f.m, true);
}

double aicc_of(double m2ll, int params, int n) {
  const int k = params + 1;  // and the innovation variance
  if (n - k - 1 <= 0) return kInf;
  return m2ll + 2.0 * k + 2.0 * k * (k + 1.0) / (n - k - 1.0);
}

std::vector<double> start_values(const Form& f, const std::vector<double>& w) {
  std::vector<double> x(static_cast<std::size_t>(f.count()), 0.0);
  if (f.constant) {
    double s = 0.0;
    int c = 0;
    for (double v : w)
      if (std::isfinite(v)) s += v, ++c;
    x.back() = c ? s / c : 0.0;
  }
  return x;
}

Fit fit_css(const std::vector<double>& w, const Form& f, std::size_t count_from, bool check_roots) {
  Fit fit;
  fit.form = f;
  const int nb = f.p + f.q + f.P + f.Q;
  ResidualFn fn = [&](const std::vector<double>& x, std::vector<double>& r) {
    return css_residuals(w, f, x, r, count_from);
  };
  LmResult lm = levenberg_marquardt(fn, start_values(f, w), nb, 100, 1e-8);
  if (!lm.ok) return fit;
  std::vector<double> r;
  if (!css_residuals(w, f, lm.x, r, count_from)) return fit;
  fit.x = lm.x;
  fit.nobs = static_cast<int>(r.size());
  fit.sigma2 = lm.ssr / fit.nobs;
  fit.m2ll = fit.nobs * (std::log(kTwoPi * std::max(fit.sigma2, 1e-300)) + 1.0);
  fit.aicc = aicc_of(fit.m2ll, f.count(), fit.nobs);
  fit.ok = std::isfinite(fit.m2ll) && (!check_roots || roots_clear(f, fit.x));
  return fit;
}

// Exact maximum likelihood, started from `css` (conditional-sum-of-squares estimates of the
// same form, when they exist); falls back to them when the exact fit fails.
Fit fit_exact(const std::vector<double>& w, const Form& f, const Fit& css, bool check_roots) {
  const int nb = f.p + f.q + f.P + f.Q;
  std::vector<double> x0 = css.ok ? css.x : start_values(f, w);
  ResidualFn fn = [&](const std::vector<double>& x, std::vector<double>& r) {
    return exact_residuals(w, f, x, r);
  };
  LmResult lm = levenberg_marquardt(fn, x0, nb, 50, 1e-7);
  if (lm.ok) {
    std::vector<double> r;
    double sumlog = 0.0;
    if (exact_residuals(w, f, lm.x, r, &sumlog)) {
      Fit fit;
      fit.form = f;
      fit.x = lm.x;
      fit.exact = true;
      fit.nobs = static_cast<int>(r.size());
      const double n = fit.nobs;
      fit.sigma2 = lm.ssr / n / std::exp(sumlog / n);
      fit.m2ll = n * (std::log(kTwoPi * std::max(lm.ssr / n, 1e-300)) + 1.0);
      fit.aicc = aicc_of(fit.m2ll, f.count(), fit.nobs);
      fit.ok = std::isfinite(fit.m2ll) && std::isfinite(fit.sigma2) &&
               (!check_roots || roots_clear(f, fit.x));
      if (fit.ok) return fit;
    }
  }
  return css;
}

// ---------------------------------------------------------------------------------------------
// Series helpers.

std::vector<double> difference(const std::vector<double>& x, int lag) {
  std::vector<double> out;
  if (x.size() <= static_cast<std::size_t>(lag)) return out;
  out.reserve(x.size() - lag);
  for (std::size_t t = lag; t < x.size(); ++t) out.push_back(x[t] - x[t - lag]);
  return out;
}

// Missing values filled by linear interpolation (ends by the nearest value); for the tests
// that decide the differencing, never for estimation.
std::vector<double> interpolated(const std::vector<double>& x) {
  std::vector<double> out = x;
  const std::size_t n = x.size();
  std::size_t last = n;
  for (std::size_t t = 0; t < n; ++t) {
    if (!std::isfinite(x[t])) continue;
    if (last == n) {
      for (std::size_t k = 0; k < t; ++k) out[k] = x[t];
    } else {
      for (std::size_t k = last + 1; k < t; ++k) {
        const double f = static_cast<double>(k - last) / static_cast<double>(t - last);
        out[k] = x[last] + f * (x[t] - x[last]);
      }
    }
    last = t;
  }
  if (last == n) return std::vector<double>(n, 0.0);
  for (std::size_t k = last + 1; k < n; ++k) out[k] = x[last];
  return out;
}

double variance(const std::vector<double>& x) {
  double s = 0.0, s2 = 0.0;
  int c = 0;
  for (double v : x)
    if (std::isfinite(v)) s += v, ++c;
  if (c < 2) return 0.0;
  const double mean = s / c;
  for (double v : x)
    if (std::isfinite(v)) s2 += (v - mean) * (v - mean);
  return s2 / c;
}

std::string fmt(double v) {
  std::ostringstream os;
  os.precision(6);
  os << v;
  return os.str();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tests that decide the differencing.

namespace arima_detail {

double kpss_statistic(const std::vector<double>& x) {
  const std::size_t n = x.size();
  if (n < 2) return 0.0;
  const double mean = std::accumulate(x.begin(), x.end(), 0.0) / static_cast<double>(n);
  std::vector<double> e(n);
  for (std::size_t t = 0; t < n; ++t) e[t] = x[t] - mean;
  double eta = 0.0, s = 0.0;
  for (double v : e) {
    s += v;
    eta += s * s;
  }
  const double nn = static_cast<double>(n);
  eta /= nn * nn;
  // Short lag truncation of Kwiatkowski et al.: 3 sqrt(n) / 13.
  const int lags = static_cast<int>(std::trunc(3.0 * std::sqrt(nn) / 13.0));
  double lrv = 0.0;
  for (double v : e) lrv += v * v;
  for (int l = 1; l <= lags && static_cast<std::size_t>(l) < n; ++l) {
    double c = 0.0;
    for (std::size_t t = l; t < n; ++t) c += e[t] * e[t - l];
    lrv += 2.0 * (1.0 - l / (lags + 1.0)) * c;
  }
  lrv /= nn;
  if (!(lrv > 1e-300)) return 0.0;
  return eta / lrv;
}

int choose_d(std::vector<double> x, int max_d) {
  int d = 0;
  while (d < max_d && x.size() >= 5) {
    if (variance(x) < 1e-20) break;  // nothing left to difference
    if (kpss_statistic(x) < kKpssCritical) break;
    x = difference(x, 1);
    ++d;
  }
  return d;
}

double seasonal_strength(const std::vector<double>& x, int m) {
  const std::size_t n = x.size();
  if (m < 2 || n < 2 * static_cast<std::size_t>(m) + 1) return 0.0;
  // Centred moving average of length m (2 x m for even m).
  const std::size_t half = static_cast<std::size_t>(m) / 2;
  std::vector<double> detr(n, kNaN);
  for (std::size_t t = half; t + half < n; ++t) {
    double tr = 0.0;
    if (m % 2 == 1) {
      for (std::size_t k = t - half; k <= t + half; ++k) tr += x[k];
      tr /= m;
    } else {
      for (std::size_t k = t - half + 1; k < t + half; ++k) tr += x[k];
      tr += 0.5 * (x[t - half] + x[t + half]);
      tr /= m;
    }
    detr[t] = x[t] - tr;
  }
  std::vector<double> idx(m, 0.0);
  std::vector<int> cnt(m, 0);
  for (std::size_t t = 0; t < n; ++t)
    if (std::isfinite(detr[t])) idx[t % m] += detr[t], ++cnt[t % m];
  double mean_idx = 0.0;
  for (int k = 0; k < m; ++k) {
    idx[k] = cnt[k] ? idx[k] / cnt[k] : 0.0;
    mean_idx += idx[k] / m;
  }
  std::vector<double> rem(n, kNaN);
  for (std::size_t t = 0; t < n; ++t)
    if (std::isfinite(detr[t])) rem[t] = detr[t] - (idx[t % m] - mean_idx);
  const double vd = variance(detr);
  if (!(vd > 1e-300)) return 0.0;
  return std::clamp(1.0 - variance(rem) / vd, 0.0, 1.0);
}

}  // namespace arima_detail

// ---------------------------------------------------------------------------------------------
// Configuration.

std::int64_t ArimaConfig::initial_size() const {
  if (min_training_data > 0) return min_training_data;
  const std::int64_t dd = differencing ? (d >= 0 ? d : 2) : 0;
  std::int64_t n = std::max<std::int64_t>(10, 3 * (p_max + q_max + 1)) + dd;
  if (differencing && samples_per_season >= 2) n += 2 * samples_per_season;
  return n;
}

void ArimaConfig::validate() const {
  auto bad = [this](const std::string& what) {
    throw InvalidArgument(std::string(differencing ? "arima" : "arma") + ": " + what);
  };
  auto order = [&](const char* name, std::int64_t v) {
    if (v < 0 || v > kMaxOrder) {
      bad(std::string(name) + " must lie in 0.." + std::to_string(kMaxOrder) + ", got " +
          std::to_string(v));
    }
  };
  order("p_min", p_min);
  order("p_max", p_max);
  order("q_min", q_min);
  order("q_max", q_max);
  if (p_min > p_max)
    bad("p_min (" + std::to_string(p_min) + ") exceeds p_max (" + std::to_string(p_max) + ")");
  if (q_min > q_max)
    bad("q_min (" + std::to_string(q_min) + ") exceeds q_max (" + std::to_string(q_max) + ")");
  if (d < -1 || d > 2) bad("d must be -1 (tested) or 0..2, got " + std::to_string(d));
  if (!differencing && d > 0)
    bad("an ARMA model does not difference (d = " + std::to_string(d) + ")");
  if (samples_per_season < 0 || samples_per_season > kMaxSeason) {
    bad("samples_per_season must lie in 0.." + std::to_string(kMaxSeason) + ", got " +
        std::to_string(samples_per_season));
  }
  if (min_training_data < -1 || min_training_data > kMaxTraining) {
    bad("min_training_data must be -1 (automatic) or 1.." + std::to_string(kMaxTraining) +
        ", got " + std::to_string(min_training_data));
  }
  if (error_horizon_length < 1 || error_horizon_length > kMaxErrorHorizon) {
    bad("error_horizon_length must lie in 1.." + std::to_string(kMaxErrorHorizon) + ", got " +
        std::to_string(error_horizon_length));
  }
}

std::string ArimaOrder::str() const {
  std::ostringstream os;
  os << "ARIMA(" << p << "," << d << "," << q << ")";
  if (P || D || Q) os << "(" << P << "," << D << "," << Q << ")[" << m << "]";
  if (constant) os << (d + D == 0 ? " with mean" : " with drift");
  return os.str();
}

Arima::Arima(const ArimaConfig& cfg) : cfg_(cfg) {
  cfg_.validate();
  clear();
}

namespace {
ArimaConfig arma_config() {
  ArimaConfig c;
  c.differencing = false;
  c.d = 0;
  return c;
}
}  // namespace

Arma::Arma() : Arima(arma_config()) {}

void Arima::clear() {
  buffer_.clear();
  fitted_ = false;
  order_ = ArimaOrder{};
  ar_.clear();
  ma_.clear();
  sar_.clear();
  sma_.clear();
  mu_ = sigma2_ = aicc_ = 0.0;
  loc_ = 0.0;
  scale_ = 1.0;
  note_.clear();
  ring_.clear();
  a_.clear();
  P_.clear();
  steady_ = false;
  steps_ = 0;
  errors_ = ErrorHistory(1, cfg_.use_full_error_history);
  pending_at_.clear();
  pending_.clear();
  variance_.reset();
  calibration_.clear();
  phi_.clear();
  rvec_.clear();
  delta_.clear();
  r_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Fitting.

void Arima::fit() {
  const std::vector<double>& y = buffer_;
  const std::size_t n = y.size();
  // Standardise (scaled by the largest magnitude first, so huge values cannot overflow).
  double big = 0.0;
  for (double v : y)
    if (std::isfinite(v)) big = std::max(big, std::fabs(v));
  double mean = 0.0, m2 = 0.0;
  int nf = 0;
  for (double v : y) {
    if (!std::isfinite(v)) continue;
    const double u = big > 0.0 ? v / big : 0.0;
    ++nf;
    const double dlt = u - mean;
    mean += dlt / nf;
    m2 += dlt * (u - mean);
  }
  const double sd = nf > 1 ? std::sqrt(m2 / nf) * big : 0.0;
  loc_ = mean * big;
  scale_ = sd > 1e-12 * std::max(big, 1e-300) && std::isfinite(sd) ? sd : (big > 0.0 ? big : 1.0);
  std::vector<double> z(n);
  for (std::size_t t = 0; t < n; ++t) z[t] = std::isfinite(y[t]) ? (y[t] - loc_) / scale_ : kNaN;

  ArimaOrder ord;
  note_.clear();
  const int total_needed = 4;
  Fit chosen;
  std::vector<double> w;

  if (nf < total_needed || sd == 0.0) {
    // Too little to estimate anything, or nothing that varies: the latest value (or the
    // constant) carries forward.
    ord.d = (nf >= 2 && sd > 0.0 && cfg_.differencing) ? 1 : 0;
    if (cfg_.differencing && cfg_.d >= 0) ord.d = static_cast<int>(cfg_.d);
    if (sd == 0.0) {
      ord.d = 0;
      ord.constant = true;
      note_ = "constant series";
    } else {
      note_ = "too few values to estimate; " + std::string(ord.d ? "last value" : "mean");
      ord.constant = ord.d == 0;
    }
  } else {
    const std::vector<double> zi = interpolated(z);
    // Season and seasonal differencing.
    int m = 1;
    if (cfg_.differencing) {
      if (cfg_.samples_per_season >= 2) {
        m = static_cast<int>(cfg_.samples_per_season);
      } else if (cfg_.samples_per_season == 0 && n >= 8) {
        const int upper = static_cast<int>(std::min<std::size_t>(200, n / 2));
        if (upper >= 2) m = detect_period(z.data(), n, upper);
      }
      if (m >= 2 && n >= 2 * static_cast<std::size_t>(m) + 2 &&
          arima_detail::seasonal_strength(zi, m) > kSeasonalStrength) {
        ord.D = 1;
      }
    }
    ord.m = m;
    std::vector<double> sdiff = ord.D ? difference(zi, m) : zi;
    if (!cfg_.differencing) {
      ord.d = 0;
    } else if (cfg_.d >= 0) {
      ord.d = static_cast<int>(cfg_.d);
    } else {
      ord.d = arima_detail::choose_d(sdiff, 2);
    }
    // Differenced series with missing values kept missing.
    w = ord.D ? difference(z, m) : z;
    for (int k = 0; k < ord.d; ++k) w = difference(w, 1);
    const bool allow_const = ord.d + ord.D <= 1;
    int nw = 0;
    for (double v : w)
      if (std::isfinite(v)) ++nw;
    if (nw < 2 || variance(w) < 1e-20) {
      // Nothing random left after differencing (an exact line, an exact season, ...).
      ord.constant = nw > 0;
      note_ = "deterministic after differencing";
      Form f;
      f.m = m;
      f.constant = ord.constant;
      chosen.form = f;
      chosen.x = start_values(f, w);
      chosen.ok = true;
    } else {
      const bool seasonal_terms = m >= 2 && m <= kMaxSeasonalTerms && nw >= 2 * m + 4;
      const int S = seasonal_terms ? 1 : 0;
      const int pl = static_cast<int>(cfg_.p_min), ph = static_cast<int>(cfg_.p_max);
      const int ql = static_cast<int>(cfg_.q_min), qh = static_cast<int>(cfg_.q_max);
      // With a small state every candidate is estimated by exact likelihood. Otherwise the
      // search compares conditional-sum-of-squares fits on the same observations (those after
      // the largest autoregressive lag any candidate may use) and refits the best few exactly.
      const bool exact_search = std::max(ph + S * m, qh + S * m + 1) <= kExactSearchState;
      const std::size_t t0 =
          exact_search ? 0 : std::min<std::size_t>(w.size(), static_cast<std::size_t>(ph + S * m));
      int n_common = 0;
      for (std::size_t t = t0; t < w.size(); ++t)
        if (std::isfinite(w[t])) ++n_common;
      auto valid = [&](const Form& f) {
        return f.p >= pl && f.p <= ph && f.q >= ql && f.q <= qh && f.P >= 0 && f.Q >= 0 &&
               f.P <= S && f.Q <= S && (!f.constant || allow_const) && f.count() + 3 <= n_common;
      };
      std::map<std::tuple<int, int, int, int, bool>, Fit> cache;
      auto fit_of = [&](const Form& f) -> const Fit* {
        if (!valid(f)) return nullptr;
        auto it = cache.find(f.key());
        if (it == cache.end()) {
          if (static_cast<int>(cache.size()) >= kMaxModels) return nullptr;
          if (exact_search) {
            Fit e = fit_exact(w, f, fit_css(w, f, 0, false), true);
            e.ok = e.ok && e.exact;
            it = cache.emplace(f.key(), e).first;
          } else {
            it = cache.emplace(f.key(), fit_css(w, f, t0, true)).first;
          }
        }
        return it->second.ok ? &it->second : nullptr;
      };
      const Fit* best = nullptr;
      auto consider = [&](const Form& f) {
        const Fit* c = fit_of(f);
        if (c && (!best || c->aicc < best->aicc - 1e-9)) {
          best = c;
          return true;
        }
        return false;
      };
      auto mk = [&](int p, int q, int P, int Q, bool c) {
        Form f;
        f.p = p, f.q = q, f.P = P, f.Q = Q, f.m = m, f.constant = c;
        return f;
      };
      auto cp = [&](int v) { return std::clamp(v, pl, ph); };
      auto cq = [&](int v) { return std::clamp(v, ql, qh); };
      std::vector<const Fit*> finalists;
      if (cfg_.force_model) {
        const Form f = mk(ph, qh, 0, 0, allow_const);
        if (f.count() + 3 <= nw) {
          cache.emplace(f.key(), fit_css(w, f, 0, false));
          finalists.push_back(&cache[f.key()]);
        } else {
          note_ = "too few values for the forced orders; searched instead";
        }
      }
      if (finalists.empty()) {
        for (const Form& f :
             {mk(cp(2), cq(2), S, S, allow_const), mk(cp(0), cq(0), 0, 0, allow_const),
              mk(cp(1), cq(0), S, 0, allow_const), mk(cp(0), cq(1), 0, S, allow_const),
              mk(cp(0), cq(0), 0, 0, false)}) {
          consider(f);
        }
        bool moved = best != nullptr;
        while (moved) {
          moved = false;
          const Form b = best->form;
          const int steps[][4] = {{-1, 0, 0, 0},  {1, 0, 0, 0},  {0, -1, 0, 0},  {0, 1, 0, 0},
                                  {0, 0, -1, 0},  {0, 0, 1, 0},  {0, 0, 0, -1},  {0, 0, 0, 1},
                                  {-1, -1, 0, 0}, {1, 1, 0, 0},  {0, 0, -1, -1}, {0, 0, 1, 1},
                                  {-1, 1, 0, 0},  {1, -1, 0, 0}, {0, 0, -1, 1},  {0, 0, 1, -1}};
          for (const auto& st : steps) {
            if (consider(mk(b.p + st[0], b.q + st[1], b.P + st[2], b.Q + st[3], b.constant))) {
              moved = true;
              break;
            }
          }
          if (!moved && allow_const && consider(mk(b.p, b.q, b.P, b.Q, !b.constant))) moved = true;
        }
        // The best few by the approximate criterion are refitted by exact likelihood.
        for (const auto& kv : cache)
          if (kv.second.ok) finalists.push_back(&kv.second);
        std::sort(finalists.begin(), finalists.end(),
                  [](const Fit* x, const Fit* y) { return x->aicc < y->aicc; });
        if (finalists.size() > static_cast<std::size_t>(kFinalists)) finalists.resize(kFinalists);
      }
      const Fit* fallback = nullptr;
      Fit exact_best;
      for (const Fit* c : finalists) {
        if (!fallback && c->ok) fallback = c;
        Fit e = fit_exact(w, c->form, *c, !cfg_.force_model);
        if (e.ok && e.exact && (!exact_best.ok || e.aicc < exact_best.aicc)) exact_best = e;
      }
      if (exact_best.ok) {
        chosen = exact_best;
      } else if (fallback) {
        chosen = *fallback;
        note_ = "estimated by conditional sum of squares";
      } else {
        // No candidate could be estimated: the mean (or drift) of the differenced series.
        Form f;
        f.m = m;
        f.constant = allow_const;
        chosen.form = f;
        chosen.x = start_values(f, w);
        chosen.ok = true;
        note_ = "no candidate order could be estimated; white noise on the differences";
      }
    }
  }

  // Coefficients and the innovation variance of the chosen form.
  const Coefs c = unpack(chosen.form, chosen.x);
  ord.p = chosen.form.p;
  ord.q = chosen.form.q;
  ord.P = chosen.form.P;
  ord.Q = chosen.form.Q;
  if (ord.P == 0 && ord.Q == 0 && ord.D == 0) ord.m = 1;
  if (!chosen.form.constant && !ord.constant) ord.constant = false;
  if (chosen.form.constant) ord.constant = true;
  order_ = ord;
  ar_ = c.ar;
  ma_ = c.ma;
  sar_ = c.sar;
  sma_ = c.sma;
  mu_ = ord.constant ? (chosen.form.constant ? c.mu : 0.0) : 0.0;
  if (ord.constant && !chosen.form.constant && !w.empty()) {
    double s = 0.0;
    int k = 0;
    for (double v : w)
      if (std::isfinite(v)) s += v, ++k;
    mu_ = k ? s / k : 0.0;
  }
  sigma2_ = chosen.sigma2;
  aicc_ = chosen.aicc;
  prepare();

  // Run the filter over the training data so the state is the one at its end.
  const std::size_t nd = delta_.size();
  const std::vector<double> zi = interpolated(z);
  ring_.assign(zi.begin(), zi.begin() + std::min(nd, n));
  while (ring_.size() < nd) ring_.insert(ring_.begin(), ring_.empty() ? 0.0 : ring_.front());
  StateSpace s;
  s.r = r_;
  s.phi = phi_;
  s.R = rvec_;
  a_.assign(static_cast<std::size_t>(r_), 0.0);
  stationary_covariance(s, P_);
  bool finite = true;
  for (double v : P_) finite = finite && std::isfinite(v);
  if (!finite) {
    // Cannot happen for a stationary fit; a last guard against a corrupt state.
    P_.assign(static_cast<std::size_t>(r_) * r_, 0.0);
  }
  steady_ = false;
  variance_.reset(static_cast<double>(ord.p + ord.q + ord.P + ord.Q + (ord.constant ? 1 : 0)));
  // From every origin after the estimated values, the 1..H step errors against the formula's
  // variances (H: up to two seasons, at least 8 steps, at most a third of the data).
  const std::size_t HC =
      std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * static_cast<std::size_t>(ord.m), 8));
  std::vector<double> shape(HC), path(HC);
  if (HC) psi_shape(static_cast<std::int64_t>(HC), shape.data());
  const std::size_t first = std::min(nd, n) + static_cast<std::size_t>(variance_.parameters());
  calibration_.start(HC >= 2 ? HC : 0);
  for (std::size_t t = std::min(nd, n); t < n; ++t) {
    step(z[t]);
    if (HC < 2 || t + 1 < first) continue;
    forecast_z_path(HC, path.data());
    for (std::size_t k = 1; k <= HC && t + k < n; ++k) {
      if (!std::isfinite(z[t + k])) continue;
      const double e = z[t + k] - path[k - 1];
      calibration_.add(k, e * e / shape[k - 1]);
    }
  }
  calibration_.finish(variance_.known() ? variance_.variance() : 1.0);
  buffer_.clear();
  buffer_.shrink_to_fit();
  steps_ = 0;
  errors_ = ErrorHistory(std::max<std::int64_t>(1, static_cast<std::int64_t>(n)),
                         cfg_.use_full_error_history);
  pending_at_.clear();
  pending_.clear();
  fitted_ = true;
  const std::int64_t H = cfg_.error_horizon_length;
  pending_at_.push_back(H);
  pending_.push_back(forecast_z(H));
}

void Arima::prepare() {
  Coefs c;
  c.ar = ar_;
  c.ma = ma_;
  c.sar = sar_;
  c.sma = sma_;
  const StateSpace s = state_space(c, order_.m);
  r_ = s.r;
  phi_ = s.phi;
  rvec_ = s.R;
  // (1 - B)^d (1 - B^m)^D = 1 - sum delta_k B^k
  std::vector<double> poly{1.0};
  auto times = [&poly](int lag) {
    std::vector<double> out(poly.size() + lag, 0.0);
    for (std::size_t i = 0; i < poly.size(); ++i) {
      out[i] += poly[i];
      out[i + lag] -= poly[i];
    }
    poly = out;
  };
  for (int k = 0; k < order_.d; ++k) times(1);
  for (int k = 0; k < order_.D; ++k) times(order_.m);
  delta_.assign(poly.size() - 1, 0.0);
  for (std::size_t k = 1; k < poly.size(); ++k) delta_[k - 1] = -poly[k];
}

// ---------------------------------------------------------------------------------------------
// Updating and forecasting.

void Arima::step(double z) {
  const std::size_t nd = delta_.size();
  double integ = 0.0;  // the part of z_t the differencing carries over from the past
  for (std::size_t k = 0; k < nd; ++k) integ += delta_[k] * ring_[nd - 1 - k];
  Filter filter(r_, phi_.data(), rvec_.data(), a_.data(), P_.data(), steady_, scratch_);
  const double predicted = integ + mu_ + filter.predict_next();
  KalmanStep ks;
  const double w = std::isfinite(z) ? z - integ - mu_ : kNaN;
  if (!filter.step(w, ks)) {
    // Numerically unusable variance: treat the value as missing rather than corrupt the state.
    filter.step(kNaN, ks);
  }
  if (std::isfinite(z)) variance_.add(z - predicted);
  const double kept = std::isfinite(z) ? z : predicted;
  if (nd) {
    ring_.erase(ring_.begin());
    ring_.push_back(kept);
  }
}

double Arima::forecast_z(std::int64_t h) const {
  const std::size_t nd = delta_.size();
  std::vector<double> a = a_, an(a_.size());
  std::vector<double> hist = ring_;  // circular: the newest value sits just before `head`
  std::size_t head = 0;
  double y = nd ? hist.back() : 0.0;
  const int r = r_;
  for (std::int64_t k = 1; k <= h; ++k) {
    for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
    a.swap(an);
    double integ = 0.0;
    for (std::size_t j = 0; j < nd; ++j) integ += delta_[j] * hist[(head + nd - 1 - j) % nd];
    y = integ + mu_ + a[0];
    if (nd) {
      hist[head] = y;
      head = (head + 1) % nd;
    }
  }
  return y;
}

// The h-step variance sigma^2 (psi_0^2 + ... + psi_{h-1}^2), with the psi weights of the
// model's MA(infinity) form on the undifferenced scale. sigma^2 comes from the one-step
// prediction errors since the fit (the estimate of the fit for states of older formats).
bool Arima::forecast_variances(std::int64_t h, double* var) const {
  const double s2 = (variance_.known() ? variance_.variance() : sigma2_) * scale_ * scale_;
  if (!std::isfinite(s2)) return false;
  psi_shape(h, var);
  // Calibrated, the variance still never falls with the horizon.
  double prev = 0.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    prev = std::max(prev, s2 * var[k - 1] * calibration_.factor(k));
    var[k - 1] = prev;
  }
  return true;
}

void Arima::forecast_z_path(std::size_t h, double* out) const {
  const std::size_t nd = delta_.size();
  std::vector<double> a = a_, an(a_.size());
  std::vector<double> hist = ring_;
  std::size_t head = 0;
  const int r = r_;
  for (std::size_t k = 0; k < h; ++k) {
    for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
    a.swap(an);
    double integ = 0.0;
    for (std::size_t j = 0; j < nd; ++j) integ += delta_[j] * hist[(head + nd - 1 - j) % nd];
    out[k] = integ + mu_ + a[0];
    if (nd) {
      hist[head] = out[k];
      head = (head + 1) % nd;
    }
  }
}

void Arima::psi_shape(std::int64_t h, double* var) const {
  // Autoregressive side with the differencing folded in: (1 - sum phi B^i)(1 - sum delta B^k).
  std::vector<double> ar(phi_.size() + delta_.size(), 0.0);
  for (std::size_t i = 0; i < phi_.size(); ++i) ar[i] += phi_[i];
  for (std::size_t k = 0; k < delta_.size(); ++k) ar[k] += delta_[k];
  for (std::size_t i = 0; i < phi_.size(); ++i) {
    for (std::size_t k = 0; k < delta_.size(); ++k) ar[i + k + 1] -= phi_[i] * delta_[k];
  }
  const std::size_t p = ar.size();
  std::vector<double> window(p, 0.0);  // psi_{j-1}, ..., psi_{j-p} (ring)
  std::size_t head = 0;
  double sum = 0.0;
  for (std::int64_t j = 0; j < h; ++j) {
    double w = j == 0 ? 1.0 : (static_cast<std::size_t>(j) < rvec_.size() ? rvec_[j] : 0.0);
    for (std::size_t i = 0; i < p && static_cast<std::int64_t>(i) < j; ++i) {
      w += ar[i] * window[(head + p - 1 - i) % p];
    }
    if (p) {
      window[head] = w;
      head = (head + 1) % p;
    }
    sum += w * w;
    var[j] = sum;
  }
}

double Arima::interval_dof() const {
  return variance_.known() ? variance_.dof() : std::numeric_limits<double>::infinity();
}

double Arima::track_errors(double z) {
  // Forecasts made for steps before this one are stale (their observation was missing).
  while (!pending_at_.empty() && pending_at_.front() < steps_) {
    pending_at_.erase(pending_at_.begin());
    pending_.erase(pending_.begin());
  }
  double err = kNaN;
  if (!pending_at_.empty() && pending_at_.front() == steps_) {
    if (std::isfinite(z)) err = (z - pending_.front()) * scale_;
    pending_at_.erase(pending_at_.begin());
    pending_.erase(pending_.begin());
  }
  return err;
}

bool Arima::fit_available() {
  if (!fitted_ &&
      std::any_of(buffer_.begin(), buffer_.end(), [](double v) { return std::isfinite(v); })) {
    fit();
  }
  return fitted_;
}

bool Arima::set_log_input(double shift) {
  if (!cfg_.differencing) return false;
  if (!std::isfinite(shift) || shift < 0.0) {
    throw InvalidArgument("arima: the shift of log-transformed input must be finite and >= 0");
  }
  if (observations() > 0) {
    throw InvalidArgument("arima: the input transform is set before the first observation");
  }
  cfg_.log_input_shift = shift;
  return true;
}

void Arima::observe(double value, std::int64_t gap) {
  value = detail::from_log_input(value, cfg_.log_input_shift);
  if (!fitted_) {
    // A run of missing values longer than the training size tells the fit nothing more.
    const std::int64_t need = cfg_.initial_size();
    const std::int64_t missing = std::min(gap - 1, need);
    for (std::int64_t k = 0; k < missing; ++k) buffer_.push_back(kNaN);
    buffer_.push_back(value);
    if (static_cast<std::int64_t>(buffer_.size()) >= need) {
      const bool any =
          std::any_of(buffer_.begin(), buffer_.end(), [](double v) { return std::isfinite(v); });
      if (any) {
        fit();
      } else {
        // Nothing but missing values so far: wait for a first real one.
        buffer_.erase(buffer_.begin(), buffer_.end() - (need - 1));
      }
    }
    return;
  }
  const std::int64_t H = cfg_.error_horizon_length;
  if (gap > kMaxGap) {
    // After this long without data the state carries no information: the process restarts at
    // the new value with the fitted coefficients (differencing history filled with it).
    steps_ += gap;
    pending_at_.clear();
    pending_.clear();
    if (std::isfinite(value)) {
      std::fill(ring_.begin(), ring_.end(), (value - loc_) / scale_);
    }
    StateSpace s;
    s.r = r_;
    s.phi = phi_;
    s.R = rvec_;
    std::fill(a_.begin(), a_.end(), 0.0);
    stationary_covariance(s, P_);
    steady_ = false;
    pending_at_.push_back(steps_ + H);
    pending_.push_back(forecast_z(H));
    return;
  }
  for (std::int64_t k = 1; k <= gap; ++k) {
    const double z = k == gap && std::isfinite(value) ? (value - loc_) / scale_ : kNaN;
    ++steps_;
    const double err = track_errors(z);
    if (std::isfinite(err)) errors_.add(err);
    step(z);
    if (k == gap) {
      pending_at_.push_back(steps_ + H);
      pending_.push_back(forecast_z(H));
    }
  }
}

double Arima::forecast_ahead(double h) const {
  if (!(h <= kMaxHorizon)) {
    throw InvalidArgument("arima: forecast horizon of " + fmt(h) + " steps is too far (at most " +
                          fmt(kMaxHorizon) + ")");
  }
  const auto lo = static_cast<std::int64_t>(std::floor(h));
  const double frac = h - static_cast<double>(lo);
  double z = forecast_z(lo);
  if (frac > 0.0) z += frac * (forecast_z(lo + 1) - z);
  return from_z(z);
}

// One walk along the forecast path serves every step count (in order); the values are those
// forecast_ahead gives one by one.
void Arima::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  for (std::size_t i = 0; i < n; ++i) {
    if (!(h[i] <= kMaxHorizon) || (i > 0 && h[i] < h[i - 1])) {
      Model::forecast_path_ahead(h, n, out);
      return;
    }
  }
  const std::size_t nd = delta_.size();
  std::vector<double> a = a_, an(a_.size());
  std::vector<double> hist = ring_;
  std::size_t head = 0;
  const int r = r_;
  std::int64_t k = 0;                   // steps walked
  double z_k = nd ? hist.back() : 0.0;  // the forecast k steps ahead
  double z_before = z_k;                // and k - 1 steps ahead
  auto at = [&](std::int64_t j) {       // j >= k - 1
    while (k < j) {
      for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
      a.swap(an);
      double integ = 0.0;
      for (std::size_t d = 0; d < nd; ++d) integ += delta_[d] * hist[(head + nd - 1 - d) % nd];
      z_before = z_k;
      z_k = integ + mu_ + a[0];
      if (nd) {
        hist[head] = z_k;
        head = (head + 1) % nd;
      }
      ++k;
    }
    return j == k ? z_k : z_before;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto lo = static_cast<std::int64_t>(std::floor(h[i]));
    const double frac = h[i] - static_cast<double>(lo);
    double z = at(lo);
    if (frac > 0.0) z += frac * (at(lo + 1) - z);
    out[i] = from_z(z);
  }
}

double Arima::from_z(double z) const {
  return detail::to_log_input(series_value(z), cfg_.log_input_shift);
}

double Arima::series_value(double z) const {
  double y = loc_ + scale_ * z;
  if (!std::isfinite(y)) {
    // Only reachable from magnitudes near the floating-point limit: stay at the last level.
    const double last = ring_.empty() ? 0.0 : ring_.back();
    y = loc_ + scale_ * (std::isfinite(last) ? last : 0.0);
    if (!std::isfinite(y)) y = loc_;
  }
  return y;
}

// Fed ln(x + shift), the model forecasts x: the normal quantiles of x are taken through the
// (monotone) transform, so the bands are those of the series, on the scale it was fed.
void Arima::interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const {
  if (!(cfg_.log_input_shift > 0.0)) {
    Model::interval_ahead(h, coverage, lower, upper);
    return;
  }
  const auto n = static_cast<std::size_t>(h);
  std::vector<double> var(n), z(n);
  if (!forecast_variances(h, var.data())) {
    throw NotInitialized("arima model knows no forecast errors yet");
  }
  const double q = student_quantile(0.5 + coverage / 2.0, interval_dof());
  forecast_z_path(n, z.data());
  for (std::size_t k = 0; k < n; ++k) {
    const double y = series_value(z[k]);
    const double w = q * std::sqrt(std::isfinite(var[k]) && var[k] > 0.0 ? var[k] : 0.0);
    lower[k] = detail::to_log_input(y - w, cfg_.log_input_shift);
    upper[k] = detail::to_log_input(y + w, cfg_.log_input_shift);
  }
}

std::string Arima::describe() const {
  std::ostringstream os;
  os << kind() << " (p " << cfg_.p_min << ".." << cfg_.p_max << ", q " << cfg_.q_min << ".."
     << cfg_.q_max << ", d " << (cfg_.d < 0 ? std::string("tested") : std::to_string(cfg_.d))
     << (cfg_.force_model ? ", forced" : "");
  if (cfg_.log_input_shift > 0.0) os << ", fed ln(x + " << cfg_.log_input_shift << "), fitted on x";
  os << ")";
  if (!fitted_) {
    os << ": collecting " << buffer_.size() << " of " << cfg_.initial_size() << " values";
    return os.str();
  }
  os << ": " << order_.str();
  auto list = [&os](const char* name, const std::vector<double>& v) {
    if (v.empty()) return;
    os << " " << name << "=[";
    for (std::size_t i = 0; i < v.size(); ++i) os << (i ? ", " : "") << fmt(v[i]);
    os << "]";
  };
  list("ar", ar_);
  list("ma", ma_);
  list("sar", sar_);
  list("sma", sma_);
  if (order_.constant) os << " constant=" << fmt(constant());
  os << " sigma2=" << fmt(sigma2());
  if (std::isfinite(aicc_) && aicc_ != 0.0) os << " aicc=" << fmt(aicc_);
  if (errors_.size() > 0) {
    os << " rmse(h=" << cfg_.error_horizon_length << ")=" << fmt(errors_.rmse()) << " over "
       << errors_.size();
  }
  if (!note_.empty()) os << " [" << note_ << "]";
  return os.str();
}

// ---------------------------------------------------------------------------------------------
// Serialisation.

void Arima::save(Writer& w) const {
  w.put<std::uint8_t>(1);  // layout version
  w.put_bool(cfg_.differencing);
  w.put<std::int64_t>(cfg_.p_min);
  w.put<std::int64_t>(cfg_.p_max);
  w.put<std::int64_t>(cfg_.q_min);
  w.put<std::int64_t>(cfg_.q_max);
  w.put<std::int64_t>(cfg_.d);
  w.put<std::int64_t>(cfg_.samples_per_season);
  w.put<std::int64_t>(cfg_.min_training_data);
  w.put_bool(cfg_.force_model);
  w.put<std::int64_t>(cfg_.error_horizon_length);
  w.put_bool(cfg_.use_full_error_history);
  if (cfg_.differencing) w.put<double>(cfg_.log_input_shift);
  w.put_bool(fitted_);
  w.put_vector(buffer_);
  if (!fitted_) return;
  for (int v : {order_.p, order_.d, order_.q, order_.P, order_.D, order_.Q, order_.m}) {
    w.put<std::int64_t>(v);
  }
  w.put_bool(order_.constant);
  w.put_vector(ar_);
  w.put_vector(ma_);
  w.put_vector(sar_);
  w.put_vector(sma_);
  w.put<double>(mu_);
  w.put<double>(sigma2_);
  w.put<double>(aicc_);
  w.put<double>(loc_);
  w.put<double>(scale_);
  w.put_string(note_);
  w.put_vector(ring_);
  w.put_vector(a_);
  w.put_vector(P_);
  w.put_bool(steady_);
  w.put<std::int64_t>(steps_);
  errors_.save(w);
  w.put_vector(pending_at_);
  w.put_vector(pending_);
  variance_.save(w);
  calibration_.save(w);
}

void Arima::load(Reader& r) {
  if (r.get<std::uint8_t>() != 1) throw FormatError("arima state: unknown layout");
  ArimaConfig c;
  c.differencing = r.get_bool();
  if (c.differencing != cfg_.differencing) throw FormatError("arima state: kind mismatch");
  c.p_min = r.get<std::int64_t>();
  c.p_max = r.get<std::int64_t>();
  c.q_min = r.get<std::int64_t>();
  c.q_max = r.get<std::int64_t>();
  c.d = r.get<std::int64_t>();
  c.samples_per_season = r.get<std::int64_t>();
  c.min_training_data = r.get<std::int64_t>();
  c.force_model = r.get_bool();
  c.error_horizon_length = r.get<std::int64_t>();
  c.use_full_error_history = r.get_bool();
  if (c.differencing && r.version() >= 3) {  // older states knew no input transform
    c.log_input_shift = r.get<double>();
    if (!std::isfinite(c.log_input_shift) || c.log_input_shift < 0.0) {
      throw FormatError("arima state: bad input shift");
    }
  }
  try {
    c.validate();
  } catch (const InvalidArgument& e) {
    throw FormatError(std::string("arima state: ") + e.what());
  }
  cfg_ = c;
  clear();
  fitted_ = r.get_bool();
  buffer_ = r.get_vector<double>();
  for (double v : buffer_)
    if (std::isinf(v)) throw FormatError("arima state: infinite value in the buffer");
  if (!fitted_) {
    if (static_cast<std::int64_t>(buffer_.size()) > cfg_.initial_size()) {
      throw FormatError("arima state: buffer longer than the training size");
    }
    return;
  }
  if (!buffer_.empty()) throw FormatError("arima state: buffer of a fitted model");
  auto small = [&r](int hi) { return static_cast<int>(r.get_count(0, hi)); };
  order_.p = small(ArimaConfig::kMaxOrder);
  order_.d = small(2);
  order_.q = small(ArimaConfig::kMaxOrder);
  order_.P = small(1);
  order_.D = small(1);
  order_.Q = small(1);
  order_.m = static_cast<int>(r.get_count(1, ArimaConfig::kMaxSeason));
  order_.constant = r.get_bool();
  ar_ = r.get_vector<double>();
  ma_ = r.get_vector<double>();
  sar_ = r.get_vector<double>();
  sma_ = r.get_vector<double>();
  mu_ = r.get<double>();
  sigma2_ = r.get<double>();
  aicc_ = r.get<double>();
  loc_ = r.get<double>();
  scale_ = r.get<double>();
  note_ = r.get_string();
  ring_ = r.get_vector<double>();
  a_ = r.get_vector<double>();
  P_ = r.get_vector<double>();
  steady_ = r.get_bool();
  steps_ = r.get_count(0, INT64_MAX);
  errors_.load(r);
  pending_at_ = r.get_vector<std::int64_t>();
  pending_ = r.get_vector<double>();
  if (r.version() >= 3) {
    variance_.load(r);
    calibration_.load(r);
  }  // older states use the fit's sigma2
  auto all_finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  const bool sizes =
      static_cast<int>(ar_.size()) == order_.p && static_cast<int>(ma_.size()) == order_.q &&
      static_cast<int>(sar_.size()) == order_.P && static_cast<int>(sma_.size()) == order_.Q &&
      ((order_.P || order_.Q) ? order_.m <= kMaxSeasonalTerms : true) &&
      (order_.m >= 2 || (order_.D == 0 && order_.P == 0 && order_.Q == 0)) &&
      (cfg_.differencing || (order_.d == 0 && order_.D == 0));
  if (!sizes) throw FormatError("arima state: inconsistent orders");
  if (!all_finite(ar_) || !all_finite(ma_) || !all_finite(sar_) || !all_finite(sma_) ||
      !std::isfinite(mu_) || !std::isfinite(sigma2_) || std::isnan(aicc_) || !std::isfinite(loc_) ||
      !(std::isfinite(scale_) && scale_ > 0.0)) {
    throw FormatError("arima state: non-finite coefficients");
  }
  if (!stationary(ar_) || !stationary(sar_) || !stationary(negate(ma_)) ||
      !stationary(negate(sma_))) {
    throw FormatError("arima state: coefficients outside the stationary/invertible region");
  }
  prepare();
  const std::size_t rr = static_cast<std::size_t>(r_) * r_;
  if (ring_.size() != delta_.size() || a_.size() != static_cast<std::size_t>(r_) ||
      P_.size() != rr || !all_finite(ring_) || !all_finite(a_) || !all_finite(P_) ||
      pending_at_.size() != pending_.size() || !all_finite(pending_) ||
      pending_.size() > static_cast<std::size_t>(cfg_.error_horizon_length) + 1) {
    throw FormatError("arima state: inconsistent filter state");
  }
  for (std::size_t i = 0; i < pending_at_.size(); ++i) {
    if (pending_at_[i] < steps_ || pending_at_[i] > steps_ + cfg_.error_horizon_length ||
        (i && pending_at_[i] <= pending_at_[i - 1])) {
      throw FormatError("arima state: inconsistent pending forecasts");
    }
  }
  fitted_ = true;
}

// ---------------------------------------------------------------------------------------------
// Builders.

namespace {

void read_common(OptionReader& o, ArimaConfig& c) {
  // min_training_data: a count; -1 (or a fraction left unresolved) lets the model choose.
  const double mtd = o.number("min_training_data", -1.0);
  if (mtd < 0.0 && mtd != -1.0) {
    o.fail("min_training_data", "must be -1 (automatic) or a positive count, got " + fmt(mtd));
  }
  if (mtd < 1.0) {
    c.min_training_data = -1;
  } else {
    if (mtd != std::floor(mtd)) o.fail("min_training_data", "must be an integer, got " + fmt(mtd));
    if (mtd > static_cast<double>(ArimaConfig::kMaxTraining)) {
      o.fail("min_training_data", "must be at most " + std::to_string(ArimaConfig::kMaxTraining));
    }
    c.min_training_data = static_cast<std::int64_t>(mtd);
  }
  c.p_min = o.integer("p_min", c.p_min);
  c.p_max = o.integer("p_max", std::max(c.p_max, c.p_min));
  c.q_min = o.integer("q_min", c.q_min);
  c.q_max = o.integer("q_max", std::max(c.q_max, c.q_min));
  c.force_model = o.flag("force_model", false);
  c.error_horizon_length = o.integer("error_horizon_length", 1);
  c.use_full_error_history = o.flag("use_full_error_history", false);
}

}  // namespace

std::unique_ptr<Model> build_arima(const Options& options) {
  OptionReader o("arima", options);
  ArimaConfig c;
  read_common(o, c);
  c.d = o.integer("d", -1);
  c.samples_per_season = o.integer("samples_per_season", 0);
  o.finish();
  return std::make_unique<Arima>(c);
}

std::unique_ptr<Model> build_arma(const Options& options) {
  OptionReader o("arma", options);
  ArimaConfig c;
  c.differencing = false;
  c.d = 0;
  read_common(o, c);
  if (o.has("d") && o.integer("d", 0) != 0) o.fail("d", "must be 0 for an ARMA model");
  o.finish();
  return std::make_unique<Arima>(c);
}

}  // namespace tarn
