// Regression on external regressors (tarn::Regression) and the session with regressors:
// coefficients recovered from simulated data, forecasts that gain from the future regressors,
// refusals of what cannot be done, state round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/regression.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
using ModelPtr = tarn::Forecaster::ModelPtr;

// y_t = b1 x1_t + b2 x2_t + e_t: x1 a slow wave with noise, x2 a promotion flag; e_t from
// `errors`. n + h rows.
struct Data {
  std::vector<std::int64_t> t;
  std::vector<double> y, e, x;  // x: rows of 2
};
constexpr double kB1 = 2.5, kB2 = -4.0;

Data simulate(std::size_t n, const std::string& errors, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> z(0.0, 1.0);
  std::bernoulli_distribution promo(0.2);
  Data d;
  double level = 50.0, ar = 0.0, prev = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x1 = 3.0 * std::sin(0.07 * static_cast<double>(i)) + z(rng);
    const double x2 = promo(rng) ? 1.0 : 0.0;
    double e = 0.0;
    const double season = 6.0 * std::sin(0.5236 * static_cast<double>(i));
    if (errors == "arima") {  // ARIMA(1,1,0): a random walk with AR(1) increments
      prev = 0.5 * prev + z(rng);
      level += prev;
      e = level;
    } else if (errors == "arma") {  // AR(1) around a mean
      ar = 0.6 * ar + z(rng);
      e = 20.0 + ar;
    } else {  // a slowly moving level with a season
      level += 0.3 * z(rng) + 0.05;
      e = level + season + 0.5 * z(rng);
    }
    d.t.push_back(static_cast<std::int64_t>(i));
    d.e.push_back(e);
    d.y.push_back(kB1 * x1 + kB2 * x2 + e);
    d.x.push_back(x1);
    d.x.push_back(x2);
  }
  return d;
}

// A model of the family that trains on the first n values.
ModelPtr make(const std::string& kind, std::int64_t n) {
  tarn::Options o;
  if (kind == "hws") {
    o["samples_per_season"] = 12;
    o["initial_training_seasons"] = n / 12;
  } else if (kind == "arima" || kind == "arma" || kind == "auto") {
    o["min_training_data"] = n;
  } else if (kind != "intermittent") {
    o["training_sample_size"] = n;
    o["season_length"] = 12;
  }
  return ModelPtr(tarn::build(kind, o));
}

double mae(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += std::fabs(a[i] - b[i]);
  return s / static_cast<double>(a.size());
}

struct Case {
  std::string kind, errors;
};

class EveryFamily : public ::testing::TestWithParam<Case> {};

// Coefficients within about two standard errors (three, with two of them tested per family),
// and forecasts with the true future regressors better than the same model without them.
TEST_P(EveryFamily, RecoversCoefficientsAndForecastsBetter) {
  const Case c = GetParam();
  const std::size_t n = 240, h = 24;
  const Data d = simulate(n + h, c.errors, 7);
  tarn::Regression reg(make(c.kind, static_cast<std::int64_t>(n))->clone(), 2);
  reg.train(d.t.data(), d.y.data(), d.x.data(), n);
  ASSERT_TRUE(reg.is_initialized());
  EXPECT_EQ(reg.joint(), c.kind == "arima" || c.kind == "arma" || c.kind == "auto");
  const std::vector<double> b = reg.coefficients(), se = reg.standard_errors();
  ASSERT_EQ(b.size(), 2u);
  EXPECT_NEAR(b[0], kB1, 3.0 * se[0] + 1e-9) << reg.describe();
  EXPECT_NEAR(b[1], kB2, 3.0 * se[1] + 1e-9) << reg.describe();
  EXPECT_LT(se[0], 1.0);

  std::vector<double> times(h), truth(d.y.begin() + n, d.y.end()), with(h), without(h);
  for (std::size_t k = 0; k < h; ++k) times[k] = static_cast<double>(n + k);
  reg.forecast_at(times.data(), h, d.x.data() + 2 * n, with.data());
  ModelPtr plain = make(c.kind, static_cast<std::int64_t>(n));
  plain->update(d.t.data(), d.y.data(), n);
  if (!plain->is_initialized()) plain->fit_available();
  plain->forecast_at(times.data(), h, without.data());
  EXPECT_LT(mae(with, truth), mae(without, truth)) << c.kind;

  // Intervals hold the forecast and widen with the horizon's uncertainty.
  std::vector<double> lo(h), hi(h);
  reg.forecast_interval_at(times.data(), h, 0.9, d.x.data() + 2 * n, lo.data(), hi.data());
  for (std::size_t k = 0; k < h; ++k) {
    EXPECT_LT(lo[k], with[k]);
    EXPECT_GT(hi[k], with[k]);
  }
}

INSTANTIATE_TEST_SUITE_P(Regression, EveryFamily,
                         ::testing::Values(Case{"arima", "arima"}, Case{"arma", "arma"},
                                           Case{"hws", "level"}, Case{"theta", "level"},
                                           Case{"bats", "level"}, Case{"snaive", "level"},
                                           Case{"auto", "level"}),
                         [](const auto& info) { return info.param.kind; });

TEST(Regression, UpdatesOnlineAndRoundTripsItsState) {
  const std::size_t n = 200;
  const Data d = simulate(n + 12, "arima", 3);
  tarn::Regression reg(make("arima", 190)->clone(), 2);
  reg.train(d.t.data(), d.y.data(), d.x.data(), n - 10);
  for (std::size_t i = n - 10; i < n; ++i) reg.update(d.t[i], d.y[i], d.x.data() + 2 * i);
  reg.update(static_cast<std::int64_t>(n), kNaN, d.x.data() + 2 * n);  // a missing value
  EXPECT_EQ(reg.last_time(), static_cast<std::int64_t>(n));

  const std::unique_ptr<tarn::Model> back = tarn::Model::deserialize(reg.serialize());
  ASSERT_STREQ(back->kind(), "regression");
  std::vector<double> times{n + 1.0, n + 2.0, n + 3.5}, a(3), b(3);
  const double* fx = d.x.data() + 2 * (n + 1);
  reg.forecast_at(times.data(), 3, fx, a.data());
  tarn::forecast_with(*back, times.data(), 3, fx, b.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(static_cast<const tarn::Regression&>(*back).standard_errors(), reg.standard_errors());
  // A copy is independent of its original.
  std::unique_ptr<tarn::Model> copy = reg.clone();
  static_cast<tarn::Regression&>(*copy).update(static_cast<std::int64_t>(n + 1), 1e3, fx);
  reg.forecast_at(times.data(), 3, fx, b.data());
  EXPECT_EQ(a, b);

  std::string garbled = reg.serialize();
  garbled.resize(garbled.size() - 9);
  EXPECT_THROW(tarn::Model::deserialize(garbled), tarn::FormatError);
  // A regression nested in a regression (which no training makes) is refused, not recursed:
  // the outer state's frame (magic, version, kind, time axis: 58 bytes) with a body whose
  // inner state is the whole regression state.
  const std::string state = reg.serialize();
  tarn::Writer w;
  for (char ch : state.substr(0, 58)) w.put<char>(ch);
  w.put<std::uint8_t>(1);
  w.put<std::uint64_t>(2);
  w.put_bool(true);
  w.put_bool(true);
  w.put_vector(reg.coefficients());
  w.put_vector(reg.covariance());
  w.put_string(state);
  w.put<double>(0.0);
  w.put<std::uint32_t>(tarn::crc32(w.bytes().data(), w.bytes().size()));
  try {
    tarn::Model::deserialize(w.take());
    FAIL() << "a nested regression was read";
  } catch (const tarn::FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("a regression inside a regression"), std::string::npos)
        << e.what();
  }
}

TEST(Regression, RefusesWhatItCannotDo) {
  // A kind that cannot take regressors names itself.
  try {
    tarn::Regression r(make("intermittent", 0)->clone(), 1);
    FAIL() << "an intermittent model took regressors";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("intermittent"), std::string::npos);
  }
  EXPECT_THROW(tarn::Regression(make("hws", 24)->clone(), 0), tarn::InvalidArgument);

  const Data d = simulate(120, "arma", 5);
  tarn::Regression reg(make("arma", 100)->clone(), 2);
  std::vector<double> x = d.x;
  x[2 * 40 + 1] = kNaN;
  try {
    reg.train(d.t.data(), d.y.data(), x.data(), 100);
    FAIL() << "a missing regressor was accepted";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("regressor 1 in training row 40"), std::string::npos);
  }
  reg.train(d.t.data(), d.y.data(), d.x.data(), 100);
  const std::uint64_t seen = reg.observations();
  // Nothing is silently ignored: no update or forecast without the regressors.
  tarn::Model& plain = reg;
  EXPECT_THROW(plain.update(100, 1.0), tarn::InvalidArgument);
  EXPECT_THROW(plain.forecast_steps(1.0), tarn::InvalidArgument);
  EXPECT_THROW(plain.forecast_interval_steps(1.0, 0.9), tarn::InvalidArgument);
  EXPECT_THROW(reg.update(100, 1.0, x.data() + 2 * 40), tarn::InvalidArgument);
  EXPECT_EQ(reg.observations(), seen);
  EXPECT_EQ(reg.last_time(), 99);
}

// Awkward data: missing values and timestamp gaps in training and updates, a regressor that
// never changes, too few rows to estimate anything.
TEST(Regression, AwkwardDataGiveFiniteForecastsOrAClearRefusal) {
  const std::size_t n = 150;
  Data d = simulate(n + 6, "arima", 13);
  for (std::size_t i = 0; i < n + 6; ++i) {
    d.t[i] = static_cast<std::int64_t>(i + (i > 60 ? 2 : 0));  // a gap of two steps
    if (i % 9 == 4) d.y[i] = kNaN;
    d.x[2 * i + 1] = 1.0;  // a constant regressor: the level's business, not the regression's
  }
  for (const char* kind : {"arima", "hws", "auto"}) {
    tarn::Regression reg(make(kind, 140)->clone(), 2);
    reg.train(d.t.data(), d.y.data(), d.x.data(), n);
    ASSERT_TRUE(reg.is_initialized()) << kind;
    EXPECT_NEAR(reg.coefficients()[0], kB1, 0.5) << kind;
    reg.update(d.t[n], kNaN, d.x.data() + 2 * n);
    std::vector<double> times(5), out(5), lo(5), hi(5);
    for (std::size_t k = 0; k < 5; ++k) times[k] = static_cast<double>(d.t[n + 1 + k]);
    reg.forecast_at(times.data(), 5, d.x.data() + 2 * (n + 1), out.data());
    reg.forecast_interval_at(times.data(), 5, 0.8, d.x.data() + 2 * (n + 1), lo.data(), hi.data());
    for (std::size_t k = 0; k < 5; ++k) {
      EXPECT_TRUE(std::isfinite(out[k]) && std::isfinite(lo[k]) && std::isfinite(hi[k])) << kind;
    }
  }
  tarn::Regression few(make("hws", 24)->clone(), 2);
  try {
    few.train(d.t.data(), d.y.data(), d.x.data(), 3);
    FAIL() << "three rows estimated two regressors";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("3 training rows"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(few.is_initialized());
}

// The session: training with regressors, new rows carrying theirs, forecasts that need the
// future ones, sliding windows that take them from the later rows.
TEST(Regression, SessionTakesRegressorsEverywhere) {
  const std::size_t n = 150, extra = 10, h = 6;
  const Data d = simulate(n + extra + h, "arma", 11);
  tarn::Forecaster f;
  tarn::Forecaster::TrainInput in;
  in.timestamps = d.t.data();
  in.series = d.y.data();
  in.n = n;
  in.n_targets = 1;
  in.log_transform = true;
  in.regressors = d.x.data();
  in.n_regressors = 2;
  f.train(in, {make("arma", 100)}, nullptr);
  ASSERT_TRUE(f.ready());
  EXPECT_EQ(f.n_regressors(), 2u);

  EXPECT_THROW(f.forecast(h), tarn::InvalidArgument);
  EXPECT_THROW(f.forecast(h, d.x.data() + 2 * n, h - 1), tarn::InvalidArgument);
  const tarn::Forecast plain = f.forecast(h, d.x.data() + 2 * n, h);
  ASSERT_EQ(plain.values.size(), h);
  std::vector<double> lo(h), hi(h);
  EXPECT_THROW(f.intervals(nullptr, h, 90, plain.values.data(), lo.data(), hi.data()),
               tarn::InvalidArgument);
  f.intervals(nullptr, h, 90, plain.values.data(), lo.data(), hi.data(), d.x.data() + 2 * n, h);
  for (std::size_t k = 0; k < h; ++k) EXPECT_LT(lo[k], hi[k]);

  // New rows: value, x1, x2 (the regressors are not log-transformed).
  std::vector<double> rows, stamps;
  for (std::size_t i = n; i < n + extra; ++i) {
    rows.insert(rows.end(), {d.y[i], d.x[2 * i], d.x[2 * i + 1]});
    stamps.push_back(static_cast<double>(i));
  }
  tarn::Rows r;
  r.values = rows.data();
  r.stride = 3;
  r.timestamps = stamps.data();
  r.n_rows = extra;
  r.regressor_column = 1;
  r.n_regressors = 2;
  EXPECT_THROW(f.predict(r, h), tarn::InvalidArgument);  // no future regressors
  r.future = d.x.data() + 2 * (n + extra);
  r.future_rows = h;
  const tarn::Forecast after = f.predict(r, h);
  ASSERT_FALSE(after.loop.forecast_failed) << after.loop.failure;
  ASSERT_EQ(after.values.size(), h);
  double err = 0.0;
  for (std::size_t k = 0; k < h; ++k) err += std::fabs(after.values[k] - d.y[n + extra + k]);
  EXPECT_LT(err / h, 3.0);

  // Sliding windows: each row's forecast takes the regressors of the rows after it; past the
  // rows and the future ones, the window fails and says why.
  r.future = nullptr;
  r.future_rows = 0;
  const tarn::Forecast slide = f.sliding(r, 3);
  EXPECT_TRUE(slide.loop.forecast_failed);
  EXPECT_NE(slide.loop.failure.find("regressors of forecast step 3 after row 7"), std::string::npos)
      << slide.loop.failure;
  EXPECT_EQ(slide.values.size(), 3u * (extra - 3));
}

}  // namespace
