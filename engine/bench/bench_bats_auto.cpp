// Fit, update and forecast costs of the BATS, theta, seasonal-naive and automatic models.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"

namespace {

std::vector<double> monthly(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> eps(0.0, 1.0);
  std::vector<double> y(n);
  double level = 100.0;
  for (std::size_t t = 0; t < n; ++t) {
    level += 0.2 + 0.5 * eps(rng);
    y[t] =
        level * (1.0 + 0.1 * std::sin(2.0 * M_PI * static_cast<double>(t % 12) / 12.0)) + eps(rng);
  }
  return y;
}

tarn::Options options_for(const std::string& kind, std::int64_t n) {
  if (kind == "auto") return {{"min_training_data", n}};
  return {{"training_sample_size", n}};
}

std::unique_ptr<tarn::Model> fitted(const std::string& kind, const std::vector<double>& y) {
  auto m = tarn::build(kind, options_for(kind, static_cast<std::int64_t>(y.size())));
  for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
  return m;
}

// Fit on n monthly values (the argument).
void BM_Fit(benchmark::State& state, const std::string& kind) {
  const auto y = monthly(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(fitted(kind, y));
}

// One update after the fit: O(1) per candidate, whatever the history.
void BM_Update(benchmark::State& state, const std::string& kind) {
  const auto y = monthly(static_cast<std::size_t>(state.range(0)) + 100000);
  auto m = fitted(kind, std::vector<double>(y.begin(), y.begin() + state.range(0)));
  std::size_t t = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    m->update(static_cast<std::int64_t>(t), y[t % y.size()]);
    ++t;
  }
}

// An 18-step forecast path.
void BM_Forecast(benchmark::State& state, const std::string& kind) {
  auto m = fitted(kind, monthly(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    double s = 0.0;
    for (int h = 1; h <= 18; ++h) s += m->forecast_steps(h);
    benchmark::DoNotOptimize(s);
  }
}

}  // namespace

#define TARN_MODEL_BENCH(kind)                                                      \
  BENCHMARK_CAPTURE(BM_Fit, kind, std::string(#kind))->Arg(48)->Arg(144)->Arg(480); \
  BENCHMARK_CAPTURE(BM_Update, kind, std::string(#kind))->Arg(144)->Arg(480);       \
  BENCHMARK_CAPTURE(BM_Forecast, kind, std::string(#kind))->Arg(144);

TARN_MODEL_BENCH(bats)
TARN_MODEL_BENCH(theta)
TARN_MODEL_BENCH(snaive)
TARN_MODEL_BENCH(auto)
