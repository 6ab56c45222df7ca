// Forecasting many steps at once gives exactly the values of one forecast per step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::unique_ptr<tarn::Model> trained(const std::string& builder, std::int64_t spacing = 1) {
  tarn::Options o;
  if (builder == "hws") o = {{"samples_per_season", 12}, {"initial_training_seasons", 4}};
  if (builder == "bats") o = {{"training_sample_size", 60}};
  if (builder == "arima" || builder == "arma" || builder == "auto") {
    o = {{"min_training_data", 60}};
  }
  auto m = tarn::build(builder, o);
  std::mt19937 rng(7);
  std::normal_distribution<double> eps(0.0, 0.4);
  for (int t = 0; t < 72; ++t) {
    const double y = 30.0 + 0.1 * t + 5.0 * std::sin(2 * kPi * t / 12) + eps(rng);
    m->update(static_cast<std::int64_t>(t) * spacing, y);
  }
  return m;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class PathOfEveryModel : public ::testing::TestWithParam<std::string> {};

TEST_P(PathOfEveryModel, PathEqualsStepByStep) {
  for (std::int64_t spacing : {1, 3}) {
    auto m = trained(GetParam(), spacing);
    ASSERT_TRUE(m->is_initialized());
    const std::size_t h = 300;
    std::vector<double> path(h);
    m->forecast_path(h, path.data());
    for (std::size_t k = 0; k < h; ++k) {
      EXPECT_TRUE(same_bits(path[k], m->forecast_steps(static_cast<double>(k + 1))))
          << GetParam() << " step " << k + 1;
    }
    // Times on the timestamp axis, fractional steps and times at or before the latest
    // observation included, as the forecaster asks for them.
    std::vector<double> times;
    double t = static_cast<double>(m->last_time()) - 2.0;
    for (int k = 0; k < 200; ++k) times.push_back(t += 0.7 * static_cast<double>(spacing));
    std::vector<double> many(times.size());
    m->forecast_at(times.data(), times.size(), many.data());
    for (std::size_t k = 0; k < times.size(); ++k) {
      EXPECT_TRUE(same_bits(many[k], m->forecast_at(times[k]))) << GetParam() << " time " << k;
    }
  }
}

TEST_P(PathOfEveryModel, UnorderedStepsStillMatch) {
  auto m = trained(GetParam());
  const std::vector<double> h = {5.0, 1.0, 40.5, 2.0, 2.0, 17.25, 0.0};
  std::vector<double> out(h.size());
  m->forecast_steps(h.data(), h.size(), out.data());
  for (std::size_t i = 0; i < h.size(); ++i) {
    EXPECT_TRUE(same_bits(out[i], m->forecast_steps(h[i]))) << GetParam() << " " << h[i];
  }
}

TEST_P(PathOfEveryModel, RefusesWhatSingleForecastsRefuse) {
  auto fresh = tarn::build(GetParam(), {});
  std::vector<double> out(3);
  EXPECT_THROW(fresh->forecast_path(3, out.data()), tarn::NotInitialized);
  auto m = trained(GetParam());
  const double t[] = {80.0, std::nan("")};
  EXPECT_THROW(m->forecast_at(t, 2, out.data()), tarn::InvalidArgument);
  EXPECT_THROW(m->forecast_path(tarn::kMaxForecastPath + 1, out.data()), tarn::InvalidArgument);
  m->forecast_path(0, out.data());  // an empty path is fine
}

INSTANTIATE_TEST_SUITE_P(Models, PathOfEveryModel,
                         ::testing::Values("hws", "arima", "arma", "bats", "auto"));

TEST(ForecastPath, ArimaPathIsLinearInTheHorizon) {
  // One walk along the path: 200,000 steps would take minutes one forecast at a time.
  auto m = trained("arima");
  std::vector<double> path(200000);
  m->forecast_path(path.size(), path.data());
  EXPECT_TRUE(same_bits(path.back(), m->forecast_steps(static_cast<double>(path.size()))));
  for (double v : path) ASSERT_TRUE(std::isfinite(v));
}

TEST(ForecastPath, BatsWithArmaErrorsWalksTheFilterOnce) {
  // AR(1) noise of negative correlation: the fitted BATS model carries ARMA error terms, whose
  // single forecasts re-run the filter up to their step (at most 2000 steps, then closed form).
  std::unique_ptr<tarn::Model> m;
  for (unsigned seed = 1; seed < 20 && !m; ++seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> eps(0.0, 1.0);
    auto candidate = tarn::build("bats", {{"training_sample_size", 200}, {"season_length", 1}});
    double e = 0.0;
    for (int t = 0; t < 200; ++t) {
      e = -0.7 * e + eps(rng);
      candidate->update(t, 20.0 + e);
    }
    if (candidate->describe().find("{0,0}") == std::string::npos) m = std::move(candidate);
  }
  ASSERT_TRUE(m) << "no series gave a model with ARMA errors";
  std::vector<double> steps;
  for (double k : {1.0, 2.0, 2.5, 1999.0, 2000.0, 2000.5, 2001.0, 2002.0, 2002.0, 7000.25, 1e6})
    steps.push_back(k);
  std::vector<double> out(steps.size());
  m->forecast_steps(steps.data(), steps.size(), out.data());
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_TRUE(same_bits(out[i], m->forecast_steps(steps[i]))) << "step " << steps[i];
  }
  std::vector<double> path(2100);
  m->forecast_path(path.size(), path.data());
  for (std::size_t k = 0; k < path.size(); k += 7) {
    EXPECT_TRUE(same_bits(path[k], m->forecast_steps(static_cast<double>(k + 1)))) << k + 1;
  }
}

}  // namespace
