// Nelder-Mead with a restart from its optimum; its path where points tie (infeasible points, a
// plateau) and where it stops on the spread of the points, pinned.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tarn/optimize.hpp"

namespace {

double rosenbrock(const std::vector<double>& x) {
  double s = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    s += 100.0 * a * a + b * b;
  }
  return s;
}

TEST(NelderMeadRestarted, KeepsTheBetterOfTheRunAndItsRestart) {
  tarn::NelderMeadOptions opt;
  opt.initial_step = 0.5;
  opt.x_tolerance = 1e-4;
  opt.f_tolerance = 1e-7;
  for (int budget : {60, 200, 1000}) {
    opt.max_evaluations = budget;
    const std::vector<double> x0 = {-1.2, 1.0, -0.5, 0.8};
    const tarn::OptimizeResult once = tarn::nelder_mead(rosenbrock, x0, opt);
    const tarn::OptimizeResult again = tarn::nelder_mead(rosenbrock, once.x, opt);
    const tarn::OptimizeResult r = tarn::nelder_mead_restarted(rosenbrock, x0, opt);
    EXPECT_LE(r.value, once.value);
    EXPECT_EQ(r.value, std::fmin(once.value, again.value));
    EXPECT_EQ(r.value, rosenbrock(r.x));
  }
  // Infeasible everywhere: the result stays infinite rather than a made-up optimum.
  const tarn::OptimizeResult none =
      tarn::nelder_mead_restarted([](const std::vector<double>&) { return NAN; }, {0.0, 1.0});
  EXPECT_TRUE(std::isinf(none.value));
}

TEST(EvaluationBudget, GrowsWithTheParametersAndBindsNelderMead) {
  EXPECT_EQ(tarn::evaluation_budget(1), 24);
  EXPECT_EQ(tarn::evaluation_budget(3), 64);
  EXPECT_EQ(tarn::evaluation_budget(5), 120);
  for (std::size_t k = 1; k < 12; ++k)
    EXPECT_LT(tarn::evaluation_budget(k), tarn::evaluation_budget(k + 1));
  // A run that would go on much longer stops within the budget (a shrink under way finishes:
  // at most k more evaluations), and still returns its best point.
  tarn::NelderMeadOptions opt;
  opt.x_tolerance = 0.0;
  opt.f_tolerance = 0.0;
  const std::vector<double> x0 = {-1.2, 1.0, -0.5, 0.8};
  opt.max_evaluations = tarn::evaluation_budget(x0.size());
  const tarn::OptimizeResult r = tarn::nelder_mead(rosenbrock, x0, opt);
  EXPECT_GE(r.evaluations, opt.max_evaluations);
  EXPECT_LE(r.evaluations, opt.max_evaluations + static_cast<int>(x0.size()));
  EXPECT_LT(r.value, rosenbrock(x0));
  EXPECT_EQ(r.value, rosenbrock(r.x));
}

TEST(NelderMead, TiesAndTheSpreadOfThePointsTakeThePinnedPath) {
  // The points are ordered by value with ties in index order, and the run stops once every
  // point lies within x_tolerance of the best: the number of evaluations pins the path (each
  // figure as the run gave it when the ordering was std::sort and the spread a running max).
  using V = std::vector<double>;
  const auto boxed = [](const V& x) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::fabs(x[i]) > 0.55) return std::numeric_limits<double>::infinity();
      s += (x[i] - 0.3) * (x[i] - 0.3) * static_cast<double>(i + 1);
    }
    return s;
  };
  const auto steps = [](const V& x) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i)
      s += std::floor(4.0 * std::fabs(x[i] - 0.1 * static_cast<double>(i)));
    return s + 0.01 * std::fabs(x[0]);
  };
  const tarn::OptimizeResult b = tarn::nelder_mead(boxed, {0.5, 0.5, 0.5, 0.5});
  EXPECT_EQ(b.evaluations, 222);
  EXPECT_NEAR(b.value, 9.746e-11, 1e-14);
  const tarn::OptimizeResult p = tarn::nelder_mead(steps, {1.0, -1.0, 2.0, 0.5, -0.5, 1.5});
  EXPECT_EQ(p.evaluations, 336);
  EXPECT_NEAR(p.value, 1.0, 1e-9);
  EXPECT_NEAR(p.x[5], 0.65441588427, 1e-9);
  tarn::NelderMeadOptions spread;
  spread.x_tolerance = 1e-3;
  spread.f_tolerance = 0.0;
  const tarn::OptimizeResult r = tarn::nelder_mead(rosenbrock, {-1.2, 1.0}, spread);
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.evaluations, 191);
  EXPECT_NEAR(r.value, 1.1928e-08, 1e-12);
}

}  // namespace
