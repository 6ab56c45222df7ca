// BATS's likelihood forms the initial-state regression from the filter's adjoint and the sum of
// squares from the normal equations; these tests hold it to the plain computation (every
// column of the regression written out, the sum taken over the innovations, in long double):
// the value and the fitted initial state agree closely with and without trend, damping,
// Box-Cox and ARMA errors, for long and short seasons, and when the initial states explain
// nearly everything (the normal equations' difference would cancel).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../src/bats_likelihood.hpp"
#include "../src/series_util.hpp"
#include "tarn/bats.hpp"

namespace {

using Real = long double;

struct RefState {
  Real level = 0, slope = 0, d[2] = {0, 0}, e[2] = {0, 0};
  std::vector<Real> season;
  std::size_t pos = 0;
};

// One step of the innovations form, written out plainly.
Real ref_step(const tarn::BatsParams& p, RefState& s, Real z) {
  const Real arma = p.ar[0] * s.d[0] + p.ar[1] * s.d[1] + p.ma[0] * s.e[0] + p.ma[1] * s.e[1];
  const Real seas = p.m > 1 ? s.season[s.pos] : 0;
  const Real e = z - (s.level + p.phi * s.slope + seas + arma);
  const Real d = arma + e;
  s.level += p.phi * s.slope + p.alpha * d;
  if (p.trend) s.slope = p.phi * s.slope + p.beta * d;
  if (p.m > 1) {
    s.season[s.pos] = seas + p.gamma * d;
    s.pos = (s.pos + 1) % static_cast<std::size_t>(p.m);
  }
  s.d[1] = s.d[0];
  s.d[0] = d;
  s.e[1] = s.e[0];
  s.e[0] = e;
  return e;
}

struct Reference {
  double value;
  tarn::BatsState x0;
};

// The regression with every column of C written out (the innovations of a run on zeros from
// each unit initial state: level, slope, and seasonal position i minus the last one), solved
// by Cholesky, the sum of squares over the fitted state's innovations.
Reference reference(const std::vector<double>& y, const tarn::BatsParams& p, bool regress) {
  const std::size_t n = y.size(), m = static_cast<std::size_t>(p.m);
  std::vector<double> zd(n);
  Real sum_log = 0;
  for (std::size_t t = 0; t < n; ++t) {
    const Real v = y[t];
    zd[t] = static_cast<double>(p.box_cox ? (std::pow(v, Real(p.lambda)) - 1) / p.lambda : v);
    sum_log += std::log(v);
  }
  RefState base;
  base.level = zd[0];
  if (p.m > 1) {
    base.season.assign(m, 0);
    if (!regress) {
      const std::vector<double> s = tarn::detail::seasonal_indices(zd, p.m, false);
      for (std::size_t i = 0; i < m; ++i) base.season[i] = s[i];
    }
  }
  // Unit initial states: level, slope, then seasonal position i minus the last one.
  std::vector<RefState> units;
  RefState zero = base;
  zero.level = 0;
  std::fill(zero.season.begin(), zero.season.end(), Real(0));
  units.push_back(zero);
  units.back().level = 1;
  if (p.trend) {
    units.push_back(zero);
    units.back().slope = 1;
  }
  if (p.m > 1 && regress) {
    for (std::size_t i = 0; i + 1 < m; ++i) {
      units.push_back(zero);
      units.back().season[i] = 1;
      units.back().season[m - 1] = -1;
    }
  }
  const std::size_t k = units.size();
  std::vector<std::vector<Real>> C(k, std::vector<Real>(n));
  for (std::size_t j = 0; j < k; ++j) {
    RefState s = units[j];
    for (std::size_t t = 0; t < n; ++t) C[j][t] = ref_step(p, s, 0);
  }
  std::vector<Real> e0(n);
  {
    RefState s = base;
    for (std::size_t t = 0; t < n; ++t) e0[t] = ref_step(p, s, zd[t]);
  }
  std::vector<Real> G(k * k), r(k);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t t = 0; t < n; ++t) r[a] -= C[a][t] * e0[t];
    for (std::size_t b = 0; b < k; ++b) {
      for (std::size_t t = 0; t < n; ++t) G[a * k + b] += C[a][t] * C[b][t];
    }
  }
  // Cholesky, then the two triangular solves.
  for (std::size_t j = 0; j < k; ++j) {
    for (std::size_t q = 0; q < j; ++q) G[j * k + j] -= G[j * k + q] * G[j * k + q];
    G[j * k + j] = std::sqrt(G[j * k + j]);
    for (std::size_t i = j + 1; i < k; ++i) {
      for (std::size_t q = 0; q < j; ++q) G[i * k + j] -= G[i * k + q] * G[j * k + q];
      G[i * k + j] /= G[j * k + j];
    }
  }
  std::vector<Real> x = r;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t q = 0; q < i; ++q) x[i] -= G[i * k + q] * x[q];
    x[i] /= G[i * k + i];
  }
  for (std::size_t i = k; i-- > 0;) {
    for (std::size_t q = i + 1; q < k; ++q) x[i] -= G[q * k + i] * x[q];
    x[i] /= G[i * k + i];
  }
  RefState fitted = base;
  for (std::size_t j = 0; j < k; ++j) {
    fitted.level += x[j] * units[j].level;
    fitted.slope += x[j] * units[j].slope;
    for (std::size_t i = 0; i < fitted.season.size(); ++i)
      fitted.season[i] += x[j] * units[j].season[i];
  }
  Real sse = 0;
  {
    RefState s = fitted;
    for (std::size_t t = 0; t < n; ++t) {
      const Real e = ref_step(p, s, zd[t]);
      sse += e * e;
    }
  }
  Reference out;
  Real ll = static_cast<Real>(n) * std::log(sse / static_cast<Real>(n));
  if (p.box_cox) ll -= 2 * (Real(p.lambda) - 1) * sum_log;
  out.value = static_cast<double>(ll);
  out.x0.level = static_cast<double>(fitted.level);
  out.x0.slope = static_cast<double>(fitted.slope);
  for (Real v : fitted.season) out.x0.season.push_back(static_cast<double>(v));
  return out;
}

// A positive seasonal series with a trend and noise of the given size.
std::vector<double> seasonal_series(std::size_t n, std::size_t m, double noise, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> y(n);
  for (std::size_t t = 0; t < n; ++t) {
    const double tt = static_cast<double>(t);
    const double season = 3.0 * std::sin(6.283185307179586 * tt / static_cast<double>(m)) +
                          1.5 * std::cos(12.566370614359172 * tt / static_cast<double>(m));
    y[t] = 50.0 + 0.2 * tt + season + noise * g(rng);
  }
  return y;
}

tarn::BatsParams params(int m, bool trend, double phi, bool box_cox, int p, int q) {
  tarn::BatsParams par;
  par.m = m;
  par.trend = trend;
  par.alpha = 0.35;
  par.beta = trend ? 0.06 : 0.0;
  par.phi = trend ? phi : 1.0;
  par.gamma = m > 1 ? 0.12 : 0.0;
  par.box_cox = box_cox;
  par.lambda = box_cox ? 0.4 : 1.0;
  par.p = p;
  par.q = q;
  if (p > 0) par.ar[0] = 0.5;
  if (p > 1) par.ar[1] = -0.2;
  if (q > 0) par.ma[0] = 0.3;
  if (q > 1) par.ma[1] = 0.15;
  return par;
}

void expect_matches(const std::vector<double>& y, const tarn::BatsParams& p, bool regress,
                    double value_tol, const char* what) {
  SCOPED_TRACE(what);
  const Reference ref = reference(y, p, regress);
  // The value the optimiser sees (normal equations, or the guarded fallback) and the value with
  // the fitted state (always over the innovations): both the plain computation's.
  const double quick = tarn::detail::bats_likelihood(y, p, regress, nullptr);
  tarn::BatsState x0;
  const double exact = tarn::detail::bats_likelihood(y, p, regress, &x0);
  EXPECT_NEAR(quick, ref.value, value_tol);
  EXPECT_NEAR(exact, ref.value, value_tol);
  double scale = 1.0;
  for (double v : ref.x0.season) scale = std::max(scale, std::fabs(v));
  scale = std::max({scale, std::fabs(ref.x0.level), std::fabs(ref.x0.slope)});
  EXPECT_NEAR(x0.level, ref.x0.level, 1e-9 * scale);
  EXPECT_NEAR(x0.slope, ref.x0.slope, 1e-9 * scale);
  ASSERT_EQ(x0.season.size(), ref.x0.season.size());
  for (std::size_t i = 0; i < x0.season.size(); ++i) {
    EXPECT_NEAR(x0.season[i], ref.x0.season[i], 1e-9 * scale) << i;
  }
}

TEST(BatsLikelihood, MatchesThePlainRegressionForEveryForm) {
  // n = 116 and m = 12 as a long monthly series, m = 4 quarterly, no season; the trend plain
  // and damped, Box-Cox, ARMA errors of both kinds and orders. A value agreeing to 1e-9 is
  // a sum of squares agreeing to about 1e-11 of itself.
  struct Case {
    int m;
    bool trend;
    double phi;
    bool box_cox;
    int p, q;
    const char* what;
  };
  const Case cases[] = {
      {12, false, 1.0, false, 0, 0, "level + season"},
      {12, true, 1.0, false, 0, 0, "trend + season"},
      {12, true, 0.9, false, 0, 0, "damped + season"},
      {12, true, 1.0, true, 0, 0, "Box-Cox, trend + season"},
      {12, true, 0.9, true, 0, 0, "Box-Cox, damped + season"},
      {12, false, 1.0, false, 1, 1, "level + season, ARMA(1,1)"},
      {12, true, 0.95, true, 2, 2, "Box-Cox, damped + season, ARMA(2,2)"},
      {12, true, 1.0, false, 2, 0, "trend + season, AR(2)"},
      {4, true, 1.0, false, 0, 1, "quarterly trend + season, MA(1)"},
      {4, false, 1.0, true, 0, 0, "quarterly Box-Cox, level + season"},
      {1, true, 0.9, false, 0, 0, "damped, no season"},
      {1, false, 1.0, false, 1, 0, "level, AR(1)"},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    const std::vector<double> y = seasonal_series(116, c.m > 1 ? c.m : 12, 1.0, seed++);
    expect_matches(y, params(c.m, c.trend, c.phi, c.box_cox, c.p, c.q), true, 1e-9, c.what);
  }
}

TEST(BatsLikelihood, LongSeasonFromTheDecompositionMatches) {
  // A season too long to regress: only level and slope are estimated, but the seasonal states
  // still feed back into them through the filter (the adjoint carries the whole ring).
  const std::vector<double> y = seasonal_series(160, 30, 0.5, 7);
  expect_matches(y, params(30, true, 1.0, false, 0, 0), false, 1e-9, "m = 30, trend");
  expect_matches(y, params(30, false, 1.0, false, 1, 1), false, 1e-9, "m = 30, ARMA(1,1)");
}

TEST(BatsLikelihood, NearlyExactFitDoesNotCancel) {
  // The initial states explain all but noise of 1e-7 on values near 50 (the smoothing
  // parameters are tiny, so the states barely move): the residual sum of squares is about
  // 1e-16 of the base state's, far below what the normal equations' difference can resolve,
  // so the value must come from the innovations. A value within 1e-4 is a sum of squares
  // within 1e-6 of itself; the difference would be wrong by orders of magnitude.
  for (bool trend : {false, true}) {
    const std::vector<double> y = seasonal_series(96, 12, 1e-7, trend ? 3u : 4u);
    tarn::BatsParams p = params(12, trend, 1.0, false, 0, 0);
    p.alpha = 1e-4;
    p.beta = trend ? 1e-8 : 0.0;
    p.gamma = 1e-4;
    expect_matches(y, p, true, 1e-4, trend ? "trend + season" : "level + season");
  }
}

TEST(BatsLikelihood, SeasonalStatesThatNeverComeUpStillGiveAFit) {
  // Ten values and a season of 12: the states at positions 10 and 11 never reach a forecast,
  // so their columns are zero and the normal equations singular; the small ridge settles them
  // (those states get no estimate of their own: both sit at the same offset from the level).
  const std::vector<double> y = seasonal_series(10, 12, 1.0, 5);
  const tarn::BatsParams p = params(12, false, 1.0, false, 0, 0);
  tarn::BatsState x0;
  const double v = tarn::detail::bats_likelihood(y, p, true, &x0);
  ASSERT_TRUE(std::isfinite(v));
  ASSERT_EQ(x0.season.size(), 12u);
  for (double s : x0.season) EXPECT_TRUE(std::isfinite(s));
  EXPECT_NEAR(x0.season[10], x0.season[11], 1e-6);
}

TEST(BatsLikelihood, FailedRegressionIsInfinite) {
  // A non-finite value makes every sum non-finite: the likelihood is refused, not NaN.
  std::vector<double> y = seasonal_series(60, 12, 1.0, 9);
  y[30] = std::numeric_limits<double>::infinity();
  const double v =
      tarn::detail::bats_likelihood(y, params(12, true, 1.0, false, 0, 0), true, nullptr);
  EXPECT_TRUE(std::isinf(v) && v > 0.0);
}

}  // namespace
