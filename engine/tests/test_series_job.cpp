// One series in one call (tarn::forecast_series) and the forecaster's rules it shares: the model
// plan, the settings training fills in, Python's float text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tarn/forecaster.hpp"
#include "tarn/series_job.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> monthly(std::size_t n, double level = 100.0) {
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = level + 0.5 * static_cast<double>(i) + 10.0 * std::sin(0.5236 * static_cast<double>(i)) +
           std::cos(1.3 * static_cast<double>(i));
  }
  return y;
}

const tarn::Value* find(const tarn::SettingList& list, const std::string& key) {
  for (const auto& kv : list) {
    if (kv.first == key) return &kv.second;
  }
  return nullptr;
}

TEST(FloatRepr, FollowsPython) {
  EXPECT_EQ(tarn::float_repr(-1.0), "-1.0");
  EXPECT_EQ(tarn::float_repr(-0.5), "-0.5");
  EXPECT_EQ(tarn::float_repr(0.1), "0.1");
  EXPECT_EQ(tarn::float_repr(1e-05), "1e-05");
  EXPECT_EQ(tarn::float_repr(0.0001), "0.0001");
  EXPECT_EQ(tarn::float_repr(1e16), "1e+16");
  EXPECT_EQ(tarn::float_repr(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(tarn::float_repr(-2.5e-300), "-2.5e-300");
  EXPECT_EQ(tarn::float_repr(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(tarn::float_repr(kNaN), "nan");
  EXPECT_EQ(tarn::float_repr(-INFINITY), "-inf");
}

TEST(ModelPlan, HoltWintersDefaultsFromTheTrainingLength) {
  tarn::Options kw{{"algorithm", "hw"}};
  const tarn::ModelPlan p = tarn::plan_model("hw", kw, 40);
  EXPECT_EQ(p.variant, "additive");
  EXPECT_FALSE(p.sized);
  ASSERT_NE(find(p.recorded, "samples_per_season"), nullptr);
  EXPECT_EQ(find(p.recorded, "samples_per_season")->number(), 10);
  EXPECT_EQ(find(p.recorded, "initial_training_seasons")->number(), 4);
  // Both are written back to the settings; unknown length: the smallest season.
  EXPECT_EQ(p.written.size(), 2u);
  EXPECT_EQ(find(tarn::plan_model("hw", kw, -1).recorded, "samples_per_season")->number(), 2);
  // A share of the training length, at most half of it.
  kw["samples_per_season"] = 0.9;
  EXPECT_EQ(find(tarn::plan_model("hw", kw, 40).recorded, "samples_per_season")->number(), 20);
}

TEST(ModelPlan, HoltWintersWithATrainingSize) {
  tarn::Options kw{{"algorithm", "hw"}, {"min_training_data", 0.5}};
  const tarn::ModelPlan p = tarn::plan_model("hw", kw, 30);
  EXPECT_TRUE(p.sized);
  EXPECT_EQ(p.build.at("number_of_samples").number(), 15);
  EXPECT_FALSE(p.build.at("is_season_length").number() != 0.0);
  EXPECT_THROW(tarn::plan_model("hw", kw, -1), tarn::InvalidArgument);
  kw["min_training_data"] = 0.995;  // the whole series
  EXPECT_EQ(tarn::plan_model("hw", kw, 30).build.at("number_of_samples").number(), 30);
}

TEST(ModelPlan, TableSettingsAndShares) {
  // The training size defaults to the whole series, a share: n - 1 values once known.
  tarn::ModelPlan p = tarn::plan_model("arima", {{"algorithm", "arima"}}, 60);
  ASSERT_NE(find(p.recorded, "min_training_data"), nullptr);
  EXPECT_EQ(find(p.recorded, "min_training_data")->number(), 59);
  EXPECT_TRUE(find(p.recorded, "min_training_data")->is_integral());
  EXPECT_TRUE(p.variant.empty());
  // A given count stays the caller's own.
  p = tarn::plan_model("arima", {{"algorithm", "arima"}, {"min_training_data", 24}}, 60);
  EXPECT_TRUE(p.caller[0] || p.caller.back());
  EXPECT_THROW(tarn::plan_model("nonesuch", {}, 10), tarn::InvalidArgument);
  // Every offered algorithm has a plan that builds.
  for (const auto& name : tarn::forecaster_algorithms()) {
    const tarn::ModelPlan q = tarn::plan_model(name, {{"algorithm", name}}, 48);
    EXPECT_NE(tarn::build_planned(q), nullptr) << name;
  }
}

TEST(TrainingFills, SeasonSizedAndGivenSettings) {
  const tarn::ModelEntry* bats = tarn::find_algorithm("bats");
  ASSERT_NE(bats, nullptr);
  tarn::SeriesSizes sizes;
  sizes.period = 7;
  sizes.training = 30;
  tarn::SettingList f = tarn::training_fills(bats->forecaster, sizes, 40, {}, tarn::Value());
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[0].first, "samples_per_season");
  EXPECT_EQ(find(f, "initial_training_seasons")->number(), 5);
  EXPECT_EQ(find(f, "training_sample_size")->number(), 30);
  // The caller's season sets the full seasons; given settings are left alone.
  f = tarn::training_fills(bats->forecaster, sizes, 40, {"samples_per_season", "min_training_data"},
                           tarn::Value(4));
  EXPECT_EQ(find(f, "samples_per_season"), nullptr);
  EXPECT_EQ(find(f, "min_training_data"), nullptr);
  EXPECT_EQ(find(f, "initial_training_seasons")->number(), 10);
  // Holt-Winters sizes itself: only the error history lengths.
  f = tarn::training_fills(tarn::find_algorithm("hw")->forecaster, sizes, 40, {}, tarn::Value());
  EXPECT_EQ(f.size(), 2u);
}

TEST(ForecastSeries, MatchesTheSessionStepByStep) {
  const std::vector<double> y = monthly(60);
  tarn::SeriesJob job;
  job.algorithm = "hw";
  job.values = y.data();
  job.n = y.size();
  job.horizon = 6;
  job.levels = {80.0, 95.0};
  job.probs = {0.1, 0.5, 0.9};
  const tarn::SeriesResult r = tarn::forecast_series(job);
  ASSERT_TRUE(r.error.empty()) << r.error;
  EXPECT_EQ(r.season, 12);
  ASSERT_EQ(r.point.size(), 6u);
  ASSERT_EQ(r.lower.size(), 12u);
  ASSERT_EQ(r.quantiles.size(), 18u);

  // The same steps by hand: the plan of the door's settings, the session, its forecasts.
  tarn::Options args{{"algorithm", "hw"},
                     {"samples_per_season", 12},
                     {"initial_training_seasons", 5},
                     {"algorithm_type", "additive"},
                     {"error_history_length", 2},
                     {"error_horizon_length", 2}};
  const tarn::ModelPlan plan = tarn::plan_model("hw", args, 60);
  std::vector<std::int64_t> t(60);
  for (std::size_t i = 0; i < 60; ++i) t[i] = static_cast<std::int64_t>(i);
  tarn::Forecaster::TrainInput in;
  in.timestamps = t.data();
  in.series = y.data();
  in.n = 60;
  in.n_targets = 1;
  tarn::Forecaster s;
  s.train(in, {std::shared_ptr<tarn::Model>(tarn::build_planned(plan))}, nullptr);
  const tarn::Forecast fc = s.forecast(6);
  std::vector<double> lo(6), hi(6), q(18);
  s.intervals(nullptr, 6, 95.0, fc.values.data(), lo.data(), hi.data());
  s.quantiles(nullptr, 6, job.probs.data(), 3, fc.values.data(), q.data());
  for (std::size_t k = 0; k < 6; ++k) {
    EXPECT_EQ(r.point[k], fc.values[k]);
    EXPECT_EQ(r.lower[6 + k], lo[k]);
    EXPECT_EQ(r.upper[6 + k], hi[k]);
    EXPECT_LE(r.lower[k], r.point[k]);
    EXPECT_GE(r.lower[k], r.lower[6 + k]);  // the 80% band inside the 95% one
  }
  EXPECT_EQ(r.quantiles, q);
}

TEST(ForecastSeries, ErrorsAreReportedNotThrown) {
  std::vector<double> y = monthly(30);
  y[3] = -1.5;
  tarn::SeriesJob job;
  job.algorithm = "hw";
  job.values = y.data();
  job.n = y.size();
  job.nonnegative = true;
  tarn::SeriesResult r = tarn::forecast_series(job);
  EXPECT_EQ(r.error_kind, "ValueError");
  EXPECT_NE(r.error.find("holds -1.5 at row 3"), std::string::npos) << r.error;
  EXPECT_TRUE(r.point.empty());

  // Regressors that are not finite, then future regressors that are too few.
  y = monthly(30);
  job.values = y.data();  // the new vector's storage: the job holds a pointer, not the values
  std::vector<double> x(30, 1.0), fut(2, 1.0);
  x[7] = kNaN;
  job.nonnegative = false;
  job.algorithm = "arima";
  job.horizon = 3;
  job.regressors = x.data();
  job.n_regressors = 1;
  job.future = fut.data();
  job.future_rows = 2;
  r = tarn::forecast_series(job);
  EXPECT_NE(r.error.find("regressor column 1, row 7 is nan"), std::string::npos) << r.error;
  x[7] = 2.0;
  r = tarn::forecast_series(job);
  EXPECT_NE(r.error.find("future_exog has 2 rows"), std::string::npos) << r.error;

  // Non-negative forecasts are censored at zero.
  std::vector<double> down(40);
  for (std::size_t i = 0; i < 40; ++i) down[i] = 40.0 - static_cast<double>(i);
  tarn::SeriesJob d;
  d.algorithm = "hw";
  d.values = down.data();
  d.n = down.size();
  d.horizon = 10;
  d.levels = {95.0};
  d.nonnegative = true;
  r = tarn::forecast_series(d);
  ASSERT_TRUE(r.error.empty()) << r.error;
  for (double v : r.point) EXPECT_GE(v, 0.0);
  for (double v : r.lower) EXPECT_GE(v, 0.0);
}

}  // namespace
