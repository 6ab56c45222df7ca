// What keeps the cost of fitting bounded: the stationary state covariance without doubling,
// the one-pass Kalman step, the rank-one recursions of a series without missing values (alone or
// in pairs), BATS's seasonal Gram block from lagged products, the optimiser's evaluation budget
// in the order search, the fit window of long samples, and Student quantiles whose cost does not
// grow with the degrees of freedom.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "../src/arima_likelihood.hpp"
#include "../src/series_util.hpp"
#include "../src/state_space.hpp"
#include "tarn/auto.hpp"
#include "tarn/builders.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"
#include "tarn/optimize.hpp"
#include "tarn/training_buffer.hpp"

namespace {

using tarn::arima_detail::Coefs;
using tarn::arima_detail::StateSpace;

double max_abs_diff(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
  return d;
}

double max_abs(const std::vector<double>& a) {
  double d = 0.0;
  for (double v : a) d = std::max(d, std::fabs(v));
  return d;
}

// Stationary, invertible coefficients from partial autocorrelations in (-0.9, 0.9).
std::vector<double> stable(int order, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-0.9, 0.9);
  std::vector<double> pacf(static_cast<std::size_t>(order));
  for (double& v : pacf) v = u(rng);
  std::vector<double> out;
  tarn::detail::pacf_to_coef(pacf.data(), order, out);
  return out;
}

TEST(StationaryCovariance, DirectSolutionAgreesWithDoubling) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 60; ++trial) {
    Coefs c;
    c.ar = stable(trial % 4, rng);
    c.ma = stable((trial / 4) % 4, rng);
    const int m = trial % 3 == 0 ? 12 : (trial % 3 == 1 ? 4 : 1);
    if (m > 1) {
      c.sar = stable(trial % 2, rng);
      c.sma = stable((trial / 2) % 2, rng);
    }
    const StateSpace s = tarn::arima_detail::state_space(c, m);
    std::vector<double> direct, doubling;
    tarn::arima_detail::stationary_covariance_doubling(s, doubling);
    if (s.r < 2) continue;
    ASSERT_TRUE(tarn::arima_detail::stationary_covariance_direct(s, direct)) << "trial " << trial;
    EXPECT_LE(max_abs_diff(direct, doubling), 1e-9 * max_abs(doubling)) << "trial " << trial;
  }
}

TEST(StationaryCovariance, DirectSolutionSolvesTheWholeEquation) {
  // The direct solution is checked against P = T P T' + R R' on its first row only (the other
  // entries are filled from the equation, and those below the diagonal are their mirror
  // images): whenever it is accepted, every entry must satisfy the equation.
  std::mt19937 rng(17);
  int accepted = 0;
  for (int trial = 0; trial < 80; ++trial) {
    Coefs c;
    c.ar = stable(trial % 4, rng);
    c.ma = stable((trial / 4) % 4, rng);
    const int m = trial % 2 == 0 ? 12 : 4;
    c.sar = stable(trial % 2, rng);
    c.sma = stable((trial / 2) % 2, rng);
    const StateSpace s = tarn::arima_detail::state_space(c, m);
    std::vector<double> P;
    if (s.r < 2 || !tarn::arima_detail::stationary_covariance_direct(s, P)) continue;
    ++accepted;
    const int r = s.r;
    auto at = [&](int i, int l) {
      return i < r && l < r ? P[static_cast<std::size_t>(i * r + l)] : 0.0;
    };
    double worst = 0.0;
    for (int i = 0; i < r; ++i)
      for (int l = 0; l < r; ++l) {
        const double fi = s.phi[static_cast<std::size_t>(i)],
                     fl = s.phi[static_cast<std::size_t>(l)];
        const double t = fi * fl * P[0] + fi * at(0, l + 1) + fl * at(i + 1, 0) + at(i + 1, l + 1) +
                         s.R[static_cast<std::size_t>(i)] * s.R[static_cast<std::size_t>(l)];
        worst = std::max(worst, std::fabs(t - at(i, l)));
        EXPECT_EQ(at(i, l), at(l, i)) << trial << " " << i << " " << l;
      }
    EXPECT_LE(worst, 1e-10 * max_abs(P)) << "trial " << trial;
  }
  EXPECT_GT(accepted, 60);
}

// A seasonal autoregression near a unit root that its seasonal moving average nearly cancels
// (as the order search meets on the way to an optimum: here from a monthly M3 series): some
// state entries have a variance near zero, which rounding puts a hair either side of it. That is
// still a covariance, so the direct solution stands; before, a variance of -1e-10 sent every
// such evaluation to the doubling (27 doublings of a 15 x 15 matrix), half the cost of the
// slowest monthly ARIMA fits.
TEST(StationaryCovariance, AVarianceARoundingBelowZeroIsStillTheDirectSolution) {
  for (const double gap : {1e-3, 1e-5, 6.1180445388e-7, 1e-7}) {
    Coefs c;
    c.ar = {0.84266557570835299};
    c.ma = {-0.7630142969306114, 0.12461292702541425};
    c.sar = {1.0 - gap};
    c.sma = {-(1.0 - gap)};
    const StateSpace s = tarn::arima_detail::state_space(c, 12);
    std::vector<double> direct, doubling;
    tarn::arima_detail::stationary_covariance_doubling(s, doubling);
    ASSERT_TRUE(tarn::arima_detail::stationary_covariance_direct(s, direct)) << gap;
    EXPECT_LE(max_abs_diff(direct, doubling), 1e-8 * max_abs(doubling)) << gap;
  }
}

TEST(StationaryCovariance, NearAUnitRootStillSolvesTheEquation) {
  // AR(2) with a root at 1 / 0.9995: the linear system is ill-conditioned; whichever way is
  // taken, the result must be the fixed point P = T P T' + R R'.
  Coefs c;
  c.ar = {1.9, -0.9005};
  c.ma = {0.4};
  const StateSpace s = tarn::arima_detail::state_space(c, 1);
  std::vector<double> P;
  tarn::arima_detail::stationary_covariance(s, P);
  const int r = s.r;
  auto at = [&](int i, int l) {
    return i < r && l < r ? P[static_cast<std::size_t>(i * r + l)] : 0.0;
  };
  double worst = 0.0;
  for (int i = 0; i < r; ++i) {
    for (int l = 0; l < r; ++l) {
      const double t = s.phi[i] * s.phi[l] * at(0, 0) + s.phi[i] * at(0, l + 1) +
                       s.phi[l] * at(i + 1, 0) + at(i + 1, l + 1) + s.R[i] * s.R[l];
      worst = std::max(worst, std::fabs(t - at(i, l)));
    }
  }
  EXPECT_GT(at(0, 0), 100.0);  // a nearly integrated process has a large variance
  EXPECT_LE(worst, 1e-8 * max_abs(P));
}

TEST(KalmanStep, OnePassMatchesTheTwoProductForm) {
  std::mt19937 rng(3);
  Coefs c;
  c.ar = stable(2, rng);
  c.ma = stable(3, rng);
  c.sar = stable(1, rng);
  const StateSpace s = tarn::arima_detail::state_space(c, 4);
  const int r = s.r;
  std::vector<double> P, Pref, a(static_cast<std::size_t>(r), 0.0), aref = a, scratch;
  tarn::arima_detail::stationary_covariance(s, P);
  Pref = P;
  bool steady = false;
  tarn::arima_detail::Filter filter(r, s.phi.data(), s.R.data(), a.data(), P.data(), steady,
                                    scratch);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (int t = 0; t < 40; ++t) {
    const double w = t % 7 == 3 ? std::nan("") : noise(rng);
    tarn::arima_detail::KalmanStep ks;
    ASSERT_TRUE(filter.step(w, ks));
    if (steady) break;
    // The textbook form: tmp = T P; P = tmp T' + R R'; then P -= P e1 e1' P / F.
    std::vector<double> tmp(static_cast<std::size_t>(r) * r), an(static_cast<std::size_t>(r));
    for (int i = 0; i < r; ++i) an[i] = s.phi[i] * aref[0] + (i + 1 < r ? aref[i + 1] : 0.0);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j)
        tmp[i * r + j] = s.phi[i] * Pref[j] + (i + 1 < r ? Pref[(i + 1) * r + j] : 0.0);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j)
        Pref[i * r + j] =
            tmp[i * r] * s.phi[j] + (j + 1 < r ? tmp[i * r + j + 1] : 0.0) + s.R[i] * s.R[j];
    if (std::isfinite(w)) {
      const double F = Pref[0], v = w - an[0];
      std::vector<double> col(static_cast<std::size_t>(r));
      for (int i = 0; i < r; ++i) col[i] = Pref[i * r];
      for (int i = 0; i < r; ++i) aref[i] = an[i] + col[i] / F * v;
      for (int i = 0; i < r; ++i)
        for (int j = 0; j < r; ++j) Pref[i * r + j] -= col[i] * col[j] / F;
    } else {
      aref = an;
    }
    ASSERT_EQ(P, Pref) << "step " << t;  // the same arithmetic, bit for bit
    ASSERT_EQ(a, aref) << "step " << t;
  }
}

TEST(KalmanStep, FastRecursionsGiveTheFilterInnovations) {
  // Seasonal and plain forms, MA roots near the unit circle (slow convergence of the
  // covariance) included: the innovations and log variances of the rank-one recursions equal
  // the full filter's to rounding, up to and past the steady state.
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (int trial = 0; trial < 24; ++trial) {
    Coefs c;
    c.ar = stable(trial % 3, rng);
    c.ma = stable((trial / 3) % 3, rng);
    const int m = trial % 2 ? 12 : 4;
    c.sar = stable(trial % 4 == 1 ? 1 : 0, rng);
    c.sma = trial % 4 == 3 ? std::vector<double>{-0.95} : stable(trial % 4 == 2 ? 1 : 0, rng);
    c.mu = 0.3;
    const StateSpace s = tarn::arima_detail::state_space(c, m);
    const int r = s.r;
    if (r < 2) continue;
    std::vector<double> w(150);
    for (double& v : w) v = 0.3 + noise(rng);
    std::vector<double> P, fast;
    tarn::arima_detail::stationary_covariance(s, P);
    double sumlog = 0.0;
    ASSERT_TRUE(tarn::arima_detail::fast_innovations(s, P, w, c.mu, fast, sumlog)) << trial;
    ASSERT_EQ(fast.size(), w.size());
    std::vector<double> a(static_cast<std::size_t>(r), 0.0), scratch;
    bool steady = false;
    tarn::arima_detail::Filter filter(r, s.phi.data(), s.R.data(), a.data(), P.data(), steady,
                                      scratch);
    double ref_sumlog = 0.0;
    for (std::size_t t = 0; t < w.size(); ++t) {
      tarn::arima_detail::KalmanStep ks;
      ASSERT_TRUE(filter.step(w[t] - c.mu, ks));
      ref_sumlog += std::log(ks.F);
      EXPECT_NEAR(fast[t], ks.v / std::sqrt(ks.F), 1e-8) << "trial " << trial << " step " << t;
    }
    EXPECT_NEAR(sumlog, ref_sumlog, 1e-8) << "trial " << trial;
  }
}

TEST(KalmanStep, FastRecursionsAtEveryStateSizeGiveTheFilterInnovations) {
  // Small states and those of monthly seasonal forms take the recursions with their size known
  // at compile time, the others the general one: every size from 2 to 29 against the filter.
  std::mt19937 rng(23);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<bool> seen(30, false);
  for (int m : {1, 4, 12, 24}) {
    for (int p = 0; p <= 3; ++p) {
      for (int q = 0; q <= 5; ++q) {
        for (int seasonal = 0; seasonal < (m > 1 ? 3 : 1); ++seasonal) {
          Coefs c;
          c.ar = stable(p, rng);
          c.ma = stable(q, rng);
          if (seasonal == 1) c.sar = stable(1, rng);
          if (seasonal == 2) c.sma = stable(1, rng);
          c.mu = -0.2;
          const StateSpace s = tarn::arima_detail::state_space(c, m);
          if (s.r < 2 || s.r >= 30) continue;
          seen[static_cast<std::size_t>(s.r)] = true;
          std::vector<double> w(90);
          for (double& v : w) v = -0.2 + noise(rng);
          std::vector<double> P, fast;
          tarn::arima_detail::stationary_covariance(s, P);
          double sumlog = 0.0;
          ASSERT_TRUE(tarn::arima_detail::fast_innovations(s, P, w, c.mu, fast, sumlog)) << s.r;
          std::vector<double> a(static_cast<std::size_t>(s.r), 0.0), scratch;
          bool steady = false;
          tarn::arima_detail::Filter filter(s.r, s.phi.data(), s.R.data(), a.data(), P.data(),
                                            steady, scratch);
          double ref_sumlog = 0.0;
          for (std::size_t t = 0; t < w.size(); ++t) {
            tarn::arima_detail::KalmanStep ks;
            ASSERT_TRUE(filter.step(w[t] - c.mu, ks));
            ref_sumlog += std::log(ks.F);
            ASSERT_NEAR(fast[t], ks.v / std::sqrt(ks.F), 1e-8) << "size " << s.r << " step " << t;
          }
          EXPECT_NEAR(sumlog, ref_sumlog, 1e-8) << "size " << s.r;
        }
      }
    }
  }
  for (int r : {2, 3, 4, 5, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 25, 29}) EXPECT_TRUE(seen[r]) << r;
}

TEST(KalmanStep, RecursionsRunInPairsGiveTheSingleRecursionsToTheBit) {
  // Batches of every state size from 2 to 29 (those known at compile time and not), odd and
  // even in number; in one pair the gain freezes early in one lane and never in the other; a
  // lane with a value that is not finite, one whose start is no covariance, and one of another
  // length (it runs alone) fail or pass as their single calls do, without touching the others.
  std::mt19937 rng(31);
  std::normal_distribution<double> noise(0.0, 1.0);
  using tarn::arima_detail::InnovationsTask;
  auto check = [](std::vector<InnovationsTask>& tasks, const char* what) {
    std::vector<std::vector<double>> out(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) tasks[i].out = &out[i];
    tarn::arima_detail::fast_innovations(tasks.data(), tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      std::vector<double> single;
      double sumlog = 0.0;
      const bool ok = tarn::arima_detail::fast_innovations(*tasks[i].s, *tasks[i].P0, *tasks[i].w,
                                                           tasks[i].mu, single, sumlog);
      ASSERT_EQ(tasks[i].ok, ok) << what << " task " << i;
      if (!ok) continue;
      ASSERT_EQ(out[i], single) << what << " task " << i;
      ASSERT_EQ(tasks[i].sumlog, sumlog) << what << " task " << i;
    }
  };
  std::vector<bool> seen(30, false);
  for (int m : {1, 4, 12, 24}) {
    for (int p = 0; p <= 3; ++p) {
      for (int q = 0; q <= 5; ++q) {
        for (int seasonal = 0; seasonal < (m > 1 ? 3 : 1); ++seasonal) {
          const int count = 2 + (p + q + seasonal) % 4;  // 2 to 5 tasks
          std::vector<StateSpace> s(static_cast<std::size_t>(count));
          std::vector<std::vector<double>> P(s.size()), w(s.size());
          std::vector<InnovationsTask> tasks(s.size());
          for (std::size_t i = 0; i < s.size(); ++i) {
            Coefs c;
            c.ar = stable(p, rng);
            c.ma = stable(q, rng);
            if (seasonal == 1) c.sar = stable(1, rng);
            if (seasonal == 2) c.sma = stable(1, rng);
            c.mu = 0.1 * static_cast<double>(i);
            s[i] = tarn::arima_detail::state_space(c, m);
            tarn::arima_detail::stationary_covariance(s[i], P[i]);
            w[i].resize(80);
            for (double& v : w[i]) v = c.mu + noise(rng);
            tasks[i].s = &s[i];
            tasks[i].P0 = &P[i];
            tasks[i].w = &w[i];
            tasks[i].mu = c.mu;
          }
          if (s[0].r < 2 || s[0].r >= 30) continue;
          seen[static_cast<std::size_t>(s[0].r)] = true;
          check(tasks, "sizes");
          // Failures and a length of its own, in the middle of the batch.
          w[1][40] = std::numeric_limits<double>::infinity();
          P[0][0] = -1.0;
          w.back().resize(60);
          check(tasks, "failures");
        }
      }
    }
  }
  for (int r : {2, 3, 4, 5, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 25, 29}) EXPECT_TRUE(seen[r]) << r;
  // One gain freezes within a few steps (a short moving average), the other never (a root on
  // the unit circle's edge).
  Coefs quick, slow;
  quick.ma = {-0.5, 0.2};
  slow.ma = {-0.999, 0.0};
  const StateSpace sq = tarn::arima_detail::state_space(quick, 1),
                   ss = tarn::arima_detail::state_space(slow, 1);
  std::vector<double> Pq, Ps, w(300);
  tarn::arima_detail::stationary_covariance(sq, Pq);
  tarn::arima_detail::stationary_covariance(ss, Ps);
  for (double& v : w) v = noise(rng);
  for (bool quick_first : {true, false}) {
    std::vector<InnovationsTask> tasks(2);
    tasks[quick_first ? 0 : 1].s = &sq;
    tasks[quick_first ? 0 : 1].P0 = &Pq;
    tasks[quick_first ? 1 : 0].s = &ss;
    tasks[quick_first ? 1 : 0].P0 = &Ps;
    tasks[0].w = tasks[1].w = &w;
    check(tasks, "steady");
  }
  // Variances far from one over many steps beside variances near one: the log variances summed
  // through their products, which leave their range at other steps in each lane.
  Coefs large, small;
  large.ma = {10.0};
  large.sma = {-0.999};
  small.ma = {0.1};
  small.sma = {-0.999};
  const StateSpace sl = tarn::arima_detail::state_space(large, 12),
                   sm = tarn::arima_detail::state_space(small, 12);
  std::vector<double> Pl, Pm, y(400);
  tarn::arima_detail::stationary_covariance(sl, Pl);
  tarn::arima_detail::stationary_covariance(sm, Pm);
  for (double& v : y) v = 3.0 * noise(rng);
  std::vector<InnovationsTask> tasks(2);
  tasks[0].s = &sm;
  tasks[0].P0 = &Pm;
  tasks[1].s = &sl;
  tasks[1].P0 = &Pl;
  tasks[0].w = tasks[1].w = &y;
  check(tasks, "large");
}

TEST(KalmanStep, FastRecursionsSumTheLogVariancesOfLargeAndFrozenVariances) {
  // The log variances are summed through their product: variances far from one over many steps
  // (a non-invertible factor, whose innovation variance tends to its root's square, beside a
  // seasonal root near the unit circle that keeps the recursions from settling), and a gain that
  // freezes early, still give the filter's sum.
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  struct Case {
    std::vector<double> ma, sma;
  };
  for (const Case& k :
       {Case{{10.0}, {-0.999}}, Case{{0.1}, {-0.999}}, Case{{5.0}, {}}, Case{{-0.5, 0.2}, {}}}) {
    Coefs c;
    c.ma = k.ma;
    c.sma = k.sma;
    const StateSpace s = tarn::arima_detail::state_space(c, 12);
    const int r = s.r;
    std::vector<double> w(400);
    for (double& v : w) v = 3.0 * noise(rng);
    std::vector<double> P, fast;
    tarn::arima_detail::stationary_covariance(s, P);
    double sumlog = 0.0;
    ASSERT_TRUE(tarn::arima_detail::fast_innovations(s, P, w, 0.0, fast, sumlog));
    std::vector<double> a(static_cast<std::size_t>(r), 0.0), scratch;
    bool steady = false;
    tarn::arima_detail::Filter filter(r, s.phi.data(), s.R.data(), a.data(), P.data(), steady,
                                      scratch);
    double ref = 0.0;
    for (double v : w) {
      tarn::arima_detail::KalmanStep ks;
      ASSERT_TRUE(filter.step(v, ks));
      ref += std::log(ks.F);
    }
    EXPECT_NEAR(sumlog, ref, 1e-10 * std::max(1.0, std::fabs(ref))) << k.ma[0];
  }
}

TEST(ExactLikelihood, RepeatedEvaluationsOfFormsOfEveryStateSizeAgree) {
  // The likelihood keeps its working memory between evaluations: forms of larger and smaller
  // states, with and without missing values, evaluated in turn give what each gives alone.
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> w(80);
  for (double& v : w) v = noise(rng);
  std::vector<double> gappy = w;
  gappy[17] = std::nan("");
  using tarn::arima_detail::Form;
  std::vector<std::pair<Form, std::vector<double>>> forms;
  for (int shape = 0; shape < 4; ++shape) {
    Form f;
    f.m = shape < 2 ? 4 : 12;
    f.p = shape % 2 ? 2 : 1;
    f.q = 1;
    f.Q = shape == 0 ? 0 : 1;
    f.constant = shape == 3;
    std::vector<double> x(static_cast<std::size_t>(f.count()));
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.3 - 0.2 * static_cast<double>(i);
    forms.emplace_back(f, x);
  }
  for (const std::vector<double>* series : {&w, &gappy}) {
    std::vector<std::vector<double>> alone;
    std::vector<double> logs;
    for (const auto& [f, x] : forms) {
      std::vector<double> res;
      double sumlog = 0.0;
      ASSERT_TRUE(tarn::arima_detail::exact_residuals(*series, f, x, res, &sumlog));
      alone.push_back(res);
      logs.push_back(sumlog);
    }
    for (int round = 0; round < 2; ++round) {
      for (std::size_t i = forms.size(); i-- > 0;) {
        std::vector<double> res;
        double sumlog = 0.0;
        ASSERT_TRUE(tarn::arima_detail::exact_residuals(*series, forms[i].first, forms[i].second,
                                                        res, &sumlog));
        EXPECT_EQ(res, alone[i]) << i;
        EXPECT_EQ(sumlog, logs[i]) << i;
      }
    }
  }
}

TEST(KalmanStep, FastRecursionsRefuseWhatTheyCannotFilter) {
  Coefs c;
  c.ar = {0.5};
  c.ma = {0.3};
  const StateSpace s = tarn::arima_detail::state_space(c, 1);
  std::vector<double> P, out;
  tarn::arima_detail::stationary_covariance(s, P);
  double sumlog = 0.0;
  // A missing value needs the full filter; so does a covariance that is not one.
  EXPECT_FALSE(
      tarn::arima_detail::fast_innovations(s, P, {1.0, std::nan(""), 2.0}, 0.0, out, sumlog));
  std::vector<double> bad = P;
  bad[0] = -1.0;
  EXPECT_FALSE(tarn::arima_detail::fast_innovations(s, bad, {1.0, 2.0}, 0.0, out, sumlog));
  EXPECT_FALSE(tarn::arima_detail::fast_innovations(s, P, {}, 0.0, out, sumlog));
}

TEST(SeasonalGram, DelayedProductsEqualTheSumsOverDelayedCopies) {
  // The Gram block of the seasonal initial states (BATS, Holt-Winters): products of one run
  // delayed by i and by j steps, for runs longer and shorter than the season, and seasons of
  // one block of lags, of an odd count, and of more than one block. Each sum is taken in the
  // order of t, so the fits are reproducible to the bit: the sums must equal the direct ones
  // exactly, not just to rounding.
  std::mt19937 rng(2);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t n : {1u, 5u, 12u, 13u, 60u, 130u}) {
    for (std::size_t m : {1u, 4u, 7u, 12u, 16u, 17u, 24u, 35u}) {
      std::vector<double> u(n);
      for (double& v : u) v = noise(rng);
      const std::vector<double> S = tarn::detail::delayed_products(u, m);
      ASSERT_EQ(S.size(), m * m);
      for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
          double direct = 0.0;
          for (std::size_t t = std::max(i, j); t < n; ++t) direct += u[t - i] * u[t - j];
          ASSERT_EQ(S[i * m + j], direct) << n << " " << m << " " << i << " " << j;
        }
      }
    }
  }
}

TEST(SeasonalGram, DelayedCrossEqualsTheSumsOverDelayedCopies) {
  // The products of a series with a run delayed by each season position, in the order of t:
  // exactly the direct sums, for lags beyond the series' end (zero), odd counts and several
  // blocks of lags.
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> out;
  for (std::size_t n : {1u, 5u, 12u, 13u, 60u, 130u}) {
    for (std::size_t m : {1u, 4u, 7u, 12u, 16u, 17u, 24u, 35u}) {
      std::vector<double> w(n), u(n);
      for (double& v : w) v = noise(rng);
      for (double& v : u) v = noise(rng);
      tarn::detail::delayed_cross(w, u, m, out);
      ASSERT_EQ(out.size(), m);
      for (std::size_t i = 0; i < m; ++i) {
        double direct = 0.0;
        for (std::size_t t = i; t < n; ++t) direct += w[t] * u[t - i];
        ASSERT_EQ(out[i], direct) << n << " " << m << " " << i;
      }
    }
  }
}

TEST(LevenbergMarquardtBudget, StopsStartingIterationsOnceSpent) {
  // A slow valley: without a budget the optimiser takes many iterations.
  tarn::ResidualFunction fn = [](const std::vector<double>& x, std::vector<double>& r) {
    r = {x[0] - 1.0, 10.0 * (x[1] - x[0] * x[0]), 0.1 * (x[2] - x[1])};
    return true;
  };
  tarn::LevenbergMarquardtOptions free;
  free.relative_tolerance = 1e-14;
  const tarn::LeastSquaresResult full = tarn::levenberg_marquardt(fn, {-1.2, 1.0, 3.0}, free);
  ASSERT_GT(full.evaluations, 40);
  tarn::LevenbergMarquardtOptions capped = free;
  capped.max_evaluations = 20;
  const tarn::LeastSquaresResult cut = tarn::levenberg_marquardt(fn, {-1.2, 1.0, 3.0}, capped);
  // An iteration that has started finishes: its Jacobian (3) and up to 12 step attempts.
  EXPECT_GE(cut.evaluations, 20);
  EXPECT_LE(cut.evaluations, 20 + 3 + 12);
  EXPECT_TRUE(cut.ok);
  EXPECT_LE(cut.ssr, 1.0 + 100.0 * 0.8 * 0.8 + 0.04);  // never worse than the start
}

TEST(LevenbergMarquardtBudget, SearchFitsStopOnTheLikelihoodNotFarFromTheOptimum) {
  // A seasonal ARMA series: the search's fits (within the budget, stopped once an iteration
  // gains less than kSearchGain in -2 log likelihood) end within a small fraction of an AICc
  // unit of the full fits, and rank the forms as the full fits do: the same form is best.
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> w(130), e(130);
  for (std::size_t t = 0; t < w.size(); ++t) {
    e[t] = noise(rng);
    w[t] = e[t] + (t >= 1 ? 0.5 * w[t - 1] + 0.3 * e[t - 1] : 0.0) +
           (t >= 13 ? 0.4 * w[t - 12] - 0.2 * w[t - 13] : 0.0);
  }
  double best_full = 1e300, best_quick = 1e300;
  int argbest_full = -1, argbest_quick = -1;
  for (int p = 0; p <= 2; ++p) {
    for (int q = 0; q <= 2; ++q) {
      tarn::arima_detail::Form f;
      f.p = p, f.q = q, f.P = 1, f.Q = q % 2, f.m = 12, f.constant = true;
      const auto full = tarn::arima_detail::fit_css(w, f, 14, false, false);
      const auto quick = tarn::arima_detail::fit_css(w, f, 14, false, true);
      ASSERT_TRUE(full.ok && quick.ok) << p << q;
      EXPECT_GE(quick.aicc, full.aicc - 0.05) << p << q;
      EXPECT_LE(quick.aicc, full.aicc + 0.25) << p << q;
      if (full.aicc < best_full) best_full = full.aicc, argbest_full = 3 * p + q;
      if (quick.aicc < best_quick) best_quick = quick.aicc, argbest_quick = 3 * p + q;
    }
  }
  EXPECT_EQ(argbest_quick, argbest_full);
}

// A seasonal series of n values with a level shift halfway: a fit on the whole of it and one
// on its latest part differ.
std::vector<double> shifted_series(std::size_t n) {
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> y(n);
  double level = 50.0;
  for (std::size_t t = 0; t < n; ++t) {
    if (t == n / 2) level = 80.0;
    level += 0.05 * noise(rng);
    y[t] = level + 5.0 * std::sin(2.0 * M_PI * static_cast<double>(t % 12) / 12.0) + noise(rng);
  }
  return y;
}

std::vector<double> forecasts(tarn::Model& m, int h) {
  std::vector<double> out(static_cast<std::size_t>(h));
  m.forecast_path(out.size(), out.data());
  return out;
}

TEST(FitWindow, LongSamplesFitTheirLatestValuesOnly) {
  // Each model trained on more values than its window gives the model trained on the latest
  // window alone: the same forecasts.
  EXPECT_EQ(tarn::fit_window(1), tarn::kFitWindow);
  EXPECT_EQ(tarn::fit_window(7) % 7, 0u);
  EXPECT_GE(tarn::fit_window(7), tarn::kFitWindow);
  EXPECT_EQ(tarn::fit_window(5000), 20000u);  // at least four seasons
  struct Case {
    const char* kind;
    std::size_t window;
    tarn::Options options;  // besides the training size
    const char* size_key;
  };
  const std::vector<Case> cases = {
      {"arma", tarn::kFitWindow, {{"p_max", 1}, {"q_max", 1}}, "min_training_data"},
      {"arima",
       tarn::fit_window(12),
       {{"samples_per_season", 12}, {"p_max", 1}, {"q_max", 1}},
       "min_training_data"},
      {"bats",
       tarn::fit_window(4),
       {{"season_length", 4}, {"arma_errors", false}},
       "training_sample_size"},
      {"intermittent", tarn::kFitWindow, {}, "training_sample_size"},
  };
  for (const Case& c : cases) {
    const std::size_t n = c.window + 1001;
    const std::vector<double> y = shifted_series(n);
    tarn::Options whole = c.options, part = c.options;
    whole[c.size_key] = static_cast<std::int64_t>(n);
    part[c.size_key] = static_cast<std::int64_t>(c.window);
    std::unique_ptr<tarn::Model> a = tarn::build(c.kind, whole);
    std::unique_ptr<tarn::Model> b = tarn::build(c.kind, part);
    for (std::size_t t = 0; t < n; ++t) a->update(static_cast<std::int64_t>(t), y[t]);
    for (std::size_t t = n - c.window; t < n; ++t) b->update(static_cast<std::int64_t>(t), y[t]);
    ASSERT_TRUE(a->is_initialized()) << c.kind;
    ASSERT_TRUE(b->is_initialized()) << c.kind;
    EXPECT_EQ(forecasts(*a, 24), forecasts(*b, 24)) << c.kind;
  }
}

TEST(FitWindow, AWindowOfMissingValuesFitsTheWholeSample) {
  // The latest window holds almost nothing (a sensor gone quiet): the models learn from the
  // whole sample rather than forecast from nothing.
  const std::size_t n = 3 * tarn::kFitWindow;
  std::vector<double> y = shifted_series(n);
  for (std::size_t t = n - tarn::kFitWindow - 10; t < n; ++t) {
    if (t % 1000 != 0) y[t] = std::nan("");
  }
  EXPECT_EQ(tarn::fit_start(y, tarn::kFitWindow), 0u);
  const auto N = static_cast<std::int64_t>(n);
  const std::vector<std::pair<const char*, tarn::Options>> cases = {
      {"arma", {{"min_training_data", N}, {"p_max", 1}, {"q_max", 1}}},
      {"bats", {{"training_sample_size", N}, {"season_length", 4}, {"arma_errors", false}}},
      {"intermittent", {{"training_sample_size", N}}},
      {"auto", {{"min_training_data", N}, {"candidates", "theta,snaive"}}},
  };
  for (const auto& [kind, options] : cases) {
    std::unique_ptr<tarn::Model> m = tarn::build(kind, options);
    for (std::size_t t = 0; t < n; ++t) m->update(static_cast<std::int64_t>(t), y[t]);
    ASSERT_TRUE(m->is_initialized()) << kind;
    const double f = forecasts(*m, 1)[0];
    EXPECT_GT(f, 40.0) << kind;
    EXPECT_LT(f, 100.0) << kind;
  }
}

TEST(FitWindow, SelectorSearchesTheLatestValues) {
  const std::size_t n = tarn::kFitWindow + 5000;
  const std::vector<double> y = shifted_series(n);
  tarn::AutoConfig cfg;
  cfg.candidates = {"theta", "snaive"};
  cfg.min_training_data = static_cast<std::int64_t>(n);
  tarn::AutoSelector whole(cfg);
  for (std::size_t t = 0; t < n; ++t) whole.update(static_cast<std::int64_t>(t), y[t]);
  cfg.min_training_data = static_cast<std::int64_t>(tarn::kFitWindow);
  tarn::AutoSelector part(cfg);
  for (std::size_t t = n - tarn::kFitWindow; t < n; ++t) {
    part.update(static_cast<std::int64_t>(t), y[t]);
  }
  ASSERT_TRUE(whole.is_initialized());
  EXPECT_EQ(whole.season_length(), 12);
  EXPECT_EQ(whole.season_length(), part.season_length());
  EXPECT_EQ(forecasts(whole, 24), forecasts(part, 24));
  // The level after the shift, not the mean of both halves.
  EXPECT_GT(forecasts(whole, 1)[0], 70.0);
}

}  // namespace

namespace {

TEST(StudentQuantile, LargeDegreesOfFreedomByExpansionAgreeWithTheExactInverse) {
  // Below 1000 degrees of freedom the quantile inverts the distribution function; from 1000
  // on it is the expansion about the normal quantile. The two agree across the switch, the
  // quantile falls towards the normal one as the degrees of freedom grow, and a known value
  // holds (t at 0.975 with 1000 degrees of freedom is 1.9623390808...).
  for (double p : {0.6, 0.8413447460685429, 0.975, 0.995, 0.99995}) {
    const double below = tarn::student_quantile(p, 999.99999);
    const double at = tarn::student_quantile(p, 1000.0);
    EXPECT_NEAR(at, below, 1e-9 * at) << p;
    double prev = at;
    for (double dof : {3e3, 1e4, 1e5, 1e6, 9.99e6}) {
      const double q = tarn::student_quantile(p, dof);
      EXPECT_LT(q, prev) << p << " " << dof;
      EXPECT_GT(q, tarn::normal_quantile(p)) << p << " " << dof;
      prev = q;
    }
    EXPECT_NEAR(tarn::student_quantile(1.0 - p, 5e4), -tarn::student_quantile(p, 5e4), 1e-12);
  }
  EXPECT_NEAR(tarn::student_quantile(0.975, 1000.0), 1.9623390808, 1e-9);
}

}  // namespace
