// Temporal hierarchies: reconciliation, the levels taking part, updates between fits (buckets
// in progress, gaps), saved state, and the model as a member of the selector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "tarn/auto.hpp"
#include "tarn/builders.hpp"
#include "tarn/model_table.hpp"
#include "tarn/temporal_aggregation.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using tarn::TemporalAggregation;
using tarn::TemporalAggregationConfig;
using tarn::tempagg_detail::reconcile_cycle;

// Trend, a season of 12 and noise.
std::vector<double> monthly(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 2.0);
  std::vector<double> y;
  for (std::size_t t = 0; t < n; ++t) {
    y.push_back(200.0 + 0.5 * static_cast<double>(t) +
                20.0 * std::sin(2.0 * M_PI * static_cast<double>(t) / 12.0) + eps(rng));
  }
  return y;
}

std::unique_ptr<TemporalAggregation> fitted(const std::vector<double>& y, std::size_t n,
                                            std::int64_t m) {
  auto model = std::make_unique<TemporalAggregation>(
      TemporalAggregationConfig{static_cast<std::int64_t>(n), m});
  for (std::size_t t = 0; t < n; ++t) model->update(static_cast<std::int64_t>(t), y[t]);
  return model;
}

std::vector<double> path(const tarn::Model& model, std::size_t h) {
  std::vector<double> out(h);
  model.forecast_path(h, out.data());
  return out;
}

TEST(TempAggReconcile, KnownCasesAndSingularSystems) {
  // Two steps forecast 10 and 20, their sum 40: structural weights 1, 1 and 1/2 give
  // b - (10, 20) = (d, d) with d = (40 - 30 - 2 d) / 2, d = 2.5.
  double out[2];
  ASSERT_TRUE(reconcile_cycle(2, {0, 1, 0}, {1, 1, 2}, {10.0, 20.0, 40.0}, out));
  EXPECT_NEAR(out[0], 12.5, 1e-12);
  EXPECT_NEAR(out[1], 22.5, 1e-12);

  // Forecasts that already add up are left as they are (the whole monthly hierarchy).
  std::vector<std::size_t> first, count;
  std::vector<double> y;
  const double b[12] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8};
  for (std::size_t k : {1, 2, 3, 4, 6, 12}) {
    for (std::size_t j = 0; j < 12 / k; ++j) {
      first.push_back(j * k);
      count.push_back(k);
      double s = 0.0;
      for (std::size_t i = 0; i < k; ++i) s += b[j * k + i];
      y.push_back(1e6 * s);  // far from 1: the solve is scaled
    }
  }
  double rec[12];
  ASSERT_TRUE(reconcile_cycle(12, first, count, y, rec));
  for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(rec[i], 1e6 * b[i], 1e-3) << i;

  // A missing node forecast is left out; a step no node covers cannot be solved.
  ASSERT_TRUE(reconcile_cycle(2, {0, 1, 0}, {1, 1, 2}, {10.0, 20.0, kNaN}, out));
  EXPECT_DOUBLE_EQ(out[0], 10.0);
  EXPECT_DOUBLE_EQ(out[1], 20.0);
  EXPECT_FALSE(reconcile_cycle(2, {0}, {1}, {10.0}, out));
}

TEST(TempAgg, LevelsAreTheDivisorsOfTheSeasonWithEnoughBuckets) {
  const auto y = monthly(120, 1);
  EXPECT_EQ(fitted(y, 120, 12)->levels(), (std::vector<int>{1, 2, 3, 4, 6, 12}));
  // 60 values: level 12 would have 5 buckets.
  EXPECT_EQ(fitted(y, 60, 12)->levels(), (std::vector<int>{1, 2, 3, 4, 6}));
  EXPECT_EQ(fitted(y, 60, 4)->levels(), (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(fitted(y, 60, 1)->levels(), (std::vector<int>{1}));
  // Found in the data when not given.
  auto found = fitted(y, 120, 0);
  EXPECT_EQ(found->season_length(), 12);
  // The forecast follows the trend and the season.
  auto model = fitted(y, 120, 12);
  const auto f = path(*model, 24);
  for (std::size_t j = 0; j < 24; ++j) {
    const double t = 120.0 + static_cast<double>(j);
    const double truth = 200.0 + 0.5 * t + 20.0 * std::sin(2.0 * M_PI * t / 12.0);
    EXPECT_NEAR(f[j], truth, 8.0) << j;
  }
}

TEST(TempAgg, BucketsInProgressAtEveryPhase) {
  // A constant series: every level forecasts k times the value, so the reconciled forecast is
  // the value from every phase of the cycle, the known part of each bucket in progress taken
  // out exactly.
  std::vector<double> y(96, 50.0);
  auto model = fitted(y, 96, 12);
  ASSERT_TRUE(model->is_initialized());
  for (int step = 0; step < 14; ++step) {
    for (double v : path(*model, 30)) ASSERT_NEAR(v, 50.0, 1e-6) << step;
    model->update(96 + step, 50.0);
  }
}

TEST(TempAgg, FarForecastsSolveTheirOwnCycle) {
  // Beyond kPathSteps a single forecast reconciles its cycle alone: the same value as the
  // whole path gives there, from every phase, and a far step costs no path to it.
  const auto y = monthly(130, 9);
  auto model = fitted(y, 120, 12);
  for (std::int64_t t = 120; t < 125; ++t) {
    const auto steps = static_cast<std::size_t>(TemporalAggregation::kPathSteps) + 30;
    const auto f = path(*model, steps);
    for (std::size_t s : {steps - 29, steps - 12, steps}) {
      EXPECT_NEAR(model->forecast_steps(static_cast<double>(s)), f[s - 1],
                  1e-9 * std::fabs(f[s - 1]))
          << t << " " << s;
    }
    model->update(t, y[static_cast<std::size_t>(t)]);
  }
  EXPECT_TRUE(std::isfinite(model->forecast_steps(1e11)));
  EXPECT_TRUE(std::isfinite(model->forecast_steps(1e11 + 0.5)));
}

TEST(TempAgg, UpdatesContinueTheLevelsWithoutRefitting) {
  // The levels' models built by hand on the same buckets and fed the two new cycles' buckets,
  // their median reconciled: the same forecasts as the model's own updates give.
  const auto y = monthly(144, 7);
  const std::size_t n = 120;
  auto model = fitted(y, n, 12);
  for (std::size_t t = n; t < 144; ++t) model->update(static_cast<std::int64_t>(t), y[t]);
  const auto got = path(*model, 24);

  const std::vector<int> levels = model->levels();
  std::vector<std::vector<double>> node(levels.size());
  for (std::size_t li = 0; li < levels.size(); ++li) {
    const int k = levels[li];
    std::vector<std::unique_ptr<tarn::Model>> members;
    for (const char* name : {"hws", "theta", "ces"}) {
      auto m = tarn::find_model(name)->make_candidate(static_cast<std::int64_t>(n) / k, 12 / k);
      for (std::size_t b = 0; b < 144 / static_cast<std::size_t>(k); ++b) {
        double s = 0.0;
        for (int i = 0; i < k; ++i) s += y[b * static_cast<std::size_t>(k) + i];
        m->update(static_cast<std::int64_t>(b), s);
      }
      members.push_back(std::move(m));
    }
    for (std::size_t j = 1; j <= 24 / static_cast<std::size_t>(k); ++j) {
      std::vector<double> f;
      for (const auto& m : members) f.push_back(m->forecast_steps(static_cast<double>(j)));
      node[li].push_back(tarn::auto_detail::median_of(f));
    }
  }
  for (std::size_t cycle = 0; cycle < 2; ++cycle) {
    std::vector<std::size_t> first, count;
    std::vector<double> v;
    for (std::size_t li = 0; li < levels.size(); ++li) {
      const auto k = static_cast<std::size_t>(levels[li]);
      for (std::size_t j = 0; j < 12 / k; ++j) {
        first.push_back(j * k);
        count.push_back(k);
        v.push_back(node[li][cycle * (12 / k) + j]);
      }
    }
    double rec[12];
    ASSERT_TRUE(reconcile_cycle(12, first, count, v, rec));
    for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(got[cycle * 12 + i], rec[i], 1e-8);
  }
}

TEST(TempAgg, GapsEqualMissingValuesAndStatesRoundTrip) {
  const auto y = monthly(150, 3);
  auto a = fitted(y, 120, 12);
  auto b = fitted(y, 120, 12);
  // Five values (a bucket in progress at most levels), a gap of 8 steps (every level's new
  // bucket starts with the value), three more.
  for (std::int64_t t = 120; t < 125; ++t) {
    a->update(t, y[static_cast<std::size_t>(t)]);
    b->update(t, y[static_cast<std::size_t>(t)]);
  }
  a->update(132, y[132]);
  for (std::int64_t t = 125; t < 132; ++t) b->update(t, kNaN);
  b->update(132, y[132]);
  for (std::int64_t t = 133; t < 136; ++t) {
    a->update(t, y[static_cast<std::size_t>(t)]);
    b->update(t, y[static_cast<std::size_t>(t)]);
  }
  // A gap of 5 from phase 4: buckets end with the value (level 3), start with it (levels 2,
  // 4) or hold missing steps before it (levels 6, 12).
  a->update(140, y[140]);
  for (std::int64_t t = 136; t < 140; ++t) b->update(t, kNaN);
  b->update(140, y[140]);
  for (std::int64_t t = 141; t < 144; ++t) {
    a->update(t, y[static_cast<std::size_t>(t)]);
    b->update(t, y[static_cast<std::size_t>(t)]);
  }
  const auto fa = path(*a, 20);
  const auto fb = path(*b, 20);
  for (std::size_t j = 0; j < 20; ++j) {
    ASSERT_TRUE(std::isfinite(fa[j]));
    EXPECT_NEAR(fa[j], fb[j], 1e-9 * std::fabs(fa[j])) << j;
  }

  // The saved state forecasts, bands and updates as the model does.
  auto copy = tarn::Model::deserialize(a->serialize());
  EXPECT_EQ(copy->describe(), a->describe());
  std::vector<double> lo(20), hi(20), lo2(20), hi2(20);
  a->forecast_interval_path(20, 0.95, lo.data(), hi.data());
  copy->forecast_interval_path(20, 0.95, lo2.data(), hi2.data());
  for (std::size_t j = 0; j < 20; ++j) {
    EXPECT_EQ(lo[j], lo2[j]);
    EXPECT_EQ(hi[j], hi2[j]);
    EXPECT_LT(lo[j], fa[j]);
    EXPECT_GT(hi[j], fa[j]);
  }
  EXPECT_GT(hi[19] - lo[19], hi[0] - lo[0]);  // wider further ahead
  for (std::int64_t t = 144; t < 150; ++t) {
    a->update(t, y[static_cast<std::size_t>(t)]);
    copy->update(t, y[static_cast<std::size_t>(t)]);
  }
  EXPECT_EQ(path(*a, 7), path(*copy, 7));

  // Before the fit too; a damaged state is refused.
  TemporalAggregation early(TemporalAggregationConfig{100, 12});
  early.update(0, 1.0);
  auto early_copy = tarn::Model::deserialize(early.serialize());
  EXPECT_FALSE(early_copy->is_initialized());
  std::string bytes = a->serialize();
  bytes.resize(bytes.size() / 2);
  EXPECT_THROW(tarn::Model::deserialize(bytes), tarn::FormatError);
}

TEST(TempAgg, BuilderAndSelectorMembership) {
  EXPECT_THROW(tarn::build("tempagg", {{"season_length", std::int64_t{-1}}}),
               tarn::InvalidArgument);
  EXPECT_THROW(tarn::build("tempagg", {{"season_length", std::int64_t{100000}}}),
               tarn::InvalidArgument);
  auto built = tarn::build(
      "tempagg", {{"training_sample_size", std::int64_t{96}}, {"season_length", std::int64_t{12}}});
  EXPECT_STREQ(built->kind(), "tempagg");
  // A candidate the caller names, and only for a season: a non-seasonal series is left to the
  // others.
  const auto* e = tarn::find_model("tempagg");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->candidate, tarn::CandidateRole::Requested);
  EXPECT_THROW(e->make_candidate(50, 1), tarn::InvalidArgument);

  auto with = [](const std::vector<double>& y, std::vector<std::string> candidates) {
    tarn::AutoConfig c;
    c.min_training_data = static_cast<std::int64_t>(y.size());
    c.candidates = std::move(candidates);
    tarn::AutoSelector s(c);
    for (std::size_t t = 0; t < y.size(); ++t) s.update(static_cast<std::int64_t>(t), y[t]);
    const auto names = s.candidate_names();
    return std::find(names.begin(), names.end(), "tempagg") != names.end();
  };
  EXPECT_FALSE(with(monthly(96, 5), {}));
  EXPECT_TRUE(with(monthly(96, 5), {"hws", "tempagg"}));
  std::vector<double> walk(60);
  std::mt19937 rng(2);
  std::normal_distribution<double> eps(0.0, 1.0);
  double level = 100.0;
  for (double& v : walk) v = level += eps(rng);
  EXPECT_FALSE(with(walk, {"hws", "tempagg"}));
}

}  // namespace
