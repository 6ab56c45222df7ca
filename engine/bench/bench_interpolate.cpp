// Throughput of the gap-filling kernels: one series of n points, 10% missing at random, on an
// uneven time axis.
#include <benchmark/benchmark.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tarn/interpolate.hpp"

namespace {

using tarn::interp::Method;

void BM_FillSeries(benchmark::State& state, Method method, int order) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> x(n), y(n);
  double t = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    t += 0.5 + u(gen);
    x[i] = t;
    y[i] = (i > 0 && i + 1 < n && u(gen) < 0.1) ? std::numeric_limits<double>::quiet_NaN()
                                                : std::sin(t / 20.0);
  }
  tarn::interp::Options opt;
  opt.method = method;
  opt.order = order;
  std::vector<double> work(n);
  for (auto _ : state) {
    work = y;
    benchmark::DoNotOptimize(tarn::interp::fill_series(x.data(), work.data(), n, opt));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK_CAPTURE(BM_FillSeries, fill, Method::fill, 3)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, linear, Method::linear, 3)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, cubic, Method::cubic, 3)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, akima, Method::akima, 3)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, spline3, Method::spline, 3)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, polynomial5, Method::polynomial, 5)->Arg(100000);
BENCHMARK_CAPTURE(BM_FillSeries, barycentric, Method::barycentric, 3)->Arg(100000);

}  // namespace
