// Cost of fitting, updating and forecasting the ARIMA model.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "tarn/arima.hpp"

namespace {

std::vector<double> monthly_like(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> e(0.0, 1.0);
  std::vector<double> x;
  double level = 100.0;
  for (int t = 0; t < n; ++t) {
    level += 0.2 + e(rng);
    x.push_back(level + 8.0 * std::sin(2 * 3.14159265358979 * t / 12) + e(rng));
  }
  return x;
}

tarn::Arima trained(const std::vector<double>& y, std::int64_t season) {
  tarn::ArimaConfig c;
  c.samples_per_season = season;
  c.min_training_data = static_cast<std::int64_t>(y.size());
  tarn::Arima m(c);
  for (std::size_t t = 0; t < y.size(); ++t) m.update(static_cast<std::int64_t>(t), y[t]);
  return m;
}

// Full fit (order search and estimation) of a series of range(0) values, season range(1).
void BM_ArimaFit(benchmark::State& state) {
  const auto y = monthly_like(static_cast<int>(state.range(0)), 1);
  for (auto _ : state) {
    auto m = trained(y, state.range(1));
    benchmark::DoNotOptimize(m.forecast_steps(1));
  }
}
BENCHMARK(BM_ArimaFit)
    ->Args({20, 1})
    ->Args({60, 1})
    ->Args({120, 12})
    ->Args({400, 12})
    ->Unit(benchmark::kMillisecond);

// One online update after the fit.
void BM_ArimaUpdate(benchmark::State& state) {
  const auto y = monthly_like(2000, 2);
  std::vector<double> train(y.begin(), y.begin() + 144);
  auto m = trained(train, state.range(0));
  std::int64_t t = 144;
  std::size_t i = 144;
  for (auto _ : state) {
    m.update(t++, y[i]);
    if (++i == y.size()) i = 144;
  }
}
BENCHMARK(BM_ArimaUpdate)->Arg(1)->Arg(12);

// Forecast range(0) steps ahead.
void BM_ArimaForecast(benchmark::State& state) {
  auto m = trained(monthly_like(144, 3), 12);
  const double h = static_cast<double>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(m.forecast_steps(h));
}
BENCHMARK(BM_ArimaForecast)->Arg(1)->Arg(18)->Arg(1000);

}  // namespace
