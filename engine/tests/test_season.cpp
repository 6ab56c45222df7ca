#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tarn/season.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A seasonal series: an irregular seasonal profile (not a pure sinusoid), a trend and noise.
std::vector<double> seasonal(int period, int cycles, double noise, unsigned seed,
                             double trend = 0.02) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> profile(static_cast<std::size_t>(period));
  for (int i = 0; i < period; ++i) {
    profile[static_cast<std::size_t>(i)] =
        std::sin(2 * kPi * i / period) + 0.5 * std::cos(4 * kPi * i / period) + 0.3 * nd(rng);
  }
  std::vector<double> x;
  for (int t = 0; t < period * cycles; ++t) {
    x.push_back(10.0 + trend * t + 2.0 * profile[static_cast<std::size_t>(t % period)] +
                noise * nd(rng));
  }
  return x;
}

struct PeriodCase {
  int period;
  int cycles;
};

class KnownPeriod : public ::testing::TestWithParam<PeriodCase> {};

TEST_P(KnownPeriod, FindsThePeriod) {
  const PeriodCase c = GetParam();
  int hits = 0;
  for (unsigned seed = 1; seed <= 10; ++seed) {
    const auto x = seasonal(c.period, c.cycles, 0.5, seed);
    if (tarn::detect_period(x.data(), x.size(), 200) == c.period) ++hits;
  }
  EXPECT_GE(hits, 9) << "period " << c.period;
}

INSTANTIATE_TEST_SUITE_P(Periods, KnownPeriod,
                         ::testing::Values(PeriodCase{4, 20}, PeriodCase{7, 16}, PeriodCase{12, 10},
                                           PeriodCase{24, 10}, PeriodCase{52, 5}),
                         [](const auto& info) { return "p" + std::to_string(info.param.period); });

TEST(DetectPeriod, WhiteNoiseHasNone) {
  std::mt19937 rng(7);
  std::normal_distribution<double> nd(0.0, 1.0);
  int falsely = 0;
  for (int rep = 0; rep < 40; ++rep) {
    std::vector<double> x(400);
    for (auto& v : x) v = nd(rng);
    if (tarn::detect_period(x.data(), x.size(), 200) != 1) ++falsely;
  }
  EXPECT_LE(falsely, 2);
}

TEST(DetectPeriod, RandomWalkHasNone) {
  std::mt19937 rng(11);
  std::normal_distribution<double> nd(0.0, 1.0);
  int falsely = 0;
  for (int rep = 0; rep < 40; ++rep) {
    std::vector<double> x(400);
    double level = 0.0;
    for (auto& v : x) v = (level += nd(rng));
    if (tarn::detect_period(x.data(), x.size(), 200) != 1) ++falsely;
  }
  EXPECT_LE(falsely, 2);
}

TEST(DetectPeriod, MissingValuesAreTolerated) {
  auto x = seasonal(12, 12, 0.3, 3);
  for (std::size_t i = 5; i < x.size(); i += 9) x[i] = std::numeric_limits<double>::quiet_NaN();
  x[0] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(tarn::detect_period(x.data(), x.size(), 200), 12);
}

TEST(DetectPeriod, RespectsTheUpperLimit) {
  const auto x = seasonal(24, 10, 0.3, 5);
  const int p = tarn::detect_period(x.data(), x.size(), 12);
  EXPECT_LE(p, 12);
  EXPECT_GE(p, 1);
}

TEST(DetectPeriod, DegenerateInputs) {
  const std::vector<double> constant(100, 3.0);
  EXPECT_EQ(tarn::detect_period(constant.data(), constant.size(), 200), 1);
  const std::vector<double> few = {1, 2, 1, 2};
  EXPECT_EQ(tarn::detect_period(few.data(), few.size(), 200), 1);
  EXPECT_EQ(tarn::detect_period(nullptr, 0, 200), 1);
  const std::vector<double> nan(50, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(tarn::detect_period(nan.data(), nan.size(), 200), 1);
  const auto x = seasonal(12, 10, 0.3, 9);
  EXPECT_EQ(tarn::detect_period(x.data(), x.size(), 1), 1);
  EXPECT_EQ(tarn::detect_period(x.data(), x.size(), -5), 1);
}

TEST(DetectPeriod, ScaleDoesNotMatter) {
  auto x = seasonal(7, 20, 0.3, 13);
  for (double s : {1e-200, 1e-6, 1e6, 1e200}) {
    std::vector<double> y(x);
    for (double& v : y) v *= s;
    EXPECT_EQ(tarn::detect_period(y.data(), y.size(), 200), 7) << "scale " << s;
  }
}

// Short series whose level wanders: the season hides behind the slowly decaying
// autocorrelation of the levels and shows in their changes.
TEST(DetectPeriod, SeasonUnderAWanderingLevelInAShortSeries) {
  std::mt19937 rng(17);
  std::normal_distribution<double> nd(0.0, 1.0);
  const double profile[4] = {1.0, 0.6, -0.4, -1.2};
  for (int n : {24, 36, 48}) {
    int hits = 0;
    for (int rep = 0; rep < 20; ++rep) {
      std::vector<double> x;
      double level = 50.0;
      for (int t = 0; t < n; ++t) {
        level += 0.2 + 0.4 * nd(rng);
        x.push_back(level + profile[t % 4] + 0.2 * nd(rng));
      }
      if (tarn::detect_period(x.data(), x.size(), 200) == 4) ++hits;
    }
    EXPECT_GE(hits, 17) << "n=" << n;
  }
}

// Ten years of monthly data under a wandering level: the autocorrelation can peak a lag off
// the season (these seeds peak at 11 or 13); the season is still 12, and a season of 13 under
// the same level is still 13.
TEST(DetectPeriod, APeakALagOffTheSeasonIsTheSeason) {
  for (const int period : {12, 13}) {
    int off = 0;
    for (const unsigned seed : {48u, 82u, 87u, 138u, 160u, 184u, 205u, 278u, 308u, 385u}) {
      std::mt19937 g(seed);
      std::normal_distribution<double> e(0.0, 1.0);
      std::vector<double> y(120);
      double level = 100.0;
      for (std::size_t t = 0; t < y.size(); ++t) {
        const double u = 2 * kPi * static_cast<double>(t) / period;
        level += e(g);
        y[t] = level + 3.0 * std::sin(u) + 1.5 * std::cos(2 * u) + e(g);
      }
      const int p = tarn::detect_period(y.data(), y.size(), 60);
      if (p != period && p % period != 0) ++off;
    }
    EXPECT_EQ(off, 0) << period;
  }
}

// A season is only read from three of its cycles: a series of exactly three cycles of a season
// between two lengths peaks at the longest lag allowed, and its longer neighbour (which fits
// fewer than three cycles) is never the answer.
TEST(DetectPeriod, NeverAnswersWithFewerThanThreeCycles) {
  int beyond = 0, total = 0;
  for (unsigned seed = 0; seed < 100; ++seed) {
    std::mt19937 g(seed);
    std::normal_distribution<double> e(0.0, 1.0);
    for (const int period : {8, 10, 12}) {
      const int n = 3 * period;
      std::vector<double> y(static_cast<std::size_t>(n));
      double level = 10.0;
      for (int t = 0; t < n; ++t) {
        level += 0.5 * e(g);
        y[static_cast<std::size_t>(t)] =
            level + 3.0 * std::sin(2 * kPi * t / (period + 0.5)) + e(g);
      }
      ++total;
      if (3 * tarn::detect_period(y.data(), y.size(), 200) > n) ++beyond;
    }
  }
  EXPECT_EQ(beyond, 0) << "of " << total;
}

// Short series without a season, of the lengths a season is looked for in: white noise
// (whose changes are strongly anticorrelated), random walks and trends.
TEST(DetectPeriod, ShortSeriesWithoutASeasonRarelyShowOne) {
  std::mt19937 rng(23);
  std::normal_distribution<double> nd(0.0, 1.0);
  for (int kind = 0; kind < 3; ++kind) {
    int falsely = 0, total = 0;
    for (int n : {16, 24, 36, 60, 120}) {
      for (int rep = 0; rep < 40; ++rep, ++total) {
        std::vector<double> x;
        double level = 0.0;
        for (int t = 0; t < n; ++t) {
          const double e = nd(rng);
          x.push_back(kind == 0 ? e : kind == 1 ? (level += e) : 0.1 * t + e);
        }
        if (tarn::detect_period(x.data(), x.size(), 200) != 1) ++falsely;
      }
    }
    EXPECT_LE(falsely, total / 10) << "kind " << kind;
  }
}

}  // namespace

// A smooth season has a lag-one autocorrelation as high as a random walk's; it must not be
// mistaken for one (differencing it leaves spurious short peaks).
TEST(DetectPeriod, SmoothLongSeasonInALongSeries) {
  std::mt19937 rng(3);
  std::normal_distribution<double> nd(0.0, 1.0);
  for (int period : {24, 52}) {
    for (int n : {480, 2000, 5000}) {
      std::vector<double> x;
      for (int t = 0; t < n; ++t)
        x.push_back(100.0 + 10.0 * std::sin(2 * kPi * t / period) + nd(rng));
      EXPECT_EQ(tarn::detect_period(x.data(), x.size(), 200), period) << "n=" << n;
    }
  }
}
