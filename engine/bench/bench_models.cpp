// Cost of fitting, of one update and of one forecast, for every model kind of the engine.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tarn/builders.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Monthly-like data: trend, a season of 12 and noise.
std::vector<double> data(std::size_t n) {
  std::mt19937 rng(42);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> x(n);
  for (std::size_t t = 0; t < n; ++t) {
    x[t] = 100.0 + 0.2 * static_cast<double>(t) +
           10.0 * std::sin(2 * kPi * static_cast<double>(t) / 12) + nd(rng);
  }
  return x;
}

// Options that make a model fit on its first 120 observations with a season of 12.
tarn::Options options_for(const std::string& builder) {
  if (builder == "hws") return {{"samples_per_season", 12}, {"initial_training_seasons", 10}};
  if (builder == "bats") return {{"training_sample_size", 120}};
  if (builder == "arima" || builder == "arma" || builder == "auto")
    return {{"min_training_data", 120}};
  return {};
}

std::unique_ptr<tarn::Model> fitted(const std::string& builder, const std::vector<double>& x) {
  auto m = tarn::build(builder, options_for(builder));
  for (std::size_t i = 0; i < 120; ++i) m->update(static_cast<std::int64_t>(i), x[i]);
  return m;
}

void fit(benchmark::State& state, std::string builder) {
  const auto x = data(120);
  for (auto _ : state) {
    auto m = fitted(builder, x);
    benchmark::DoNotOptimize(m->is_initialized());
  }
}

void update(benchmark::State& state, std::string builder) {
  const auto x = data(120 + 100000);
  auto m = fitted(builder, x);
  std::size_t i = 120;
  for (auto _ : state) {
    if (i == x.size()) {
      state.PauseTiming();
      m = fitted(builder, x);
      i = 120;
      state.ResumeTiming();
    }
    m->update(static_cast<std::int64_t>(i), x[i]);
    ++i;
  }
}

void forecast(benchmark::State& state, std::string builder) {
  const auto x = data(120);
  auto m = fitted(builder, x);
  double h = 1.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m->forecast_steps(h));
    h = h >= 24.0 ? 1.0 : h + 1.0;
  }
}

const bool registered = [] {
  for (const std::string& b : tarn::builder_names()) {
    benchmark::RegisterBenchmark(("fit/" + b).c_str(), fit, b)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("update/" + b).c_str(), update, b);
    benchmark::RegisterBenchmark(("forecast/" + b).c_str(), forecast, b);
  }
  return true;
}();

}  // namespace
