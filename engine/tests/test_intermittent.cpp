// The intermittent-demand model: its methods, updates, state and intervals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/intermittent.hpp"

namespace {

using tarn::Intermittent;
using tarn::IntermittentConfig;
using tarn::IntermittentMethod;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Eight periods, demands of 3 and 2: mean size 2.5, mean interval 4, mean 0.625.
const std::vector<double> kSample = {0, 0, 3, 0, 2, 0, 0, 0};

Intermittent fitted(IntermittentMethod m, const std::vector<double>& y, double alpha = 0.5,
                    double beta = 0.25) {
  IntermittentConfig c;
  c.training_sample_size = static_cast<std::int64_t>(y.size());
  c.method = m;
  c.alpha = alpha;
  c.beta = beta;
  Intermittent model(c);
  for (std::size_t t = 0; t < y.size(); ++t) model.update(static_cast<std::int64_t>(t), y[t]);
  return model;
}

// Bernoulli(p) occurrences with gamma sizes (shape 2, mean 2 * scale).
std::vector<double> compound(std::size_t n, double p, double scale, unsigned seed) {
  std::mt19937 rng(seed);
  std::bernoulli_distribution occur(p);
  std::gamma_distribution<double> size(2.0, scale);
  std::vector<double> y(n);
  for (double& v : y) v = occur(rng) ? size(rng) : 0.0;
  return y;
}

TEST(Intermittent, EachMethodMatchesAHandComputedExample) {
  // Croston from z = 2.5, p = 4: the demand of 3 after 3 periods gives z = 2.75, p = 3.5; the
  // demand of 2 after 2 more gives z = 2.375, p = 2.75.
  const Intermittent croston = fitted(IntermittentMethod::Croston, kSample);
  ASSERT_TRUE(croston.is_initialized());
  EXPECT_NEAR(croston.rate(), 2.375 / 2.75, 1e-12);
  EXPECT_NEAR(croston.forecast_steps(5), 2.375 / 2.75, 1e-12);
  EXPECT_NEAR(croston.demand_probability(), 1 / 2.75, 1e-12);
  // SBA: Croston's rate times 1 - alpha / 2.
  EXPECT_NEAR(fitted(IntermittentMethod::Sba, kSample).rate(), 0.75 * 2.375 / 2.75, 1e-12);
  // TSB from pi = 0.25 (beta 0.25): 0.1875, 0.140625, 0.35546875, 0.2666015625, 0.449951171875,
  // 0.33746337890625, 0.2530975341796875, 0.18982315063476562; sizes as Croston's.
  const Intermittent tsb = fitted(IntermittentMethod::Tsb, kSample);
  EXPECT_NEAR(tsb.demand_probability(), 0.18982315063476562, 1e-12);
  EXPECT_NEAR(tsb.rate(), 0.18982315063476562 * 2.375, 1e-12);
  // ADIDA: buckets of 4 from the level 2.5: sums 3 and 2 give 2.75, 2.375; per period / 4.
  const Intermittent adida = fitted(IntermittentMethod::Adida, kSample);
  EXPECT_EQ(adida.bucket_lengths(), std::vector<int>{4});
  EXPECT_NEAR(adida.rate(), 2.375 / 4, 1e-12);
  // IMAPA: buckets of 1, 2 and 3 (the longest interval), each ending with the data.
  //   k = 1 from 0.625 over the values: 0.17431640625
  //   k = 2 from 1.25 over 0, 3, 2, 0: 0.953125, per period 0.4765625
  //   k = 3 from 1.875 over 5, 0 (the first two values fall before the buckets): 1.71875 / 3
  const Intermittent imapa = fitted(IntermittentMethod::Imapa, kSample);
  EXPECT_EQ(imapa.bucket_lengths(), (std::vector<int>{1, 2, 3}));
  EXPECT_NEAR(imapa.rate(), (0.17431640625 + 0.4765625 + 1.71875 / 3) / 3, 1e-12);
}

TEST(Intermittent, UpdatesContinueTheRecursionAndSkipMissingPeriods) {
  Intermittent m = fitted(IntermittentMethod::Croston, kSample);
  // Continues by hand from z = 2.375, p = 2.75 with 3 periods since the latest demand.
  double z = 2.375, p = 2.75, q = 3;
  const std::vector<double> more = {0, 4, 0, 0, 1, 1, 0, 6};
  for (std::size_t i = 0; i < more.size(); ++i) {
    m.update(static_cast<std::int64_t>(kSample.size() + i), more[i]);
    q += 1;
    if (more[i] != 0) {
      z += 0.5 * (more[i] - z);
      p += 0.5 * (q - p);
      q = 0;
    }
    EXPECT_NEAR(m.rate(), z / p, 1e-12) << "after " << i;
  }
  // Missing values and timestamp gaps are skipped: the same values with holes between them
  // give the same state, whatever the length of the holes.
  for (IntermittentMethod method : {IntermittentMethod::Tsb, IntermittentMethod::Imapa}) {
    Intermittent a = fitted(method, kSample), b = fitted(method, kSample);
    std::int64_t tb = 7;
    for (std::size_t i = 0; i < more.size(); ++i) {
      a.update(static_cast<std::int64_t>(8 + i), more[i]);
      b.update(++tb, kNaN);
      tb += (i % 3 == 0) ? 1'000'000 : 1;
      b.update(tb, more[i]);
    }
    EXPECT_NEAR(a.rate(), b.rate(), 1e-12) << tarn::intermittent_method_name(method);
  }
}

TEST(Intermittent, StateRoundTripsForEveryMethod) {
  const auto y = compound(60, 0.3, 4.0, 7);
  for (IntermittentMethod method :
       {IntermittentMethod::Auto, IntermittentMethod::Croston, IntermittentMethod::Sba,
        IntermittentMethod::Tsb, IntermittentMethod::Adida, IntermittentMethod::Imapa}) {
    IntermittentConfig c;
    c.training_sample_size = 40;
    c.method = method;
    Intermittent m(c);
    for (std::size_t t = 0; t < 50; ++t) m.update(static_cast<std::int64_t>(t), y[t]);
    const auto copy = tarn::Model::deserialize(m.serialize());
    EXPECT_EQ(copy->serialize(), m.serialize());
    for (std::size_t t = 50; t < y.size(); ++t) {
      m.update(static_cast<std::int64_t>(t), y[t]);
      copy->update(static_cast<std::int64_t>(t), y[t]);
    }
    EXPECT_EQ(copy->forecast_steps(3), m.forecast_steps(3)) << m.describe();
    EXPECT_EQ(copy->forecast_interval_steps(2, 0.9), m.forecast_interval_steps(2, 0.9));
  }
  // An unfitted model keeps its collected values and its input transform.
  Intermittent early(IntermittentConfig{30});
  early.set_log_input(2.0);
  early.update(0, std::log(5.0));
  EXPECT_EQ(tarn::Model::deserialize(early.serialize())->serialize(), early.serialize());
}

TEST(Intermittent, IntervalsAreNestedNonNegativeAndCoverSinglePeriodDemand) {
  for (double p : {0.15, 0.4, 0.8}) {
    const auto y = compound(3200, p, 3.0, static_cast<unsigned>(100 * p));
    auto owned = tarn::build("intermittent", {{"training_sample_size", 200}});
    tarn::Model& model = *owned;
    for (std::size_t t = 0; t < 200; ++t) model.update(static_cast<std::int64_t>(t), y[t]);
    std::size_t inside = 0;
    for (std::size_t t = 200; t < y.size(); ++t) {
      const auto b95 = model.forecast_interval_steps(1, 0.95);
      if (t % 97 == 0) {
        double prev_lo = 0.0, prev_hi = std::numeric_limits<double>::infinity();
        for (double c : {0.99, 0.95, 0.8, 0.5, 0.1}) {
          std::vector<double> lo(4), hi(4);
          model.forecast_interval_path(4, c, lo.data(), hi.data());
          EXPECT_GE(lo[0], prev_lo);
          EXPECT_LE(hi[0], prev_hi);
          EXPECT_GE(lo[0], 0.0);
          EXPECT_LE(lo[0], hi[0]);
          EXPECT_EQ(lo[3], lo[0]);
          EXPECT_EQ(hi[3], hi[0]);
          prev_lo = lo[0];
          prev_hi = hi[0];
        }
      }
      if (y[t] >= b95.first && y[t] <= b95.second) ++inside;
      model.update(static_cast<std::int64_t>(t), y[t]);
    }
    const double share = static_cast<double>(inside) / 3000.0;
    EXPECT_NEAR(share, 0.95, 0.03) << "demand probability " << p << ": " << model.describe();
  }
}

TEST(Intermittent, SeriesWithoutDemandOrWithOneDemand) {
  Intermittent none = fitted(IntermittentMethod::Auto, std::vector<double>(24, 0.0));
  ASSERT_TRUE(none.is_initialized());
  EXPECT_EQ(none.forecast_steps(1), 0.0);
  EXPECT_EQ(none.forecast_interval_steps(3, 0.99), std::make_pair(0.0, 0.0));
  none.update(24, 10.0);  // the first demand moves the rate off zero
  EXPECT_GT(none.forecast_steps(1), 0.0);
  EXPECT_LT(none.forecast_steps(1), 10.0);

  std::vector<double> one(24, 0.0);
  one[5] = 12.0;
  Intermittent single = fitted(IntermittentMethod::Auto, one, 0.0, 0.0);
  const double f = single.forecast_steps(1);
  EXPECT_GT(f, 0.0);
  EXPECT_LT(f, 12.0);
  // One demand in 24 periods: most periods have none, so the intervals start at 0, a 50% one
  // holds only 0 and a 99% one reaches a demand.
  EXPECT_EQ(single.forecast_interval_steps(1, 0.5), std::make_pair(0.0, 0.0));
  EXPECT_EQ(single.forecast_interval_steps(1, 0.95).first, 0.0);
  EXPECT_GT(single.forecast_interval_steps(1, 0.99).second, f);
}

TEST(Intermittent, LogInputFitsTheSeriesItself) {
  const auto y = compound(80, 0.3, 5.0, 3);
  auto raw = tarn::build("intermittent", {{"training_sample_size", 60}});
  auto logged = tarn::build("intermittent", {{"training_sample_size", 60}});
  ASSERT_TRUE(logged->set_log_input(2.0));
  for (std::size_t t = 0; t < y.size(); ++t) {
    raw->update(static_cast<std::int64_t>(t), y[t]);
    logged->update(static_cast<std::int64_t>(t), std::log(y[t] + 2.0));
  }
  EXPECT_NEAR(std::exp(logged->forecast_steps(2)) - 2.0, raw->forecast_steps(2), 1e-9);
  const auto b = logged->forecast_interval_steps(1, 0.95);
  const auto r = raw->forecast_interval_steps(1, 0.95);
  EXPECT_NEAR(std::exp(b.first) - 2.0, r.first, 1e-9);
  EXPECT_NEAR(std::exp(b.second) - 2.0, r.second, 1e-9);
  EXPECT_THROW(logged->set_log_input(2.0), tarn::InvalidArgument);
}

TEST(Intermittent, ChoosesAmongTheMethodsAndRefusesBadOptions) {
  // Every period has the same demand: Croston is exact, SBA's correction is not.
  const Intermittent flat = fitted(IntermittentMethod::Auto, std::vector<double>(30, 4.0), 0, 0);
  EXPECT_EQ(flat.method(), IntermittentMethod::Croston);
  EXPECT_NEAR(flat.forecast_steps(1), 4.0, 1e-12);
  // Negative values are not demand: the intervals are symmetric about the rate.
  std::vector<double> signed_values = compound(40, 0.5, 2.0, 9);
  for (std::size_t i = 0; i < signed_values.size(); i += 4) signed_values[i] *= -1.0;
  const Intermittent s = fitted(IntermittentMethod::Auto, signed_values, 0, 0);
  const auto b = s.forecast_interval_steps(1, 0.9);
  EXPECT_NEAR(b.first + b.second, 2.0 * s.forecast_steps(1), 1e-9);
  EXPECT_LT(b.first, 0.0);

  try {
    tarn::build("intermittent", {{"method", "holt"}});
    FAIL() << "an unknown method was accepted";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("method"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("holt"), std::string::npos);
  }
  EXPECT_THROW(tarn::build("intermittent", {{"alpha", 1.5}}), tarn::InvalidArgument);
}

}  // namespace
