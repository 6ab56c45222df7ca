// Prediction intervals of every model kind: quantiles, coverage on series drawn from known
// models, shape of the bands and their survival through a saved state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tarn/arima.hpp"
#include "tarn/builders.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"

namespace {

using tarn::Options;

std::unique_ptr<tarn::Model> make(const std::string& kind, const Options& o) {
  return tarn::build(kind, o);
}

void feed(tarn::Model& m, const std::vector<double>& y, std::int64_t from = 0) {
  for (std::size_t t = 0; t < y.size(); ++t) m.update(from + static_cast<std::int64_t>(t), y[t]);
}

std::vector<double> ar1(std::size_t n, double phi, double sd, std::mt19937& rng) {
  std::normal_distribution<double> e(0.0, sd);
  std::vector<double> y(n);
  double x = 0.0;
  for (std::size_t t = 0; t < n; ++t) y[t] = x = phi * x + e(rng);
  return y;
}

std::vector<double> random_walk(std::size_t n, double sd, std::mt19937& rng) {
  return ar1(n, 1.0, sd, rng);
}

// Level following a slow random walk plus a fixed season of 4 and noise.
std::vector<double> seasonal(std::size_t n, std::mt19937& rng) {
  std::normal_distribution<double> e(0.0, 1.0), l(0.0, 0.3);
  const double s[] = {6.0, -2.0, -5.0, 1.0};
  std::vector<double> y(n);
  double level = 50.0;
  for (std::size_t t = 0; t < n; ++t) {
    level += l(rng);
    y[t] = level + s[t % 4] + e(rng);
  }
  return y;
}

// Share of independent series whose value h steps after the training data falls inside the
// model's interval at `coverage`.
template <class Make, class Draw>
double coverage_at(Make make_model, Draw draw, std::size_t n_train, std::int64_t h, double coverage,
                   int reps, unsigned seed) {
  std::mt19937 rng(seed);
  int inside = 0;
  for (int r = 0; r < reps; ++r) {
    const std::vector<double> y = draw(n_train + static_cast<std::size_t>(h), rng);
    auto m = make_model();
    feed(*m, std::vector<double>(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n_train)));
    const auto b = m->forecast_interval_steps(static_cast<double>(h), coverage);
    const double v = y[n_train + static_cast<std::size_t>(h) - 1];
    inside += (v >= b.first && v <= b.second) ? 1 : 0;
  }
  return static_cast<double>(inside) / reps;
}

// Four binomial standard errors plus a small allowance for the estimated parameters.
void expect_near_nominal(double got, double nominal, int reps, const std::string& what) {
  const double se = std::sqrt(nominal * (1.0 - nominal) / reps);
  EXPECT_NEAR(got, nominal, 4.0 * se + 0.02) << what;
}

TEST(IntervalQuantiles, MatchTabulatedValues) {
  EXPECT_NEAR(tarn::normal_quantile(0.975), 1.959963984540054, 1e-12);
  EXPECT_NEAR(tarn::normal_quantile(0.9), 1.2815515655446004, 1e-12);
  EXPECT_NEAR(tarn::normal_quantile(1e-6), -4.753424308822899, 1e-9);
  EXPECT_NEAR(tarn::student_quantile(0.975, 10.0), 2.2281388519649385, 1e-9);
  EXPECT_NEAR(tarn::student_quantile(0.9, 3.0), 1.6377443536962102, 1e-9);
  EXPECT_NEAR(tarn::student_quantile(0.025, 1.0), -12.706204736174698, 1e-7);
  EXPECT_NEAR(tarn::student_quantile(0.975, 1e9), 1.959963984540054, 1e-12);
  EXPECT_TRUE(std::isnan(tarn::normal_quantile(0.0)));
}

TEST(IntervalQuantiles, StudentQuantilesFromManyThreadsAreTheSequentialOnes) {
  std::vector<double> grid;
  for (int i = 1; i < 400; ++i) grid.push_back(0.5 + 0.49 * i / 400.0);
  auto run = [&](std::vector<double>& out) {
    out.clear();
    for (double dof = 0.7; dof < 300.0; dof *= 1.9) {
      for (double p : grid) out.push_back(tarn::student_quantile(p, dof));
    }
  };
  std::vector<double> expected;
  run(expected);
  std::vector<std::vector<double>> got(4);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back(run, std::ref(g));
  for (auto& t : threads) t.join();
  for (const auto& g : got) {
    ASSERT_EQ(g.size(), expected.size());
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g[i], expected[i]) << i;
  }
}

TEST(IntervalQuantiles, RepeatedAndInterleavedArgumentsGiveTheFirstResult) {
  // Far more distinct arguments than the memo keeps, asked again in another order: every
  // answer is the one first computed for exactly those arguments.
  std::vector<std::pair<double, double>> args;
  for (int i = 0; i < 40; ++i) {
    for (double dof : {1.5, 7.0, 29.0, 999.0, 1000.0, 2e5}) {
      args.emplace_back(0.55 + 0.011 * i, dof + 0.5 * i);
      args.emplace_back(0.55 + 0.011 * i, std::nextafter(dof + 0.5 * i, 1e9));
    }
  }
  std::vector<double> first, normal;
  for (const auto& a : args) {
    first.push_back(tarn::student_quantile(a.first, a.second));
    normal.push_back(tarn::normal_quantile(a.first));
  }
  std::mt19937 rng(3);
  for (int round = 0; round < 3; ++round) {
    std::vector<std::size_t> order(args.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t i : order) {
      EXPECT_EQ(tarn::student_quantile(args[i].first, args[i].second), first[i]) << i;
      EXPECT_EQ(tarn::normal_quantile(args[i].first), normal[i]) << i;
    }
  }
  // Arguments one unit in the last place apart are different arguments.
  const double dof = 12.0, next = std::nextafter(dof, 100.0);
  const double a = tarn::student_quantile(0.9, dof);
  EXPECT_NE(tarn::student_quantile(0.9, 2.0), a);
  EXPECT_EQ(tarn::student_quantile(0.9, next), tarn::student_quantile(0.9, next));
  EXPECT_EQ(tarn::student_quantile(0.9, dof), a);
  EXPECT_TRUE(std::isnan(tarn::student_quantile(0.0, dof)));
}

TEST(IntervalCalibration, ACopyThatRecalibratesLeavesTheOriginalsFactors) {
  tarn::HorizonCalibration c;
  c.start(2);
  c.add(1, 1.0);
  c.add(2, 3.0);
  c.finish();
  const double f2 = c.factor(2);
  tarn::HorizonCalibration d = c;
  EXPECT_EQ(d.factor(2), f2);
  d.start(2);
  EXPECT_EQ(d.factor(2), 1.0);  // a new calibration starts from no factors
  d.add(2, 9.0);
  d.finish();
  EXPECT_NE(d.factor(2), f2);
  EXPECT_EQ(c.factor(2), f2);
  d.clear();
  EXPECT_EQ(c.factor(2), f2);
  tarn::Writer w1, w2;
  c.save(w1);
  tarn::HorizonCalibration e = c;
  e.save(w2);
  EXPECT_EQ(w1.bytes(), w2.bytes());
}

TEST(IntervalCalibration, FactorsFollowTheGrowthSeenRelativeToOneStep) {
  tarn::HorizonCalibration c;
  c.start(3);
  // One-step errors at the formula's variance; two steps twice, three steps half of it.
  for (int i = 0; i < 99; ++i) {
    c.add(1, 1.0);
    c.add(2, 2.0);
    c.add(3, 0.5);
  }
  c.add(4, 100.0);  // past the calibrated steps: ignored
  c.finish();
  EXPECT_DOUBLE_EQ(c.factor(1), 1.0);
  EXPECT_NEAR(c.factor(2), (1.0 + 198.0) / 100.0, 1e-12);
  EXPECT_NEAR(c.factor(3), (1.0 + 49.5) / 100.0, 1e-12);
  EXPECT_DOUBLE_EQ(c.factor(50), c.factor(3));
  tarn::Writer w;
  c.save(w);
  tarn::HorizonCalibration back;
  tarn::Reader r(w.bytes());
  back.load(r);
  EXPECT_DOUBLE_EQ(back.factor(2), c.factor(2));
  // Without any origin the formula stands.
  tarn::HorizonCalibration none;
  none.start(0);
  none.finish();
  EXPECT_DOUBLE_EQ(none.factor(7), 1.0);
}

TEST(IntervalCalibration, StepsWithFewOriginsPoolTheHorizonsAndNeverNarrow) {
  tarn::HorizonCalibration c;
  c.start(4);
  // Steps 1 and 2 have origins enough for their own factor; steps 3 and 4 (the far steps of a
  // short series) have fewer than kMinOrigins, one of them errors that would narrow the band.
  for (int i = 0; i < 30; ++i) c.add(1, 1.0);
  for (int i = 0; i < 25; ++i) c.add(2, 2.0);
  for (int i = 0; i < 10; ++i) c.add(3, 0.25);
  for (int i = 0; i < 5; ++i) c.add(4, 9.0);
  c.finish();
  const double base = (1.0 + 30.0) / (1.0 + 30.0);
  const double pooled = (1.0 + 30.0 + 50.0 + 2.5 + 45.0) / (1.0 + 70.0) / base;
  EXPECT_DOUBLE_EQ(c.factor(1), 1.0);
  EXPECT_NEAR(c.factor(2), (1.0 + 50.0) / 26.0 / base, 1e-12);
  EXPECT_NEAR(c.factor(3), pooled, 1e-12);
  EXPECT_NEAR(c.factor(4), pooled, 1e-12);
  EXPECT_NEAR(c.factor(9), pooled, 1e-12);
  // Errors smaller than the formula's everywhere: a sparse step keeps the formula's variance,
  // a step with origins enough may narrow it.
  tarn::HorizonCalibration calm;
  calm.start(3);
  for (int i = 0; i < 40; ++i) calm.add(1, 1.0);
  for (int i = 0; i < 20; ++i) calm.add(2, 0.5);
  for (int i = 0; i < 18; ++i) calm.add(3, 0.1);
  calm.finish();
  EXPECT_NEAR(calm.factor(2), 11.0 / 21.0, 1e-12);
  EXPECT_DOUBLE_EQ(calm.factor(3), 1.0);
  // Over random sets of ratios: a step short of origins is never below the formula, and a step
  // with enough keeps its own mean.
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> count(0, 40);
  std::exponential_distribution<double> ratio(1.0);
  for (int rep = 0; rep < 200; ++rep) {
    tarn::HorizonCalibration r;
    r.start(6);
    std::vector<double> sum(6, 0.0), n(6, 0.0);
    for (std::size_t k = 1; k <= 6; ++k) {
      const int m = count(rng);
      for (int i = 0; i < m; ++i) {
        const double v = ratio(rng);
        r.add(k, v);
        sum[k - 1] += v;
        n[k - 1] += 1.0;
      }
    }
    r.finish();
    const double b = (1.0 + sum[0]) / (1.0 + n[0]);
    for (std::size_t k = 1; k <= 6; ++k) {
      if (n[k - 1] < tarn::HorizonCalibration::kMinOrigins) {
        EXPECT_GE(r.factor(static_cast<std::int64_t>(k)), 1.0) << rep << " " << k;
      } else {
        EXPECT_NEAR(r.factor(static_cast<std::int64_t>(k)),
                    (1.0 + sum[k - 1]) / (1.0 + n[k - 1]) / b, 1e-9)
            << rep << " " << k;
      }
    }
  }
}

TEST(IntervalCoverage, Ar1WithArma) {
  auto model = [] { return make("arma", {{"min_training_data", 150}}); };
  auto draw = [](std::size_t n, std::mt19937& rng) { return ar1(n, 0.7, 2.0, rng); };
  const int reps = 300;
  expect_near_nominal(coverage_at(model, draw, 150, 1, 0.8, reps, 1), 0.8, reps, "h=1, 80%");
  expect_near_nominal(coverage_at(model, draw, 150, 3, 0.95, reps, 2), 0.95, reps, "h=3, 95%");
}

TEST(IntervalCoverage, RandomWalkWithEveryLevelModel) {
  auto draw = [](std::size_t n, std::mt19937& rng) { return random_walk(n, 1.0, rng); };
  const int reps = 250;
  const std::vector<std::pair<std::string, Options>> models = {
      {"snaive", {{"training_sample_size", 80}, {"season_length", 1}}},
      {"hws", {{"samples_per_season", 1}, {"initial_training_seasons", 80}}},
      {"arima", {{"min_training_data", 80}, {"samples_per_season", 1}}},
      {"theta", {{"training_sample_size", 80}, {"season_length", 1}}},
      {"bats", {{"training_sample_size", 80}, {"season_length", 1}}},
  };
  for (const auto& [kind, opts] : models) {
    auto model = [&] { return make(kind, opts); };
    expect_near_nominal(coverage_at(model, draw, 80, 6, 0.8, reps, 3), 0.8, reps, kind + " h=6");
  }
}

TEST(IntervalCoverage, SeasonalAdditiveProcess) {
  const int reps = 200;
  const std::vector<std::pair<std::string, Options>> models = {
      {"hws", {{"samples_per_season", 4}, {"initial_training_seasons", 25}}},
      {"bats", {{"training_sample_size", 100}, {"season_length", 4}}},
  };
  for (const auto& [kind, opts] : models) {
    auto model = [&] { return make(kind, opts); };
    expect_near_nominal(coverage_at(model, seasonal, 100, 1, 0.9, reps, 4), 0.9, reps,
                        kind + " h=1");
    expect_near_nominal(coverage_at(model, seasonal, 100, 5, 0.9, reps, 5), 0.9, reps,
                        kind + " h=5");
  }
}

const std::vector<std::pair<std::string, Options>>& every_kind() {
  static const std::vector<std::pair<std::string, Options>> kinds = {
      {"hws", {{"samples_per_season", 4}, {"initial_training_seasons", 12}}},
      {"hws",
       {{"samples_per_season", 4},
        {"initial_training_seasons", 12},
        {"algorithm_type", "multiplicative"}}},
      {"arima", {{"min_training_data", 48}}},
      {"arma", {{"min_training_data", 48}}},
      {"bats", {{"training_sample_size", 48}, {"box_cox_transform", true}}},
      {"theta", {{"training_sample_size", 48}}},
      {"snaive", {{"training_sample_size", 48}}},
      {"auto", {{"min_training_data", 48}}},
  };
  return kinds;
}

TEST(IntervalShape, BracketTheForecastWidenAndSurviveSaving) {
  std::mt19937 rng(9);
  std::vector<double> y = seasonal(60, rng);
  for (const auto& [kind, opts] : every_kind()) {
    auto m = make(kind, opts);
    feed(*m, y);
    ASSERT_TRUE(m->is_initialized()) << kind;
    const std::int64_t h = 12;
    std::vector<double> lo80(h), hi80(h), lo95(h), hi95(h);
    m->forecast_interval_path(h, 0.8, lo80.data(), hi80.data());
    m->forecast_interval_path(h, 0.95, lo95.data(), hi95.data());
    for (std::int64_t k = 1; k <= h; ++k) {
      const double f = m->forecast_steps(static_cast<double>(k));
      const auto i = static_cast<std::size_t>(k - 1);
      EXPECT_LE(lo95[i], lo80[i]) << kind << " h=" << k;
      EXPECT_LT(lo80[i], f) << kind << " h=" << k;
      EXPECT_GT(hi80[i], f) << kind << " h=" << k;
      EXPECT_LE(hi80[i], hi95[i]) << kind << " h=" << k;
    }
    if (kind == "arima" || kind == "arma" || kind == "snaive") {
      // Errors on the data's scale, not proportional to a seasonal forecast: the calibrated
      // variance never falls with the horizon.
      for (std::int64_t k = 1; k < h; ++k) {
        const auto i = static_cast<std::size_t>(k);
        EXPECT_GE(hi95[i] - lo95[i], (hi95[i - 1] - lo95[i - 1]) * (1.0 - 1e-9)) << kind << k;
      }
    }
    // A level that is not known exactly: the band at one season out is wider than one step.
    EXPECT_GT(hi95[h - 1] - lo95[h - 1], hi95[0] - lo95[0]) << kind;
    // The interval at a time agrees with the path; fractional times lie in between.
    const auto at = m->forecast_interval_at(static_cast<double>(m->last_time() + 3), 0.95);
    EXPECT_DOUBLE_EQ(at.first, lo95[2]) << kind;
    EXPECT_DOUBLE_EQ(at.second, hi95[2]) << kind;
    const auto half = m->forecast_interval_steps(2.5, 0.95);
    EXPECT_GE(half.second, std::min(hi95[1], hi95[2])) << kind;
    EXPECT_LE(half.second, std::max(hi95[1], hi95[2])) << kind;

    auto copy = tarn::Model::deserialize(m->serialize());
    const auto again = copy->forecast_interval_steps(7.0, 0.8);
    EXPECT_DOUBLE_EQ(again.first, lo80[6]) << kind;
    EXPECT_DOUBLE_EQ(again.second, hi80[6]) << kind;
    // Updating moves the intervals of the original and the copy alike.
    m->update(m->last_time() + 1, y.back() + 3.0);
    copy->update(copy->last_time() + 1, y.back() + 3.0);
    EXPECT_DOUBLE_EQ(m->forecast_interval_steps(2.0, 0.9).second,
                     copy->forecast_interval_steps(2.0, 0.9).second)
        << kind;
  }
}

TEST(IntervalShape, ManyTimesAtOnceEqualTheOneByOneIntervals) {
  std::mt19937 rng(11);
  std::vector<double> y = seasonal(60, rng);
  for (const auto& [kind, opts] : every_kind()) {
    auto m = make(kind, opts);
    feed(*m, y);
    ASSERT_TRUE(m->is_initialized()) << kind;
    const double last = static_cast<double>(m->last_time());
    // Unordered, fractional and past times, as a caller may ask for them.
    const std::vector<double> t = {last + 5, last + 1, last + 2.5, last - 3, last + 40, last + 7};
    std::vector<double> lo(t.size()), hi(t.size());
    m->forecast_interval_at(t.data(), t.size(), 0.9, lo.data(), hi.data());
    for (std::size_t i = 0; i < t.size(); ++i) {
      const auto one = m->forecast_interval_at(t[i], 0.9);
      EXPECT_DOUBLE_EQ(lo[i], one.first) << kind << " t=" << t[i];
      EXPECT_DOUBLE_EQ(hi[i], one.second) << kind << " t=" << t[i];
    }
  }
}

TEST(IntervalErrors, BadCoverageAndUnreadyModelsAreRefused) {
  auto m = make("hws", {{"samples_per_season", 4}, {"initial_training_seasons", 4}});
  EXPECT_THROW(m->forecast_interval_steps(1.0, 0.9), tarn::NotInitialized);
  std::mt19937 rng(2);
  feed(*m, seasonal(16, rng));
  for (double c : {0.0, 1.0, -0.5, 95.0, std::nan("")}) {
    EXPECT_THROW(m->forecast_interval_steps(1.0, c), tarn::InvalidArgument) << c;
  }
  EXPECT_THROW(m->forecast_interval_at(std::nan(""), 0.9), tarn::InvalidArgument);
}

TEST(IntervalErrors, ErrorsNoMoreThanTheParametersGiveNoBand) {
  // One value fits each model (its forecast is that value) but tells nothing of the spread: a
  // band of zero width would claim certainty. Later values make it known.
  for (const std::string kind : {"hws", "arima", "bats"}) {
    auto m = make(kind, kind == "hws"
                            ? Options{{"samples_per_season", 2}, {"initial_training_seasons", 1}}
                        : kind == "bats" ? Options{{"training_sample_size", 1}}
                                         : Options{});
    feed(*m, {7.0});
    m->fit_available();
    ASSERT_TRUE(m->is_initialized()) << kind;
    EXPECT_EQ(m->forecast_steps(3.0), 7.0) << kind;
    EXPECT_THROW(m->forecast_interval_steps(1.0, 0.95), tarn::NotInitialized) << kind;
    std::mt19937 rng(3);
    std::vector<double> more = random_walk(30, 1.0, rng);
    for (double& v : more) v += 7.0;
    feed(*m, more, 1);
    const auto band = m->forecast_interval_steps(1.0, 0.95);
    EXPECT_GT(band.second - band.first, 0.1) << kind;
  }
  tarn::ErrorVariance v;
  v.reset(2.0);
  v.add(0.0);
  v.add(1.0);
  EXPECT_FALSE(v.known());  // two errors, two parameters
  v.add(-1.0);
  EXPECT_TRUE(v.known());
  EXPECT_DOUBLE_EQ(v.variance(), 2.0);
}

}  // namespace

namespace {

TEST(IntervalShape, SelectorOnLogInputMapsItsQuantiles) {
  // Fed ln(x + 1), the selector fits x itself: its bands come back through the transform and
  // still bracket the forecast of the fed values.
  std::mt19937 rng(4);
  const std::vector<double> x = seasonal(60, rng);
  auto m = make("auto", {{"min_training_data", 48}});
  ASSERT_TRUE(m->set_log_input(1.0));
  std::vector<double> fed;
  for (double v : x) fed.push_back(std::log(v + 1.0));
  feed(*m, fed);
  std::vector<double> lo(8), hi(8);
  m->forecast_interval_path(8, 0.9, lo.data(), hi.data());
  for (std::size_t k = 0; k < 8; ++k) {
    const double f = m->forecast_steps(static_cast<double>(k + 1));
    EXPECT_LT(lo[k], f);
    EXPECT_GT(hi[k], f);
    // On the log scale of a level near 50 a band of +-10 is about +-0.2.
    EXPECT_LT(hi[k] - lo[k], 1.0);
  }
  auto copy = tarn::Model::deserialize(m->serialize());
  EXPECT_EQ(copy->forecast_interval_steps(3.0, 0.9), m->forecast_interval_steps(3.0, 0.9));
}

// A short trending series fitted by a stationary model: the filter's first predictions are
// far off (it starts from the process mean), which is uncertainty about the state, not about
// the innovations. The one-step interval follows the fitted innovation variance.
TEST(IntervalShape, StartUpErrorsDoNotWidenArmaIntervals) {
  std::mt19937 rng(5);
  std::normal_distribution<double> nd(0.0, 1.0);
  for (int rep = 0; rep < 10; ++rep) {
    std::vector<double> y;
    double level = 7.0;
    for (int t = 0; t < 16; ++t) y.push_back(level += 0.15 + 0.03 * nd(rng));
    auto m = make("arma", {{"min_training_data", std::int64_t{16}}});
    feed(*m, y);
    ASSERT_TRUE(m->is_initialized());
    const auto* a = dynamic_cast<const tarn::Arima*>(m.get());
    ASSERT_NE(a, nullptr);
    const auto [lo, hi] = m->forecast_interval_at(16.0, 0.95);
    const double half = 0.5 * (hi - lo), sd = std::sqrt(a->sigma2());
    EXPECT_LT(half, 4.0 * 1.96 * sd) << "rep " << rep << ": " << m->describe();
  }
}

}  // namespace
