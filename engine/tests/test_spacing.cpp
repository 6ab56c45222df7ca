// Statistics of the spacing of timestamps and the clear-cut regularity decision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "tarn/spacing.hpp"

namespace sp = tarn::spacing;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

TEST(Spacing, MeanAndSampleDeviationOfTheDifferences) {
  sp::Stats s;
  const std::vector<std::int64_t> x = {0, 2, 4, 8};  // spacings 2, 2, 4
  ASSERT_TRUE(sp::of_integers(x.data(), x.size(), &s));
  EXPECT_DOUBLE_EQ(s.mean, 8.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.stdev, std::sqrt((2 * (4.0 / 9.0) + 16.0 / 9.0) / 2.0));
  const std::vector<double> r = {0.0, 0.5, 1.0};
  ASSERT_TRUE(sp::of_reals(r.data(), r.size(), &s));
  EXPECT_EQ(s.mean, 0.5);
  EXPECT_EQ(s.stdev, 0.0);
  // Ticks are counted in seconds: hourly in nanoseconds.
  const std::int64_t hour = 3'600'000'000'000LL;
  const std::vector<std::int64_t> t = {0, hour, 2 * hour};
  ASSERT_TRUE(sp::of_ticks(t.data(), t.size(), 1e9, &s));
  EXPECT_EQ(s.mean, 3600.0);
}

TEST(Spacing, TooFewOrUnusableValuesAreLeftToTheCaller) {
  sp::Stats s;
  const std::vector<std::int64_t> two = {1, 2};  // one spacing: no deviation
  EXPECT_FALSE(sp::of_integers(two.data(), two.size(), &s));
  EXPECT_FALSE(sp::of_integers(nullptr, 0, &s));
  const std::vector<std::int64_t> wide = {0, -2, std::numeric_limits<std::int64_t>::max()};
  EXPECT_FALSE(sp::of_integers(wide.data(), wide.size(), &s));  // a difference overflows
  const std::vector<double> gap = {0.0, kNaN, 2.0, 3.0};
  EXPECT_FALSE(sp::of_reals(gap.data(), gap.size(), &s));
  const std::vector<double> huge = {-1e308, 1e308, 1e308};
  EXPECT_FALSE(sp::of_reals(huge.data(), huge.size(), &s));  // the difference is infinite
  const std::vector<std::int64_t> missing = {0, 10, kNaT, 30};
  EXPECT_FALSE(sp::of_ticks(missing.data(), missing.size(), 1.0, &s));
  // Differences beyond 2^53 ticks are not exact in double.
  const std::int64_t far = (std::int64_t{1} << 53) + 1;
  const std::vector<std::int64_t> inexact = {0, far, 2 * far};
  EXPECT_FALSE(sp::of_ticks(inexact.data(), inexact.size(), 1.0, &s));
  const std::vector<std::int64_t> exact = {0, far - 1, 2 * (far - 1)};
  EXPECT_TRUE(sp::of_ticks(exact.data(), exact.size(), 1.0, &s));
}

TEST(Spacing, RegularityIsDecidedOnlyAwayFromTheLimit) {
  EXPECT_EQ(sp::regularity({10.0, 1.0}), sp::Regularity::regular);
  EXPECT_EQ(sp::regularity({10.0, 3.0}), sp::Regularity::irregular);
  EXPECT_EQ(sp::regularity({10.0, 2.0}), sp::Regularity::undecided);  // exactly 20%
  EXPECT_EQ(sp::regularity({10.0, 2.0 + 1e-9}), sp::Regularity::undecided);
  EXPECT_EQ(sp::regularity({0.0, 0.0}), sp::Regularity::undecided);  // no spacing at all
  EXPECT_EQ(sp::regularity({-5.0, 0.1}), sp::Regularity::undecided);
  EXPECT_EQ(sp::regularity({1e-300, 0.0}), sp::Regularity::undecided);
}

}  // namespace
