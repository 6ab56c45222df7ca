#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "tarn/averaging.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reference: the full table (forecast i padded with i leading NaN), averaged column by column.
std::vector<double> table_average(const std::vector<double>& f, std::size_t k, std::size_t ph) {
  if (k == 0) return {};
  const std::size_t m = k + ph - 1;
  std::vector<std::vector<double>> table(k, std::vector<double>(m, kNaN));
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t h = 0; h < ph; ++h) table[i][i + h] = f[i * ph + h];
  std::vector<double> out(m);
  for (std::size_t j = 0; j < m; ++j) {
    double s = 0;
    int c = 0;
    for (std::size_t i = 0; i < k; ++i)
      if (!std::isnan(table[i][j])) s += table[i][j], ++c;
    out[j] = c ? s / c : kNaN;
  }
  return out;
}

void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t j = 0; j < got.size(); ++j) {
    if (std::isnan(want[j])) {
      EXPECT_TRUE(std::isnan(got[j])) << "position " << j;
    } else {
      EXPECT_NEAR(got[j], want[j], 1e-12 * (1 + std::fabs(want[j]))) << "position " << j;
    }
  }
}

}  // namespace

TEST(Averaging, WorkedExample) {
  const std::vector<double> f = {1.1, 2.1, 3.1, 2.2, 3.2, 4.2, 3.3, 4.3, 5.3, 4.4, 5.4, 6.4};
  expect_same(tarn::average_overlapping(f.data(), 4, 3), {1.1, 2.15, 3.2, 4.3, 5.35, 6.4});
}

TEST(Averaging, HorizonOneIsIdentity) {
  const std::vector<double> f = {3.0, kNaN, -1.5, 7.25};
  expect_same(tarn::average_overlapping(f.data(), 4, 1), f);
}

TEST(Averaging, NaNSkippedAndUncoveredPositionIsNaN) {
  // Position 1 is covered by forecasts 0 and 1, both NaN there.
  const std::vector<double> f = {1.0, kNaN, kNaN, 2.0};
  expect_same(tarn::average_overlapping(f.data(), 2, 2), {1.0, kNaN, 2.0});
  const std::vector<double> g = {1.0, 2.0, 4.0, kNaN};
  expect_same(tarn::average_overlapping(g.data(), 2, 2), {1.0, 3.0, kNaN});
}

TEST(Averaging, NoForecastGivesNothing) {
  EXPECT_EQ(tarn::averaged_length(0, 5), 0u);
  EXPECT_TRUE(tarn::average_overlapping(nullptr, 0, 5).empty());
}

TEST(Averaging, ZeroHorizonIsRejected) {
  const double x = 1.0;
  EXPECT_THROW(tarn::average_overlapping(&x, 1, 0), std::invalid_argument);
}

TEST(Averaging, MatchesTableOnRandomData) {
  std::mt19937 rng(7);
  std::normal_distribution<double> val(10.0, 3.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (std::size_t ph : {1u, 2u, 5u, 24u}) {
    for (std::size_t k : {1u, 3u, 50u, 200u}) {
      std::vector<double> f(k * ph);
      for (auto& v : f) v = u(rng) < 0.1 ? kNaN : val(rng);
      expect_same(tarn::average_overlapping(f.data(), k, ph), table_average(f, k, ph));
    }
  }
}

TEST(Averaging, StridedTableGivesSameResult) {
  // Forecasts stored as one column of a 3-column array: element stride 3.
  const std::vector<double> f = {1.1, 2.1, 3.1, 2.2, 3.2, 4.2, 3.3, 4.3, 5.3, 4.4, 5.4, 6.4};
  std::vector<double> wide(f.size() * 3, -99.0);
  for (std::size_t i = 0; i < f.size(); ++i) wide[i * 3 + 1] = f[i];
  std::vector<double> out(6);
  tarn::average_overlapping(wide.data() + 1, 4, 3, 9, 3, out.data());
  expect_same(out, {1.1, 2.15, 3.2, 4.3, 5.35, 6.4});
}

TEST(Averaging, MeansNearTheFloatingPointLimitStayFinite) {
  // Three forecasts of horizon 2 around 1.5e308: every sum of two overflows.
  const double big = 1.5e308;
  const std::vector<double> f = {big, big, -big, big, big, 1e308};
  const auto got = tarn::average_overlapping(f.data(), 3, 2);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], big);
  EXPECT_EQ(got[1], 0.0);  // big and -big
  EXPECT_DOUBLE_EQ(got[2], big);
  EXPECT_EQ(got[3], 1e308);
  // An infinite forecast still makes its positions infinite; ordinary sums keep their bits.
  const std::vector<double> g = {big, INFINITY, big, 1.0};
  const auto inf = tarn::average_overlapping(g.data(), 2, 2);
  EXPECT_EQ(inf[1], INFINITY);
  const std::vector<double> small = {0.1, 0.2, 0.7, 0.3};
  EXPECT_EQ(tarn::average_overlapping(small.data(), 2, 2)[1], (0.2 + 0.7) / 2.0);
}
