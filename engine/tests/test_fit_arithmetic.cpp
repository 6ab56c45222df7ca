// The likelihoods' inner loops are arranged for speed (products formed in place, sums advanced
// side by side, buffers reused); these tests pin what that must not change: the state-space
// coefficients are the product of the factors to the bit, the partial-autocorrelation map is
// the Durbin-Levinson recursion at any order (tanh remembered or not), the Levenberg-Marquardt
// normal equations reach the least-squares solution at every width, the Cholesky solve of a
// size known at compile time is the general one to the bit, and BATS's regressed initial states
// reproduce an exact trend and season.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../src/arima_polynomial.hpp"
#include "../src/linalg.hpp"
#include "../src/state_space.hpp"
#include "tarn/bats.hpp"
#include "tarn/optimize.hpp"

namespace {

using tarn::arima_detail::Coefs;
using tarn::arima_detail::StateSpace;

std::vector<double> uniform(std::size_t n, std::mt19937& rng, double lo = -0.8, double hi = 0.8) {
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> out(n);
  for (double& v : out) v = u(rng);
  return out;
}

TEST(StateSpaceCoefficients, AreTheProductOfTheFactorsToTheBit) {
  // Overlapping lags (p >= m), seasons of 1, 2, 4 and 12, and zero coefficients among them:
  // phi = -((1 - ar)(1 - sar) - 1) and theta = (1 + ma)(1 + sma) - 1 as multiply() forms them.
  std::mt19937 rng(3);
  struct Case {
    int p, q, P, Q, m;
  };
  for (const Case& k : {Case{5, 3, 2, 2, 4}, Case{2, 2, 1, 1, 12}, Case{3, 0, 0, 2, 2},
                        Case{0, 4, 1, 0, 1}, Case{1, 1, 2, 1, 3}, Case{0, 0, 0, 0, 12}}) {
    Coefs c;
    c.ar = uniform(static_cast<std::size_t>(k.p), rng);
    c.ma = uniform(static_cast<std::size_t>(k.q), rng);
    c.sar = uniform(static_cast<std::size_t>(k.P), rng);
    c.sma = uniform(static_cast<std::size_t>(k.Q), rng);
    if (k.p > 1) c.ar[1] = 0.0;
    if (k.Q > 0) c.sma[0] = -0.0;
    const StateSpace s = tarn::arima_detail::state_space(c, k.m);
    using tarn::detail::multiply;
    using tarn::detail::negate;
    const std::vector<double> phi = negate(multiply(negate(c.ar), negate(c.sar), k.m));
    const std::vector<double> theta = multiply(c.ma, c.sma, k.m);
    ASSERT_EQ(s.np, static_cast<int>(phi.size()));
    ASSERT_EQ(s.nq, static_cast<int>(theta.size()));
    ASSERT_EQ(s.r, std::max(s.np, s.nq + 1));
    ASSERT_EQ(s.phi.size(), static_cast<std::size_t>(s.r));
    ASSERT_EQ(s.R.size(), static_cast<std::size_t>(s.r));
    for (int j = 0; j < s.r; ++j) {
      const double want = j < s.np ? phi[static_cast<std::size_t>(j)] : 0.0;
      EXPECT_EQ(s.phi[static_cast<std::size_t>(j)], want) << "phi " << j << " m " << k.m;
    }
    EXPECT_EQ(s.R[0], 1.0);
    for (int j = 1; j < s.r; ++j) {
      const double want = j - 1 < s.nq ? theta[static_cast<std::size_t>(j - 1)] : 0.0;
      EXPECT_EQ(s.R[static_cast<std::size_t>(j)], want) << "theta " << j << " m " << k.m;
    }
  }
}

TEST(PacfToCoef, IsTheDurbinLevinsonRecursionAtAnyOrder) {
  // Small orders and one beyond the map's stack buffer, with a scale below one.
  std::mt19937 rng(5);
  for (int n : {0, 1, 2, 7, 40}) {
    const std::vector<double> u = uniform(static_cast<std::size_t>(n), rng, -2.0, 2.0);
    for (double scale : {1.0, 0.98}) {
      std::vector<double> c;
      tarn::detail::pacf_to_coef(u.data(), n, c, scale);
      std::vector<double> ref(static_cast<std::size_t>(n), 0.0);
      for (int k = 0; k < n; ++k) {
        const double a = scale * std::tanh(u[static_cast<std::size_t>(k)]);
        const std::vector<double> prev = ref;
        for (int j = 0; j < k; ++j) {
          ref[static_cast<std::size_t>(j)] =
              prev[static_cast<std::size_t>(j)] - a * prev[static_cast<std::size_t>(k - 1 - j)];
        }
        ref[static_cast<std::size_t>(k)] = a;
      }
      ASSERT_EQ(c.size(), ref.size());
      for (int j = 0; j < n; ++j) {
        EXPECT_EQ(c[static_cast<std::size_t>(j)], ref[static_cast<std::size_t>(j)])
            << n << " " << j;
      }
      // And the polynomial is stationary whatever the values.
      if (n > 0 && n < 40) {
        EXPECT_TRUE(tarn::detail::stationary(c)) << n;
      }
    }
  }
}

// A linear problem of k correlated columns: one step of the normal equations (J'J and J'r
// summed over the rows) reaches the solution, which a direct solve confirms.
void expect_least_squares_solution(std::size_t k, unsigned seed) {
  std::mt19937 rng(seed);
  const std::size_t n = 50;
  std::vector<double> A(n * k), b(n);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t t = 0; t < n; ++t) {
    const double base = noise(rng);
    for (std::size_t j = 0; j < k; ++j) A[t * k + j] = base + 0.3 * noise(rng) + 0.1 * j;
    b[t] = noise(rng);
  }
  tarn::ResidualFunction fn = [&](const std::vector<double>& x, std::vector<double>& r) {
    r.assign(n, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
      double v = -b[t];
      for (std::size_t j = 0; j < k; ++j) v += A[t * k + j] * x[j];
      r[t] = v;
    }
    return true;
  };
  tarn::JacobianFunction jac = [&](const std::vector<double>&, std::vector<double>& J) {
    J = A;
    return true;
  };
  tarn::LevenbergMarquardtOptions opt;
  opt.relative_tolerance = 1e-15;
  const tarn::LeastSquaresResult res =
      tarn::levenberg_marquardt(fn, std::vector<double>(k, 0.0), opt, jac);
  ASSERT_TRUE(res.ok);
  // The normal equations solved directly (Gaussian elimination on the small system).
  std::vector<double> N(k * k, 0.0), g(k, 0.0);
  for (std::size_t t = 0; t < n; ++t)
    for (std::size_t i = 0; i < k; ++i) {
      g[i] += A[t * k + i] * b[t];
      for (std::size_t j = 0; j < k; ++j) N[i * k + j] += A[t * k + i] * A[t * k + j];
    }
  for (std::size_t c = 0; c < k; ++c)
    for (std::size_t i = c + 1; i < k; ++i) {
      const double f = N[i * k + c] / N[c * k + c];
      for (std::size_t j = c; j < k; ++j) N[i * k + j] -= f * N[c * k + j];
      g[i] -= f * g[c];
    }
  std::vector<double> x(k);
  for (std::size_t i = k; i-- > 0;) {
    double v = g[i];
    for (std::size_t j = i + 1; j < k; ++j) v -= N[i * k + j] * x[j];
    x[i] = v / N[i * k + i];
  }
  for (std::size_t j = 0; j < k; ++j) {
    EXPECT_NEAR(res.x[j], x[j], 1e-6 * (1.0 + std::fabs(x[j]))) << "k " << k << " j " << j;
  }
}

TEST(LevenbergMarquardtNormalEquations, ReachTheLeastSquaresSolution) {
  expect_least_squares_solution(4, 9);
}

TEST(LevenbergMarquardtNormalEquations, EveryWidthReachesTheSolution) {
  // The sums are unrolled for each width up to eight and looped beyond: both, and the edges.
  for (std::size_t k : {1, 2, 3, 5, 6, 7, 8, 9, 12}) {
    expect_least_squares_solution(k, 20 + static_cast<unsigned>(k));
  }
}

TEST(CholeskySolve, SizesKnownAtCompileTimeGiveTheGeneralSolveToTheBit) {
  // Every size from 1 to 10 (fixed up to 8, general beyond), with and without the checks, a
  // matrix that is not positive definite and one whose pivot falls below the ratio refused
  // alike.
  std::mt19937 rng(17);
  for (std::size_t k = 1; k <= 10; ++k) {
    for (int kind = 0; kind < 3; ++kind) {
      const std::vector<double> B = uniform(k * (k + 1), rng, -1.0, 1.0);
      std::vector<double> a(k * k, 0.0);
      for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j)
          for (std::size_t t = 0; t < k + 1; ++t) a[i * k + j] += B[t * k + i] * B[t * k + j];
      if (kind == 1) a[(k - 1) * k + (k - 1)] = -1.0;  // not positive definite
      tarn::detail::CholeskyChecks checks;
      if (kind == 2) {
        checks.finite_pivots = checks.finite_solution = true;
        checks.min_pivot_ratio = k > 2 ? 0.5 : 0.0;
      }
      std::vector<double> a1 = a, a2 = a, b1 = uniform(k, rng), b2 = b1;
      const bool ok1 = tarn::detail::cholesky_solve(a1.data(), b1.data(), k, checks);
      const bool ok2 = tarn::detail::cholesky_solve_sized(a2.data(), b2.data(), k, checks);
      ASSERT_EQ(ok1, ok2) << "size " << k << " kind " << kind;
      EXPECT_EQ(ok1, kind == 0 || (kind == 2 && k <= 2)) << "size " << k << " kind " << kind;
      if (ok1) {
        EXPECT_EQ(b1, b2) << "size " << k;
      }
    }
  }
}

TEST(PacfToCoef, RememberedArgumentsGiveTheirOwnValues) {
  // tanh of recent arguments is remembered between calls: values that share a slot of the
  // memory, signed zeros and repeats must each give their own partial autocorrelation.
  std::mt19937 rng(11);
  std::vector<double> pool = uniform(300, rng, -3.0, 3.0);
  pool.push_back(0.0);
  pool.push_back(-0.0);
  pool.push_back(7.5);
  pool.push_back(-7.5);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  for (int call = 0; call < 2000; ++call) {
    const double u = pool[pick(rng)];
    std::vector<double> c;
    tarn::detail::pacf_to_coef(&u, 1, c);
    ASSERT_EQ(c.size(), 1u);
    const double want = std::tanh(u);
    EXPECT_EQ(c[0], want) << u;
    EXPECT_EQ(std::signbit(c[0]), std::signbit(want)) << u;
  }
}

TEST(BatsInitialStates, ReproduceAnExactTrendAndSeason) {
  // A noiseless line plus a season of 12: the regressed level, slope and seasonal states (the
  // Gram matrix's seasonal block and its products with the level and slope columns) fit it
  // exactly, so the forecast continues it.
  auto truth = [](std::size_t t) {
    const double s[12] = {3, -1, 4, -1, 5, -9, 2, 6, -5, 3, -5, -2};
    return 200.0 + 0.75 * static_cast<double>(t) + s[t % 12];
  };
  std::vector<double> y(96);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] = truth(t);
  tarn::BatsConfig cfg;
  cfg.training_sample_size = static_cast<std::int64_t>(y.size());
  cfg.season_length = 12;
  cfg.arma_errors = false;
  tarn::Bats b(cfg);
  for (std::size_t t = 0; t < y.size(); ++t) b.update(static_cast<std::int64_t>(t), y[t]);
  ASSERT_TRUE(b.is_initialized());
  EXPECT_TRUE(b.params().trend);
  EXPECT_EQ(b.params().m, 12);
  for (int h = 1; h <= 24; ++h) EXPECT_NEAR(b.forecast_steps(h), truth(95 + h), 1e-6) << h;
}

}  // namespace
