#include "tarn/optimize.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

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
    return finite_or_inf(f(x));
  };
  for (std::size_t i = 0; i <= n; ++i) vals[i] = eval(pts[i]);

  std::vector<std::size_t> order(n + 1);
  std::vector<double> centroid(n), xr(n), xe(n), xc(n);
  while (evals < opt.max_evaluations) {
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return vals[a] < vals[b]; });
    const std::size_t best = order.front(), worst = order.back(), second = order[n - 1];

    double xspread = 0.0;
    for (std::size_t i = 0; i <= n; ++i) {
      for (std::size_t j = 0; j < n; ++j)
        xspread = std::max(xspread, std::fabs(pts[i][j] - pts[best][j]));
    }
    const double fspread = std::fabs(vals[worst] - vals[best]);
    if (xspread <= opt.x_tolerance || (std::isfinite(vals[worst]) && fspread <= opt.f_tolerance)) {
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
