// Column-wise helpers of the gap filling: a constant per column, what is left at the ends, and
// the mean or median a column is filled with.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tarn/interpolate.hpp"

namespace {

namespace ti = tarn::interp;
const double NaN = std::numeric_limits<double>::quiet_NaN();

ti::Options fill_options() {
  ti::Options o;
  o.method = ti::Method::fill;
  return o;
}

TEST(InterpolateColumns, EachColumnGetsItsOwnConstantAndTheTimeColumnIsNotRead) {
  // Column 0 is the time column, out of order: it is neither checked nor changed.
  std::vector<double> m = {5,   NaN, 1,   //
                           3,   2,   -9,  //
                           NaN, NaN, 3};
  const std::size_t n =
      ti::fill_matrix_by_column(m.data(), 3, 3, 0, -9, fill_options(), {100, 7, 8});
  EXPECT_EQ(n, 3u);
  const std::vector<double> want = {5, 7, 1, 3, 2, 8, NaN, 7, 3};
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(m[i])) << i;
    } else {
      EXPECT_EQ(m[i], want[i]) << i;
    }
  }
  std::vector<double> short_of_columns = {NaN, NaN};
  EXPECT_THROW(
      ti::fill_matrix_by_column(short_of_columns.data(), 1, 2, -1, NaN, fill_options(), {1.0}),
      std::out_of_range);
  EXPECT_EQ(ti::fill_matrix_by_column(nullptr, 0, 0, -1, NaN, fill_options(), {}), 0u);
}

TEST(InterpolateColumns, PrevLeavesTheLeadingGapForTheRemainderFill) {
  ti::Options prev;
  prev.method = ti::Method::prev;
  prev.fill_ends = false;
  std::vector<double> m = {0, NaN,  //
                           1, 4,    //
                           2, -1,   //
                           3, NaN};
  std::size_t n = ti::fill_matrix(m.data(), 4, 2, 0, -1, prev);
  EXPECT_EQ(m[5], 4.0);  // inner gap (the -1 marker) carried forward
  EXPECT_EQ(m[7], 4.0);  // prev carries into the trailing end
  EXPECT_TRUE(std::isnan(m[1]));
  n += ti::fill_remaining(m.data(), 4, 2, 0, -1, 0.5);
  EXPECT_EQ(m[1], 0.5);
  EXPECT_EQ(n, 3u);
  // The marker counts as missing too; the time column is never touched.
  std::vector<double> t = {NaN, -1, -1, 2};
  EXPECT_EQ(ti::fill_remaining(t.data(), 2, 2, 0, -1, 9), 1u);
  EXPECT_TRUE(std::isnan(t[0]));
  EXPECT_EQ(t[1], 9.0);
  EXPECT_EQ(t[2], -1.0);
  // Without a marker (NaN), -1 is a value.
  EXPECT_EQ(ti::fill_remaining(t.data(), 2, 2, 0, NaN, 9), 0u);
}

TEST(InterpolateColumns, MeanAndMedianOfObservedValues) {
  // Column 0: 1, 2, 10 (and a marker); column 1 all missing; column 2 the time column.
  const std::vector<double> m = {1,  NaN, 0,  //
                                 -5, -5,  1,  //
                                 10, NaN, 2,  //
                                 2,  NaN, 3};
  const auto mean = ti::column_statistic(m.data(), 4, 3, 2, -5, ti::Statistic::mean, 42);
  ASSERT_EQ(mean.size(), 3u);
  EXPECT_EQ(mean[0], 13.0 / 3.0);
  EXPECT_EQ(mean[1], 42.0);  // nothing observed: the fallback
  EXPECT_TRUE(std::isnan(mean[2]));
  const auto median = ti::column_statistic(m.data(), 4, 3, 2, -5, ti::Statistic::median, 42);
  EXPECT_EQ(median[0], 2.0);
  // An even count takes the middle pair's mean; a NaN marker means only NaN is missing.
  const std::vector<double> even = {4, 1, -5, 3};
  EXPECT_EQ(ti::column_statistic(even.data(), 4, 1, -1, NaN, ti::Statistic::median, 0)[0], 2.0);
  EXPECT_EQ(ti::column_statistic(even.data(), 4, 1, -1, -5, ti::Statistic::median, 0)[0], 3.0);
  EXPECT_TRUE(ti::column_statistic(nullptr, 0, 0, -1, NaN, ti::Statistic::mean, 0).empty());
}

}  // namespace

TEST(InterpolateColumns, ObservedCountsSkipNaNAndTheMarker) {
  // 3 rows x 3 columns: the middle column has nothing observed.
  const std::vector<double> data = {1, NaN, -9, 2, -9, 3, NaN, NaN, -9};
  EXPECT_EQ(ti::observed_counts(data.data(), 3, 3, -9.0), (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(ti::observed_counts(data.data(), 3, 3, NaN), (std::vector<std::size_t>{2, 1, 3}));
  EXPECT_EQ(ti::observed_counts(nullptr, 0, 2, NaN), (std::vector<std::size_t>{0, 0}));
}
