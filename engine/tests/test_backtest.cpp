// Rolling-origin evaluation of the forecasting session: the origins, one training fed forward
// against a training per window, and the intervals of every window.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/forecaster.hpp"

namespace {

using ModelPtr = tarn::Forecaster::ModelPtr;

ModelPtr hws() {
  tarn::Options o;
  o["samples_per_season"] = 12;
  o["initial_training_seasons"] = 3;
  return ModelPtr(tarn::build("hws", o));
}

// Two seasonal targets of 96 rows, row-major, with timestamps 10 apart.
struct Data {
  std::vector<double> rows, times;
  std::vector<std::int64_t> stamps;
  std::size_t n = 96;
  Data() {
    for (std::size_t i = 0; i < n; ++i) {
      stamps.push_back(static_cast<std::int64_t>(100 + 10 * i));
      times.push_back(static_cast<double>(stamps.back()));
      rows.push_back(40.0 + 0.3 * i + 6.0 * std::sin(0.5236 * i) + std::cos(1.7 * i));
      rows.push_back(70.0 + 5.0 * std::cos(0.5236 * i) + 0.5 * std::sin(2.3 * i));
    }
  }
  tarn::Rows all() const { return {rows.data(), 2, times.data(), n}; }
  // A session trained on the first n_train rows; counts its calls.
  tarn::Forecaster train(std::size_t n_train, bool log = true) const {
    std::vector<double> series(2 * n_train);
    for (std::size_t i = 0; i < n_train; ++i) {
      series[i] = rows[2 * i];
      series[n_train + i] = rows[2 * i + 1];
    }
    tarn::Forecaster f;
    tarn::Forecaster::TrainInput in{stamps.data(), series.data(), n_train, 2, log, false};
    f.train(in, {hws(), hws()}, nullptr);
    return f;
  }
};

TEST(Backtest, OriginsEndOneHorizonBeforeTheLastRowAndBadPlansAreRefused) {
  tarn::BacktestPlan plan;
  plan.horizon = 6;
  plan.n_windows = 3;
  plan.step = 4;
  EXPECT_EQ(tarn::backtest_origins(100, plan), (std::vector<std::size_t>{86, 90, 94}));
  plan.n_windows = 1;
  EXPECT_EQ(tarn::backtest_origins(7, plan), (std::vector<std::size_t>{1}));
  EXPECT_THROW(tarn::backtest_origins(6, plan), tarn::InvalidArgument);  // no training row
  for (auto* field : {&plan.horizon, &plan.n_windows, &plan.step}) {
    const std::int64_t keep = *field;
    *field = 0;
    EXPECT_THROW(tarn::backtest_origins(100, plan), tarn::InvalidArgument);
    *field = keep;
  }
  plan.n_windows = 1LL << 62;  // the span overflows no integer
  EXPECT_THROW(tarn::backtest_origins(100, plan), tarn::InvalidArgument);
  plan.n_windows = 2;
  plan.levels = {80.0, 100.0};
  EXPECT_THROW(tarn::backtest_origins(100, plan), tarn::InvalidArgument);
}

TEST(Backtest, OneTrainingFedForwardEqualsFeedingEachWindowsRowsOneByOne) {
  const Data d;
  tarn::BacktestPlan plan;
  plan.horizon = 5;
  plan.n_windows = 4;
  plan.step = 3;
  plan.levels = {80.0, 95.0};
  int trainings = 0;
  const tarn::Backtest b = tarn::cross_validate(d.all(), plan, [&](std::size_t n) {
    ++trainings;
    return d.train(n);
  });
  EXPECT_EQ(trainings, 1);
  ASSERT_EQ(b.cols, 2u);
  ASSERT_EQ(b.forecasts.size(), 4u * 5u * 2u);
  ASSERT_EQ(b.lower.size(), 2u * 4u * 5u * 2u);

  // The reference: the session trained before the first origin; its copies take the rows up to
  // each origin one update at a time, on the session's scale.
  const tarn::Forecaster s = d.train(b.origins[0]);
  std::vector<ModelPtr> copies = s.copies();
  std::size_t fed = b.origins[0];
  for (std::size_t w = 0; w < 4; ++w) {
    for (; fed < b.origins[w]; ++fed) {
      for (std::size_t c = 0; c < 2; ++c) {
        copies[c]->update(d.stamps[fed], tarn::to_log_scale(d.rows[2 * fed + c]));
      }
    }
    const tarn::Forecaster at(copies, true, 2);
    const tarn::Forecast f = at.forecast(5);
    for (std::size_t i = 0; i < 10; ++i) {
      EXPECT_DOUBLE_EQ(b.forecasts[w * 10 + i], f.values[i]) << "window " << w << " value " << i;
    }
    for (std::size_t k = 0; k < 5; ++k) {
      EXPECT_DOUBLE_EQ(b.times[w * 5 + k], d.times[b.origins[w] + k]);
    }
    std::vector<double> lo(10), hi(10);
    at.intervals(nullptr, 5, 95.0, f.values.data(), lo.data(), hi.data());
    for (std::size_t i = 0; i < 10; ++i) {
      EXPECT_DOUBLE_EQ(b.lower[(4 + w) * 10 + i], lo[i]);
      EXPECT_DOUBLE_EQ(b.upper[(4 + w) * 10 + i], hi[i]);
      // The 80% interval lies inside the 95% one, around the forecast.
      EXPECT_LE(b.lower[(4 + w) * 10 + i], b.lower[w * 10 + i]);
      EXPECT_LE(b.lower[w * 10 + i], b.forecasts[w * 10 + i]);
      EXPECT_GE(b.upper[w * 10 + i], b.forecasts[w * 10 + i]);
    }
  }
  // The trained models were never touched: the session's own forecast is still the first
  // window's.
  const tarn::Forecast again = s.forecast(5);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_DOUBLE_EQ(again.values[i], b.forecasts[i]);
}

TEST(Backtest, RefitTrainsAtEveryOriginAndOneWindowIsOneHoldoutForecast) {
  const Data d;
  tarn::BacktestPlan plan;
  plan.horizon = 4;
  plan.n_windows = 3;
  plan.step = 4;
  plan.refit = true;
  std::vector<std::size_t> sizes;
  const tarn::Backtest b = tarn::cross_validate(d.all(), plan, [&](std::size_t n) {
    sizes.push_back(n);
    return d.train(n, false);
  });
  EXPECT_EQ(sizes, (std::vector<std::size_t>{84, 88, 92}));
  for (std::size_t w = 0; w < 3; ++w) {
    const tarn::Forecast f = d.train(sizes[w], false).forecast(4);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(b.forecasts[w * 8 + i], f.values[i]);
  }
  // One window of h rows: both ways are the forecast of the holdout after one training.
  for (bool refit : {false, true}) {
    tarn::BacktestPlan one;
    one.horizon = 4;
    one.step = 4;
    one.refit = refit;
    const tarn::Backtest o =
        tarn::cross_validate(d.all(), one, [&](std::size_t n) { return d.train(n); });
    const tarn::Forecast f = d.train(92).forecast(4);
    ASSERT_EQ(o.forecasts.size(), f.values.size());
    for (std::size_t i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(o.forecasts[i], f.values[i]);
  }
}

TEST(Backtest, RowsTheLogTransformCannotTakeAreReportedWithTheirIndex) {
  Data d;
  d.rows[2 * 90] = -5.0;  // after the first origin: the fed-forward session cannot take it
  tarn::BacktestPlan plan;
  plan.horizon = 2;
  plan.n_windows = 3;
  plan.step = 2;
  try {
    tarn::cross_validate(d.all(), plan, [&](std::size_t n) { return d.train(n); });
    FAIL() << "the row was fed";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("row 90"), std::string::npos) << e.what();
  }
}

}  // namespace
