// Derivative-free minimisation (Nelder-Mead) used to estimate model parameters.
#pragma once

#include <functional>
#include <limits>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct OptimizeResult {
  std::vector<double> x;
  double value = 0.0;
  int evaluations = 0;
  bool converged = false;
};

struct NelderMeadOptions {
  int max_evaluations = 2000;
  double x_tolerance = 1e-8;
  double f_tolerance = 1e-10;
  double initial_step = 0.1;  // relative size of the initial simplex along each axis
};

// Evaluations granted to one estimate of k free parameters: (k + 1) (10 + 2 k), the cost of
// 10 + 2 k full iterations of a method that spends k + 1 evaluations per iteration (a
// forward-difference Jacobian, a simplex). Estimators that are run many times over one sample
// (the candidates of a model search) use it so that no single sample's cost runs away.
int evaluation_budget(std::size_t k);

// Minimises f over R^n from x0. Non-finite objective values are treated as +infinity, so a
// caller can reject infeasible points by returning NaN or infinity. Parameters with bounds
// are best mapped to R^n by the caller (for example with a logistic transform).
OptimizeResult nelder_mead(const std::function<double(const std::vector<double>&)>& f,
                           std::vector<double> x0, const NelderMeadOptions& opt = {});

// Levenberg-Marquardt for nonlinear least squares: minimises the sum of squared residuals
// r(x), with the caller's Jacobian when it gives one and forward differences otherwise.

// Fills r with the residuals at x and returns true, or returns false when x is infeasible. A
// point that gives a different number of residuals than the start counts as infeasible.
using ResidualFunction = std::function<bool(const std::vector<double>&, std::vector<double>&)>;

// Fills J (row major, one row per residual, one column per coordinate) with the derivatives of
// the residuals at x, or returns false (the optimiser then takes forward differences).
using JacobianFunction = std::function<bool(const std::vector<double>&, std::vector<double>&)>;

struct LevenbergMarquardtOptions {
  int max_iterations = 100;
  // Stops once an iteration lowers the sum of squares by at most this share of it.
  double relative_tolerance = 1e-8;
  // The first `bounded` coordinates are kept in [-bound, bound] (the start included).
  int bounded = 0;
  double bound = 0.0;
  // Above 0: no new iteration starts once this many evaluations of r are spent (an iteration
  // costs one per coordinate for the Jacobian plus one per attempted step). A Jacobian from the
  // caller is charged as many, so the budget bounds the iterations either way.
  int max_evaluations = 0;
};

struct LeastSquaresResult {
  std::vector<double> x;
  double ssr = std::numeric_limits<double>::infinity();  // sum of squared residuals at x
  bool ok = false;            // false: no finite residuals at the (clamped) start
  int evaluations = 0;        // evaluations of r spent
  std::size_t residuals = 0;  // how many residuals r gives (at x as at every point it accepted)
};

// Starts from x0 (clamped to the bounds) and returns the best point reached: a step is taken
// only when it lowers the sum of squares, so the result is never worse than the start.
LeastSquaresResult levenberg_marquardt(const ResidualFunction& f, std::vector<double> x0,
                                       const LevenbergMarquardtOptions& opt = {},
                                       const JacobianFunction& jacobian = {});

// Logistic map of an unbounded value into (lo, hi) and its inverse.
double to_bounded(double u, double lo, double hi);
double from_bounded(double x, double lo, double hi);

}  // namespace tarn

#pragma GCC visibility pop

#pragma GCC visibility push(default)

namespace tarn {

// Nelder-Mead from x0, then once more from the optimum found: the fresh simplex around it
// escapes most premature collapses of the first. Returns the better of the two results.
OptimizeResult nelder_mead_restarted(const std::function<double(const std::vector<double>&)>& f,
                                     const std::vector<double>& x0,
                                     const NelderMeadOptions& opt = {});

}  // namespace tarn

#pragma GCC visibility pop
