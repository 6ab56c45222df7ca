// The forecasting session (tarn::Forecaster): training, the log transform, forecasts with and
// without new rows, sliding windows, intervals, the score and use from many threads.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tarn/arima.hpp"
#include "tarn/auto.hpp"
#include "tarn/bats.hpp"
#include "tarn/builders.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/metrics.hpp"
#include "tarn/model_table.hpp"
#include "tarn/mstl.hpp"
#include "tarn/series_job.hpp"
#include "tarn/training_sizes.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
using ModelPtr = tarn::Forecaster::ModelPtr;

ModelPtr hws(int season) {
  tarn::Options o;
  o["samples_per_season"] = season;
  o["initial_training_seasons"] = 4;
  return ModelPtr(tarn::build("hws", o));
}

std::vector<double> seasonal(std::size_t n, double level, double shift = 0.0) {
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = level + 0.2 * static_cast<double>(i) + 8.0 * std::sin(0.5236 * (i + shift));
  }
  return y;
}

std::vector<std::int64_t> steps(std::size_t n) {
  std::vector<std::int64_t> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<std::int64_t>(i);
  return t;
}

// Two seasonal targets, 60 values each, stored one after the other.
tarn::Forecaster trained(bool log = true) {
  std::vector<double> series = seasonal(60, 50.0);
  const std::vector<double> b = seasonal(60, 80.0, 3.0);
  series.insert(series.end(), b.begin(), b.end());
  const auto t = steps(60);
  tarn::Forecaster f;
  tarn::Forecaster::TrainInput in;
  in.timestamps = t.data();
  in.series = series.data();
  in.n = 60;
  in.n_targets = 2;
  in.log_transform = log;
  f.train(in, {hws(12), hws(12)}, nullptr);
  return f;
}

TEST(ForecasterLogScale, RoundTripsAndKeepsDigitsNearZero) {
  for (double x : {-1.999, -1.0, -1e-12, 0.0, 1e-12, 0.5, 3.0, 1e6}) {
    EXPECT_NEAR(tarn::from_log_scale(tarn::to_log_scale(x)), x, 1e-12 * std::max(1.0, std::fabs(x)))
        << x;
  }
  // Forecasts near 0 keep their relative digits (e^y - 1 - 1 would lose them).
  const double tiny = 1e-10;
  EXPECT_NEAR(tarn::from_log_scale(tarn::to_log_scale(tiny)) / tiny, 1.0, 1e-4);
  EXPECT_TRUE(std::isnan(tarn::to_log_scale(-3.0)));
  EXPECT_EQ(tarn::to_log_scale(-2.0), -std::numeric_limits<double>::infinity());
}

TEST(ForecasterLogScale, ChoiceFallsBackForMissingNegativeAndTinySeries) {
  const std::vector<double> fine{1.0, 2.0, 3.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(tarn::choose_log(fine.data(), 2, 3), tarn::LogChoice::kLog);  // zeros are fine
  const std::vector<double> missing{1.0, kNaN, 3.0};
  EXPECT_EQ(tarn::choose_log(missing.data(), 1, 3), tarn::LogChoice::kNotFinite);
  const std::vector<double> low{1.0, -2.0, 3.0};
  EXPECT_EQ(tarn::choose_log(low.data(), 1, 3), tarn::LogChoice::kNotFinite);
  const std::vector<double> tiny{5.0, 6.0, 1e-9, -2e-9};
  EXPECT_EQ(tarn::choose_log(tiny.data(), 2, 2), tarn::LogChoice::kTooSmall);
  const std::vector<double> small{1e-6, 3e-5, 9e-5};  // where the log is a straight line
  EXPECT_EQ(tarn::choose_log(small.data(), 1, 3), tarn::LogChoice::kTooSmall);
  const std::vector<double> enough{1e-6, 3e-5, 2e-4};
  EXPECT_EQ(tarn::choose_log(enough.data(), 1, 3), tarn::LogChoice::kLog);
}

TEST(ForecasterTraining, SeasonSettingsOfATrainingSeries) {
  const std::vector<double> y = seasonal(60, 50.0);
  const tarn::SeasonSettings s = tarn::season_settings(y.data(), y.size());
  EXPECT_EQ(s.samples_per_season, 12);
  EXPECT_EQ(s.initial_training_seasons, 5);
  EXPECT_EQ(s.training_size, tarn::training_size(60, 12, 8));
  // Too short for a season: one value per season, the whole series trains.
  const std::vector<double> two{1.0, 2.0};
  const tarn::SeasonSettings t = tarn::season_settings(two.data(), two.size());
  EXPECT_EQ(t.samples_per_season, 1);
  EXPECT_EQ(t.initial_training_seasons, 2);
  EXPECT_EQ(t.training_size, 2);
}

TEST(ForecasterTraining, TrainsEveryTargetAndFallsBackToRawValues) {
  tarn::Forecaster f = trained();
  ASSERT_TRUE(f.ready());
  EXPECT_TRUE(f.log_transformed());
  EXPECT_EQ(f.n_update(), 2u);
  EXPECT_EQ(f.last_updated(), 59);
  EXPECT_EQ(f.interval(), 1.0);

  std::vector<double> series = seasonal(60, 50.0);
  series[10] = kNaN;
  const auto t = steps(60);
  tarn::Forecaster g;
  tarn::Forecaster::TrainInput in{t.data(), series.data(), 60, 1, true, false};
  g.train(in, {hws(12)}, nullptr);
  EXPECT_FALSE(g.log_transformed());
  EXPECT_EQ(g.log_choice(), tarn::LogChoice::kNotFinite);
  EXPECT_TRUE(g.ready());
}

// A season the caller gives reaches every model that finds its own: the data below have a
// season of 12, the caller says 7, and each model carries 7 (and still tests it by its own
// criterion). A model built with its season, and one already trained, keep theirs.
TEST(ForecasterTraining, TheCallersSeasonComesFirst) {
  const std::size_t n = 120;
  const std::vector<double> y = seasonal(n, 50.0);
  const auto t = steps(n);
  tarn::Forecaster::TrainInput in;
  in.timestamps = t.data();
  in.series = y.data();
  in.n = n;
  in.n_targets = 1;
  in.log_transform = false;
  auto trained_with = [&](const char* kind, tarn::Options o, std::int64_t season) {
    in.season = season;
    tarn::Forecaster f;
    f.train(in, {ModelPtr(tarn::build(kind, o))}, nullptr);
    EXPECT_TRUE(f.ready()) << kind;
    return f.models().front();
  };
  for (std::int64_t season : {std::int64_t{0}, std::int64_t{7}}) {
    const std::int64_t want = season ? season : 12;
    auto arima = trained_with("arima", {{"min_training_data", std::int64_t(n)}}, season);
    EXPECT_EQ(std::dynamic_pointer_cast<tarn::Arima>(arima)->config().samples_per_season, season);
    auto bats = trained_with("bats", {{"training_sample_size", std::int64_t(n)}}, season);
    EXPECT_EQ(std::dynamic_pointer_cast<tarn::Bats>(bats)->config().season_length, season);
    auto aut = trained_with("auto", {{"min_training_data", std::int64_t(n)}}, season);
    EXPECT_EQ(std::dynamic_pointer_cast<tarn::AutoSelector>(aut)->season_length(), want);
    auto mstl = trained_with("mstl", {{"training_sample_size", std::int64_t(n)}}, season);
    EXPECT_EQ(std::dynamic_pointer_cast<tarn::Mstl>(mstl)->seasons(), std::vector<int>{int(want)});
  }
  auto own = trained_with("arima",
                          {{"min_training_data", std::int64_t(n)}, {"samples_per_season", 12}}, 7);
  EXPECT_EQ(std::dynamic_pointer_cast<tarn::Arima>(own)->config().samples_per_season, 12);
  own->name_season(5);
  EXPECT_EQ(std::dynamic_pointer_cast<tarn::Arima>(own)->config().samples_per_season, 12);
  // ARMA carries no seasonal terms.
  auto arma = trained_with("arma", {{"min_training_data", std::int64_t(n)}}, 7);
  EXPECT_EQ(std::dynamic_pointer_cast<tarn::Arima>(arma)->config().samples_per_season, 0);
  EXPECT_EQ(arma->fit_note(), "season of 7 left out: arma has no seasonal terms (arima has)");

  // A season of 1 says there is none: the selector and the decomposition search no more, and
  // the selector's saved state keeps what it was told.
  auto none = trained_with("auto", {{"min_training_data", std::int64_t(n)}}, 1);
  EXPECT_EQ(std::dynamic_pointer_cast<tarn::AutoSelector>(none)->season_length(), 1);
  EXPECT_TRUE(std::dynamic_pointer_cast<tarn::Mstl>(
                  trained_with("mstl", {{"training_sample_size", std::int64_t(n)}}, 1))
                  ->seasons()
                  .empty());
  tarn::AutoConfig told;
  told.min_training_data = static_cast<std::int64_t>(n);
  tarn::AutoSelector fresh(told);
  fresh.name_season(1);
  const auto copy = tarn::Model::deserialize(fresh.serialize());
  copy->update(t.data(), y.data(), n);
  EXPECT_EQ(dynamic_cast<tarn::AutoSelector&>(*copy).season_length(), 1);

  // A season the data hold fewer than two cycles of is left out, and each model says so.
  for (const char* kind : {"arima", "bats", "mstl", "auto"}) {
    const char* size = std::string(kind) == "arima" || std::string(kind) == "auto"
                           ? "min_training_data"
                           : "training_sample_size";
    auto m = trained_with(kind, {{size, std::int64_t(n)}}, 100);
    EXPECT_EQ(m->fit_note(), "season of 100 not fitted: fewer than two seasons of data") << kind;
    EXPECT_EQ(trained_with(kind, {{size, std::int64_t(n)}}, 0)->fit_note(), "") << kind;
  }

  // samples_per_season as the caller gives it: steps, or a share of the training length.
  EXPECT_EQ(tarn::given_season(tarn::Value(), 100), 0);
  EXPECT_EQ(tarn::given_season(tarn::Value(7.9), 100), 7);
  EXPECT_EQ(tarn::given_season(tarn::Value(0.1), 100), 10);
  EXPECT_EQ(tarn::given_season(tarn::Value(0.8), 100), 50);
  EXPECT_EQ(tarn::given_season(tarn::Value(0.001), 100), 2);
  EXPECT_THROW(tarn::given_season(tarn::Value(-3), 100), tarn::InvalidArgument);
  EXPECT_THROW(tarn::given_season(tarn::Value("x"), 100), tarn::InvalidArgument);
}

TEST(ForecasterTraining, RetriesShorterSizesAndKeepsTheSessionOnErrors) {
  const std::vector<double> y = seasonal(80, 40.0);
  const auto t = steps(80);
  std::vector<std::int64_t> attempts;
  auto retry = [&](std::size_t, std::int64_t attempt) {
    attempts.push_back(attempt);
    tarn::Options o;
    // Too much training data for the first two attempts.
    o["min_training_data"] = attempt < 2 ? std::int64_t{500} : std::int64_t{40};
    return ModelPtr(tarn::build("arma", o));
  };
  tarn::Forecaster f;
  tarn::Forecaster::TrainInput in{t.data(), y.data(), 80, 1, false, true};
  f.train(in, {hws(12)}, retry);
  EXPECT_EQ(attempts, (std::vector<std::int64_t>{0, 1, 2}));
  ASSERT_TRUE(f.ready());
  EXPECT_STREQ(f.models()[0]->kind(), "arma");

  // A timestamp that goes back is refused; the trained session stays as it was.
  std::vector<std::int64_t> back = t;
  back[30] = 5;
  tarn::Forecaster::TrainInput bad{back.data(), y.data(), 80, 1, false, false};
  EXPECT_THROW(f.train(bad, {hws(12)}, nullptr), tarn::StaleUpdate);
  EXPECT_STREQ(f.models()[0]->kind(), "arma");
  EXPECT_THROW(f.train(in, {hws(12), hws(12)}, nullptr), tarn::InvalidArgument);
}

TEST(ForecasterForecast, PredictFeedsCopiesAndUndoesTheTransform) {
  const tarn::Forecaster f = trained();
  const tarn::Forecast base = f.forecast(3);
  ASSERT_EQ(base.values.size(), 6u);
  // The forecast on the data's scale is e^y - 2 of the model's own forecast.
  const double y = f.models()[1]->forecast_at(61.0);
  EXPECT_DOUBLE_EQ(base.values[3], tarn::from_log_scale(y));

  // New rows (a third column is carried along and ignored), fed to copies.
  const std::vector<double> rows{60.0, 90.0, 7.0, 61.0, 91.0, 7.0};
  tarn::Rows r{rows.data(), 3, nullptr, 2};
  const tarn::Forecast after = f.predict(r, 2);
  EXPECT_EQ(f.last_updated(), 59);  // the trained models are untouched
  ASSERT_EQ(after.updated.size(), 2u);
  EXPECT_EQ(after.updated[0]->last_time(), 61);
  ASSERT_EQ(after.values.size(), 4u);
  const double expect = tarn::from_log_scale(after.updated[0]->forecast_at(63.0));
  EXPECT_DOUBLE_EQ(after.values[2], expect);

  // The same rows given one at a time to the updated copies give the same forecast.
  tarn::Rows first{rows.data(), 3, nullptr, 1};
  const tarn::Forecast one = f.predict(first, 2);
  tarn::Rows second{rows.data() + 3, 3, nullptr, 1};
  const tarn::Forecast two = f.predict(second, 2, &one.updated);
  EXPECT_EQ(two.values, after.values);

  // A row the transform cannot take (the third column too) feeds nothing.
  const std::vector<double> low{60.0, 90.0, 7.0, 61.0, 91.0, -2.5};
  const tarn::Forecast refused = f.predict({low.data(), 3, nullptr, 2}, 2);
  EXPECT_EQ(refused.usable_rows, 1u);
  EXPECT_TRUE(refused.values.empty() && refused.updated.empty());
  EXPECT_THROW(f.predict({rows.data(), 1, nullptr, 6}, 2), tarn::InvalidArgument);
}

TEST(ForecasterForecast, SlidingWindowForecastsAfterEveryRowAndRecordsSkips) {
  const tarn::Forecaster f = trained(false);
  const std::vector<double> rows{60.0, 90.0, 61.0, 91.0, 62.0, 92.0};
  const std::vector<double> stamps{60.0, 60.0, 62.0};  // the second row is stale
  const tarn::Forecast s = f.sliding({rows.data(), 2, stamps.data(), 3}, 2);
  EXPECT_EQ(s.usable_rows, 3u);
  ASSERT_EQ(s.values.size(), 3u * 2u * 2u);
  ASSERT_EQ(s.loop.skips.size(), 1u);
  EXPECT_EQ(s.loop.skips[0].kind, tarn::SkipRecord::kStale);
  EXPECT_EQ(s.loop.skips[0].row, 1);
  // After the stale row the forecasts are those after the first row again.
  for (int k = 0; k < 4; ++k) EXPECT_EQ(s.values[4 + k], s.values[k]);
  EXPECT_EQ(s.updated[0]->last_time(), 62);

  // With the transform, a row below -2 ends the window before it.
  const tarn::Forecaster g = trained(true);
  const std::vector<double> low{60.0, 90.0, 61.0, -3.0, 62.0, 92.0};
  const tarn::Forecast cut = g.sliding({low.data(), 2, nullptr, 3}, 1);
  EXPECT_EQ(cut.usable_rows, 1u);
  EXPECT_EQ(cut.values.size(), 2u);
}

TEST(ForecasterIntervals, BoundsSurroundTheForecastAndWidenWithLevel) {
  const tarn::Forecaster f = trained();
  const tarn::Forecast fc = f.forecast(4);
  std::vector<double> lo80(8), hi80(8), lo95(8), hi95(8);
  f.intervals(nullptr, 4, 80, fc.values.data(), lo80.data(), hi80.data());
  f.intervals(nullptr, 4, 95, fc.values.data(), lo95.data(), hi95.data());
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_LE(lo95[i], lo80[i]);
    EXPECT_LT(lo80[i], fc.values[i]);
    EXPECT_GT(hi80[i], fc.values[i]);
    EXPECT_LE(hi80[i], hi95[i]);
  }
  EXPECT_THROW(f.intervals(nullptr, 4, 100, fc.values.data(), lo80.data(), hi80.data()),
               tarn::InvalidArgument);
}

TEST(ForecasterScore, MeansOfTermsPerRowThenWeightedRows) {
  const std::vector<double> truth{1.0, 2.0, 0.0, 4.0};
  const std::vector<double> fc{1.0, 4.0, 0.0, 2.0};
  const double row0 = (0.0 + tarn::smape_term(2.0, 4.0)) / 2.0;
  const double row1 = (0.0 + tarn::smape_term(4.0, 2.0)) / 2.0;
  EXPECT_DOUBLE_EQ(tarn::mean_smape(truth.data(), fc.data(), 2, 2, nullptr), (row0 + row1) / 2);
  const std::vector<double> w{3.0, 1.0};
  EXPECT_DOUBLE_EQ(tarn::mean_smape(truth.data(), fc.data(), 2, 2, w.data()),
                   (3 * row0 + row1) / 4);
  const std::vector<double> zero{0.0, 0.0};
  EXPECT_THROW(tarn::mean_smape(truth.data(), fc.data(), 2, 2, zero.data()), tarn::InvalidArgument);
  // Long series are summed pairwise, as numpy sums: 1 + 1e-16 * many keeps the small terms.
  std::vector<double> t(1000, 100.0), p(1000, 101.0);
  const double one = tarn::smape_term(100.0, 101.0);
  EXPECT_NEAR(tarn::mean_smape(t.data(), p.data(), 1000, 1, nullptr), one, 1e-13);
}

// A trained session of every model kind the selector knows, and of the selector itself.
std::vector<tarn::Forecaster> every_kind() {
  std::vector<tarn::Forecaster> out;
  const std::vector<double> y = seasonal(72, 50.0);
  const auto t = steps(72);
  std::vector<ModelPtr> models;
  for (const auto& e : tarn::model_table()) {
    if (e.make_candidate) models.push_back(ModelPtr(e.make_candidate(72, 12)));
  }
  models.push_back(ModelPtr(tarn::build("auto", {{"min_training_data", std::int64_t{72}}})));
  for (auto& m : models) {
    tarn::Forecaster f;
    tarn::Forecaster::TrainInput in{t.data(), y.data(), 72, 1, true, false};
    f.train(in, {m}, nullptr);
    out.push_back(f);
  }
  return out;
}

TEST(ForecasterThreads, ManyThreadsGetTheSequentialAnswers) {
  const std::vector<tarn::Forecaster> sessions = every_kind();
  const std::vector<double> rows{60.0, 61.0, 62.0, 63.0};
  const tarn::Rows r{rows.data(), 1, nullptr, 4};
  for (const tarn::Forecaster& f : sessions) {
    ASSERT_TRUE(f.ready()) << f.models()[0]->kind();
    const auto want_predict = f.predict(r, 5).values;
    const auto want_sliding = f.sliding(r, 2).values;
    const auto want_forecast = f.forecast(5).values;
    std::vector<double> lo(5), hi(5), want_lo(5), want_hi(5);
    f.intervals(nullptr, 5, 80, want_forecast.data(), want_lo.data(), want_hi.data());
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> pool;
    for (int i = 0; i < 8; ++i) {
      pool.emplace_back([&, i] {
        std::vector<double> l(5), h(5);
        for (int k = 0; k < 50; ++k) {
          if (f.predict(r, 5).values != want_predict) ++wrong[i];
          if (f.sliding(r, 2).values != want_sliding) ++wrong[i];
          if (f.forecast(5).values != want_forecast) ++wrong[i];
          f.intervals(nullptr, 5, 80, want_forecast.data(), l.data(), h.data());
          if (l != want_lo || h != want_hi) ++wrong[i];
        }
      });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0)) << f.models()[0]->kind();
  }
}

}  // namespace
