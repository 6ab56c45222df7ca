// Every registered builder's model against awkward data: each test runs for every builder.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

// Options that make each builder's model initialise after about 24 observations.
tarn::Options options_for(const std::string& builder) {
  if (builder == "hws") return {{"samples_per_season", 4}, {"initial_training_seasons", 6}};
  if (builder == "bats") return {{"training_sample_size", 24}};
  if (builder == "arima" || builder == "arma" || builder == "auto") {
    return {{"min_training_data", 24}};
  }
  return {};
}

std::vector<double> wave(int n, double level = 20.0, double amplitude = 3.0, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 0.3);
  std::vector<double> x;
  for (int t = 0; t < n; ++t) x.push_back(level + amplitude * std::sin(2 * kPi * t / 4) + nd(rng));
  return x;
}

class EveryModel : public ::testing::TestWithParam<std::string> {
 protected:
  std::unique_ptr<tarn::Model> make() const {
    return tarn::build(GetParam(), options_for(GetParam()));
  }

  // Feeds x at timestamps 0, 1, ... and checks forecasts at several horizons are finite.
  std::unique_ptr<tarn::Model> fed(const std::vector<double>& x) const {
    auto m = make();
    for (std::size_t i = 0; i < x.size(); ++i) m->update(static_cast<std::int64_t>(i), x[i]);
    return m;
  }
  static void expect_finite(const tarn::Model& m, double scale = 0.0) {
    if (!m.is_initialized()) return;
    for (double h : {1.0, 1.5, 2.0, 7.0, 30.0, 1000.0}) {
      const double f = m.forecast_steps(h);
      ASSERT_TRUE(std::isfinite(f)) << m.describe() << " h=" << h;
      if (scale > 0.0 && h <= 7.0) {
        EXPECT_LT(std::fabs(f), 100.0 * scale) << m.describe();
      }
    }
  }
};

TEST_P(EveryModel, NaNInsideTraining) {
  auto x = wave(60);
  for (std::size_t i = 2; i < x.size(); i += 5) x[i] = kNaN;
  auto m = fed(x);
  EXPECT_TRUE(m->is_initialized()) << m->describe();
  expect_finite(*m, 30.0);
}

TEST_P(EveryModel, ConstantSeries) {
  auto m = fed(std::vector<double>(60, 7.5));
  ASSERT_TRUE(m->is_initialized()) << m->describe();
  for (double h : {1.0, 5.0, 20.0}) EXPECT_NEAR(m->forecast_steps(h), 7.5, 1e-6) << m->describe();
}

TEST_P(EveryModel, OneOrTwoPoints) {
  for (int n : {1, 2}) {
    auto m = fed(wave(n));
    expect_finite(*m, 30.0);
    EXPECT_EQ(m->observations(), static_cast<std::uint64_t>(n));
  }
}

TEST_P(EveryModel, ShorterThanASeason) {
  auto m = fed({5.0, 6.0, 7.0});
  expect_finite(*m, 10.0);
}

TEST_P(EveryModel, ZerosAndNegatives) {
  std::vector<double> zeros(60, 0.0);
  auto a = fed(zeros);
  expect_finite(*a);
  if (a->is_initialized()) {
    EXPECT_NEAR(a->forecast_steps(3), 0.0, 1e-9);
  }
  auto x = wave(60, -5.0, 10.0);
  for (std::size_t i = 0; i < x.size(); i += 6) x[i] = 0.0;
  auto b = fed(x);
  expect_finite(*b, 20.0);
}

TEST_P(EveryModel, HugeAndTinyMagnitudes) {
  for (double scale : {1e-150, 1e-6, 1e6, 1e150}) {
    auto x = wave(60);
    for (double& v : x) v *= scale;
    auto m = fed(x);
    ASSERT_TRUE(m->is_initialized()) << m->describe();
    expect_finite(*m, 30.0 * scale);
    EXPECT_GT(std::fabs(m->forecast_steps(1)), 5.0 * scale) << m->describe() << " scale " << scale;
  }
}

TEST_P(EveryModel, Spikes) {
  auto x = wave(80);
  x[30] = 1e6;
  x[31] = -1e6;
  x[70] = 5e5;
  auto m = fed(x);
  expect_finite(*m, 1e7);
}

TEST_P(EveryModel, TimestampGaps) {
  auto m = make();
  const auto x = wave(60);
  std::int64_t t = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    m->update(t, x[i]);
    t += (i % 11 == 10) ? 6 : 2;  // spacing 2 with occasional holes
  }
  ASSERT_TRUE(m->is_initialized()) << m->describe();
  const double last = static_cast<double>(m->last_time());
  for (double dt : {-1.0, 0.0, 0.5, 1.0, 2.0, 3.0, 40.0, 1e6}) {
    EXPECT_TRUE(std::isfinite(m->forecast_at(last + dt))) << m->describe() << " dt=" << dt;
  }
  EXPECT_GT(m->average_interval(), 2.0);
  // A huge gap after fitting is cheap and harmless.
  m->update(m->last_time() + 1'000'000'000'000LL, 21.0);
  expect_finite(*m, 100.0);
}

TEST_P(EveryModel, StaleUpdateThrowsAndChangesNothing) {
  auto m = fed(wave(40));
  const std::string before = m->serialize();
  EXPECT_THROW(m->update(39, 1.0), tarn::StaleUpdate);
  EXPECT_THROW(m->update(10, 1.0), tarn::StaleUpdate);
  EXPECT_EQ(m->serialize(), before);
  EXPECT_THROW(m->update(40, std::numeric_limits<double>::infinity()), tarn::InvalidArgument);
  // Timestamps at the ends of the integer range: a clear error, not an overflow.
  auto e = make();
  e->update(std::numeric_limits<std::int64_t>::min(), 1.0);
  EXPECT_THROW(e->update(std::numeric_limits<std::int64_t>::max(), 1.0), tarn::InvalidArgument);
  EXPECT_EQ(e->observations(), 1u);
  auto w = make();
  for (std::int64_t t : {-5'000'000'000'000'000'000LL, 0LL, 5'000'000'000'000'000'000LL})
    w->update(t, 1.0);
  EXPECT_DOUBLE_EQ(w->average_interval(), 5e18);
}

TEST_P(EveryModel, SerialisedStateForecastsIdentically) {
  const auto x = wave(70, 20.0, 3.0, 5);
  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{40}}) {
    auto m = fed(std::vector<double>(x.begin(), x.begin() + static_cast<long>(cut)));
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize());
    EXPECT_EQ(std::string(copy->kind()), std::string(m->kind()));
    for (std::size_t i = cut; i < x.size(); ++i) {
      m->update(static_cast<std::int64_t>(i), x[i]);
      copy->update(static_cast<std::int64_t>(i), x[i]);
    }
    ASSERT_TRUE(m->is_initialized());
    for (double h : {1.0, 2.5, 9.0}) EXPECT_EQ(copy->forecast_steps(h), m->forecast_steps(h));
    auto clone = m->clone();
    EXPECT_EQ(clone->serialize(), m->serialize());
  }
}

TEST_P(EveryModel, GarbledStateThrowsFormatError) {
  auto m = fed(wave(50));
  const std::string good = m->serialize();
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_THROW(tarn::Model::deserialize(good.substr(0, n)), tarn::FormatError) << "cut at " << n;
  }
  EXPECT_THROW(tarn::Model::deserialize(good + "x"), tarn::FormatError);
  // Flipped bytes either fail cleanly or give a model that still forecasts finite values.
  std::mt19937 rng(3);
  for (int rep = 0; rep < 300; ++rep) {
    std::string bad = good;
    const std::size_t pos = rng() % bad.size();
    bad[pos] = static_cast<char>(rng() & 0xff);
    try {
      auto g = tarn::Model::deserialize(bad);
      if (g->is_initialized()) (void)g->forecast_steps(3);
      g->update(g->last_time() + 1, 1.0);
    } catch (const tarn::FormatError&) {
    } catch (const tarn::Error&) {
    }
  }
}

// Found by fuzzing: a model fed only missing values must stay bounded and round-trip.
TEST_P(EveryModel, OnlyMissingValues) {
  for (const tarn::Options& o : {options_for(GetParam()), tarn::Options{}}) {
    auto m = tarn::build(GetParam(), o);
    for (std::int64_t t = 0; t < 200; ++t) m->update(t, kNaN);
    EXPECT_FALSE(m->is_initialized()) << m->describe();
    EXPECT_LT(m->serialize().size(), 4096u) << "memory grows with missing values";
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize());
    const auto x = wave(60);
    for (std::size_t i = 0; i < x.size(); ++i) {
      m->update(200 + static_cast<std::int64_t>(i), x[i]);
      copy->update(200 + static_cast<std::int64_t>(i), x[i]);
    }
    EXPECT_TRUE(m->is_initialized()) << m->describe();
    expect_finite(*m, 30.0);
    if (m->is_initialized()) {
      EXPECT_EQ(copy->forecast_steps(2), m->forecast_steps(2));
    }
  }
}

TEST_P(EveryModel, ResetForgetsEverything) {
  auto m = fed(wave(50));
  m->reset();
  EXPECT_FALSE(m->is_initialized());
  EXPECT_EQ(m->last_time(), -1);
  EXPECT_EQ(m->observations(), 0u);
  auto fresh = make();
  EXPECT_EQ(m->serialize(), fresh->serialize());
}

TEST_P(EveryModel, GapBeyondTheLongestIsRefusedAndChangesNothing) {
  // While collecting (the grid step is known once two values were seen) and once fitted.
  auto early = make();
  early->update(0, 1.0);
  early->update(1, 2.0);
  EXPECT_THROW(early->update(1'000'000'000'000'001LL, 3.0), tarn::GapTooLarge);
  EXPECT_EQ(early->observations(), 2u);
  auto m = fed(wave(60));
  ASSERT_TRUE(m->is_initialized()) << m->describe();
  const std::string before = m->serialize();
  const std::int64_t last = m->last_time();
  const std::int64_t too_far = last + 1'000'000'000'001LL;
  EXPECT_THROW(m->check_reachable(too_far), tarn::GapTooLarge);
  try {
    m->update(too_far, 21.0);
    ADD_FAILURE() << m->describe() << " took a gap of a trillion and one steps";
  } catch (const tarn::GapTooLarge& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(std::to_string(too_far)), std::string::npos) << text;
    EXPECT_NE(text.find("1000000000001 grid steps"), std::string::npos) << text;
  }
  EXPECT_THROW(m->forecast_at(static_cast<double>(too_far)), tarn::GapTooLarge);
  EXPECT_EQ(m->serialize(), before);
  // The longest gap itself is taken.
  m->check_reachable(last + 1'000'000'000'000LL);
  m->update(last + 1'000'000'000'000LL, 21.0);
  expect_finite(*m, 100.0);
}

INSTANTIATE_TEST_SUITE_P(Builders, EveryModel, ::testing::ValuesIn(tarn::builder_names()),
                         [](const auto& info) { return info.param; });

}  // namespace
