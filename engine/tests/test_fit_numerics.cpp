// Numeric kernels the estimators share: Levenberg-Marquardt, the Cholesky solver and its
// singularity rules, and the map from partial autocorrelations to stationary coefficients.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "../src/arima_polynomial.hpp"
#include "../src/linalg.hpp"
#include "tarn/optimize.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// y = a exp(-b t) on t = 0..19, exactly.
std::vector<double> decay(double a, double b) {
  std::vector<double> y(20);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] = a * std::exp(-b * static_cast<double>(t));
  return y;
}

tarn::ResidualFunction decay_residuals(const std::vector<double>& y) {
  return [y](const std::vector<double>& x, std::vector<double>& r) {
    r.resize(y.size());
    for (std::size_t t = 0; t < y.size(); ++t)
      r[t] = x[0] * std::exp(-x[1] * static_cast<double>(t)) - y[t];
    return true;
  };
}

TEST(LevenbergMarquardt, FitsNonlinearLeastSquares) {
  const auto fn = decay_residuals(decay(3.0, 0.2));
  const tarn::LeastSquaresResult r = tarn::levenberg_marquardt(fn, {1.0, 0.5});
  ASSERT_TRUE(r.ok);
  EXPECT_NEAR(r.x[0], 3.0, 1e-5);
  EXPECT_NEAR(r.x[1], 0.2, 1e-6);
  EXPECT_LT(r.ssr, 1e-10);
}

TEST(LevenbergMarquardt, KeepsBoundedCoordinatesInsideAndNeverWorsens) {
  // The unconstrained optimum has b = 0.2; with b bounded to [-0.1, 0.1] (b is the first
  // coordinate here) the fit ends on the bound and no worse than its clamped start.
  const std::vector<double> y = decay(3.0, 0.2);
  tarn::ResidualFunction fn = [&y](const std::vector<double>& x, std::vector<double>& r) {
    r.resize(y.size());
    for (std::size_t t = 0; t < y.size(); ++t)
      r[t] = x[1] * std::exp(-x[0] * static_cast<double>(t)) - y[t];
    return true;
  };
  tarn::LevenbergMarquardtOptions opt;
  opt.bounded = 1;
  opt.bound = 0.1;
  const std::vector<double> start{5.0, 1.0};  // b clamped to 0.1 before the first evaluation
  const tarn::LeastSquaresResult r = tarn::levenberg_marquardt(fn, start, opt);
  ASSERT_TRUE(r.ok);
  EXPECT_LE(r.x[0], 0.1);
  EXPECT_GE(r.x[0], -0.1);
  EXPECT_NEAR(r.x[0], 0.1, 1e-3);
  std::vector<double> r0;
  fn({0.1, 1.0}, r0);
  double ssr0 = 0.0;
  for (double v : r0) ssr0 += v * v;
  EXPECT_LE(r.ssr, ssr0);
}

TEST(LevenbergMarquardt, ReportsAnInfeasibleStartAndStopsAtInfeasiblePoints) {
  tarn::ResidualFunction never = [](const std::vector<double>&, std::vector<double>&) {
    return false;
  };
  EXPECT_FALSE(tarn::levenberg_marquardt(never, {1.0}).ok);
  // Feasible only at the start: the start comes back unchanged.
  tarn::ResidualFunction only_start = [](const std::vector<double>& x, std::vector<double>& r) {
    r.assign(1, x[0] - 4.0);
    return x[0] == 1.0;
  };
  const tarn::LeastSquaresResult r = tarn::levenberg_marquardt(only_start, {1.0});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.x[0], 1.0);
  EXPECT_EQ(r.ssr, 9.0);
}

TEST(Cholesky, SolvesAndAppliesEachSingularityRule) {
  using tarn::detail::cholesky_solve;
  using tarn::detail::CholeskyChecks;
  // [[4, 2], [2, 3]] x = [2, 1]: x = [0.5, 0]; only the lower triangle is read.
  std::vector<double> a{4.0, -99.0, 2.0, 3.0}, b{2.0, 1.0};
  ASSERT_TRUE(cholesky_solve(a.data(), b.data(), 2, CholeskyChecks{}));
  EXPECT_DOUBLE_EQ(b[0], 0.5);
  EXPECT_DOUBLE_EQ(b[1], 0.0);
  // Not positive definite, NaN pivot: singular under every rule.
  a = {1.0, 0.0, 2.0, 1.0};
  b = {1.0, 1.0};
  EXPECT_FALSE(cholesky_solve(a.data(), b.data(), 2, CholeskyChecks{}));
  a = {std::nan(""), 0.0, 0.0, 1.0};
  EXPECT_FALSE(cholesky_solve(a.data(), b.data(), 2, CholeskyChecks{}));
  // An infinite pivot is singular only when finite pivots are asked for.
  CholeskyChecks finite_pivots;
  finite_pivots.finite_pivots = true;
  a = {kInf, 0.0, 0.0, 1.0};
  b = {1.0, 1.0};
  EXPECT_TRUE(cholesky_solve(a.data(), b.data(), 2, CholeskyChecks{}));
  EXPECT_EQ(b[0], 0.0);
  a = {kInf, 0.0, 0.0, 1.0};
  EXPECT_FALSE(cholesky_solve(a.data(), b.data(), 2, finite_pivots));
  // A solution that overflows fails only when a finite solution is asked for.
  CholeskyChecks finite_solution;
  finite_solution.finite_solution = true;
  a = {1e-300, 0.0, 0.0, 1.0};
  b = {1e300, 1.0};
  EXPECT_TRUE(cholesky_solve(a.data(), b.data(), 2, CholeskyChecks{}));
  EXPECT_FALSE(std::isfinite(b[0]));
  a = {1e-300, 0.0, 0.0, 1.0};
  b = {1e300, 1.0};
  EXPECT_FALSE(cholesky_solve(a.data(), b.data(), 2, finite_solution));
}

TEST(Cholesky, OverlappedSubstitutionGivesTheSameBitsAndFailures) {
  // The solve of the seasonal initial states takes the first substitution along the
  // factorisation: it must give cholesky_solve's factor and solution to the bit, and fail
  // where it fails, on well and badly conditioned systems, nearly dependent columns (the
  // pivot-ratio rule) and indefinite ones, of every size up to a long season's.
  using tarn::detail::cholesky_solve;
  using tarn::detail::cholesky_solve_overlapped;
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  tarn::detail::CholeskyChecks checks;
  checks.finite_pivots = true;
  checks.finite_solution = true;
  checks.min_pivot_ratio = 1e-12;
  int failures = 0;
  for (std::size_t k = 1; k <= 25; ++k) {
    for (int kind = 0; kind < 4; ++kind) {
      // A Gram matrix of k random columns of 40 values (kind 1: one column nearly a copy
      // of another; kind 2: the diagonal lowered so that it is indefinite; kind 3: columns on
      // scales from 1e-6 to 1e6).
      std::vector<double> c(k * 40);
      for (double& v : c) v = noise(rng);
      if (kind == 1 && k > 1) {
        for (std::size_t t = 0; t < 40; ++t) c[(k - 1) * 40 + t] = c[t] * (1.0 + 1e-9);
      }
      std::vector<double> a(k * k), b(k);
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
          double g = 0.0;
          for (std::size_t t = 0; t < 40; ++t) {
            const double ci = c[i * 40 + t] * (kind == 3 ? std::pow(10.0, i % 13 - 6.0) : 1.0);
            const double cj = c[j * 40 + t] * (kind == 3 ? std::pow(10.0, j % 13 - 6.0) : 1.0);
            g += ci * cj;
          }
          a[i * k + j] = g;
        }
        b[i] = noise(rng);
      }
      if (kind == 2) a[(k - 1) * k + k - 1] = -1.0;
      std::vector<double> a1 = a, b1 = b, a2 = a, b2 = b;
      const bool ok1 = cholesky_solve(a1.data(), b1.data(), k, checks);
      const bool ok2 = cholesky_solve_overlapped(a2.data(), b2.data(), k, checks);
      ASSERT_EQ(ok1, ok2) << "k " << k << " kind " << kind;
      failures += ok1 ? 0 : 1;
      if (!ok1) continue;
      for (std::size_t i = 0; i < k; ++i) {
        ASSERT_EQ(b1[i], b2[i]) << "k " << k << " kind " << kind << " i " << i;
        for (std::size_t j = 0; j <= i; ++j) ASSERT_EQ(a1[i * k + j], a2[i * k + j]);
      }
    }
  }
  EXPECT_GE(failures, 49);  // the indefinite and the nearly dependent ones: both rules ran
}

TEST(Cholesky, RidgedSolveLeavesTheOutputOnSingularSystems) {
  std::vector<double> x{7.0};
  // Negative semi-definite: the ridge cannot rescue it, x stays as it was.
  EXPECT_FALSE(tarn::detail::solve_spd({-1.0, 0.0, 0.0, -1.0}, {1.0, 1.0}, 2, x));
  EXPECT_EQ(x, std::vector<double>{7.0});
  // Rank one: the ridge makes it solvable.
  ASSERT_TRUE(tarn::detail::solve_spd({1.0, 1.0, 1.0, 1.0}, {2.0, 2.0}, 2, x));
  EXPECT_NEAR(x[0] + x[1], 2.0, 1e-6);
}

TEST(PartialAutocorrelations, MapToStationaryCoefficientsAndBack) {
  using tarn::detail::coef_to_pacf;
  using tarn::detail::pacf_to_coef;
  using tarn::detail::stationary;
  const std::vector<double> u{0.4, -1.3, 2.0};
  std::vector<double> c, back;
  pacf_to_coef(u.data(), 3, c);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_TRUE(stationary(c));
  ASSERT_TRUE(coef_to_pacf(c, back));
  for (std::size_t k = 0; k < u.size(); ++k) EXPECT_NEAR(back[k], u[k], 1e-12);
  // AR(1): the coefficient is the partial autocorrelation itself.
  pacf_to_coef(u.data(), 1, c);
  EXPECT_DOUBLE_EQ(c[0], std::tanh(0.4));
  // Beyond the bound the values are clamped, so the roots stay off the unit circle.
  const std::vector<double> huge{50.0, -50.0};
  pacf_to_coef(huge.data(), 2, c);
  EXPECT_TRUE(stationary(c));
  EXPECT_DOUBLE_EQ(c[1], std::tanh(-tarn::detail::kPacfBound));
  // A scale below one bounds the partial autocorrelations instead (no clamp).
  pacf_to_coef(huge.data(), 2, c, 0.98, kInf);
  EXPECT_DOUBLE_EQ(c[1], -0.98);
  EXPECT_TRUE(stationary(c));
  // A unit root is not stationary.
  EXPECT_FALSE(stationary({1.0}));
  EXPECT_FALSE(stationary({0.5, 0.5}));
}

}  // namespace
