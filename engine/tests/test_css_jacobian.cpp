// The conditional-sum-of-squares residuals' derivatives from filtering: they equal differenced
// residuals on non-seasonal and seasonal forms, with and without a constant, and the fits that
// use them reach the optimum the differenced ones reach. The residuals themselves are the plain
// recursion of the expanded polynomials.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "../src/arima_likelihood.hpp"
#include "../src/state_space.hpp"
#include "tarn/optimize.hpp"

namespace {

using tarn::arima_detail::Form;

std::vector<double> seasonal_arma(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> w(n), e(n);
  for (std::size_t t = 0; t < n; ++t) {
    e[t] = noise(rng);
    w[t] = 0.7 + e[t] + (t >= 1 ? 0.5 * w[t - 1] + 0.3 * e[t - 1] : 0.0) +
           (t >= 4 ? 0.3 * w[t - 4] - 0.2 * e[t - 4] : 0.0);
  }
  return w;
}

Form form(int p, int q, int P, int Q, int m, bool constant) {
  Form f;
  f.p = p, f.q = q, f.P = P, f.Q = Q, f.m = m, f.constant = constant;
  return f;
}

TEST(CssJacobian, EqualsCentralDifferencesOfTheResiduals) {
  const std::vector<double> w = seasonal_arma(90, 3);
  // The MA products have 0 to 11 terms: the recursions unroll up to eight and loop beyond.
  const std::vector<Form> forms = {
      form(1, 0, 0, 0, 1, false), form(2, 2, 0, 0, 1, true),  form(0, 3, 0, 0, 1, true),
      form(1, 1, 1, 1, 4, true),  form(2, 1, 2, 1, 4, false), form(0, 0, 0, 0, 1, true),
      form(1, 2, 1, 1, 4, true),  form(2, 3, 0, 1, 4, false), form(0, 3, 1, 2, 4, true)};
  for (const Form& f : forms) {
    for (std::size_t count_from : {std::size_t{0}, std::size_t{12}}) {
      std::vector<double> x(static_cast<std::size_t>(f.count()));
      for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.3 - 0.17 * static_cast<double>(i);
      if (f.constant) x.back() = 0.5;
      std::vector<double> J;
      ASSERT_TRUE(tarn::arima_detail::css_jacobian(w, f, x, J, count_from));
      std::vector<double> r0, up, dn;
      ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r0, count_from));
      ASSERT_EQ(J.size(), r0.size() * x.size());
      const std::size_t k = x.size();
      for (std::size_t i = 0; i < k; ++i) {
        std::vector<double> xt = x;
        const double h = 1e-6;
        xt[i] = x[i] + h;
        ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, xt, up, count_from));
        xt[i] = x[i] - h;
        ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, xt, dn, count_from));
        double worst = 0.0, scale = 1.0;
        for (std::size_t t = 0; t < r0.size(); ++t) {
          const double fd = (up[t] - dn[t]) / (2.0 * h);
          worst = std::max(worst, std::fabs(fd - J[t * k + i]));
          scale = std::max(scale, std::fabs(fd));
        }
        EXPECT_LT(worst, 1e-6 * scale)
            << f.p << f.q << f.P << f.Q << " column " << i << " from " << count_from;
      }
    }
  }
}

// The conditional residuals by the plain recursion over the expanded polynomials.
std::vector<double> plain_css(const std::vector<double>& w, const Form& f,
                              const std::vector<double>& x, std::size_t count_from) {
  const tarn::arima_detail::Coefs c = tarn::arima_detail::unpack(f, x);
  const tarn::arima_detail::StateSpace s = tarn::arima_detail::state_space(c, f.m);
  const std::size_t n = w.size(), t0 = static_cast<std::size_t>(s.np);
  std::vector<double> z(n), e(n, 0.0), out;
  for (std::size_t t = 0; t < n; ++t) z[t] = w[t] - c.mu;
  for (std::size_t t = t0; t < n; ++t) {
    double pred = 0.0;
    for (int j = 1; j <= s.np; ++j) pred += s.phi[static_cast<std::size_t>(j - 1)] * z[t - j];
    for (int j = 1; j <= s.nq && static_cast<std::size_t>(j) <= t; ++j)
      pred += s.R[static_cast<std::size_t>(j)] * e[t - j];
    e[t] = z[t] - pred;
    if (t >= count_from) out.push_back(e[t]);
  }
  return out;
}

TEST(CssResiduals, AreThePlainRecursionOfTheExpandedPolynomials) {
  // The AR part is summed ahead and the MA recursion unrolled by its number of terms (0 to 11
  // here); a series with a missing value takes the step-by-step recursion, which must agree
  // with the other on the values before the gap.
  const std::vector<double> w = seasonal_arma(80, 8);
  for (const Form& f :
       {form(0, 0, 0, 0, 1, true), form(2, 0, 1, 0, 4, false), form(1, 1, 1, 1, 4, true),
        form(1, 2, 1, 1, 4, false), form(2, 3, 0, 1, 4, true), form(0, 3, 1, 2, 4, true)}) {
    std::vector<double> x(static_cast<std::size_t>(f.count()));
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.4 - 0.13 * static_cast<double>(i);
    for (std::size_t count_from : {std::size_t{0}, std::size_t{14}}) {
      std::vector<double> r;
      ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r, count_from));
      const std::vector<double> want = plain_css(w, f, x, count_from);
      ASSERT_EQ(r.size(), want.size());
      for (std::size_t t = 0; t < r.size(); ++t) {
        EXPECT_NEAR(r[t], want[t], 1e-12 * (1.0 + std::fabs(want[t])))
            << f.p << f.q << f.P << f.Q << " at " << t << " from " << count_from;
      }
      std::vector<double> gap = w, rg;
      gap.back() = std::numeric_limits<double>::quiet_NaN();
      ASSERT_TRUE(tarn::arima_detail::css_residuals(gap, f, x, rg, count_from));
      ASSERT_EQ(rg.size() + 1, r.size());
      for (std::size_t t = 0; t < rg.size(); ++t) EXPECT_EQ(rg[t], r[t]) << t;
    }
  }
}

TEST(CssJacobian, CallsOnSeriesOfAnyLengthInTurnAgree) {
  // The derivatives keep their working memory between calls (and release it after a long
  // series): short, long and short again give what each gives alone.
  const std::vector<double> shorter = seasonal_arma(90, 6), longer = seasonal_arma(20000, 7);
  const Form f = form(1, 1, 1, 1, 4, true);
  const std::vector<double> x = {0.3, -0.2, 0.1, 0.2, 0.5};
  std::vector<double> first, again, lone, J;
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(shorter, f, x, first, 6));
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(longer, f, x, lone, 6));
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(shorter, f, x, again, 6));
  EXPECT_EQ(first, again);
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(longer, f, x, J, 6));
  EXPECT_EQ(J, lone);
}

TEST(CssJacobian, ReusesOnlyTheResidualsOfTheSameSeriesAndPoint) {
  // The derivatives take the residuals just evaluated when the series, the form and the point
  // are the same: a series changed in place, another form or another point must not see them.
  std::vector<double> w = seasonal_arma(90, 9);
  const Form f = form(1, 1, 1, 1, 4, true), g = form(1, 1, 1, 1, 4, false);
  const std::vector<double> x = {0.3, -0.2, 0.1, 0.2, 0.5}, y = {0.3, -0.2, 0.1, 0.25, 0.5};
  std::vector<double> r, fresh, after;
  auto derivatives_alone = [&](const std::vector<double>& series, const Form& form_,
                               const std::vector<double>& at) {
    std::vector<double> J, other;
    // Residuals of something else first, so that nothing is reused.
    EXPECT_TRUE(
        tarn::arima_detail::css_residuals(seasonal_arma(30, 1), g, {0.0, 0.0, 0.0, 0.0}, other));
    EXPECT_TRUE(tarn::arima_detail::css_jacobian(series, form_, at, J, 6));
    return J;
  };
  ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r, 6));
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(w, f, x, after, 6));
  EXPECT_EQ(after, derivatives_alone(w, f, x));
  // The same vector with one value changed.
  ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r, 6));
  w[40] += 1.0;
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(w, f, x, after, 6));
  EXPECT_EQ(after, derivatives_alone(w, f, x));
  // Another point, another form.
  ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r, 6));
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(w, f, y, after, 6));
  EXPECT_EQ(after, derivatives_alone(w, f, y));
  ASSERT_TRUE(tarn::arima_detail::css_residuals(w, f, x, r, 6));
  ASSERT_TRUE(tarn::arima_detail::css_jacobian(w, g, {0.3, -0.2, 0.1, 0.2}, after, 6));
  EXPECT_EQ(after, derivatives_alone(w, g, {0.3, -0.2, 0.1, 0.2}));
}

TEST(CssJacobian, DerivativesBeyondTheDoublesAreRefused) {
  // Values near the largest double through an MA factor at its bound: the derivatives overflow,
  // and the fit must difference the residuals instead of stepping on infinities.
  std::vector<double> w = seasonal_arma(60, 10);
  for (double& v : w) v *= 1e307;
  const Form f = form(0, 1, 0, 0, 1, false);
  std::vector<double> J;
  EXPECT_FALSE(tarn::arima_detail::css_jacobian(w, f, {7.5}, J));
  // Within range the same form has finite derivatives.
  for (double& v : w) v *= 1e-307;
  EXPECT_TRUE(tarn::arima_detail::css_jacobian(w, f, {7.5}, J));
}

TEST(CssJacobian, MissingValuesLeaveItToDifferences) {
  std::vector<double> w = seasonal_arma(60, 4);
  w[20] = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> J;
  const Form f = form(1, 1, 0, 0, 1, true);
  EXPECT_FALSE(tarn::arima_detail::css_jacobian(w, f, {0.2, 0.1, 0.0}, J));
  // The fit still succeeds through differenced residuals.
  EXPECT_TRUE(tarn::arima_detail::fit_css(w, f, 0, false).ok);
}

TEST(CssJacobian, FitsReachTheOptimumOfDifferencedJacobians) {
  const std::vector<double> w = seasonal_arma(120, 5);
  for (const Form& f : {form(1, 1, 1, 1, 4, true), form(2, 2, 0, 0, 1, true)}) {
    tarn::ResidualFunction fn = [&](const std::vector<double>& x, std::vector<double>& r) {
      return tarn::arima_detail::css_residuals(w, f, x, r, 8);
    };
    tarn::JacobianFunction jac = [&](const std::vector<double>& x, std::vector<double>& J) {
      return tarn::arima_detail::css_jacobian(w, f, x, J, 8);
    };
    tarn::LevenbergMarquardtOptions opt;
    opt.relative_tolerance = 1e-12;
    opt.bounded = f.p + f.q + f.P + f.Q;
    opt.bound = tarn::detail::kPacfBound;
    const std::vector<double> x0(static_cast<std::size_t>(f.count()), 0.0);
    const auto by_differences = tarn::levenberg_marquardt(fn, x0, opt);
    const auto by_filtering = tarn::levenberg_marquardt(fn, x0, opt, jac);
    ASSERT_TRUE(by_differences.ok && by_filtering.ok);
    // Exact steps end at least as low; differenced ones stop a little short on a flat ridge.
    EXPECT_NEAR(by_filtering.ssr, by_differences.ssr, 1e-4 * by_differences.ssr);
    EXPECT_LE(by_filtering.ssr, by_differences.ssr * (1.0 + 1e-9));
  }
}

}  // namespace
