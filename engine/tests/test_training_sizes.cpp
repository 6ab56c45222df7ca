// Training sizes: BATS and the automatic selector, the ARIMA attempts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tarn/training_sizes.hpp"

namespace {

std::vector<double> seasonal(std::size_t n, int period) {
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) {
    y.push_back(10.0 + 5.0 * std::sin(2.0 * M_PI * static_cast<double>(t % period) / period));
  }
  return y;
}

TEST(TrainingSizes, CappedButRaisedToThreeSeasonsAndTheMinimumNeverPastTheSeries) {
  EXPECT_EQ(tarn::training_size(5000, 1, 8), tarn::kTrainingCap);
  EXPECT_EQ(tarn::training_size(500, 12, 8), 500);     // shorter than the cap: all of it
  EXPECT_EQ(tarn::training_size(5000, 400, 8), 1200);  // three seasons beyond the cap
  EXPECT_EQ(tarn::training_size(5000, 1, 2000), 2000);
  EXPECT_EQ(tarn::training_size(1500, 600, 8), 1500);  // three seasons, but the series is shorter
  EXPECT_EQ(tarn::training_size(0, 1, 8), 0);
}

TEST(TrainingSizes, SeriesSizesDetectTheSeasonAndCountWholeSeasons) {
  const auto y = seasonal(100, 12);
  const tarn::SeriesSizes s = tarn::series_sizes(y.data(), y.size(), 200, 8);
  EXPECT_EQ(s.length, 100);
  EXPECT_EQ(s.period, 12);
  EXPECT_EQ(s.seasons, 8);
  EXPECT_EQ(s.training, 100);
  // A limit below the season: no season found; limits beyond the int range are the int range.
  EXPECT_EQ(tarn::series_sizes(y.data(), y.size(), 5, 8).period, 1);
  EXPECT_EQ(
      tarn::series_sizes(y.data(), y.size(), std::numeric_limits<std::int64_t>::max(), 8).period,
      12);
}

TEST(TrainingSizes, EmptyAllMissingAndBadLimits) {
  const tarn::SeriesSizes none = tarn::series_sizes(nullptr, 0, 200, 8);
  EXPECT_EQ(none.length, 0);
  EXPECT_EQ(none.period, 1);
  EXPECT_EQ(none.seasons, 0);
  EXPECT_EQ(none.training, 0);
  const std::vector<double> missing(30, std::numeric_limits<double>::quiet_NaN());
  const tarn::SeriesSizes m = tarn::series_sizes(missing.data(), missing.size(), 200, 8);
  EXPECT_EQ(m.period, 1);
  EXPECT_EQ(m.seasons, 30);
  EXPECT_THROW(tarn::series_sizes(missing.data(), missing.size(), 0, 8), std::invalid_argument);
  EXPECT_THROW(tarn::series_sizes(missing.data(), missing.size(), 200, 0), std::invalid_argument);
}

TEST(TrainingSizes, ArimaWholeSeriesFirstThenShorterParts) {
  EXPECT_EQ(tarn::arima_attempt_size(0, 144), 144);
  EXPECT_EQ(tarn::arima_attempt_size(1, 144), 126);
  EXPECT_EQ(tarn::arima_attempt_size(2, 144), 108);
  EXPECT_EQ(tarn::arima_attempt_size(3, 145), 91);  // 5/8 of 145 rounded up
  EXPECT_EQ(tarn::arima_attempt_size(4, 144), 72);
  EXPECT_EQ(tarn::arima_attempt_size(9, 144), 72);
  EXPECT_EQ(tarn::arima_attempt_size(-1, 144), 144);
  EXPECT_EQ(tarn::arima_attempt_size(4, 30), 20);  // never fewer than 20 values
  EXPECT_EQ(tarn::arima_attempt_size(3, 12), 12);  // nor more than the series
  EXPECT_EQ(tarn::arima_attempt_size(0, 0), 0);
  EXPECT_EQ(tarn::arima_attempt_size(2, -5), 0);
}

}  // namespace

TEST(TrainingSizes, HoltWintersKeepsASeasonOnlyWithTwoOfThem) {
  const auto monthly = tarn::holt_winters_sizes(120, 12);
  EXPECT_EQ(monthly.samples_per_season, 12);
  EXPECT_EQ(monthly.initial_training_seasons, 10);
  const auto short_one = tarn::holt_winters_sizes(23, 12);
  EXPECT_EQ(short_one.samples_per_season, 1);
  EXPECT_EQ(short_one.initial_training_seasons, 23);
  EXPECT_EQ(tarn::holt_winters_sizes(30, 1).initial_training_seasons, 30);
  const double nan = std::nan("");
  const std::vector<double> pos = {1, nan, 2}, zero = {1, 0, 2}, none = {nan};
  EXPECT_TRUE(tarn::log_transformable(pos.data(), 3));
  EXPECT_FALSE(tarn::log_transformable(zero.data(), 3));
  EXPECT_FALSE(tarn::log_transformable(none.data(), 1));
}
