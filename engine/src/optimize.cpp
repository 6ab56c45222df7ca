#include "tarn/optimize.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "linalg.hpp"
#include "tarn/interrupt.hpp"

namespace tarn {

namespace {
double finite_or_inf(double v) {
  return std::isfinite(v) ? v : std::numeric_limits<double>::infinity();
}
}  // namespace

OptimizeResult nelder_mead(const std::function<double(const std::vector<double>&)>& f,
                           std::vector<double> x0, const NelderMeadOptions& opt) {
  const std::size_t n = x0.size();
  OptimizeResult res;
  if (n == 0) {
    res.x = x0;
    res.value = finite_or_inf(f(x0));
    res.evaluations = 1;
    res.converged = true;
    return res;
  }
  std::vector<std::vector<double>> pts(n + 1, x0);
  std::vector<double> vals(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    const double step = x0[i] != 0.0 ? opt.initial_step * std::fabs(x0[i]) : opt.initial_step;
    pts[i + 1][i] += step;
  }
  int evals = 0;
  auto eval = [&](const std::vector<double>& x) {
    ++evals;
    interruption_point(x.size());
    return finite_or_inf(f(x));
  };
  for (std::size_t i = 0; i <= n; ++i) vals[i] = eval(pts[i]);

  std::vector<std::size_t> order(n + 1);
  std::vector<double> centroid(n), xr(n), xe(n), xc(n);
  const auto by_value = [&](std::size_t a, std::size_t b) { return vals[a] < vals[b]; };
  while (evals < opt.max_evaluations) {
    std::iota(order.begin(), order.end(), 0);
    if (n + 1 <= 16) {
      // What std::sort does with so few (libstdc++: an insertion sort, which keeps ties in
      // index order), without the call.
      for (std::size_t i = 1; i <= n; ++i) {
        const std::size_t v = order[i];
        std::size_t j = i;
        for (; j > 0 && by_value(v, order[j - 1]); --j) order[j] = order[j - 1];
        order[j] = v;
      }
    } else {
      std::sort(order.begin(), order.end(), by_value);
    }
    const std::size_t best = order.front(), worst = order.back(), second = order[n - 1];

    // Whether every point lies within x_tolerance of the best in every coordinate (a NaN
    // coordinate does not count, as std::max passes over it): the first one beyond settles it.
    bool within = true;
    const std::vector<double>& pb = pts[best];
    for (std::size_t i = 0; i <= n && within; ++i) {
      const std::vector<double>& pi = pts[i];
      for (std::size_t j = 0; j < n; ++j) {
        if (std::fabs(pi[j] - pb[j]) > opt.x_tolerance) {
          within = false;
          break;
        }
      }
    }
    const double fspread = std::fabs(vals[worst] - vals[best]);
    if (within || (std::isfinite(vals[worst]) && fspread <= opt.f_tolerance)) {
      res.converged = true;
      break;
    }

    std::fill(centroid.begin(), centroid.end(), 0.0);
    for (std::size_t i = 0; i <= n; ++i) {
      if (i == worst) continue;
      for (std::size_t j = 0; j < n; ++j) centroid[j] += pts[i][j] / static_cast<double>(n);
    }
    for (std::size_t j = 0; j < n; ++j) xr[j] = centroid[j] + (centroid[j] - pts[worst][j]);
    const double fr = eval(xr);
    if (fr < vals[best]) {
      for (std::size_t j = 0; j < n; ++j) xe[j] = centroid[j] + 2.0 * (centroid[j] - pts[worst][j]);
      const double fe = eval(xe);
      if (fe < fr) {
        pts[worst] = xe;
        vals[worst] = fe;
      } else {
        pts[worst] = xr;
        vals[worst] = fr;
      }
      continue;
    }
    if (fr < vals[second]) {
      pts[worst] = xr;
      vals[worst] = fr;
      continue;
    }
    const bool outside = fr < vals[worst];
    for (std::size_t j = 0; j < n; ++j) {
      xc[j] = outside ? centroid[j] + 0.5 * (xr[j] - centroid[j])
                      : centroid[j] + 0.5 * (pts[worst][j] - centroid[j]);
    }
    const double fc = eval(xc);
    if (fc < (outside ? fr : vals[worst])) {
      pts[worst] = xc;
      vals[worst] = fc;
      continue;
    }
    // Shrink towards the best point.
    for (std::size_t i = 0; i <= n; ++i) {
      if (i == best) continue;
      for (std::size_t j = 0; j < n; ++j)
        pts[i][j] = pts[best][j] + 0.5 * (pts[i][j] - pts[best][j]);
      vals[i] = eval(pts[i]);
    }
  }
  const std::size_t best =
      static_cast<std::size_t>(std::min_element(vals.begin(), vals.end()) - vals.begin());
  res.x = pts[best];
  res.value = vals[best];
  res.evaluations = evals;
  return res;
}

// ---------------------------------------------------------------------------------------------
// Levenberg-Marquardt.

namespace {

// J'r and the lower triangle of J'J (k x k, row major) of the n x k matrix J, in one pass over
// its rows: every sum starts at zero and runs over t in order, the k (k + 3) / 2 independent
// sums advancing side by side. With the width known at compile time the sums stay in registers
// and the loops unroll; the same arithmetic either way.
template <int K>
void normal_sums_of(const double* J, const double* r, std::size_t n, double* gsum, double* JtJ) {
  double g[K] = {};
  double a[K * (K + 1) / 2] = {};
  for (std::size_t t = 0; t < n; ++t) {
    const double* row = J + t * K;
    const double rt = r[t];
    int at = 0;
#pragma GCC unroll 8
    for (int i = 0; i < K; ++i) {
      const double ji = row[i];
      g[i] += ji * rt;
#pragma GCC unroll 8
      for (int j = 0; j <= i; ++j) a[at++] += ji * row[j];
    }
  }
  int at = 0;
  for (int i = 0; i < K; ++i) {
    gsum[i] = g[i];
    for (int j = 0; j <= i; ++j) JtJ[i * K + j] = a[at++];
  }
}

void normal_sums(const double* J, const double* r, std::size_t n, int k, double* gsum,
                 double* JtJ) {
  switch (k) {
    case 1:
      return normal_sums_of<1>(J, r, n, gsum, JtJ);
    case 2:
      return normal_sums_of<2>(J, r, n, gsum, JtJ);
    case 3:
      return normal_sums_of<3>(J, r, n, gsum, JtJ);
    case 4:
      return normal_sums_of<4>(J, r, n, gsum, JtJ);
    case 5:
      return normal_sums_of<5>(J, r, n, gsum, JtJ);
    case 6:
      return normal_sums_of<6>(J, r, n, gsum, JtJ);
    case 7:
      return normal_sums_of<7>(J, r, n, gsum, JtJ);
    case 8:
      return normal_sums_of<8>(J, r, n, gsum, JtJ);
    default:
      break;
  }
  std::fill(gsum, gsum + k, 0.0);
  std::fill(JtJ, JtJ + static_cast<std::size_t>(k) * k, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    const double* row = J + t * k;
    for (int i = 0; i < k; ++i) {
      const double ji = row[i];
      gsum[i] += ji * r[t];
      double* out = JtJ + static_cast<std::size_t>(i) * k;
      for (int j = 0; j <= i; ++j) out[j] += ji * row[j];
    }
  }
}

double sum_sq(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}
}  // namespace

LeastSquaresResult levenberg_marquardt(const ResidualFunction& fn, std::vector<double> x,
                                       const LevenbergMarquardtOptions& opt,
                                       const JacobianFunction& jacobian) {
  const int n_bounded = opt.bounded;
  const double bound = opt.bound;
  const int max_iter = opt.max_iterations;
  const double rel_tol = opt.relative_tolerance;
  LeastSquaresResult out;
  int& evals = out.evaluations;
  const ResidualFunction counted = [&fn, &evals](const std::vector<double>& at,
                                                 std::vector<double>& res) {
    ++evals;
    return fn(at, res);
  };
  const int k = static_cast<int>(x.size());
  auto clamp_x = [n_bounded, bound](std::vector<double>& v) {
    for (int i = 0; i < n_bounded; ++i) v[i] = std::clamp(v[i], -bound, bound);
  };
  clamp_x(x);
  std::vector<double> r, rt;
  if (!counted(x, r)) return out;
  double ssr = sum_sq(r);
  if (!std::isfinite(ssr)) return out;
  out.x = x;
  out.ssr = ssr;
  out.ok = true;
  out.residuals = r.size();
  if (k == 0 || ssr == 0.0) return out;
  const std::size_t n = r.size();
  std::vector<double> J(n * k), JtJ(static_cast<std::size_t>(k) * k), A, g(k), gsum(k), delta,
      xt(k);
  double lambda = 1e-3;
  for (int iter = 0; iter < max_iter; ++iter) {
    if (opt.max_evaluations > 0 && evals >= opt.max_evaluations) break;
    interruption_point(static_cast<std::size_t>(k) + 1);
    // The caller's Jacobian, else forward differences.
    bool jac_ok = true;
    const bool analytic = jacobian && jacobian(x, J) && J.size() == n * k;
    if (analytic) evals += k;
    if (!analytic) J.resize(n * k);
    for (int j = 0; j < k && jac_ok && !analytic; ++j) {
      xt = x;
      double h = 1e-6 * std::max(1.0, std::fabs(x[j]));
      if (j < n_bounded && xt[j] + h > bound) h = -h;
      xt[j] += h;
      if (!counted(xt, rt) || rt.size() != n) {
        jac_ok = false;
        break;
      }
      for (std::size_t t = 0; t < n; ++t) J[t * k + j] = (rt[t] - r[t]) / h;
    }
    if (!jac_ok) break;
    // J'r and J'J in one pass over the rows (normal_sums).
    normal_sums(J.data(), r.data(), n, k, gsum.data(), JtJ.data());
    for (int i = 0; i < k; ++i) {
      g[i] = -gsum[i];
      for (int j = 0; j < i; ++j) JtJ[j * k + i] = JtJ[i * k + j];
    }
    bool accepted = false;
    double new_ssr = ssr;
    for (int attempt = 0; attempt < 12 && !accepted; ++attempt) {
      A = JtJ;
      for (int i = 0; i < k; ++i) A[i * k + i] += lambda * (JtJ[i * k + i] + 1e-9);
      delta = g;
      if (!detail::cholesky_solve_sized(A.data(), delta.data(), static_cast<std::size_t>(k), {})) {
        lambda *= 10.0;
        continue;
      }
      for (int i = 0; i < k; ++i) xt[i] = x[i] + delta[i];
      clamp_x(xt);
      if (counted(xt, rt) && rt.size() == n) {
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

int evaluation_budget(std::size_t k) {
  const int n = static_cast<int>(std::min<std::size_t>(k, 1000));
  return (n + 1) * (10 + 2 * n);
}

double to_bounded(double u, double lo, double hi) {
  return lo + (hi - lo) / (1.0 + std::exp(-u));
}

double from_bounded(double x, double lo, double hi) {
  double p = (x - lo) / (hi - lo);
  p = std::min(std::max(p, 1e-12), 1.0 - 1e-12);
  return std::log(p / (1.0 - p));
}

}  // namespace tarn

namespace tarn {

OptimizeResult nelder_mead_restarted(const std::function<double(const std::vector<double>&)>& f,
                                     const std::vector<double>& x0, const NelderMeadOptions& opt) {
  OptimizeResult first = nelder_mead(f, x0, opt);
  OptimizeResult second = nelder_mead(f, first.x, opt);
  return second.value < first.value ? second : first;
}

}  // namespace tarn
