// Where the automatic fits save evaluations without changing what they choose: BATS picks the
// order of its ARMA errors on the innovations of the model without them and restarts only the
// chosen form's simplex; the ARIMA search's chosen order is estimated by exact likelihood.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "../src/arima_search.hpp"
#include "../src/bats_arma.hpp"
#include "tarn/bats.hpp"

namespace {

using tarn::Bats;
using tarn::BatsConfig;

// ARMA(p <= 1, q <= 1) noise: e_t = ar e_{t-1} + u_t + ma u_{t-1}.
std::vector<double> arma_noise(std::size_t n, double ar, double ma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 1.0);
  std::vector<double> e(n);
  double prev = 0.0, prev_u = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    const double u = eps(rng);
    e[t] = ar * prev + u + ma * prev_u;
    prev = e[t];
    prev_u = u;
  }
  return e;
}

Bats fitted(const std::vector<double>& y, BatsConfig c) {
  c.training_sample_size = static_cast<std::int64_t>(y.size());
  Bats b(c);
  for (std::size_t t = 0; t < y.size(); ++t) b.update(static_cast<std::int64_t>(t), y[t]);
  return b;
}

TEST(BatsArmaOrder, FindsTheOrderOfAutocorrelatedInnovations) {
  int ar_found = 0, ma_found = 0, white_quiet = 0;
  for (unsigned seed = 1; seed <= 10; ++seed) {
    const auto [p_ar, q_ar] = tarn::detail::bats_arma_order(arma_noise(200, 0.7, 0.0, seed));
    ar_found += p_ar >= 1;
    const auto [p_ma, q_ma] = tarn::detail::bats_arma_order(arma_noise(200, 0.0, 0.8, seed));
    ma_found += p_ma + q_ma >= 1;
    const auto [p_w, q_w] = tarn::detail::bats_arma_order(arma_noise(200, 0.0, 0.0, seed));
    white_quiet += p_w + q_w == 0;
    EXPECT_LE(p_ar, 2);
    EXPECT_LE(q_ar, 2);
  }
  EXPECT_EQ(ar_found, 10);
  EXPECT_EQ(ma_found, 10);
  // White noise: the smallest AICc among the nine orders is white noise itself in at least
  // half the samples (more candidates, more chances for one to win by luck).
  EXPECT_GE(white_quiet, 5);
}

TEST(BatsArmaOrder, TooShortConstantOrMissingInnovationsGetNone) {
  using Order = std::pair<int, int>;
  EXPECT_EQ(tarn::detail::bats_arma_order({}), Order(0, 0));
  EXPECT_EQ(tarn::detail::bats_arma_order({1.0, -1.0, 0.5, 0.2}), Order(0, 0));
  EXPECT_EQ(tarn::detail::bats_arma_order(std::vector<double>(50, 0.0)), Order(0, 0));
  auto e = arma_noise(200, 0.8, 0.0, 3);
  e[100] = std::nan("");
  EXPECT_EQ(tarn::detail::bats_arma_order(e), Order(0, 0));
}

TEST(BatsArmaErrors, AutocorrelatedErrorsGetTheirTermsAndForecastsStayFinite) {
  // A level with errors that alternate in sign (AR -0.6, which no smoothing can follow): the
  // ARMA terms are kept; the same level with independent errors keeps none.
  int with_terms = 0, without_terms = 0;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const auto e = arma_noise(160, -0.6, 0.0, seed);
    const auto w = arma_noise(160, 0.0, 0.0, seed + 100);
    std::vector<double> y(e.size()), yw(w.size());
    for (std::size_t t = 0; t < e.size(); ++t) {
      y[t] = 100.0 + e[t];
      yw[t] = 100.0 + w[t];
    }
    const Bats b = fitted(y, BatsConfig{0, false, 1, true, false});
    const Bats bw = fitted(yw, BatsConfig{0, false, 1, true, false});
    with_terms += b.params().p + b.params().q > 0;
    without_terms += bw.params().p + bw.params().q == 0;
    for (int h = 1; h <= 30; ++h) ASSERT_TRUE(std::isfinite(b.forecast_steps(h))) << h;
  }
  EXPECT_GE(with_terms, 3);
  EXPECT_GE(without_terms, 3);
}

TEST(BatsForms, TheChosenFormIsFittedAsFullyAsWhenItIsTheOnlyCandidate) {
  // Every form is compared after one simplex run and only the chosen one restarted: the chosen
  // form ends where a fit of that form alone (run and restart) ends, so more candidates never
  // leave the winner less well estimated.
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> eps(0.0, 1.0);
    std::vector<double> y(144);
    double level = 50.0;
    for (std::size_t t = 0; t < y.size(); ++t) {
      const double e = eps(rng);
      y[t] = level + 8.0 * std::sin(2.0 * M_PI * static_cast<double>(t % 12) / 12.0) + e;
      level += 0.3 * e;
    }
    const Bats all = fitted(y, BatsConfig{0, false, 12, false, true});
    BatsConfig only;
    only.season_length = 12;
    only.arma_errors = false;
    only.trend = all.params().trend;
    const Bats one = fitted(y, only);
    if (all.params().m != one.params().m || all.params().phi != one.params().phi) continue;
    EXPECT_DOUBLE_EQ(all.aicc(), one.aicc()) << seed;
    EXPECT_DOUBLE_EQ(all.params().alpha, one.params().alpha) << seed;
  }
}

TEST(ArimaSelection, TheChosenOrderIsEstimatedByExactLikelihood) {
  // An AR(1) series searched with seasonal terms of season 12, so large a state that the
  // search is approximate: the order found is refitted exactly (no fallback note).
  for (unsigned seed : {1u, 2u, 3u}) {
    const auto e = arma_noise(180, 0.6, 0.0, seed);
    std::vector<double> y(e.size());
    for (std::size_t t = 0; t < e.size(); ++t) y[t] = 20.0 + e[t];
    tarn::ArimaConfig cfg;
    cfg.samples_per_season = 12;
    cfg.d = 0;
    const auto sel = tarn::arima_detail::select_model(cfg, tarn::arima_detail::standardise(y));
    ASSERT_TRUE(sel.fit.ok) << seed;
    EXPECT_TRUE(sel.fit.exact) << seed;
    EXPECT_TRUE(sel.note.empty()) << sel.note;
    EXPECT_TRUE(std::isfinite(sel.fit.aicc));
    EXPECT_GE(sel.fit.form.p + sel.fit.form.q + sel.fit.form.P + sel.fit.form.Q, 1) << seed;
  }
}

}  // namespace

namespace tarn {
// Reads a fitted model's forecasts on its transformed scale.
struct BatsProbe {
  static double point(const Bats& b, std::int64_t h) { return b.point_z(h); }
  static std::vector<double> path(const Bats& b, std::int64_t h) {
    std::vector<double> out(static_cast<std::size_t>(h));
    b.point_z_path(h, out.data());
    return out;
  }
};
}  // namespace tarn

TEST(BatsArmaErrors, ForecastsAlongAPathAreTheSingleForecasts) {
  // The calibration of the intervals reads the 1..H step forecasts from every origin along one
  // run of the filter: with ARMA errors they must be the single forecasts, bit for bit, also
  // past the steps that are simulated (kArmaSimulated) and without ARMA errors.
  int with_terms = 0;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const auto e = arma_noise(144, -0.6, 0.0, seed);
    std::vector<double> y(e.size());
    for (std::size_t t = 0; t < e.size(); ++t) {
      y[t] = 100.0 + 0.05 * static_cast<double>(t) + 5.0 * std::sin(0.5235987755982988 * t) + e[t];
    }
    for (const bool arma : {true, false}) {
      const Bats b = fitted(y, BatsConfig{0, false, 12, arma, true});
      with_terms += b.params().p + b.params().q > 0;
      const std::int64_t h = arma ? 2005 : 40;
      const std::vector<double> path = tarn::BatsProbe::path(b, h);
      for (std::int64_t k = 1; k <= h; ++k) {
        ASSERT_EQ(path[static_cast<std::size_t>(k - 1)], tarn::BatsProbe::point(b, k)) << k;
      }
    }
  }
  EXPECT_GE(with_terms, 1);
}
