// Stopping engine work from outside, and putting a model back as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/forecast_loop.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/model.hpp"
#include "tarn/model_table.hpp"
#include "tarn/serialize.hpp"

namespace {

struct Counter {
  int calls = 0;
  int stop_at = 1;  // the check says stop on this call
};

bool stop_after(void* context) {
  auto* c = static_cast<Counter*>(context);
  return ++c->calls >= c->stop_at;
}

std::vector<double> noisy(std::size_t n, unsigned seed = 3) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> e(0.0, 1.0);
  std::vector<double> y(n);
  double prev = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    prev = 0.6 * prev + e(rng);
    y[i] = 100.0 + prev + 5.0 * std::sin(static_cast<double>(i) * 0.5236);
  }
  return y;
}

std::vector<std::int64_t> steps(std::size_t n, std::int64_t from = 0) {
  std::vector<std::int64_t> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = from + static_cast<std::int64_t>(i);
  return t;
}

}  // namespace

TEST(Interrupt, ALongFitStopsPromptlyAndTheModelIsRestoredAsItWas) {
  const std::size_t n = 100000;
  auto m = tarn::build("arma", {{"min_training_data", static_cast<std::int64_t>(n)}});
  const auto y = noisy(n);
  m->update(steps(1000), std::vector<double>(y.begin(), y.begin() + 1000));
  const std::string before = m->serialize();
  Counter c;
  c.stop_at = 3;  // let the fit start before stopping it
  const auto start = std::chrono::steady_clock::now();
  {
    tarn::InterruptScope scope(&stop_after, &c, std::chrono::milliseconds(1));
    EXPECT_THROW(m->update(steps(n - 1000, 1000), std::vector<double>(y.begin() + 1000, y.end())),
                 tarn::Interrupted);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(c.calls, 3);
  EXPECT_LT(seconds, 2.0);
  m->restore(before);
  EXPECT_EQ(m->serialize(), before);
  EXPECT_FALSE(m->is_initialized());
  // Outside the scope nothing is checked: the same work runs to the end.
  m->update(steps(n - 1000, 1000), std::vector<double>(y.begin() + 1000, y.end()));
  EXPECT_TRUE(m->is_initialized());
  EXPECT_EQ(c.calls, 3);
}

TEST(Interrupt, PassesThroughTheSelectorAndTheForecastLoopThatRecoverFromModelErrors) {
  // The selector drops a candidate that throws; a stop request must not be taken for that.
  const auto y = noisy(600);
  auto a = tarn::build("auto", {{"min_training_data", 600}});
  Counter c;
  {
    tarn::InterruptScope scope(&stop_after, &c, std::chrono::milliseconds(0));
    EXPECT_THROW(a->update(steps(600), y), tarn::Interrupted);
  }
  // The loop records a model's failure and carries on; a stop request ends it.
  auto h = tarn::build("hws", {{"samples_per_season", 12}});
  h->update(steps(48), std::vector<double>(y.begin(), y.begin() + 48));
  std::vector<tarn::Model*> models{h.get()};
  std::vector<double> rows(y.begin() + 48, y.end());
  tarn::LoopInput in;
  in.models = models;
  in.n_update = 1;
  in.values = rows.data();
  in.value_stride = 1;
  in.n_rows = rows.size();
  in.horizon = 12;
  in.interval = 1.0;
  in.per_row = true;
  tarn::LoopOutput out;
  Counter c2;
  {
    tarn::InterruptScope scope(&stop_after, &c2, std::chrono::milliseconds(0));
    EXPECT_THROW(tarn::run_loop(in, out), tarn::Interrupted);
  }
  EXPECT_LT(out.rows_fed, rows.size());
}

TEST(Interrupt, ScopesNestAndOnlyTheInstallingThreadIsChecked) {
  Counter outer, inner;
  outer.stop_at = inner.stop_at = 1000000;
  {
    tarn::InterruptScope a(&stop_after, &outer, std::chrono::milliseconds(0));
    {
      tarn::InterruptScope b(&stop_after, &inner, std::chrono::milliseconds(0));
      for (int i = 0; i < 10; ++i) tarn::interruption_point(4096);
    }
    for (int i = 0; i < 5; ++i) tarn::interruption_point(4096);
  }
  for (int i = 0; i < 5; ++i) tarn::interruption_point(4096);
  EXPECT_EQ(inner.calls, 10);
  EXPECT_EQ(outer.calls, 5);
  // A few units of work between checks: the check waits for a few thousand.
  Counter few;
  tarn::InterruptScope s(&stop_after, &few, std::chrono::milliseconds(0));
  for (int i = 0; i < 4095; ++i) tarn::interruption_point();
  EXPECT_EQ(few.calls, 0);
  EXPECT_THROW(tarn::interruption_point(), tarn::Interrupted);
}

TEST(Interrupt, RestorePutsEveryKindBackAndRefusesAnotherKindOrADamagedState) {
  const auto y = noisy(200, 11);
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    auto m = tarn::build(e.name, {});
    m->update(steps(150), std::vector<double>(y.begin(), y.begin() + 150));
    const std::string fitted = m->serialize();
    const double f = m->is_initialized() ? m->forecast_steps(3.0) : 0.0;
    m->update(steps(50, 150), std::vector<double>(y.begin() + 150, y.end()));
    m->restore(fitted);
    EXPECT_EQ(m->serialize(), fitted);
    if (m->is_initialized()) {
      EXPECT_EQ(m->forecast_steps(3.0), f);
    }
    // Restored to a model that has not seen anything yet, too.
    auto fresh = tarn::build(e.name, {});
    const std::string empty = fresh->serialize();
    m->restore(empty);
    EXPECT_EQ(m->serialize(), empty);
    m->restore(fitted);
    std::string damaged = fitted;
    damaged[damaged.size() / 2] ^= 0x10;
    EXPECT_THROW(m->restore(damaged), tarn::FormatError);
    const std::string other = tarn::build(e.name == "theta" ? "snaive" : "theta", {})->serialize();
    EXPECT_THROW(m->restore(other), tarn::FormatError);
    EXPECT_EQ(m->serialize(), fitted);
  }
}
