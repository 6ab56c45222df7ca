// The exact likelihood's derivatives: the constant's column from the evaluated point's
// recursions equals differences in the constant, the other columns are the optimiser's own
// forward differences to the bit (their recursions run in pairs), they are given only at the
// point last evaluated by the fast recursions, and fits that use them reach the optimum of plain
// differences. A fit's statistics come from the optimiser's own evaluation of its result, as
// from evaluating it again.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "../src/arima_likelihood.hpp"
#include "tarn/optimize.hpp"

namespace {

using tarn::arima_detail::exact_jacobian;
using tarn::arima_detail::exact_residuals;
using tarn::arima_detail::Form;

std::vector<double> seasonal_arma(std::size_t n, int m, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> w(n), e(n);
  const auto mu = static_cast<std::size_t>(m);
  for (std::size_t t = 0; t < n; ++t) {
    e[t] = noise(rng);
    w[t] = 0.7 + e[t] + (t >= 1 ? 0.5 * w[t - 1] + 0.3 * e[t - 1] : 0.0) +
           (t >= mu ? 0.3 * w[t - mu] - 0.2 * e[t - mu] : 0.0);
  }
  return w;
}

// Noise differenced at the season: its seasonal moving average sits on the unit circle.
std::vector<double> over_differenced(std::size_t n, int m, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const auto mu = static_cast<std::size_t>(m);
  std::vector<double> u(n + mu), w(n);
  for (double& v : u) v = noise(rng);
  for (std::size_t t = 0; t < n; ++t) w[t] = u[t + mu] - u[t];
  return w;
}

Form form(int p, int q, int P, int Q, int m, bool constant) {
  Form f;
  f.p = p, f.q = q, f.P = P, f.Q = Q, f.m = m, f.constant = constant;
  return f;
}

std::vector<double> point(const Form& f) {
  std::vector<double> x(static_cast<std::size_t>(f.count()));
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.3 - 0.17 * static_cast<double>(i);
  x.back() = 0.5;
  return x;
}

TEST(ExactJacobian, ConstantColumnByRecursionOthersByForwardDifferences) {
  // States of 2 to 14 entries: fixed sizes (quarterly, monthly) and one known at run time only
  // (a state of one entry runs the full filter); an odd and an even number of columns
  // differenced (the recursions run in pairs), with and without a constant, one coordinate at
  // the bound (stepped away from it).
  const std::vector<Form> forms = {
      form(1, 1, 0, 0, 1, true),   form(2, 2, 0, 0, 1, true),  form(1, 1, 1, 1, 4, true),
      form(0, 3, 1, 2, 4, true),   form(1, 1, 0, 1, 12, true), form(2, 0, 1, 0, 12, true),
      form(2, 9, 0, 0, 1, true),   form(1, 1, 1, 1, 4, false), form(0, 3, 1, 2, 4, false),
      form(2, 0, 1, 0, 12, false), form(2, 9, 0, 0, 1, false), form(1, 0, 0, 1, 4, false)};
  for (const Form& f : forms) {
    const std::vector<double> w = seasonal_arma(150, f.m, 7);
    std::vector<double> x = point(f);
    if (!f.constant) x.back() = -0.2;
    if (f.count() == 2) x[0] = tarn::detail::kPacfBound;
    std::vector<double> r0, J, rt;
    ASSERT_TRUE(exact_residuals(w, f, x, r0));
    ASSERT_TRUE(exact_jacobian(w, f, x, J)) << f.p << f.q << f.P << f.Q << " m " << f.m;
    const std::size_t k = x.size(), n = r0.size();
    ASSERT_EQ(J.size(), n * k);
    const std::size_t bounded = static_cast<std::size_t>(f.p + f.q + f.P + f.Q);
    for (std::size_t j = 0; j < (f.constant ? k - 1 : k); ++j) {
      std::vector<double> xt = x;
      double h = 1e-6 * std::max(1.0, std::fabs(x[j]));
      if (j < bounded && xt[j] + h > tarn::detail::kPacfBound) h = -h;
      xt[j] += h;
      ASSERT_TRUE(exact_residuals(w, f, xt, rt));
      for (std::size_t t = 0; t < n; ++t)
        ASSERT_EQ(J[t * k + j], (rt[t] - r0[t]) / h)
            << f.p << f.q << f.P << f.Q << f.constant << " column " << j << " row " << t;
    }
    if (!f.constant) continue;
    // The residuals are linear in the constant: central differences with a large step agree.
    std::vector<double> up, dn, xt = x;
    const double h = 1e-2;
    xt.back() = x.back() + h;
    ASSERT_TRUE(exact_residuals(w, f, xt, up));
    xt.back() = x.back() - h;
    ASSERT_TRUE(exact_residuals(w, f, xt, dn));
    double worst = 0.0, scale = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
      const double fd = (up[t] - dn[t]) / (2.0 * h);
      worst = std::max(worst, std::fabs(fd - J[t * k + k - 1]));
      scale = std::max(scale, std::fabs(fd));
    }
    EXPECT_GT(scale, 0.0);
    EXPECT_LT(worst, 1e-9 * scale) << f.p << f.q << f.P << f.Q << " m " << f.m;
  }
}

TEST(ExactJacobian, GivenOnlyAtTheLatestFastEvaluation) {
  const std::vector<double> w = seasonal_arma(80, 4, 3);
  const Form f = form(1, 1, 1, 1, 4, true);
  const std::vector<double> x = point(f);
  std::vector<double> r, J;
  // Not at a point that was not the latest evaluated, nor on another series.
  ASSERT_TRUE(exact_residuals(w, f, x, r));
  std::vector<double> x2 = x;
  x2[0] = 0.1;
  ASSERT_TRUE(exact_residuals(w, f, x2, r));
  EXPECT_FALSE(exact_jacobian(w, f, x, J));
  std::vector<double> w2 = w;
  w2[5] += 1.0;
  EXPECT_FALSE(exact_jacobian(w2, f, x2, J));
  EXPECT_TRUE(exact_jacobian(w, f, x2, J));
  // Asked twice at one point: the same answer (the differences evaluate nothing).
  std::vector<double> again;
  EXPECT_TRUE(exact_jacobian(w, f, x2, again));
  EXPECT_EQ(again, J);
  // Not for another form at the same parameters, nor (below) with a missing value: the full
  // filter, which the caller differences.
  const Form g = form(1, 1, 1, 1, 4, false);
  const std::vector<double> y(x.begin(), x.end() - 1);
  EXPECT_FALSE(exact_jacobian(w, g, x2, J));
  ASSERT_TRUE(exact_residuals(w, g, y, r));
  EXPECT_TRUE(exact_jacobian(w, g, y, J));
  std::vector<double> gap = w;
  gap[20] = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(exact_residuals(gap, f, x, r));
  EXPECT_FALSE(exact_jacobian(gap, f, x, J));
}

TEST(ExactJacobian, FitsReachTheOptimumOfPlainDifferences) {
  for (const Form& f : {form(1, 1, 1, 1, 4, true), form(0, 1, 0, 1, 12, true)}) {
    const std::vector<double> w = seasonal_arma(140, f.m, 11);
    tarn::ResidualFunction fn = [&](const std::vector<double>& x, std::vector<double>& r) {
      return exact_residuals(w, f, x, r);
    };
    tarn::JacobianFunction jac = [&](const std::vector<double>& x, std::vector<double>& J) {
      return exact_jacobian(w, f, x, J);
    };
    tarn::LevenbergMarquardtOptions opt;
    opt.relative_tolerance = 1e-12;
    opt.bounded = f.p + f.q + f.P + f.Q;
    opt.bound = tarn::detail::kPacfBound;
    const std::vector<double> x0 = tarn::arima_detail::start_values(f, w);
    const auto plain = tarn::levenberg_marquardt(fn, x0, opt);
    const auto shared = tarn::levenberg_marquardt(fn, x0, opt, jac);
    ASSERT_TRUE(plain.ok && shared.ok);
    EXPECT_NEAR(shared.ssr, plain.ssr, 1e-8 * plain.ssr);
    for (std::size_t i = 0; i < plain.x.size(); ++i) EXPECT_NEAR(shared.x[i], plain.x[i], 1e-4);
    // The same evaluations charged either way.
    EXPECT_EQ(shared.evaluations, plain.evaluations);
  }
}

TEST(FitStatistics, FromTheOptimisersEvaluationOfTheResultAsFromEvaluatingItAgain) {
  constexpr double kTwoPi = 6.283185307179586;
  // Forms with and without a constant, budgeted and not, on series with and without a gap (the
  // full filter), and one the optimiser leaves at its start (no parameter).
  std::vector<double> gap = seasonal_arma(90, 4, 5);
  gap[30] = std::numeric_limits<double>::quiet_NaN();
  // On the over-differenced series the fit ends on steps that all fail: its result is not the
  // latest point evaluated.
  std::vector<std::pair<Form, std::vector<double>>> cases = {
      {form(1, 0, 1, 0, 4, true), gap},
      {form(0, 0, 0, 0, 4, false), seasonal_arma(60, 4, 1)},
      {form(1, 1, 1, 1, 4, true), over_differenced(118, 4, 13)}};
  for (unsigned seed = 1; seed <= 6; ++seed) {
    cases.push_back({form(1, 1, 1, 1, 4, true), seasonal_arma(50 + 8 * seed, 4, seed)});
    cases.push_back({form(2, 0, 0, 1, 4, false), seasonal_arma(40 + 6 * seed, 4, seed)});
    cases.push_back({form(0, 1, 0, 1, 12, false), seasonal_arma(100 + 5 * seed, 12, seed)});
  }
  for (const auto& [f, w] : cases) {
    for (bool budgeted : {false, true}) {
      const tarn::arima_detail::Fit css = tarn::arima_detail::fit_css(w, f, 0, false, budgeted);
      std::vector<double> r;
      if (f.count() > 0) {
        ASSERT_TRUE(css.ok);
        ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, css.x, r));
        EXPECT_EQ(css.nobs, static_cast<int>(r.size()));
        double ssr = 0.0;
        for (double v : r) ssr += v * v;
        EXPECT_EQ(css.sigma2, ssr / css.nobs);
      }
      const tarn::arima_detail::Fit fit = tarn::arima_detail::fit_exact(w, f, css, false, budgeted);
      ASSERT_TRUE(fit.ok && fit.exact) << f.p << f.q << f.P << f.Q << f.constant;
      double sumlog = 0.0;
      ASSERT_TRUE(exact_residuals(w, f, fit.x, r, &sumlog));
      const double n = static_cast<double>(r.size());
      double ssr = 0.0;
      for (double v : r) ssr += v * v;
      EXPECT_EQ(fit.nobs, static_cast<int>(r.size()));
      EXPECT_EQ(fit.sigma2, ssr / n / std::exp(sumlog / n));
      EXPECT_EQ(fit.m2ll, n * (std::log(kTwoPi * (ssr / n)) + 1.0));
      EXPECT_EQ(fit.aicc, tarn::arima_detail::aicc_of(fit.m2ll, f.count(), fit.nobs));
    }
  }
}

}  // namespace
