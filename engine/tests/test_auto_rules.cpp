// The selector's combination rules: the median and the error-weighted mean of the candidates'
// forecasts, their choice as an option and in the saved state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/auto.hpp"
#include "tarn/builders.hpp"

namespace {

using tarn::auto_detail::median_of;
using tarn::auto_detail::rolling_origin_weights;
using tarn::auto_detail::weighted_mean_of;

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(AutoRules, MedianAndWeightedMeanOfForecasts) {
  EXPECT_EQ(median_of({3.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(median_of({4.0, 1.0, 3.0, 2.0}), 2.5);
  EXPECT_EQ(median_of({5.0, kNaN, 1.0, 100.0}), 5.0);  // missing forecasts do not count
  EXPECT_EQ(median_of({kMax, kMax}), kMax);            // no overflow between the middle two
  EXPECT_TRUE(std::isnan(median_of({})));
  EXPECT_DOUBLE_EQ(weighted_mean_of({10.0, 20.0}, {3.0, 1.0}), 12.5);
  EXPECT_EQ(weighted_mean_of({kMax, kMax}, {1.0, 1.0}), kMax);
  EXPECT_DOUBLE_EQ(weighted_mean_of({10.0, kNaN, 30.0}, {1.0, 5.0, 1.0}), 20.0);
  EXPECT_TRUE(std::isnan(weighted_mean_of({1.0}, {0.0})));
}

double sum_of(const std::vector<double>& w) {
  double s = 0.0;
  for (double v : w) s += v;
  return s;
}

TEST(AutoRules, RollingOriginWeightsFollowTheErrorsStepByStep) {
  // Candidate 1 is twice as far off as candidate 0 at every step, candidate 2 in between; the
  // long steps' larger errors do not swamp the short ones.
  const auto w = rolling_origin_weights({{1.0, 10.0, 100.0}, {2.0, 20.0, 200.0}, {1.5, 15, 150}});
  ASSERT_EQ(w.size(), 3U);
  EXPECT_NEAR(sum_of(w), 1.0, 1e-12);
  EXPECT_GT(w[0], w[2]);
  EXPECT_GT(w[2], w[1]);
  EXPECT_NEAR(w[0] / w[1], 2.0, 1e-12);  // inversely proportional to the mean squared errors
  // Better at the first step and worse at the last by the same ratio: equal shares.
  const auto even = rolling_origin_weights({{1.0, 400.0}, {2.0, 200.0}});
  EXPECT_NEAR(even[0], even[1], 1e-12);
  // Unmeasured (no steps, or NaN) scores as the average of the others; nothing measured at
  // all, or an empty list, gives equal weights.
  const auto part = rolling_origin_weights({{1.0}, {}, {3.0}});
  EXPECT_GT(part[0], part[1]);
  EXPECT_GT(part[1], part[2]);
  EXPECT_NEAR(sum_of(part), 1.0, 1e-12);
  for (const auto& none : {rolling_origin_weights({{kNaN}, {}}), rolling_origin_weights({{}, {}})})
    EXPECT_EQ(none, (std::vector<double>{0.5, 0.5}));
  EXPECT_TRUE(rolling_origin_weights({}).empty());
  // An exact candidate takes the weight; errors near the largest double stay finite.
  EXPECT_EQ(rolling_origin_weights({{0.0, 0.0}, {1.0, 2.0}}), (std::vector<double>{1.0, 0.0}));
  const auto huge = rolling_origin_weights({{kMax}, {kMax / 4}, {1e-300}});
  EXPECT_NEAR(sum_of(huge), 1.0, 1e-12);
  EXPECT_GT(huge[2], 0.999);
  EXPECT_EQ(rolling_origin_weights({{0.0}, {0.0}}), (std::vector<double>{0.5, 0.5}));
  // Trimming drops the least weight and shares equally; with two, nothing is trimmed.
  EXPECT_EQ(tarn::auto_detail::trim_worst(w), (std::vector<double>{0.5, 0.0, 0.5}));
  EXPECT_EQ(tarn::auto_detail::trim_worst({0.9, 0.1}), (std::vector<double>{0.5, 0.5}));
}

std::vector<double> noisy_season(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 2.0);
  std::vector<double> y;
  for (int t = 0; t < n; ++t)
    y.push_back(100.0 + 0.5 * t + 10.0 * std::sin(t * M_PI / 6) + eps(rng));
  return y;
}

std::unique_ptr<tarn::Model> fed(const std::string& rule, const std::vector<double>& y,
                                 std::size_t train, std::int64_t window = 0) {
  auto m = tarn::build("auto", {{"min_training_data", static_cast<std::int64_t>(train)},
                                {"combination", rule},
                                {"candidates", "hws,theta,ces,snaive"},
                                {"error_history_length", window}});
  for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
  return m;
}

TEST(AutoRules, EveryRuleForecastsWithinTheCandidatesAndRoundTrips) {
  const auto y = noisy_season(120, 4);
  for (const char* rule : {"mean", "median", "weighted", "trimmed"}) {
    SCOPED_TRACE(rule);
    auto m = fed(rule, y, 96);
    const auto& sel = static_cast<const tarn::AutoSelector&>(*m);
    ASSERT_EQ(sel.candidate_names().size(), 4U);
    const double f = m->forecast_steps(3);
    EXPECT_NEAR(f, 100.0 + 0.5 * 122 + 10.0 * std::sin(122 * M_PI / 6), 8.0);
    const auto [lo, hi] = m->forecast_interval_steps(3, 0.95);
    EXPECT_LT(lo, f);
    EXPECT_GT(hi, f);
    // The rule is part of the state: a copy forecasts the same, also after more values.
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize());
    for (auto* x : {m.get(), copy.get()}) x->update(120, 160.0);
    EXPECT_EQ(copy->forecast_steps(5), m->forecast_steps(5));
  }
  // While the combination forecasts (a window not yet full), the rules give different values,
  // and the median is one of the three model-based candidates' forecasts.
  const double mean = fed("mean", y, 96, 1000)->forecast_steps(2);
  const double median = fed("median", y, 96, 1000)->forecast_steps(2);
  EXPECT_NE(mean, median);
  double near = kMax;
  for (const char* one : {"hws", "theta", "ces"}) {
    auto m = tarn::build("auto", {{"min_training_data", std::int64_t{96}},
                                  {"candidates", one},
                                  {"error_history_length", std::int64_t{1000}}});
    for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
    near = std::min(near, std::fabs(m->forecast_steps(2) - median));
  }
  EXPECT_LT(near, 1e-9 * std::fabs(median));
}

TEST(AutoRules, AnUnknownRuleIsRefusedNamingIt) {
  try {
    tarn::build("auto", {{"combination", "mode"}});
    ADD_FAILURE();
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("combination"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("'mode'"), std::string::npos) << e.what();
  }
  tarn::AutoConfig c;
  c.combination = "trim";
  EXPECT_THROW(tarn::AutoSelector{c}, tarn::InvalidArgument);
}

}  // namespace

namespace tarn_weights {

const tarn::AutoSelector& as_auto(const std::unique_ptr<tarn::Model>& m) {
  return static_cast<const tarn::AutoSelector&>(*m);
}

TEST(AutoRules, WeightedRuleHasWeightsFromTrainingOriginsRightAfterTheFit) {
  const auto y = noisy_season(120, 4);
  auto weighted = fed("weighted", y, 120, 1000);
  const auto w = as_auto(weighted).weights();
  ASSERT_EQ(w.size(), 4U);  // hws, theta, ces, snaive
  EXPECT_NEAR(sum_of(w), 1.0, 1e-12);
  EXPECT_EQ(w[3], 0.0);  // the baseline is not combined
  EXPECT_FALSE(w[0] == w[1] && w[1] == w[2]);
  // The forecast is the weighted mean of the candidates' forecasts.
  double f = 0.0;
  std::size_t i = 0;
  for (const char* one : {"hws", "theta", "ces"}) {
    auto m = tarn::build("auto", {{"min_training_data", std::int64_t{120}},
                                  {"candidates", one},
                                  {"error_history_length", std::int64_t{1000}}});
    for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
    f += w[i++] * m->forecast_steps(5);
  }
  EXPECT_NEAR(weighted->forecast_steps(5), f, 1e-9 * std::fabs(f));
  // The mean's weights are equal shares of the model-based candidates.
  const auto mean = as_auto(fed("mean", y, 120, 1000)).weights();
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(mean[static_cast<std::size_t>(i)], 1.0 / 3.0, 1e-12);
  // Trimming drops the candidate the weights rank last.
  const auto trimmed = as_auto(fed("trimmed", y, 120, 1000)).weights();
  const std::size_t worst =
      static_cast<std::size_t>(std::min_element(w.begin(), w.begin() + 3) - w.begin());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(trimmed[i], i == worst ? 0.0 : 0.5, 1e-12);
  // A copy keeps the weights (they are part of the state).
  auto copy = tarn::Model::deserialize(weighted->serialize());
  EXPECT_EQ(as_auto(copy).weights(), w);
  EXPECT_EQ(copy->forecast_steps(4), weighted->forecast_steps(4));
}

TEST(AutoRules, WeightedRuleFallsBackToEqualWeightsWithTooFewOrigins) {
  // Ten values: a third held out is three origins, but the seven before them are too few to fit.
  const auto y = noisy_season(10, 7);
  const auto w = as_auto(fed("weighted", y, 10, 1000)).weights();
  ASSERT_EQ(w.size(), 4U);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[static_cast<std::size_t>(i)], 1.0 / 3.0, 1e-12);
}

TEST(AutoRules, TheDefaultIsTheMedianOfFiveFamilies) {
  EXPECT_EQ(tarn::AutoConfig{}.combination, "median");
  const auto y = noisy_season(60, 11);
  auto m = tarn::build("auto", {{"min_training_data", std::int64_t{60}},
                                {"error_history_length", std::int64_t{1000}}});
  for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
  const auto& sel = static_cast<const tarn::AutoSelector&>(*m);
  const auto names = sel.candidate_names();
  EXPECT_NE(std::find(names.begin(), names.end(), "ces"), names.end());
  std::vector<double> f;
  for (const auto& one : names) {
    if (one == "snaive") continue;
    auto c = tarn::build("auto", {{"min_training_data", std::int64_t{60}},
                                  {"candidates", one},
                                  {"error_history_length", std::int64_t{1000}}});
    for (std::size_t t = 0; t < y.size(); ++t) c->update(static_cast<std::int64_t>(t), y[t]);
    f.push_back(c->forecast_steps(3));
  }
  ASSERT_EQ(f.size(), 5U);
  EXPECT_NEAR(m->forecast_steps(3), median_of(f), 1e-9 * std::fabs(median_of(f)));
}

}  // namespace tarn_weights
