// Forecasts far ahead stay finite, and so do their intervals, which keep a width.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model_table.hpp"

namespace {

// Monthly, growing by 1% a month with a season proportional to the level: a Box-Cox or log
// model with a trend compounds this growth over the horizon.
std::vector<double> growing(int n) {
  std::vector<double> y;
  for (int t = 0; t < n; ++t) {
    const double noise = 0.02 * std::sin(t * 2.3) + 0.01 * std::cos(t * 5.1);
    y.push_back(100.0 * std::exp(0.01 * t) * (1.0 + 0.2 * std::sin(t * 0.5236) + noise));
  }
  return y;
}

}  // namespace

TEST(LongHorizons, EveryKindForecastsTwoHundredThousandStepsFiniteWithIntervals) {
  const auto y = growing(144);
  std::vector<std::int64_t> t(y.size());
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::int64_t>(i);
  const std::int64_t h = 200000;
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = e.make_candidate ? e.make_candidate(static_cast<std::int64_t>(y.size()), 12)
                              : tarn::build(e.name, {});
    m->update(t, y);
    if (!m->is_initialized()) m->fit_available();
    ASSERT_TRUE(m->is_initialized());
    std::vector<double> path(static_cast<std::size_t>(h));
    m->forecast_path(path.size(), path.data());
    for (std::size_t k = 0; k < path.size(); ++k) {
      ASSERT_TRUE(std::isfinite(path[k])) << "step " << k + 1 << ": " << path[k];
    }
    for (std::int64_t k : {std::int64_t{1000}, std::int64_t{80000}, h}) {
      const auto [lo, hi] = m->forecast_interval_steps(static_cast<double>(k), 0.95);
      EXPECT_TRUE(std::isfinite(lo) && std::isfinite(hi))
          << "step " << k << ": " << lo << ", " << hi;
      EXPECT_LT(lo, hi) << "step " << k;
      EXPECT_LE(lo, path[static_cast<std::size_t>(k - 1)]) << "step " << k;
      EXPECT_GE(hi, path[static_cast<std::size_t>(k - 1)]) << "step " << k;
    }
  }
}

// Fed logarithms (the forecaster's log transform), every kind gives forecasts and bounds whose
// exponential is finite, however far ahead and whatever the latest value.
TEST(LongHorizons, LogarithmsFedStayWithinTheRangeTheirExponentialCanTake) {
  const auto y = growing(144);
  std::vector<std::int64_t> t(y.size());
  std::vector<double> logs(y.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    t[i] = static_cast<std::int64_t>(i);
    logs[i] = std::log(y[i] + 2.0);
  }
  const std::int64_t h = 200000;
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = e.make_candidate ? e.make_candidate(static_cast<std::int64_t>(y.size()), 12)
                              : tarn::build(e.name, {});
    m->set_log_input(2.0);
    m->update(t, logs);
    if (!m->is_initialized()) m->fit_available();
    ASSERT_TRUE(m->is_initialized());
    const std::string state = m->serialize();
    for (int round = 0; round < 2; ++round) {
      std::vector<double> path(static_cast<std::size_t>(h));
      m->forecast_path(path.size(), path.data());
      for (std::size_t k = 0; k < path.size(); ++k) {
        ASSERT_TRUE(std::isfinite(std::exp(path[k]))) << "step " << k + 1 << ": " << path[k];
      }
      const auto [lo, hi] = m->forecast_interval_steps(static_cast<double>(h), 0.95);
      EXPECT_TRUE(std::isfinite(std::exp(hi)) && std::isfinite(lo)) << lo << ", " << hi;
      EXPECT_LT(lo, hi);
      // One value at the edge of the range: the next forecasts still have a finite exponential.
      m->update(static_cast<std::int64_t>(y.size()), std::log(1e308 + 2.0));
      for (double k : {1.0, 2.0, 50.0}) EXPECT_TRUE(std::isfinite(std::exp(m->forecast_steps(k))));
      // The same after a round trip of the state.
      m = tarn::Model::deserialize(state);
    }
  }
}

// After a value near the largest double: forecasts and bounds stay finite and in order (a variance
// that overflowed gives the widest bounds, not none; a forecast beyond e^690 bends, its bounds
// with it).
TEST(LongHorizons, AValueNearTheLargestDoubleLeavesFiniteBoundsAroundTheForecast) {
  const auto y = growing(144);
  std::vector<std::int64_t> t(y.size());
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::int64_t>(i);
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = e.make_candidate ? e.make_candidate(static_cast<std::int64_t>(y.size()), 12)
                              : tarn::build(e.name, {});
    m->update(t, y);
    if (!m->is_initialized()) m->fit_available();
    m->update(static_cast<std::int64_t>(y.size()), 1e308);
    for (double k : {1.0, 3.0, 30.0}) {
      const double f = m->forecast_steps(k);
      const auto [lo, hi] = m->forecast_interval_steps(k, 0.95);
      EXPECT_TRUE(std::isfinite(f) && std::isfinite(lo) && std::isfinite(hi))
          << "step " << k << ": " << lo << ", " << f << ", " << hi;
      EXPECT_LE(lo, f) << "step " << k;
      EXPECT_GE(hi, f) << "step " << k;
    }
  }
}
