// Holt-Winters with errors proportional to the level: likelihood, choice of the error form,
// intervals and saved state.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/holt_winters.hpp"

namespace {

using tarn::detail::holt_winters_minus2_loglik;

const tarn::HoltWinters& as_hw(const tarn::Model& m) {
  return dynamic_cast<const tarn::HoltWinters&>(m);
}

std::unique_ptr<tarn::Model> level_model(std::size_t n, const char* errors = "auto") {
  return tarn::build("hws", {{"samples_per_season", 1},
                             {"initial_training_seasons", static_cast<std::int64_t>(n)},
                             {"compute_seasonality", false},
                             {"error_type", errors}});
}

void feed(tarn::Model& m, const std::vector<double>& x) {
  for (std::size_t i = 0; i < x.size(); ++i) m.update(static_cast<std::int64_t>(i), x[i]);
}

// A random walk in logs: growth from about 20 to about 2000 with 6% relative noise, or the
// same path with noise of a constant size.
std::vector<double> growing(bool proportional, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> x;
  double level = 20.0;
  for (int t = 0; t < 120; ++t) {
    level *= 1.04;
    const double noise = proportional ? level * 0.06 * nd(rng) : 4.0 * nd(rng);
    x.push_back(std::max(level + noise, 1.0));
  }
  return x;
}

TEST(HoltWintersErrors, LikelihoodMatchesAHandComputation) {
  // Level only, alpha = 0.5, l0 = 10: forecasts 10, 10, 11, 11 and errors 0, 2, 0, 2.
  const std::vector<double> y = {10, 12, 11, 13};
  EXPECT_NEAR(holt_winters_minus2_loglik(y, false, 1.0, false, false, 0.5, 0, 0, 10, 0, {}),
              4.0 * std::log(8.0 / 4.0), 1e-12);
  const double rel = std::pow(2.0 / 10.0, 2) + std::pow(2.0 / 11.0, 2);
  const double logs = 2.0 * (2.0 * std::log(10.0) + 2.0 * std::log(11.0));
  EXPECT_NEAR(holt_winters_minus2_loglik(y, false, 1.0, false, true, 0.5, 0, 0, 10, 0, {}),
              4.0 * std::log(rel / 4.0) + logs, 1e-12);

  // Multiplicative trend-free season of 2 with multiplicative errors, written in the relative
  // errors eps_t = (y_t - mu_t) / mu_t: mu_t = l s, l <- l (1 + alpha eps), s <- s (1 + gamma
  // eps). The recursion in the one-step errors must give the same likelihood.
  const std::vector<double> z = {12, 9, 11, 10.5};
  const double alpha = 0.5, gamma = 0.2;
  double l = 10.0;
  std::vector<double> s = {1.1, 0.9};
  double sse = 0.0, sum_log = 0.0;
  for (std::size_t t = 0; t < z.size(); ++t) {
    double& st = s[t % 2];
    const double mu = l * st;
    const double eps = (z[t] - mu) / mu;
    sse += eps * eps;
    sum_log += std::log(mu);
    l *= 1.0 + alpha * eps;
    st *= 1.0 + gamma * eps;
  }
  EXPECT_NEAR(
      holt_winters_minus2_loglik(z, false, 1.0, true, true, alpha, 0, gamma, 10, 0, {1.1, 0.9}),
      4.0 * std::log(sse / 4.0) + 2.0 * sum_log, 1e-10);

  // Damped trend, additive errors: l0 = 10, b0 = 1, phi = 0.9, alpha = 0.5, beta = 0.2.
  // mu1 = 10.9, e1 = 0.1; l1 = 10.95, b1 = 0.92; mu2 = 11.778, e2 = -0.778.
  const std::vector<double> w = {11, 11};
  const double e1 = 0.1, e2 = 11.0 - (10.95 + 0.9 * 0.92);
  EXPECT_NEAR(holt_winters_minus2_loglik(w, true, 0.9, false, false, 0.5, 0.2, 0, 10, 1, {}),
              2.0 * std::log((e1 * e1 + e2 * e2) / 2.0), 1e-10);
  // A missing value moves the state on without an error; a non-positive forecast is outside
  // the multiplicative-error model.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NEAR(
      holt_winters_minus2_loglik({10, nan, 12}, false, 1.0, false, false, 0.5, 0, 0, 10, 0, {}),
      2.0 * std::log(4.0 / 2.0), 1e-12);
  EXPECT_TRUE(std::isinf(
      holt_winters_minus2_loglik({1, 2}, false, 1.0, false, true, 0.5, 0, 0, -1, 0, {})));
}

// The likelihood written out in its textbook order of operations (forecast, error, each state
// updated from the error, one logarithm per forecast) must agree with the engine's to rounding
// for every form, through a gap, and at magnitudes whose product of forecasts leaves the range
// of a double (the engine sums the logarithms as one logarithm of a renormalised product).
double textbook_loglik(const std::vector<double>& y, bool trend, double phi, bool mult, bool merr,
                       double alpha, double beta, double gamma, double l0, double b0,
                       std::vector<double> s) {
  const bool relative = mult || merr;
  double level = l0, slope = trend ? b0 : 0.0, sse = 0.0, logs = 0.0;
  const double ph = trend ? phi : 0.0;
  std::size_t n = 0;
  for (std::size_t t = 0; t < y.size(); ++t) {
    const double base = level + ph * slope;
    const double sv = s.empty() ? (mult ? 1.0 : 0.0) : s[t % s.size()];
    const double mu = mult ? base * sv : base + sv;
    if (std::isnan(y[t])) {
      level = base;
      slope *= ph;
      continue;
    }
    const double e = y[t] - mu, r = mult ? e / sv : e;
    level = base + alpha * r;
    slope = ph * slope + beta * r;
    if (!s.empty()) s[t % s.size()] = mult ? sv + gamma * e / base : sv + gamma * e;
    ++n;
    sse += relative ? (e / mu) * (e / mu) : e * e;
    if (relative) logs += std::log(mu);
  }
  return static_cast<double>(n) * std::log(sse / static_cast<double>(n)) + 2.0 * logs;
}

TEST(HoltWintersErrors, LikelihoodAgreesWithTheTextbookOrder) {
  std::mt19937 rng(5);
  std::normal_distribution<double> nd(0.0, 1.0);
  const std::vector<double> profile = {1.2, 0.9, 0.8, 1.1};
  for (double scale : {1.0, 1e60, 1e-60, 1e150, 1e-150}) {
    std::vector<double> y;
    for (int t = 0; t < 96; ++t)
      y.push_back(scale * (20.0 + 0.1 * t) * profile[t % 4] * (1.0 + 0.05 * nd(rng)));
    y[30] = std::numeric_limits<double>::quiet_NaN();
    for (int form = 0; form < 10; ++form) {
      const bool trend = form & 1, season = form & 2;
      const bool mult = season && (form & 4), merr = !mult && (form & 8);
      if (form >= 8 && (form & 4)) continue;
      // Additive errors carry no logarithms, and their squared errors at 1e-150 fall below
      // the likelihood's floor: the magnitudes are for the relative forms.
      if (!mult && !merr && scale != 1.0) continue;
      SCOPED_TRACE(testing::Message() << "scale " << scale << " form " << form);
      const double phi = trend ? 0.9 : 1.0;
      std::vector<double> s0;
      if (season) {
        for (double v : profile) s0.push_back(mult ? v : scale * 20.0 * (v - 1.0));
      }
      const double b0 = trend ? 0.1 * scale : 0.0;
      const double engine = holt_winters_minus2_loglik(y, trend, phi, mult, merr, 0.3, 0.05, 0.1,
                                                       20.0 * scale, b0, s0);
      const double textbook =
          textbook_loglik(y, trend, phi, mult, merr, 0.3, 0.05, 0.1, 20.0 * scale, b0, s0);
      ASSERT_TRUE(std::isfinite(textbook));
      EXPECT_NEAR(engine, textbook, 1e-9 * std::max(1.0, std::fabs(textbook)));
    }
  }
}

TEST(HoltWintersErrors, ChoiceFollowsTheNoise) {
  int chose_m_on_proportional = 0, chose_a_on_constant = 0;
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const auto p = growing(true, seed);
    auto mp = level_model(p.size());
    feed(*mp, p);
    ASSERT_TRUE(mp->is_initialized());
    chose_m_on_proportional += as_hw(*mp).multiplicative_errors();
    const auto c = growing(false, seed);
    auto mc = level_model(c.size());
    feed(*mc, c);
    ASSERT_TRUE(mc->is_initialized());
    chose_a_on_constant += !as_hw(*mc).multiplicative_errors();
  }
  EXPECT_GE(chose_m_on_proportional, 4);
  EXPECT_GE(chose_a_on_constant, 4);

  // The setting forces either form; data that are not strictly positive keep additive errors
  // and say so.
  const auto p = growing(true, 7);
  auto forced_a = level_model(p.size(), "additive");
  feed(*forced_a, p);
  EXPECT_FALSE(as_hw(*forced_a).multiplicative_errors());
  const auto c = growing(false, 7);
  auto forced_m = level_model(c.size(), "multiplicative");
  feed(*forced_m, c);
  EXPECT_TRUE(as_hw(*forced_m).multiplicative_errors());
  EXPECT_NE(forced_m->describe().find("multiplicative errors"), std::string::npos);
  std::vector<double> around_zero(40);
  for (std::size_t i = 0; i < around_zero.size(); ++i) around_zero[i] = (i % 3 == 0) ? -1.0 : 2.0;
  auto fallback = level_model(around_zero.size(), "multiplicative");
  feed(*fallback, around_zero);
  EXPECT_FALSE(as_hw(*fallback).multiplicative_errors());
  EXPECT_NE(fallback->fit_note().find("not strictly positive"), std::string::npos);

  // Told its values are logarithms, the model keeps to additive errors (relative ones on the
  // series' scale) unless asked otherwise; the saved state remembers it for a refit.
  auto plain = level_model(p.size());
  feed(*plain, p);
  ASSERT_TRUE(as_hw(*plain).multiplicative_errors());
  auto logs = level_model(p.size());
  logs->set_log_input(2.0);
  feed(*logs, p);
  EXPECT_FALSE(as_hw(*logs).multiplicative_errors());
  auto copy = tarn::Model::deserialize(logs->serialize());
  copy->reset();
  feed(*copy, p);
  EXPECT_FALSE(as_hw(*copy).multiplicative_errors());
  auto asked = level_model(p.size(), "multiplicative");
  asked->set_log_input(2.0);
  feed(*asked, p);
  EXPECT_TRUE(as_hw(*asked).multiplicative_errors());
}

TEST(HoltWintersErrors, BadSettingIsNamed) {
  try {
    level_model(10, "proportional");
    FAIL() << "accepted a bad error_type";
  } catch (const tarn::InvalidArgument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("error_type"), std::string::npos) << what;
    EXPECT_NE(what.find("proportional"), std::string::npos) << what;
  }
}

TEST(HoltWintersErrors, BandsGrowWithTheLevel) {
  // Same relative noise, one series ending ten times higher than the other: with
  // multiplicative errors the band is proportional to the forecast; with additive errors it
  // is the same absolute width at the two ends of a series.
  const auto p = growing(true, 3);
  auto m = level_model(p.size(), "multiplicative");
  feed(*m, p);
  std::vector<double> scaled(p);
  for (double& v : scaled) v *= 10.0;
  auto big = level_model(scaled.size(), "multiplicative");
  feed(*big, scaled);
  for (double h : {1.0, 4.0, 12.0}) {
    const auto [lo, hi] = m->forecast_interval_steps(h, 0.9);
    const auto [blo, bhi] = big->forecast_interval_steps(h, 0.9);
    EXPECT_NEAR((bhi - blo) / (hi - lo), 10.0, 1e-6);
    EXPECT_GT(hi - lo, 0.0);
  }
  // Widths never shrink with the horizon.
  double last = 0.0;
  for (double h = 1; h <= 24; ++h) {
    const auto [lo, hi] = m->forecast_interval_steps(h, 0.95);
    EXPECT_GE(hi - lo, last * (1.0 - 1e-12));
    last = hi - lo;
  }
}

TEST(HoltWintersErrors, LevelModelVarianceCompounds) {
  // Level model with multiplicative errors, too short a series for the horizon calibration:
  // v_h = mu^2 [(1 + alpha^2 sigma^2)^(h-1) (1 + sigma^2) - 1], so with the width ratios
  // r_h = w_h / w_1: r_2^2 = 1 + alpha^2 + alpha^2 sigma^2 (the first-order approximation
  // stops at 1 + alpha^2) and r_3^2 = ((1 + alpha^2 sigma^2)^2 (1 + sigma^2) - 1) / sigma^2.
  auto m = level_model(5, "multiplicative");
  feed(*m, {10, 16, 7, 14, 9});
  ASSERT_TRUE(m->is_initialized());
  ASSERT_TRUE(as_hw(*m).multiplicative_errors());
  const double alpha = as_hw(*m).alpha();
  auto width = [&](double h) {
    const auto [lo, hi] = m->forecast_interval_steps(h, 0.9);
    return hi - lo;
  };
  const double r2 = width(2) / width(1), r3 = width(3) / width(1);
  const double a2s2 = r2 * r2 - 1.0 - alpha * alpha;
  ASSERT_GT(a2s2, 1e-6 * alpha * alpha);
  const double s2 = a2s2 / (alpha * alpha);
  EXPECT_NEAR(r3 * r3, (std::pow(1.0 + a2s2, 2) * (1.0 + s2) - 1.0) / s2, 1e-9);
}

TEST(HoltWintersErrors, StateRoundTripKeepsTheErrorForm) {
  const auto p = growing(true, 11);
  for (const char* errors : {"auto", "additive", "multiplicative"}) {
    auto m = level_model(90, errors);
    feed(*m, std::vector<double>(p.begin(), p.begin() + 90));
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize());
    EXPECT_EQ(as_hw(*copy).multiplicative_errors(), as_hw(*m).multiplicative_errors());
    EXPECT_EQ(as_hw(*copy).config().errors, as_hw(*m).config().errors);
    for (std::size_t i = 90; i < p.size(); ++i) {
      m->update(static_cast<std::int64_t>(i), p[i]);
      copy->update(static_cast<std::int64_t>(i), p[i]);
    }
    for (double h : {1.0, 6.0}) {
      EXPECT_EQ(copy->forecast_steps(h), m->forecast_steps(h));
      EXPECT_EQ(copy->forecast_interval_steps(h, 0.8), m->forecast_interval_steps(h, 0.8));
    }
  }
  // A model still collecting its data keeps its setting.
  auto fresh = level_model(90, "multiplicative");
  feed(*fresh, std::vector<double>(p.begin(), p.begin() + 10));
  auto copy = tarn::Model::deserialize(fresh->serialize());
  EXPECT_EQ(as_hw(*copy).config().errors, tarn::HoltWintersErrors::Multiplicative);
}

}  // namespace
