#include "arima_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "info_criteria.hpp"
#include "state_space.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/optimize.hpp"

namespace tarn {
namespace arima_detail {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 6.283185307179586;
// Thread-local working memory larger than this many values is released after use.
constexpr std::size_t kKeptScratch = std::size_t{1} << 16;

// Whether every value is finite, by the exponent bits: adding one to an exponent of all ones
// carries into the top bit, which no other exponent reaches (integer operations only, so that
// the pass vectorises).
bool all_finite(const std::vector<double>& v) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL, kUnit = 0x0010000000000000ULL;
  std::uint64_t bad = 0;
  for (double x : v) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bad |= ((bits & kExponent) + kUnit) >> 63;
  }
  return bad == 0;
}

// Levenberg-Marquardt with the partial autocorrelations (the first `bounded` parameters) kept
// within the bound of pacf_to_coef.
LevenbergMarquardtOptions lm_options(int bounded, int max_iterations, double relative_tolerance,
                                     int max_evaluations = 0) {
  LevenbergMarquardtOptions opt;
  opt.max_iterations = max_iterations;
  opt.max_evaluations = max_evaluations;
  opt.relative_tolerance = relative_tolerance;
  opt.bounded = bounded;
  opt.bound = detail::kPacfBound;
  return opt;
}

}  // namespace

int budget(const Form& f) {
  const int k = f.count();
  return (k + 1) * (kBudgetIterations + kBudgetIterationsPerParameter * k);
}

namespace {

// Whether k doubles at a and b have the same bits (k = 0: yes; either pointer may then be null).
bool same_bits(const double* a, const double* b, std::size_t k) {
  return k == 0 || std::memcmp(a, b, k * sizeof(double)) == 0;
}

// The point a likelihood was last evaluated at, for the derivatives a fit asks for there next:
// matched by the series' and the parameters' bits and the form.
struct EvaluatedPoint {
  std::vector<double> w, x;
  Form form;
  bool valid = false;

  bool holds(const std::vector<double>& w_, const Form& f, const std::vector<double>& x_) const {
    return valid && f.key() == form.key() && f.m == form.m && w_.size() == w.size() &&
           x_.size() == x.size() && same_bits(w_.data(), w.data(), w.size()) &&
           same_bits(x_.data(), x.data(), x.size());
  }
  void keep(const std::vector<double>& w_, const Form& f, const std::vector<double>& x_) {
    w.assign(w_.begin(), w_.end());
    x.assign(x_.begin(), x_.end());
    form = f;
    valid = true;
  }
};

// The latest exact evaluation by the fast recursions, kept for the derivative in the constant.
struct ExactMemo : EvaluatedPoint {
  std::vector<double> res;
  Coefs c;
  StateSpace s;
  std::vector<double> P;
  double sumlog = 0.0, g = 1.0;
};

ExactMemo& exact_memo() {
  static thread_local ExactMemo memo;
  return memo;
}

}  // namespace

bool exact_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                     std::vector<double>& res, double* sumlog_out) {
  interruption_point(w.size());
  // (Kept between calls: a fit evaluates its model many times.)
  ExactMemo& memo = exact_memo();
  memo.valid = false;
  Coefs& c = memo.c;
  StateSpace& s = memo.s;
  unpack(f, x, c);
  state_space(c, f.m, s);
  std::vector<double>& P = memo.P;  // kept between the evaluations of a fit
  stationary_covariance(s, P);
  if (!all_finite(P)) return false;
  double sumlog = 0.0;
  // Without missing values, the fast recursions; the full filter otherwise.
  const bool complete = all_finite(w);
  if (complete && s.r >= 2 && fast_innovations(s, P, w, c.mu, res, sumlog)) {
    const double g = std::exp(sumlog / (2.0 * static_cast<double>(res.size())));
    for (double& v : res) v *= g;
    if (sumlog_out) *sumlog_out = sumlog;
    if (!std::isfinite(g)) return false;
    // Kept for the derivatives at this point (short series only: the copies are O(n)).
    if (w.size() <= kKeptScratch) {
      memo.res.assign(res.begin(), res.end());
      memo.sumlog = sumlog;
      memo.g = g;
      memo.keep(w, f, x);
    }
    return true;
  }
  bool steady = false;
  std::vector<double> a(static_cast<std::size_t>(s.r), 0.0), scratch;
  Filter filter(s.r, s.phi.data(), s.R.data(), a.data(), P.data(), steady, scratch);
  res.clear();
  sumlog = 0.0;
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

bool exact_jacobian(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                    std::vector<double>& J) {
  ExactMemo& memo = exact_memo();
  if (!memo.holds(w, f, x)) return false;
  const std::size_t n = memo.res.size();
  const int k = f.count();
  const auto ku = static_cast<std::size_t>(k);
  const int bounded = f.p + f.q + f.P + f.Q;
  // The coordinates differenced: all but the constant.
  const int differenced = f.constant ? k - 1 : k;
  // One recursion per differenced coordinate, at the point the optimiser's forward difference
  // would evaluate (its step, away from the bound), and one for the constant; they run in pairs
  // (fast_innovations' batch).
  struct Point {
    Coefs c;
    StateSpace s;
    std::vector<double> P, res;
    double h = 0.0;
  };
  static thread_local std::vector<Point> points;
  static thread_local std::vector<InnovationsTask> tasks;
  static thread_local std::vector<double> minus_one, column, xt;
  if (points.size() < static_cast<std::size_t>(differenced))
    points.resize(static_cast<std::size_t>(differenced));
  tasks.clear();
  for (int j = 0; j < differenced; ++j) {
    interruption_point(w.size());
    Point& pt = points[static_cast<std::size_t>(j)];
    xt = x;
    double h = 1e-6 * std::max(1.0, std::fabs(x[static_cast<std::size_t>(j)]));
    if (j < bounded && xt[static_cast<std::size_t>(j)] + h > detail::kPacfBound) h = -h;
    xt[static_cast<std::size_t>(j)] += h;
    pt.h = h;
    unpack(f, xt, pt.c);
    state_space(pt.c, f.m, pt.s);
    stationary_covariance(pt.s, pt.P);
    // (What exact_residuals would refuse or run through the full filter there, the caller's
    // own differences do.)
    if (!all_finite(pt.P) || pt.s.r != memo.s.r) return false;
    InnovationsTask task;
    task.s = &pt.s;
    task.P0 = &pt.P;
    task.w = &w;
    task.mu = pt.c.mu;
    task.out = &pt.res;
    tasks.push_back(task);
  }
  // The constant: the gains do not depend on it, and the innovations are linear in w - mu, so
  // d res / d mu is g times the standardised innovations of the series -1 through the same
  // recursions (the same variances: sum(log F) to the bit).
  if (f.constant) {
    minus_one.assign(w.size(), -1.0);
    InnovationsTask task;
    task.s = &memo.s;
    task.P0 = &memo.P;
    task.w = &minus_one;
    task.out = &column;
    tasks.push_back(task);
  }
  fast_innovations(tasks.data(), tasks.size());
  J.resize(n * ku);
  if (f.constant) {
    const InnovationsTask& task = tasks.back();
    if (!task.ok || column.size() != n || task.sumlog != memo.sumlog) return false;
    for (std::size_t t = 0; t < n; ++t) J[t * ku + ku - 1] = memo.g * column[t];
  }
  // The other coordinates by forward differences: the residuals there scaled as
  // exact_residuals scales them, less those at x, over the step.
  const std::vector<double>& base = memo.res;
  for (int j = 0; j < differenced; ++j) {
    const InnovationsTask& task = tasks[static_cast<std::size_t>(j)];
    if (!task.ok || task.out->size() != n) return false;
    const double g = std::exp(task.sumlog / (2.0 * static_cast<double>(n)));
    if (!std::isfinite(g)) return false;
    const Point& pt = points[static_cast<std::size_t>(j)];
    const double h = pt.h;
    for (std::size_t t = 0; t < n; ++t) {
      const double rt = pt.res[t] * g;
      J[t * ku + static_cast<std::size_t>(j)] = (rt - base[t]) / h;
    }
  }
  return true;
}

namespace {

// e[t] = z[t] - (ar[t] + sum theta_j e[t - j]) for t in [from, n), every lag reaching into the
// series, the MA terms in the order of their lags except the shortest, added last: the others
// read residuals of earlier steps, so only one product and two sums wait on the previous step.
// Unrolled when the number of terms is known at compile time (the same arithmetic either way).
template <int N>
void ma_errors_fixed(const std::vector<std::pair<int, double>>& theta, const double* z,
                     const double* ar, std::size_t from, std::size_t n, double* e) {
  std::size_t lag[N > 0 ? N : 1];
  double coef[N > 0 ? N : 1];
  for (int q = 0; q < N; ++q) {
    lag[q] = static_cast<std::size_t>(theta[static_cast<std::size_t>(q)].first);
    coef[q] = theta[static_cast<std::size_t>(q)].second;
  }
  for (std::size_t t = from; t < n; ++t) {
    double pred = ar[t];
    for (int q = 1; q < N; ++q) pred += coef[q] * e[t - lag[q]];
    if (N > 0) pred += coef[0] * e[t - lag[0]];
    e[t] = z[t] - pred;
  }
}

// The MA terms of step t added to base (the terms before the start of the series left out), in
// the order of ma_errors_fixed: by their lags, the shortest last.
double ma_part(const std::vector<std::pair<int, double>>& theta, const double* e, std::size_t t,
               double base = 0.0) {
  for (std::size_t q = 1; q < theta.size(); ++q)
    if (t >= static_cast<std::size_t>(theta[q].first))
      base += theta[q].second * e[t - theta[q].first];
  if (!theta.empty() && t >= static_cast<std::size_t>(theta[0].first))
    base += theta[0].second * e[t - theta[0].first];
  return base;
}

// The conditional residuals of a series z with no value missing (n values): e = 0 before t0,
// then e[t] = z[t] - pred with pred = sum phi_j z[t - j] + sum theta_j e[t - j], the AR sum in the
// order of its lags from zero, the MA terms as in ma_part (those before the start of the series
// left out). The AR
// part does not depend on e: it is summed for every step first (ar, one vectorised pass per
// term, each step's sum in the same order), so that only the MA part remains a recursion.
void css_errors(const double* z, std::size_t n, std::size_t t0,
                const std::vector<std::pair<int, double>>& phi,
                const std::vector<std::pair<int, double>>& theta, double* ar, double* e) {
  std::fill(e, e + std::min(t0, n), 0.0);
  for (std::size_t t = t0; t < n; ++t) ar[t] = 0.0;
  for (const auto& [j, v] : phi) {
    const double* zj = z - j;
    for (std::size_t t = t0; t < n; ++t) ar[t] += v * zj[t];
  }
  const std::size_t reach = theta.empty() ? 0 : static_cast<std::size_t>(theta.back().first);
  const std::size_t reached = std::min(n, std::max(t0, reach));
  for (std::size_t t = t0; t < reached; ++t) e[t] = z[t] - ma_part(theta, e, t, ar[t]);
  switch (theta.size()) {
    case 0:
      return ma_errors_fixed<0>(theta, z, ar, reached, n, e);
    case 1:
      return ma_errors_fixed<1>(theta, z, ar, reached, n, e);
    case 2:
      return ma_errors_fixed<2>(theta, z, ar, reached, n, e);
    case 3:
      return ma_errors_fixed<3>(theta, z, ar, reached, n, e);
    case 4:
      return ma_errors_fixed<4>(theta, z, ar, reached, n, e);
    case 5:
      return ma_errors_fixed<5>(theta, z, ar, reached, n, e);
    case 6:
      return ma_errors_fixed<6>(theta, z, ar, reached, n, e);
    case 7:
      return ma_errors_fixed<7>(theta, z, ar, reached, n, e);
    case 8:
      return ma_errors_fixed<8>(theta, z, ar, reached, n, e);
    default:
      break;
  }
  for (std::size_t t = reached; t < n; ++t) e[t] = z[t] - ma_part(theta, e, t, ar[t]);
}

// The conditional residuals of the latest complete series, kept for the derivatives: a fit
// asks for them at the point whose residuals it has just evaluated.
struct CssMemo : EvaluatedPoint {
  std::vector<double> z, e;

  void release() {
    valid = false;
    for (std::vector<double>* v : {&w, &x, &z, &e}) std::vector<double>().swap(*v);
  }
};

CssMemo& css_memo() {
  static thread_local CssMemo memo;
  return memo;
}

}  // namespace

bool css_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                   std::vector<double>& res, std::size_t count_from) {
  interruption_point(w.size());
  // (Kept between calls: a fit evaluates its model many times.)
  static thread_local Coefs c;
  static thread_local StateSpace s;
  unpack(f, x, c);
  state_space(c, f.m, s);
  const std::size_t n = w.size();
  const std::size_t t0 = static_cast<std::size_t>(s.np);
  // (Scratch kept between calls: a fit evaluates the residuals many times.)
  static thread_local std::vector<std::pair<int, double>> phi, theta;
  static thread_local std::vector<double> ar;
  CssMemo& memo = css_memo();
  memo.valid = false;
  std::vector<double>& z = memo.z;
  std::vector<double>& e = memo.e;
  phi.clear();
  theta.clear();
  for (int j = 0; j < s.np; ++j)
    if (s.phi[j] != 0.0) phi.emplace_back(j + 1, s.phi[j]);
  for (int j = 0; j < s.nq; ++j)
    if (s.R[j + 1] != 0.0) theta.emplace_back(j + 1, s.R[j + 1]);
  z.resize(n);
  bool complete = true;
  for (std::size_t t = 0; t < n; ++t) {
    z[t] = w[t] - c.mu;
    complete = complete && std::isfinite(z[t]);
  }
  res.resize(n);
  std::size_t kept = 0;
  if (complete) {
    e.resize(n);
    ar.resize(n);
    css_errors(z.data(), n, t0, phi, theta, ar.data(), e.data());
    for (std::size_t t = std::max(t0, count_from); t < n; ++t) res[kept++] = e[t];
    memo.keep(w, f, x);
  } else {
    // A missing value is replaced by its prediction, so the AR part is a recursion too.
    e.assign(n, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
      if (t < t0) {
        if (!std::isfinite(z[t])) z[t] = 0.0;
        continue;
      }
      double pred = 0.0;
      for (const auto& [j, v] : phi) pred += v * z[t - j];
      pred = ma_part(theta, e.data(), t, pred);
      if (!std::isfinite(z[t])) {
        z[t] = pred;
        continue;
      }
      e[t] = z[t] - pred;
      if (t >= count_from) res[kept++] = e[t];
    }
  }
  res.resize(kept);
  // The working memory of a long series is not kept for the thread's lifetime.
  if (n > kKeptScratch) {
    std::vector<double>().swap(ar);
    memo.release();
  }
  for (double v : res)
    if (!std::isfinite(v)) return false;
  return !res.empty();
}

namespace {

// d(coefficients)/du of pacf_to_coef over n values from u (n x n, row = coefficient), by
// central differences: the map costs O(n^2), no pass over the series. The partial
// autocorrelations are taken once (those of the point just evaluated, remembered); a difference
// changes one of them.
void pacf_jacobian(const double* u, int n, double sign, std::vector<double>& D) {
  D.assign(static_cast<std::size_t>(n) * n, 0.0);
  constexpr double bound = detail::kPacfBound;
  std::vector<double> a(static_cast<std::size_t>(n)), up, dn;
  for (int i = 0; i < n; ++i) a[i] = detail::remembered_tanh(std::clamp(u[i], -bound, bound));
  for (int i = 0; i < n; ++i) {
    const double hi = std::min(u[i] + 1e-5, bound);
    const double lo = std::max(u[i] - 1e-5, -bound);
    if (!(hi > lo)) continue;
    const double at = a[i];
    a[i] = std::tanh(std::clamp(hi, -bound, bound));
    detail::coef_from_pacf(a.data(), n, up);
    a[i] = std::tanh(std::clamp(lo, -bound, bound));
    detail::coef_from_pacf(a.data(), n, dn);
    a[i] = at;
    for (int j = 0; j < n; ++j)
      D[static_cast<std::size_t>(j) * n + i] = sign * (up[j] - dn[j]) / (hi - lo);
  }
}

}  // namespace

namespace {

// The source of one coefficient's derivative series: `source` delayed by `delay`, negated.
struct DerivativeSource {
  const double* source;
  std::size_t delay;
};

// The derivative series from step `from` (where every MA lag reaches into the series) to n:
// d_i[t] = -source_i[t - delay_i] - sum theta_j d_i[t - j], the MA terms in their order. With
// the number of MA terms known at compile time (a seasonal product has few) the terms unroll;
// the same arithmetic either way. (A seasonal product of MA orders q and Q has
// (q + 1) (Q + 1) - 1 terms.)
template <int N>
void filter_fixed(const std::vector<std::pair<int, double>>& theta, std::size_t from, std::size_t n,
                  const DerivativeSource* series, std::size_t ns, double* dd) {
  std::size_t lag[N];
  double coef[N];
  for (int q = 0; q < N; ++q) {
    lag[q] = static_cast<std::size_t>(theta[static_cast<std::size_t>(q)].first);
    coef[q] = theta[static_cast<std::size_t>(q)].second;
  }
  // Until the longest delay, a source may not have started yet.
  std::size_t delayed = from;
  for (std::size_t i = 0; i < ns; ++i) delayed = std::max(delayed, series[i].delay);
  delayed = std::min(delayed, n);
  for (std::size_t t = from; t < delayed; ++t) {
    for (std::size_t i = 0; i < ns; ++i) {
      double* d = dd + i * n;
      double v = t >= series[i].delay ? -series[i].source[t - series[i].delay] : 0.0;
      for (int q = 0; q < N; ++q) v -= coef[q] * d[t - lag[q]];
      d[t] = v;
    }
  }
  for (std::size_t t = delayed; t < n; ++t) {
    for (std::size_t i = 0; i < ns; ++i) {
      double* d = dd + i * n;
      double v = -series[i].source[t - series[i].delay];
      for (int q = 0; q < N; ++q) v -= coef[q] * d[t - lag[q]];
      d[t] = v;
    }
  }
}

void filter_derivatives(const std::vector<std::pair<int, double>>& theta, std::size_t from,
                        std::size_t n, const DerivativeSource* series, std::size_t ns, double* dd) {
  switch (theta.size()) {
    case 0:
      return filter_fixed<0>(theta, from, n, series, ns, dd);
    case 1:
      return filter_fixed<1>(theta, from, n, series, ns, dd);
    case 2:
      return filter_fixed<2>(theta, from, n, series, ns, dd);
    case 3:
      return filter_fixed<3>(theta, from, n, series, ns, dd);
    case 4:
      return filter_fixed<4>(theta, from, n, series, ns, dd);
    case 5:
      return filter_fixed<5>(theta, from, n, series, ns, dd);
    case 6:
      return filter_fixed<6>(theta, from, n, series, ns, dd);
    case 7:
      return filter_fixed<7>(theta, from, n, series, ns, dd);
    case 8:
      return filter_fixed<8>(theta, from, n, series, ns, dd);
    default:
      break;
  }
  for (std::size_t t = from; t < n; ++t) {
    for (std::size_t i = 0; i < ns; ++i) {
      double* d = dd + i * n;
      double v = t >= series[i].delay ? -series[i].source[t - series[i].delay] : 0.0;
      for (const auto& [j, th] : theta) v -= th * d[t - j];
      d[t] = v;
    }
  }
}

}  // namespace

bool css_jacobian(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                  std::vector<double>& J, std::size_t count_from) {
  const std::size_t n = w.size();
  if (!all_finite(w)) return false;
  const int k = f.count();
  // (Kept between calls: a fit evaluates its model many times.)
  static thread_local Coefs c;
  static thread_local StateSpace s;
  unpack(f, x, c);
  state_space(c, f.m, s);
  const int np = s.np, nq = s.nq, m = f.m;
  const std::size_t t0 = static_cast<std::size_t>(np);
  // Working memory kept between calls (a fit asks for the derivatives at every iteration).
  // Only the nonzero coefficients of the expanded polynomials take part: a seasonal product
  // has few of them, and a zero term adds nothing to a sum of finite values.
  static thread_local std::vector<std::pair<int, double>> phi, theta;
  phi.clear();
  theta.clear();
  for (int j = 0; j < np; ++j)
    if (s.phi[j] != 0.0) phi.emplace_back(j + 1, s.phi[j]);
  for (int j = 0; j < nq; ++j)
    if (s.R[j + 1] != 0.0) theta.emplace_back(j + 1, s.R[j + 1]);
  // From this step on every MA lag reaches back into the series.
  const std::size_t reach = theta.empty() ? 0 : static_cast<std::size_t>(theta.back().first);
  // The residuals: e_t = AR(B) SAR(B^m) z_t - sum theta*_j e_{t-j} from t0 on.
  // (Those of the latest residuals when they were at this point.)
  static thread_local std::vector<double> ar;
  CssMemo& memo = css_memo();
  if (!memo.holds(w, f, x)) {
    memo.z.resize(n);
    memo.e.resize(n);
    ar.resize(n);
    for (std::size_t t = 0; t < n; ++t) memo.z[t] = w[t] - c.mu;
    css_errors(memo.z.data(), n, t0, phi, theta, ar.data(), memo.e.data());
    memo.keep(w, f, x);
  }
  const std::vector<double>& z = memo.z;
  const std::vector<double>& e = memo.e;
  const std::size_t first = std::max(t0, count_from);
  if (first >= n) return false;
  const std::size_t rows = n - first;
  J.assign(rows * k, 0.0);
  // One factor applied to a series: (1 + sign * sum coef_j B^{lag j}) v, zero before index 0.
  auto apply = [n](const std::vector<double>& v, const std::vector<double>& coef, int lag,
                   double sign, std::vector<double>& out) {
    out.assign(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t j = 0; j < coef.size(); ++j) {
      const std::size_t shift = static_cast<std::size_t>(lag) * (j + 1);
      for (std::size_t t = shift; t < n; ++t) out[t] += sign * coef[j] * v[t - shift];
    }
  };
  // The derivative of e with respect to one factor coefficient: its source (the other factor
  // applied to z or e, delayed by the coefficient's lag, negated) through 1/theta*(B) from t0.
  // Every coefficient's recursion is independent of the others, so they all advance together,
  // one time step at a time (each with the arithmetic of its own pass).
  static thread_local std::vector<DerivativeSource> series;
  series.clear();
  // AR(B) = 1 - sum ar_j B^j, MA(B) = 1 + sum ma_j B^j (ma = -pacf), likewise seasonal.
  static thread_local std::vector<double> g_ar, g_ma, g_sar, g_sma, one, dd;
  apply(z, c.sar, m, -1.0, g_ar);
  // d e / d ma_j: source -(SMA(B^m) e)_{t-j}, the sign of d theta* / d ma_j being +1.
  apply(e, c.sma, m, 1.0, g_ma);
  apply(z, c.ar, 1, -1.0, g_sar);
  apply(e, c.ma, 1, 1.0, g_sma);
  auto add = [](int count, const std::vector<double>& g, int lag) {
    for (int j = 0; j < count; ++j)
      series.push_back({g.data(), static_cast<std::size_t>(lag) * static_cast<std::size_t>(j + 1)});
  };
  add(f.p, g_ar, 1);
  add(f.q, g_ma, 1);
  add(f.P, g_sar, m);
  add(f.Q, g_sma, m);
  if (f.constant) {
    double ar_sum = 1.0;
    for (int j = 0; j < np; ++j) ar_sum -= s.phi[j];
    one.assign(n, ar_sum);
    series.push_back({one.data(), 0});
  }
  const std::size_t ns = series.size();
  // dd[i * n + t]: the derivative series of coefficient i (zero before t0).
  // (Only the steps before t0 are read before they are written.)
  dd.resize(ns * n);
  for (std::size_t i = 0; i < ns; ++i) std::fill(&dd[i * n], &dd[i * n] + std::min(t0, n), 0.0);
  // Until every MA lag reaches back into the series, the terms before its start are skipped.
  const std::size_t reached = std::min(n, std::max(t0, reach));
  for (std::size_t t = t0; t < reached; ++t) {
    for (std::size_t i = 0; i < ns; ++i) {
      double* d = &dd[i * n];
      double v = t >= series[i].delay ? -series[i].source[t - series[i].delay] : 0.0;
      for (const auto& [j, th] : theta)
        if (t >= static_cast<std::size_t>(j)) v -= th * d[t - j];
      d[t] = v;
    }
  }
  filter_derivatives(theta, reached, n, series.data(), ns, dd.data());
  // Factor by factor: each coefficient's series chained through the coefficients' dependence
  // on the factor's own parameters (block Dj).
  std::vector<double> Dj;
  int offset = 0;
  std::size_t next = 0;  // the first series of the factor
  auto factor = [&](int count, double sign) {
    if (count == 0) return;
    pacf_jacobian(x.data() + offset, count, sign, Dj);
    for (int j = 0; j < count; ++j) {
      const double* d = &dd[(next + static_cast<std::size_t>(j)) * n];
      for (int i = 0; i < count; ++i) {
        const double wgt = Dj[static_cast<std::size_t>(j) * count + i];
        if (wgt == 0.0) continue;
        for (std::size_t t = first; t < n; ++t) J[(t - first) * k + offset + i] += wgt * d[t];
      }
    }
    offset += count;
    next += static_cast<std::size_t>(count);
  };
  factor(f.p, 1.0);
  factor(f.q, -1.0);
  factor(f.P, 1.0);
  factor(f.Q, -1.0);
  if (f.constant) {
    const double* d = &dd[next * n];
    for (std::size_t t = first; t < n; ++t) J[(t - first) * k + k - 1] = d[t];
  }
  // The working memory of a long series is not kept for the thread's lifetime.
  if (dd.capacity() > kKeptScratch) {
    for (std::vector<double>* v : {&ar, &g_ar, &g_ma, &g_sar, &g_sma, &one, &dd})
      std::vector<double>().swap(*v);
    memo.release();
  }
  return all_finite(J);
}

double aicc_of(double m2ll, int params, int n) {
  const int k = params + 1;  // and the innovation variance
  if (n - k - 1 <= 0) return kInf;
  return detail::aicc(m2ll, k, n);
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

Fit fit_css(const std::vector<double>& w, const Form& f, std::size_t count_from, bool check_roots,
            bool budgeted) {
  Fit fit;
  fit.form = f;
  const int nb = f.p + f.q + f.P + f.Q;
  ResidualFunction fn = [&](const std::vector<double>& x, std::vector<double>& r) {
    return css_residuals(w, f, x, r, count_from);
  };
  // Within the search an iteration that gains less than kSearchGain in -2 log likelihood
  // (n log of the sum of squares) ends the fit: far below what separates candidates by AICc.
  double tolerance = 1e-8;
  if (budgeted) {
    std::size_t nobs = 0;
    for (std::size_t t = count_from; t < w.size(); ++t) nobs += std::isfinite(w[t]) ? 1 : 0;
    if (nobs > 0) tolerance = std::max(tolerance, kSearchGain / static_cast<double>(nobs));
  }
  const JacobianFunction jac = [&](const std::vector<double>& x, std::vector<double>& J) {
    return css_jacobian(w, f, x, J, count_from);
  };
  const LeastSquaresResult lm = levenberg_marquardt(
      fn, start_values(f, w), lm_options(nb, 100, tolerance, budgeted ? budget(f) : 0), jac);
  // The optimiser evaluated the residuals at its result: lm.residuals of them, all finite (their
  // sum of squares is).
  if (!lm.ok || lm.residuals == 0) return fit;
  fit.x = lm.x;
  fit.nobs = static_cast<int>(lm.residuals);
  fit.sigma2 = lm.ssr / fit.nobs;
  fit.m2ll = fit.nobs * (std::log(kTwoPi * std::max(fit.sigma2, 1e-300)) + 1.0);
  fit.aicc = aicc_of(fit.m2ll, f.count(), fit.nobs);
  fit.ok = std::isfinite(fit.m2ll) && (!check_roots || roots_clear(f, fit.x));
  return fit;
}

Fit fit_exact(const std::vector<double>& w, const Form& f, const Fit& css, bool check_roots,
              bool budgeted, double gain) {
  const int nb = f.p + f.q + f.P + f.Q;
  std::vector<double> x0 = css.ok ? css.x : start_values(f, w);
  // Every point evaluated, with its sum(log F): the fit's result is one of them.
  std::vector<double> seen;
  const auto k = static_cast<std::size_t>(f.count());
  ResidualFunction fn = [&](const std::vector<double>& x, std::vector<double>& r) {
    double sumlog = 0.0;
    if (!exact_residuals(w, f, x, r, &sumlog)) return false;
    seen.insert(seen.end(), x.begin(), x.end());
    seen.push_back(sumlog);
    return true;
  };
  // Within the budget the fit also stops on the likelihood, as the search's fits do.
  double tolerance = 1e-7;
  if (budgeted) {
    std::size_t nobs = 0;
    for (double v : w) nobs += std::isfinite(v) ? 1 : 0;
    if (nobs > 0) tolerance = std::max(tolerance, gain / static_cast<double>(nobs));
  }
  // The derivatives from the evaluated point's recursions (exact_jacobian).
  const JacobianFunction jac = [&](const std::vector<double>& x, std::vector<double>& J) {
    return exact_jacobian(w, f, x, J);
  };
  const LeastSquaresResult lm =
      levenberg_marquardt(fn, x0, lm_options(nb, 50, tolerance, budgeted ? budget(f) : 0), jac);
  if (lm.ok) {
    // sum(log F) at the result, from its evaluation (matched by the parameters' bits; else
    // evaluated again).
    double sumlog = 0.0;
    std::size_t nobs = 0;
    for (std::size_t at = seen.size(); at >= k + 1 && nobs == 0; at -= k + 1) {
      if (same_bits(&seen[at - k - 1], lm.x.data(), k)) {
        sumlog = seen[at - 1];
        nobs = lm.residuals;
      }
    }
    std::vector<double> r;
    if (nobs == 0 && exact_residuals(w, f, lm.x, r, &sumlog)) nobs = r.size();
    if (nobs > 0) {
      Fit fit;
      fit.form = f;
      fit.x = lm.x;
      fit.exact = true;
      fit.nobs = static_cast<int>(nobs);
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

}  // namespace arima_detail
}  // namespace tarn
