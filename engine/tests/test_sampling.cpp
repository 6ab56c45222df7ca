// Quantiles at any probability, reproducible random streams, sample paths, and the session's
// quantiles, paths and non-negative option.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/model_table.hpp"
#include "tarn/sampling.hpp"

namespace {

using ModelPtr = tarn::Forecaster::ModelPtr;

// A noisy seasonal series with a trend (positive), drawn from the engine's own stream.
std::vector<double> noisy_seasonal(std::size_t n, double level, std::uint64_t seed) {
  tarn::RandomStream rng(seed);
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = level + 0.3 * static_cast<double>(i) + 6.0 * std::sin(0.5236 * static_cast<double>(i)) +
           2.0 * rng.normal();
  }
  return y;
}

// Counts with many zeros.
std::vector<double> counts(std::size_t n, std::uint64_t seed) {
  tarn::RandomStream rng(seed);
  std::vector<double> y(n);
  for (double& v : y) v = rng.uniform() < 0.4 ? std::floor(1.0 + 4.0 * rng.uniform()) : 0.0;
  return y;
}

std::unique_ptr<tarn::Model> fed(const std::string& kind, const std::vector<double>& y) {
  auto m = tarn::build(kind, {});
  for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
  if (!m->is_initialized()) m->fit_available();
  return m;
}

tarn::Forecaster session(const std::vector<double>& y, const std::string& kind, bool log) {
  std::vector<std::int64_t> t(y.size());
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::int64_t>(i);
  tarn::Forecaster f;
  tarn::Forecaster::TrainInput in;
  in.timestamps = t.data();
  in.series = y.data();
  in.n = y.size();
  in.n_targets = 1;
  in.log_transform = log;
  f.train(in, {ModelPtr(tarn::build(kind, {}))}, nullptr);
  return f;
}

// Empirical quantile (linear between order statistics) of the values v.
double empirical(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const double pos = p * static_cast<double>(v.size() - 1);
  const auto i = static_cast<std::size_t>(pos);
  const double frac = pos - static_cast<double>(i);
  return i + 1 < v.size() ? v[i] + frac * (v[i + 1] - v[i]) : v[i];
}

}  // namespace

TEST(RandomStream, SameSeedSameBitsAndStreamsDiffer) {
  tarn::RandomStream a(tarn::stream_seed(7, 0)), b(tarn::stream_seed(7, 0));
  tarn::RandomStream c(tarn::stream_seed(7, 1)), d(tarn::stream_seed(8, 0));
  int same_c = 0, same_d = 0;
  double sum = 0.0, sum_sq = 0.0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const double u = a.uniform();
    ASSERT_EQ(u, b.uniform());
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
    same_c += u == c.uniform();
    same_d += u == d.uniform();
    const double z = a.normal();
    b.normal();
    sum += z;
    sum_sq += z * z;
  }
  EXPECT_EQ(same_c, 0);
  EXPECT_EQ(same_d, 0);
  EXPECT_NEAR(sum / n, 0.0, 0.03);
  EXPECT_NEAR(sum_sq / n, 1.0, 0.04);
  // The derivation of streams is part of what a seed promises: fixed values.
  EXPECT_EQ(tarn::stream_seed(0, 0), tarn::stream_seed(0, 0));
  EXPECT_NE(tarn::stream_seed(0, 0), tarn::stream_seed(0, 1));
  EXPECT_NE(tarn::stream_seed(1, 0), tarn::stream_seed(0, 1));
}

TEST(Quantiles, EveryModelMonotoneAndEqualToItsBands) {
  const auto seasonal_y = noisy_seasonal(120, 40.0, 3);
  const auto count_y = counts(120, 4);
  const double probs[] = {0.01, 0.025, 0.05, 0.1,  0.25,  0.4, 0.5,
                          0.6,  0.75,  0.9,  0.95, 0.975, 0.99};
  const std::int64_t h = 10;
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = fed(e.name, e.name == "intermittent" ? count_y : seasonal_y);
    ASSERT_TRUE(m->is_initialized());
    // Demand data have an atom at zero: the intermittent model knows its own quantiles.
    const bool own = !std::isnan(m->own_quantile(1.0, 0.5));
    EXPECT_EQ(own, e.name == "intermittent");
    std::vector<double> prev(h, -INFINITY), q(h), point(h);
    m->forecast_path(h, point.data());
    for (double p : probs) {
      tarn::forecast_quantile_path(*m, h, p, q.data());
      for (std::int64_t k = 0; k < h; ++k) {
        EXPECT_GE(q[k], prev[k]) << "p " << p << " step " << k + 1;
        if (own) {
          // Demand in fewer than half of the periods: the median (and every quantile below
          // the share of periods without demand) is no demand, while the forecast is the mean
          // demand rate.
          if (p <= 0.5) {
            EXPECT_EQ(q[k], 0.0);
          }
          EXPECT_GT(point[k], 0.0);
        } else if (p < 0.5) {
          EXPECT_LE(q[k], point[k]);
        } else if (p > 0.5) {
          EXPECT_GE(q[k], point[k]);
        } else {
          EXPECT_EQ(q[k], point[k]);
        }
      }
      prev = q;
    }
    for (const double c : {0.8, 0.95}) {
      std::vector<double> lo(h), hi(h), ql(h), qh(h);
      m->forecast_interval_path(h, c, lo.data(), hi.data());
      tarn::forecast_quantile_path(*m, h, (1.0 - c) / 2.0, ql.data());
      tarn::forecast_quantile_path(*m, h, (1.0 + c) / 2.0, qh.data());
      if (own) {
        // The one-sided band [0, upper] of coverage c reaches the quantile c.
        tarn::forecast_quantile_path(*m, h, c, qh.data());
        for (std::int64_t k = 0; k < h; ++k) {
          EXPECT_EQ(lo[k], 0.0);
          EXPECT_EQ(qh[k], hi[k]);
        }
        continue;
      }
      for (std::int64_t k = 0; k < h; ++k) {
        EXPECT_EQ(ql[k], std::min(lo[k], point[k]));
        EXPECT_EQ(qh[k], std::max(hi[k], point[k]));
      }
    }
    EXPECT_THROW(tarn::forecast_quantile_path(*m, h, 0.0, q.data()), tarn::InvalidArgument);
    EXPECT_THROW(tarn::forecast_quantile_path(*m, h, 1.0, q.data()), tarn::InvalidArgument);
    EXPECT_THROW(tarn::forecast_quantile_path(*m, h, NAN, q.data()), tarn::InvalidArgument);
  }
}

TEST(SamplePaths, EveryModelAgreesWithItsQuantilesAndIsReproducible) {
  const auto seasonal_y = noisy_seasonal(120, 40.0, 5);
  const auto count_y = counts(120, 6);
  const std::size_t h = 6, n = 2000;
  std::vector<double> times(h);
  for (std::size_t k = 0; k < h; ++k) times[k] = 119.0 + static_cast<double>(k + 1);
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = fed(e.name, e.name == "intermittent" ? count_y : seasonal_y);
    std::vector<double> paths(n * h), again(n * h);
    tarn::RandomStream rng(11), rng2(11);
    tarn::simulate_model(*m, times.data(), h, n, rng, paths.data());
    tarn::simulate_model(*m, times.data(), h, n, rng2, again.data());
    ASSERT_EQ(paths, again);
    std::vector<double> q(h);
    for (const double p : {0.05, 0.25, 0.5, 0.75, 0.95}) {
      tarn::forecast_quantile_path(*m, static_cast<std::int64_t>(h), p, q.data());
      for (std::size_t k = 0; k < h; ++k) {
        std::vector<double> at(n);
        for (std::size_t i = 0; i < n; ++i) at[i] = paths[i * h + k];
        // Monte-Carlo error of an empirical quantile of 2000 draws, in units of the spread.
        const double spread = empirical(at, 0.95) - empirical(at, 0.05) + 1e-9;
        EXPECT_NEAR(empirical(at, p), q[k], 0.06 * spread) << "p " << p << " step " << k + 1;
      }
    }
  }
}

TEST(SessionQuantiles, EqualTheBandsAndRefuseBadProbabilities) {
  const auto y = noisy_seasonal(96, 30.0, 8);
  for (const bool log : {true, false}) {
    const tarn::Forecaster f = session(y, "hws", log);
    const std::int64_t h = 12;
    const tarn::Forecast fc = f.forecast(h);
    const double probs[] = {0.9, 0.1, 0.5, 0.025, 0.975};
    std::vector<double> q(5 * h);
    f.quantiles(nullptr, h, probs, 5, fc.values.data(), q.data());
    std::vector<double> lo80(h), hi80(h), lo95(h), hi95(h);
    f.intervals(nullptr, h, 80.0, fc.values.data(), lo80.data(), hi80.data());
    f.intervals(nullptr, h, 95.0, fc.values.data(), lo95.data(), hi95.data());
    for (std::int64_t k = 0; k < h; ++k) {
      EXPECT_EQ(q[0 * h + k], hi80[k]);
      EXPECT_EQ(q[1 * h + k], lo80[k]);
      EXPECT_EQ(q[2 * h + k], fc.values[k]);
      EXPECT_EQ(q[3 * h + k], lo95[k]);
      EXPECT_EQ(q[4 * h + k], hi95[k]);
    }
    const double bad[] = {0.5, 1.5};
    EXPECT_THROW(f.quantiles(nullptr, h, bad, 2, fc.values.data(), q.data()),
                 tarn::InvalidArgument);
  }
}

TEST(SessionPaths, DataScaleReproducibleAcrossThreadsAndPerTarget) {
  const auto y = noisy_seasonal(96, 30.0, 9);
  const tarn::Forecaster f = session(y, "hws", true);
  const std::int64_t h = 12;
  const std::size_t n = 1500;
  const std::vector<double> paths = f.simulate(nullptr, h, n, 42);
  ASSERT_EQ(paths.size(), n * h);
  std::vector<double> from_thread;
  std::thread worker([&] { from_thread = f.simulate(nullptr, h, n, 42); });
  worker.join();
  EXPECT_EQ(paths, from_thread);
  EXPECT_NE(paths, f.simulate(nullptr, h, n, 43));
  // On the data's scale: the mean of the paths is near the forecast (the log scale's forecast
  // is the median; e^y - 2 skews the mean only slightly at this spread).
  const tarn::Forecast fc = f.forecast(h);
  for (std::int64_t k = 0; k < h; ++k) {
    double mean = 0;
    for (std::size_t i = 0; i < n; ++i) mean += paths[i * h + k];
    mean /= n;
    EXPECT_NEAR(mean, fc.values[k], 0.05 * std::fabs(fc.values[k]));
  }
  EXPECT_THROW(f.simulate(nullptr, h, 0, 1), tarn::InvalidArgument);
  EXPECT_THROW(f.simulate(nullptr, h, tarn::Forecaster::kMaxSimulatedValues, 1),
               tarn::InvalidArgument);
}

TEST(SessionNonnegative, NothingBelowZeroNearZero) {
  // Small counts around 1: the bands of an additive model reach well below zero.
  const auto y = counts(90, 12);
  tarn::Forecaster f = session(y, "hws", false);
  const std::int64_t h = 8;
  std::vector<double> lo(h), hi(h);
  tarn::Forecast fc = f.forecast(h);
  f.intervals(nullptr, h, 95.0, fc.values.data(), lo.data(), hi.data());
  ASSERT_LT(*std::min_element(lo.begin(), lo.end()), 0.0);  // the case the option is for
  f.set_nonnegative(true);
  fc = f.forecast(h);
  f.intervals(nullptr, h, 95.0, fc.values.data(), lo.data(), hi.data());
  const double probs[] = {0.01, 0.3, 0.5, 0.99};
  std::vector<double> q(4 * h);
  f.quantiles(nullptr, h, probs, 4, fc.values.data(), q.data());
  const std::vector<double> paths = f.simulate(nullptr, h, 500, 1);
  for (const std::vector<double>* v :
       std::initializer_list<const std::vector<double>*>{&fc.values, &lo, &hi, &q, &paths}) {
    EXPECT_GE(*std::min_element(v->begin(), v->end()), 0.0);
  }
  // Censoring changes only what was below zero: the upper bounds stay as they were.
  tarn::Forecaster plain = session(y, "hws", false);
  const tarn::Forecast pf = plain.forecast(h);
  std::vector<double> plo(h), phi(h);
  plain.intervals(nullptr, h, 95.0, pf.values.data(), plo.data(), phi.data());
  for (std::int64_t k = 0; k < h; ++k) {
    EXPECT_EQ(hi[k], std::max(phi[k], 0.0));
    EXPECT_EQ(lo[k], std::max(plo[k], 0.0));
  }
  // New rows fed through the session are censored too.
  const double rows[] = {0.0, 0.0, 0.0};
  tarn::Rows r;
  r.values = rows;
  r.stride = 1;
  r.n_rows = 3;
  const tarn::Forecast after = f.predict(r, h);
  EXPECT_GE(*std::min_element(after.values.begin(), after.values.end()), 0.0);
}
