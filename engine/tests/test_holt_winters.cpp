#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/holt_winters.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<tarn::Model> hws(const tarn::Options& o) {
  return tarn::build("hws", o);
}

const tarn::HoltWinters& as_hw(const tarn::Model& m) {
  return dynamic_cast<const tarn::HoltWinters&>(m);
}

// level + trend * t + amplitude * profile(t mod period) + noise
std::vector<double> series(int n, int period, double level, double trend, double amplitude,
                           double noise, unsigned seed = 1, bool multiplicative = false) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> x;
  for (int t = 0; t < n; ++t) {
    const double s =
        period > 1 ? std::sin(2 * kPi * t / period) + 0.4 * std::cos(4 * kPi * t / period) : 0.0;
    const double base = level + trend * t;
    x.push_back((multiplicative ? base * (1.0 + amplitude * s) : base + amplitude * s) +
                noise * nd(rng));
  }
  return x;
}

void feed(tarn::Model& m, const std::vector<double>& x, std::int64_t t0 = 0) {
  for (std::size_t i = 0; i < x.size(); ++i) m.update(t0 + static_cast<std::int64_t>(i), x[i]);
}

double mape(const tarn::Model& m, const std::vector<double>& truth, std::int64_t last_t) {
  double s = 0.0;
  for (std::size_t h = 0; h < truth.size(); ++h) {
    const double f = m.forecast_at(static_cast<double>(last_t + 1 + static_cast<std::int64_t>(h)));
    s += std::fabs(f - truth[h]) / std::fabs(truth[h]);
  }
  return 100.0 * s / static_cast<double>(truth.size());
}

TEST(HoltWintersOptions, KeywordSets) {
  EXPECT_NO_THROW(hws({{"samples_per_season", 12},
                       {"initial_training_seasons", 3},
                       {"algorithm_type", "multiplicative"},
                       {"compute_seasonality", true},
                       {"error_history_length", 5},
                       {"use_full_error_history", false}}));
  EXPECT_NO_THROW(hws(
      {{"is_season_length", false}, {"number_of_samples", 100}, {"algorithm_type", "additive"}}));
  EXPECT_NO_THROW(hws({}));
  // none counts as absent
  EXPECT_NO_THROW(hws({{"samples_per_season", tarn::Value()}}));
  // an integral float is an integer
  EXPECT_NO_THROW(hws({{"samples_per_season", 4.0}}));
}

TEST(HoltWintersOptions, RejectsBadOptions) {
  const std::vector<tarn::Options> bad = {
      {{"samples_per_seasons", 4}},
      {{"samples_per_season", 0}},
      {{"samples_per_season", -3}},
      {{"samples_per_season", 2.5}},
      {{"samples_per_season", "twelve"}},
      {{"initial_training_seasons", 0}},
      {{"algorithm_type", "cubic"}},
      {{"algorithm_type", 1}},
      {{"compute_seasonality", 3}},
      {{"error_history_length", -1}},
      {{"number_of_samples", 0}, {"is_season_length", false}},
      {{"is_season_length", false}},
      {{"is_season_length", false}, {"number_of_samples", 50}, {"samples_per_season", 4}},
      {{"samples_per_season", 1000000}, {"initial_training_seasons", 1000000}},
  };
  for (const auto& o : bad) {
    EXPECT_THROW(hws(o), tarn::InvalidArgument) << o.begin()->first;
  }
  try {
    hws({{"samples_per_seasons", 4}});
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("samples_per_seasons"), std::string::npos);
  }
  EXPECT_THROW(tarn::build("no_such_model", {}), tarn::InvalidArgument);
}

// The forecaster's default season is a quarter of its training series: a season may be as long
// as the initial data allow.
TEST(HoltWintersOptions, SeasonsOfVeryLongSeries) {
  auto m = hws({{"samples_per_season", 2'500'000}, {"initial_training_seasons", 4}});
  EXPECT_FALSE(m->is_initialized());
  EXPECT_EQ(tarn::Model::deserialize(m->serialize())->serialize(), m->serialize());
  EXPECT_THROW(hws({{"samples_per_season", 25'000'001}, {"initial_training_seasons", 4}}),
               tarn::InvalidArgument);
}

TEST(HoltWinters, InitialisesAfterItsInitialSeasons) {
  auto m = hws({{"samples_per_season", 4}, {"initial_training_seasons", 3}});
  const auto x = series(12, 4, 10, 0.1, 2, 0.1);
  for (int i = 0; i < 11; ++i) {
    m->update(i, x[static_cast<std::size_t>(i)]);
    EXPECT_FALSE(m->is_initialized());
    EXPECT_THROW(m->forecast_at(20), tarn::NotInitialized);
  }
  m->update(11, x[11]);
  EXPECT_TRUE(m->is_initialized());
  EXPECT_TRUE(std::isfinite(m->forecast_at(12)));
}

TEST(HoltWinters, AdditiveSeasonWithTrend) {
  const auto x = series(132, 12, 50, 0.3, 8, 0.5, 3);
  auto m = hws({{"samples_per_season", 12}, {"initial_training_seasons", 10}});
  feed(*m, std::vector<double>(x.begin(), x.begin() + 120));
  ASSERT_TRUE(m->is_initialized());
  EXPECT_TRUE(as_hw(*m).seasonal());
  EXPECT_EQ(as_hw(*m).season_length(), 12);
  EXPECT_LT(mape(*m, std::vector<double>(x.begin() + 120, x.end()), 119), 2.0);
}

TEST(HoltWinters, MultiplicativeSeason) {
  const auto x = series(132, 12, 100, 1.0, 0.3, 0.5, 4, true);
  auto m = hws({{"samples_per_season", 12},
                {"initial_training_seasons", 10},
                {"algorithm_type", "multiplicative"}});
  feed(*m, std::vector<double>(x.begin(), x.begin() + 120));
  ASSERT_TRUE(m->is_initialized());
  EXPECT_TRUE(as_hw(*m).multiplicative());
  EXPECT_LT(mape(*m, std::vector<double>(x.begin() + 120, x.end()), 119), 3.0);
}

TEST(HoltWinters, MultiplicativeFallsBackOnNonPositiveData) {
  auto x = series(96, 12, 0, 0.0, 5, 0.3, 5);  // around zero
  auto m = hws({{"samples_per_season", 12},
                {"initial_training_seasons", 8},
                {"algorithm_type", "multiplicative"}});
  feed(*m, x);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_FALSE(as_hw(*m).multiplicative());
  EXPECT_NE(m->describe().find("not strictly positive"), std::string::npos);
  for (int h = 1; h <= 24; ++h) EXPECT_TRUE(std::isfinite(m->forecast_steps(h)));

  // A fitted multiplicative model that later sees a non-positive value switches to additive.
  auto p = hws({{"samples_per_season", 4},
                {"initial_training_seasons", 6},
                {"algorithm_type", "multiplicative"}});
  feed(*p, series(24, 4, 20, 0, 0.3, 0.1, 6, true));
  ASSERT_TRUE(as_hw(*p).multiplicative());
  p->update(24, -50.0);
  p->update(25, 0.0);
  for (int h = 1; h <= 8; ++h) EXPECT_TRUE(std::isfinite(p->forecast_steps(h)));
}

TEST(HoltWinters, LinearTrendWithoutSeason) {
  std::vector<double> x;
  for (int t = 0; t < 40; ++t) x.push_back(3.0 + 2.0 * t);
  auto m = hws({{"samples_per_season", 1}, {"initial_training_seasons", 40}});
  feed(*m, x);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_FALSE(as_hw(*m).seasonal());
  EXPECT_TRUE(as_hw(*m).has_trend());
  // The trend is damped: the forecast climbs, a little short of the straight line.
  double last = x.back();
  for (int h = 1; h <= 5; ++h) {
    const double line = 3.0 + 2.0 * (39 + h), f = m->forecast_steps(h);
    EXPECT_GT(f, last) << h;
    EXPECT_LE(f, line + 1e-6) << h;
    EXPECT_NEAR(f, line, 0.01 * line) << h;
    last = f;
  }
}

TEST(HoltWinters, ComputeSeasonalityOffMeansNoSeason) {
  const auto x = series(96, 12, 50, 0, 8, 0.5, 7);
  auto m = hws({{"samples_per_season", 12},
                {"initial_training_seasons", 8},
                {"compute_seasonality", false}});
  feed(*m, x);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_FALSE(as_hw(*m).seasonal());
}

TEST(HoltWinters, SeasonOfTheWrongLengthIsDropped) {
  // White noise around a level: a season of 25 does not pay for its 24 extra states.
  const auto x = series(100, 1, 10, 0, 0, 1.0, 8);
  auto m = hws({{"samples_per_season", 25}, {"initial_training_seasons", 4}});
  feed(*m, x);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_FALSE(as_hw(*m).seasonal());
}

TEST(HoltWinters, FindsItsSeasonLength) {
  const auto x = series(140, 7, 30, 0.05, 5, 0.5, 9);
  auto m = hws({{"is_season_length", false}, {"number_of_samples", 126}});
  feed(*m, std::vector<double>(x.begin(), x.begin() + 126));
  ASSERT_TRUE(m->is_initialized());
  EXPECT_EQ(as_hw(*m).season_length(), 7);
  EXPECT_LT(mape(*m, std::vector<double>(x.begin() + 126, x.end()), 125), 3.0);

  auto s = hws({{"is_season_length", true}, {"number_of_samples", 7}});
  EXPECT_EQ(as_hw(*s).config().samples_per_season, 7);
}

TEST(HoltWinters, SmallSeasonalSampleStillUsesTheSeason) {
  // Two seasons of a strong pattern: too few values for the likelihood to pay for the season,
  // but the season was asked for and the data show it.
  std::vector<double> x = {10, 20, 30, 15, 11, 21, 31, 16};
  auto m = hws({{"samples_per_season", 4}, {"initial_training_seasons", 2}});
  feed(*m, x);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_TRUE(as_hw(*m).seasonal());
  EXPECT_NEAR(m->forecast_steps(2), 22.0, 3.0);
  EXPECT_NEAR(m->forecast_steps(3), 32.0, 3.0);
}

TEST(HoltWinters, MissingValuesDoNotPoisonTheState) {
  auto x = series(120, 12, 50, 0.2, 6, 0.3, 10);
  auto truth = std::vector<double>(x.begin() + 108, x.end());
  std::vector<double> y(x.begin(), x.begin() + 108);
  for (std::size_t i = 3; i < y.size(); i += 7) y[i] = kNaN;
  auto m = hws({{"samples_per_season", 12}, {"initial_training_seasons", 6}});
  feed(*m, y);
  ASSERT_TRUE(m->is_initialized());
  EXPECT_LT(mape(*m, truth, 107), 3.0);
}

TEST(HoltWinters, GapsAreMissingValues) {
  const auto x = series(120, 12, 50, 0.2, 6, 0.3, 11);
  auto a = hws({{"samples_per_season", 12}, {"initial_training_seasons", 6}});
  auto b = hws({{"samples_per_season", 12}, {"initial_training_seasons", 6}});
  for (std::int64_t t = 0; t < 120; ++t) {
    const bool hole = (t > 80 && t < 90) || t == 100;
    a->update(t, hole ? kNaN : x[static_cast<std::size_t>(t)]);
    if (!hole) b->update(t, x[static_cast<std::size_t>(t)]);
  }
  for (int h = 1; h <= 12; ++h) {
    EXPECT_NEAR(a->forecast_at(119 + h), b->forecast_at(119 + h), 1e-9);
  }
  // A very long gap costs no time and keeps the forecasts finite.
  b->update(500'000'000'000LL, 60.0);
  EXPECT_TRUE(std::isfinite(b->forecast_at(500'000'000'010.0)));
}

TEST(HoltWinters, LongInitialSample) {
  // 60,000 initial values: fitted on the latest part, with the season still in phase.
  const auto x = series(60'024, 12, 500, 0.001, 20, 2.0, 14);
  auto m = hws({{"samples_per_season", 12}, {"initial_training_seasons", 5000}});
  feed(*m, std::vector<double>(x.begin(), x.begin() + 60'000));
  ASSERT_TRUE(m->is_initialized());
  EXPECT_TRUE(as_hw(*m).seasonal());
  EXPECT_LT(mape(*m, std::vector<double>(x.begin() + 60'000, x.end()), 59'999), 2.0);
}

TEST(HoltWinters, ErrorHistory) {
  const auto x = series(60, 4, 10, 0, 2, 0.5, 12);
  auto ring = hws(
      {{"samples_per_season", 4}, {"initial_training_seasons", 5}, {"error_history_length", 7}});
  auto full = hws({{"samples_per_season", 4},
                   {"initial_training_seasons", 5},
                   {"error_history_length", 7},
                   {"use_full_error_history", true}});
  feed(*ring, x);
  feed(*full, x);
  EXPECT_EQ(as_hw(*ring).errors().size(), 7);
  EXPECT_EQ(as_hw(*ring).errors().recent().size(), 7u);
  EXPECT_EQ(as_hw(*full).errors().size(), 60);
  EXPECT_GT(as_hw(*full).errors().rmse(), 0.0);
  EXPECT_NE(ring->describe().find("RMSE"), std::string::npos);
}

TEST(HoltWinters, StateRoundTrip) {
  const auto x = series(80, 4, 10, 0.1, 2, 0.5, 13);
  for (const char* type : {"additive", "multiplicative"}) {
    auto m = hws({{"samples_per_season", 4},
                  {"initial_training_seasons", 10},
                  {"algorithm_type", type},
                  {"error_history_length", 5}});
    feed(*m, std::vector<double>(x.begin(), x.begin() + 50));
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize());
    for (std::size_t i = 50; i < x.size(); ++i) {
      m->update(static_cast<std::int64_t>(i), x[i]);
      copy->update(static_cast<std::int64_t>(i), x[i]);
    }
    for (double h : {1.0, 2.5, 7.0}) EXPECT_EQ(copy->forecast_steps(h), m->forecast_steps(h));
    EXPECT_EQ(copy->describe(), m->describe());
  }
  // A model still collecting its initial data round-trips too.
  auto fresh = hws({{"samples_per_season", 4}, {"initial_training_seasons", 10}});
  feed(*fresh, std::vector<double>(x.begin(), x.begin() + 10));
  auto copy = tarn::Model::deserialize(fresh->serialize());
  feed(*copy, std::vector<double>(x.begin() + 10, x.end()), 10);
  feed(*fresh, std::vector<double>(x.begin() + 10, x.end()), 10);
  EXPECT_EQ(copy->forecast_steps(3), fresh->forecast_steps(3));
}

// The least-squares initial states must be the minimum of the squared errors: on noisy
// seasonal data, with and without a damped trend, with and without a gap (which takes the
// column-by-column path), the likelihood rises on either side of each state, and on data the
// recursion produces without error the states come back exactly.
TEST(HoltWinters, LeastSquaresStatesMinimiseTheErrors) {
  using tarn::detail::holt_winters_least_squares_states;
  using tarn::detail::holt_winters_minus2_loglik;
  const double alpha = 0.3, beta = 0.05, gamma = 0.2;
  for (std::size_t m : {4u, 12u}) {
    for (bool trend : {false, true}) {
      for (bool gap : {false, true}) {
        SCOPED_TRACE(testing::Message() << "m " << m << " trend " << trend << " gap " << gap);
        auto y = series(90, static_cast<int>(m), 10, 0.05, 2, 0.7, static_cast<unsigned>(m));
        if (gap) y[37] = kNaN;
        const double phi = trend ? 0.9 : 1.0;
        double l0 = 0, b0 = 0;
        std::vector<double> s0;
        ASSERT_TRUE(
            holt_winters_least_squares_states(y, trend, phi, alpha, beta, gamma, m, l0, b0, s0));
        ASSERT_EQ(s0.size(), m);
        double sum = 0;
        for (double v : s0) sum += v;
        EXPECT_NEAR(sum, 0.0, 1e-9);
        auto loglik = [&](double dl, double db, std::size_t i, double ds) {
          std::vector<double> s = s0;
          s[i] += ds;
          s[m - 1] -= ds;  // the season keeps summing to zero
          return holt_winters_minus2_loglik(y, trend, phi, false, false, alpha, beta, gamma,
                                            l0 + dl, b0 + db, s);
        };
        const double best = loglik(0, 0, 0, 0);
        ASSERT_TRUE(std::isfinite(best));
        for (double d : {-1e-3, 1e-3}) {
          EXPECT_GT(loglik(d, 0, 0, 0), best);
          if (trend) {
            EXPECT_GT(loglik(0, d, 0, 0), best);
          }
          for (std::size_t i = 0; i + 1 < m; ++i) EXPECT_GT(loglik(0, 0, i, d), best);
        }
      }
    }
  }
  // Data the recursion produces from known states without error.
  const std::size_t m = 12;
  const std::vector<double> s_true = {3, 2, 1, 0.5, -0.5, -1, -2, -3, -1.5, 0.5, 1.5, -0.5};
  double level = 50, slope = 0.4;
  std::vector<double> y, s = s_true;
  for (std::size_t t = 0; t < 60; ++t) {
    y.push_back(level + 0.95 * slope + s[t % m]);
    level += 0.95 * slope;
    slope *= 0.95;
  }
  double l0 = 0, b0 = 0;
  std::vector<double> s0;
  ASSERT_TRUE(holt_winters_least_squares_states(y, true, 0.95, alpha, beta, gamma, m, l0, b0, s0));
  EXPECT_NEAR(l0, 50, 1e-6);
  EXPECT_NEAR(b0, 0.4, 1e-6);
  for (std::size_t i = 0; i < m; ++i) EXPECT_NEAR(s0[i], s_true[i], 1e-6);
}

}  // namespace
