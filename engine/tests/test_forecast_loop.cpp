// Feeding rows to engine models and forecasting after them (tarn::run_loop).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/forecast_loop.hpp"
#include "tarn/model.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Forecasts the latest value plus the step count; refuses forecasts beyond `max_steps` steps
// and forecasts before `min_values` observations.
class Stepper : public tarn::Model {
 public:
  explicit Stepper(double max_steps = 1e9, int min_values = 1)
      : max_steps_(max_steps), min_values_(min_values) {}
  const char* kind() const override { return "test_stepper"; }
  std::unique_ptr<tarn::Model> clone() const override { return std::make_unique<Stepper>(*this); }

 protected:
  void observe(double v, std::int64_t) override {
    if (!std::isnan(v)) {
      last_ = v;
      ++seen_;
    }
  }
  bool ready() const override { return seen_ >= min_values_; }
  void clear() override { seen_ = 0; }
  double forecast_ahead(double h) const override {
    if (h > max_steps_) throw std::runtime_error("too far ahead");
    return last_ + h;
  }
  void save(tarn::Writer&) const override {}
  void load(tarn::Reader&) override {}

 private:
  double max_steps_;
  int min_values_;
  double last_ = 0.0;
  int seen_ = 0;
};

tarn::LoopInput input(std::vector<tarn::Model*> models, const std::vector<double>& values,
                      std::size_t stride, const std::vector<double>* timestamps) {
  tarn::LoopInput in;
  in.models = std::move(models);
  in.n_update = in.models.size();
  in.values = values.data();
  in.value_stride = stride;
  in.timestamps = timestamps ? timestamps->data() : nullptr;
  in.n_rows = stride ? values.size() / stride : 0;
  return in;
}

TEST(ForecastLoop, LastUpdatedIgnoresModelsThatCannotForecast) {
  Stepper a, b(1e9, 3);
  EXPECT_EQ(tarn::last_updated({}), -1);
  EXPECT_EQ(tarn::last_updated({&a, &b}), -1);
  a.update(5, 1.0);
  b.update(7, 1.0);  // not ready yet: its later update does not count
  EXPECT_EQ(tarn::last_updated({&a, &b}), 5);
  b.update(8, 1.0);
  b.update(9, 1.0);
  EXPECT_EQ(tarn::last_updated({&a, &b}), 9);
  EXPECT_EQ(tarn::last_updated({&b, &a}), 5);  // the last model that can forecast wins
}

TEST(ForecastLoop, BlockOfRowsRecordsStaleRowsAgainstTheLastAcceptedOne) {
  Stepper a, b;
  a.update(10, 0.0);
  b.update(10, 0.0);
  // Rows at 12, 11 (older than 12), 12 (equal), NaN (never newer), 13.
  const std::vector<double> t = {12, 11, 12, kNaN, 13};
  const std::vector<double> v = {1, 10, 2, 20, 3, 30, 4, 40, 5, 50};
  auto in = input({&a, &b}, v, 2, &t);
  in.horizon = 2;
  in.interval = 0.5;
  tarn::LoopOutput out;
  tarn::run_loop(in, out);
  EXPECT_EQ(out.rows_fed, 5u);
  ASSERT_EQ(out.skips.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out.skips[i].kind, tarn::SkipRecord::kStale);
    EXPECT_EQ(out.skips[i].row, static_cast<std::int64_t>(i + 1));
    EXPECT_EQ(out.skips[i].last_row, 0);  // row 0 (t = 12) is the previous accepted one
  }
  EXPECT_EQ(a.last_time(), 13);
  // One block after the last row: times 13.5 and 14, row-major (step x model).
  ASSERT_EQ(out.forecasts.size(), 4u);
  EXPECT_EQ(out.forecasts[0], a.forecast_at(13.5));
  EXPECT_EQ(out.forecasts[1], b.forecast_at(13.5));
  EXPECT_EQ(out.forecasts[2], a.forecast_at(14.0));
  EXPECT_EQ(out.forecasts[3], b.forecast_at(14.0));
  EXPECT_FALSE(out.forecast_failed);
}

TEST(ForecastLoop, GeneratedTimestampsFollowTheModelsAndStaleFirstRowNamesThem) {
  Stepper a;
  a.update(4, 1.0);
  const std::vector<double> v = {7, 8};
  tarn::LoopOutput out;
  tarn::run_loop(input({&a}, v, 1, nullptr), out);
  EXPECT_TRUE(out.skips.empty());
  EXPECT_EQ(a.last_time(), 6);         // 4 + 1, 4 + 2
  EXPECT_TRUE(out.forecasts.empty());  // no horizon, no forecast

  Stepper c;
  c.update(4, 1.0);
  const std::vector<double> t = {3};
  tarn::LoopOutput stale;
  tarn::run_loop(input({&c}, v, 2, &t), stale);
  ASSERT_EQ(stale.skips.size(), 1u);
  EXPECT_EQ(stale.skips[0].last_row, -1);
  EXPECT_EQ(stale.skips[0].last_value, 4);
  EXPECT_EQ(stale.skips[0].t_auto, 5);
}

TEST(ForecastLoop, RefusedUpdatesAreRecordedPerModelAndOthersStillLearn) {
  Stepper a, b, c;
  for (Stepper* m : {&a, &b, &c}) m->update(10, 0.0);
  b.update(11, 0.0);  // b is ahead: it refuses t = 11
  // 10.5 is newer than 10 but truncates to 10 (the timestamp's int), which every model refuses;
  // 1e19 is beyond int64.
  const std::vector<double> t = {10.5, 11, 1e19};
  const std::vector<double> v = {1, 2, 9, 3, 4, 9, 5, 6, 9};
  auto in = input({&a, &b, &c}, v, 3, &t);
  in.n_update = 2;  // c is forecast only
  tarn::LoopOutput out;
  tarn::run_loop(in, out);
  ASSERT_EQ(out.skips.size(), 5u);
  const std::int64_t rows[] = {0, 0, 1, 2, 2};
  const std::int32_t models[] = {0, 1, 1, 0, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(out.skips[i].kind, tarn::SkipRecord::kUpdateFailed);
    EXPECT_EQ(out.skips[i].row, rows[i]);
    EXPECT_EQ(out.skips[i].model, models[i]);
  }
  EXPECT_EQ(a.last_time(), 11);
  EXPECT_EQ(a.forecast_at(12.0), 3.0 + 1.0);
  EXPECT_EQ(c.last_time(), 10);
}

TEST(ForecastLoop, FailureReportedIsTheFirstInStepOrderAndItsBlockIsDropped) {
  Stepper far, near(1);  // near refuses two steps ahead
  far.update(1, 0.0);
  near.update(1, 0.0);
  const std::vector<double> v = {};
  auto in = input({&far, &near}, v, 2, nullptr);
  in.horizon = 3;
  tarn::LoopOutput out;
  tarn::run_loop(in, out);
  EXPECT_TRUE(out.forecast_failed);
  EXPECT_EQ(out.failed_model, 1u);
  EXPECT_EQ(out.failed_time, 3.0);
  EXPECT_EQ(out.failure, "too far ahead");
  // The values before the failure in step order: step 1 of both, step 2 of the first model.
  ASSERT_EQ(out.forecasts.size(), 3u);
  EXPECT_EQ(out.forecasts[2], far.forecast_at(3.0));
}

TEST(ForecastLoop, PerRowForecastsAfterEveryRowAndStopsAtAFailure) {
  Stepper a(1e9, 2);
  a.update(1, 0.0);  // not ready: the first forecast fails
  const std::vector<double> v = {5, 6, 7};
  auto in = input({&a}, v, 1, nullptr);
  in.per_row = true;
  in.horizon = 2;
  tarn::LoopOutput out;
  tarn::run_loop(in, out);
  // Not ready before the first row: -1 is the last update, so the row is fed at t = 0, which
  // is stale against the model's own t = 1; the forecast then fails and the loop stops.
  EXPECT_EQ(out.rows_fed, 1u);
  EXPECT_TRUE(out.forecast_failed);
  EXPECT_TRUE(out.forecasts.empty());

  Stepper b;
  b.update(1, 0.0);
  const std::vector<double> t = {2, 2, 4};
  auto rows = input({&b}, v, 1, &t);
  rows.per_row = true;
  rows.horizon = 1;
  rows.interval = 2.0;
  tarn::LoopOutput each;
  tarn::run_loop(rows, each);
  EXPECT_EQ(each.rows_fed, 3u);
  ASSERT_EQ(each.skips.size(), 1u);
  EXPECT_EQ(each.skips[0].kind, tarn::SkipRecord::kStale);
  EXPECT_EQ(each.skips[0].last_value, 2);
  ASSERT_EQ(each.forecasts.size(), 3u);  // one per row, the stale one included
  EXPECT_EQ(each.forecasts[0], each.forecasts[1]);
  EXPECT_EQ(each.forecasts[2], b.forecast_at(6.0));
}

TEST(ForecastLoop, ATimeBeyondTheLongestGapStopsTheLoopBeforeAnyModelTakesIt) {
  for (bool per_row : {false, true}) {
    Stepper a, b;
    for (Stepper* m : {&a, &b}) m->update(10, 0.0);
    const double far = 11.0 + 2e12;  // two trillion grid steps after row 0
    const std::vector<double> t = {11, far, far + 1};
    const std::vector<double> v = {1, 2, 3, 4, 5, 6};
    auto in = input({&a, &b}, v, 2, &t);
    in.per_row = per_row;
    in.horizon = 1;
    tarn::LoopOutput out;
    tarn::run_loop(in, out);
    EXPECT_TRUE(out.forecast_failed);
    EXPECT_EQ(out.failed_time, far);
    EXPECT_NE(out.failure.find("grid steps"), std::string::npos) << out.failure;
    EXPECT_EQ(out.rows_fed, 1u);
    EXPECT_TRUE(out.skips.empty());                      // not a skipped row: the loop stopped
    EXPECT_EQ(out.forecasts.size(), per_row ? 2u : 0u);  // only row 0's, when it had one
    EXPECT_EQ(a.last_time(), 11);
    EXPECT_EQ(b.last_time(), 11);
    // The time is refused for a forecast too: the failure re-raised from it says the same.
    EXPECT_THROW(a.forecast_at(far), tarn::GapTooLarge);
  }
}

}  // namespace
