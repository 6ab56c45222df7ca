// Quantiles of a model's forecast distribution at any probability, reproducible random numbers,
// and sample paths that follow a model's own recursion.
//
// Quantiles come from the prediction intervals (Model::forecast_interval_path and friends): the
// quantile p < 0.5 is the lower bound of the interval of coverage 1 - 2p, p > 0.5 the upper
// bound of coverage 2p - 1, and p = 0.5 the median (median_from_interval: the point forecast
// for symmetric distributions). A bound on the wrong side of the point forecast is taken as the
// point forecast, as the forecaster's bands are; quantiles are non-decreasing in p.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// One step of splitmix64: advances `state` and returns the next 64-bit output.
std::uint64_t splitmix64(std::uint64_t& state);

// The seed of stream `index` (a target) under the user's `seed`: streams of one seed are
// unrelated to each other, and a stream never depends on how many others are drawn or where.
std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t index);

// Random numbers that do not depend on the standard library's implementation: mt19937_64 (whose
// output sequence the C++ standard fixes) with the conversions written here, never the standard
// distributions (whose output each library computes its own way). Uniforms are the same bits on
// every platform; normals go through normal_quantile and so through the platform's log.
class RandomStream {
 public:
  explicit RandomStream(std::uint64_t seed) : gen_(seed) {}
  // Uniform in the open interval (0, 1): 53 random bits, centred in their cell.
  double uniform() { return (static_cast<double>(gen_() >> 11) + 0.5) * 0x1.0p-53; }
  // Standard normal, by inversion of the uniform (normal_quantile is plain arithmetic).
  double normal();

 private:
  std::mt19937_64 gen_;
};

// The coverage in percent of the interval one of whose bounds is the quantile p (0 for p = 0.5,
// below 100): 100 - 200 p or 200 p - 100, so that p = 0.1, 0.9 and 0.025, 0.975 give exactly 80
// and 95, the levels of the forecaster's bands.
double quantile_level(double p);
// The same as a fraction (quantile_level(p) / 100, below 1), as the models take coverages.
double quantile_coverage(double p);

// The coverage whose interval gives the median.
constexpr double kMedianCoverage = 1e-9;
// The median from the bounds of the interval of coverage kMedianCoverage and the point forecast:
// the point forecast when the interval brackets it, to a relative 1e-7 (every symmetric
// distribution, and every model whose point forecast is the median of its distribution, as on a
// transformed scale), otherwise the middle of the interval (the intermittent models, whose point
// forecast is a mean demand rate while most periods may bring no demand at all). A lost bound gives
// the forecast.
double median_from_interval(double lower, double upper, double point);

// Quantile p (0 < p < 1) of the forecast distribution of `model` at 1..h grid steps past its
// latest observation, into out[0..h-1]. NotInitialized as forecast_interval_path; InvalidArgument
// for p outside (0, 1).
void forecast_quantile_path(const Model& model, std::int64_t h, double p, double* out);

// Quantile p of the forecast distribution at `h` grid steps (h >= 1, fractional steps
// interpolate), given the point forecast `point` there.
double forecast_quantile_steps(const Model& model, double h, double p, double point);

// The probabilities at which simulated paths are matched to a model's quantiles (sorted, 0.5
// among them).
const std::vector<double>& matching_probabilities();

// Simulates `n_paths` continuations of `model` at the forecast times `times` (n_times values
// after its latest observation, increasing), on the scale the model is fed, into out (n_paths
// rows of n_times values). The paths follow the model's own recursion and their values at each
// time are distributed as the model's quantiles there (sampling.cpp says how).
void simulate_model(const Model& model, const double* times, std::size_t n_times,
                    std::size_t n_paths, RandomStream& rng, double* out);

}  // namespace tarn

#pragma GCC visibility pop
