// Quantiles of a model's forecast distribution, reproducible random numbers and sample paths.
#include "tarn/sampling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>

#include "tarn/interrupt.hpp"
#include "tarn/intervals.hpp"

namespace tarn {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t index) {
  std::uint64_t s = seed;
  const std::uint64_t a = splitmix64(s);
  std::uint64_t t = a ^ (index * 0xD1B54A32D192ED03ULL);
  splitmix64(t);
  return splitmix64(t);
}

double RandomStream::normal() {
  return normal_quantile(uniform());
}

double quantile_level(double p) {
  // In percent first, as the forecaster's levels: 100 - 200 * 0.1 is exactly 80.
  const double level = p < 0.5 ? 100.0 - 200.0 * p : 200.0 * p - 100.0;
  return std::min(level, std::nextafter(100.0, 0.0));
}

double quantile_coverage(double p) {
  return std::min(quantile_level(p) / 100.0, std::nextafter(1.0, 0.0));
}

namespace {

void check_probability(double p) {
  if (!(p > 0.0 && p < 1.0)) {
    throw InvalidArgument("a quantile's probability must lie strictly between 0 and 1, got " +
                          std::to_string(p));
  }
}

// The quantile p from the interval bound on its side, never across the point forecast (a lost
// bound is the point forecast).
double side(double p, double bound, double point) {
  if (std::isnan(bound)) return point;
  return p < 0.5 ? std::min(bound, point) : std::max(bound, point);
}

}  // namespace

double median_from_interval(double lower, double upper, double point) {
  if (std::isnan(lower) || std::isnan(upper)) return point;
  // The point forecast and the bounds come from separate arithmetic (a transformed scale, a
  // combination): within a relative 1e-7 they agree.
  const double tol = 1e-7 * std::max({std::fabs(lower), std::fabs(upper), std::fabs(point)});
  if (lower - tol <= point && point <= upper + tol) return point;
  return lower + 0.5 * (upper - lower);
}

void forecast_quantile_path(const Model& model, std::int64_t h, double p, double* out) {
  check_probability(p);
  if (h <= 0) return;
  const auto n = static_cast<std::size_t>(h);
  model.forecast_path(n, out);
  if (!std::isnan(model.own_quantile(1.0, p))) {  // a model that knows its quantiles itself
    for (std::size_t k = 0; k < n; ++k) out[k] = model.own_quantile(static_cast<double>(k + 1), p);
    return;
  }
  const double c = quantile_coverage(p);
  std::vector<double> lower(n), upper(n);
  model.forecast_interval_path(h, c > 0.0 ? c : kMedianCoverage, lower.data(), upper.data());
  for (std::size_t k = 0; k < n; ++k) {
    out[k] = c > 0.0 ? side(p, p < 0.5 ? lower[k] : upper[k], out[k])
                     : median_from_interval(lower[k], upper[k], out[k]);
  }
}

double forecast_quantile_steps(const Model& model, double h, double p, double point) {
  check_probability(p);
  const double own = model.own_quantile(h, p);
  if (!std::isnan(own)) return own;
  const double c = quantile_coverage(p);
  if (!(c > 0.0)) {
    const auto b = model.forecast_interval_steps(h, kMedianCoverage);
    return median_from_interval(b.first, b.second, point);
  }
  const auto b = model.forecast_interval_steps(h, c);
  return side(p, p < 0.5 ? b.first : b.second, point);
}

const std::vector<double>& matching_probabilities() {
  static const std::vector<double> probs = [] {
    const double low[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45};
    std::vector<double> out(std::begin(low), std::end(low));
    out.push_back(0.5);
    for (auto it = std::rbegin(low); it != std::rend(low); ++it) out.push_back(1.0 - *it);
    return out;
  }();
  return probs;
}

namespace {

// The model's quantiles at the matching probabilities for each time, on the scale it is fed:
// knots[j * n + k] for probability j and time k, non-decreasing in j.
std::vector<double> quantile_knots(const Model& model, const double* times, std::size_t n) {
  const std::vector<double>& probs = matching_probabilities();
  std::vector<double> point(n), lower(n), upper(n), knots(probs.size() * n);
  if (model.own_quantile_at(times, n, probs[0], knots.data())) {  // it knows its quantiles
    for (std::size_t j = 1; j < probs.size(); ++j) {
      model.own_quantile_at(times, n, probs[j], knots.data() + j * n);
      for (std::size_t k = 0; k < n; ++k) {
        knots[j * n + k] = std::max(knots[j * n + k], knots[(j - 1) * n + k]);
      }
    }
    return knots;
  }
  model.forecast_at(times, n, point.data());
  const std::size_t mid = probs.size() / 2;
  for (std::size_t j = 0; j < mid; ++j) {
    model.forecast_interval_at(times, n, quantile_coverage(probs[j]), lower.data(), upper.data());
    const std::size_t hi = probs.size() - 1 - j;
    for (std::size_t k = 0; k < n; ++k) {
      knots[j * n + k] = side(probs[j], lower[k], point[k]);
      knots[hi * n + k] = side(probs[hi], upper[k], point[k]);
    }
  }
  model.forecast_interval_at(times, n, kMedianCoverage, lower.data(), upper.data());
  for (std::size_t k = 0; k < n; ++k) {
    knots[mid * n + k] = median_from_interval(lower[k], upper[k], point[k]);
  }
  for (std::size_t j = 1; j < probs.size(); ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      knots[j * n + k] = std::max(knots[j * n + k], knots[(j - 1) * n + k]);
    }
  }
  return knots;
}

// One draw from the forecast distribution of `m` at `steps` grid steps past its latest
// observation: the quantile at a uniform u (inversion), which holds for every kind of model
// whatever the shape of its distribution (Student t, transformed scales, Bernoulli occurrence
// with gamma sizes).
double draw(const Model& m, double steps, double u) {
  const double point = m.forecast_steps(steps);
  try {
    return forecast_quantile_steps(m, steps, u, point);
  } catch (const std::exception&) {
    return point;  // a model that cannot tell its spread here continues on its forecast
  }
}

// The value at probability u of the quantile function given by `knots` (one per matching
// probability, z their normal scores): linear in the normal score between knots, so normal
// quantiles are reproduced exactly, and continued past the outer knots with the slope of the
// outer segment.
double knot_quantile(double u, const std::vector<double>& z, const double* knots,
                     std::size_t stride) {
  const double x = normal_quantile(u);
  const std::size_t m = z.size();
  std::size_t j = static_cast<std::size_t>(std::upper_bound(z.begin(), z.end(), x) - z.begin());
  j = std::min(std::max<std::size_t>(j, 1), m - 1);  // segment [j - 1, j]
  const double b0 = knots[(j - 1) * stride], b1 = knots[j * stride];
  const double w = (x - z[j - 1]) / (z[j] - z[j - 1]);
  const double v = b0 + w * (b1 - b0);
  if (std::isfinite(v)) return v;
  return w < 0.5 ? b0 : b1;
}

}  // namespace

// How the paths are made.
//
// 1. The model's own recursion: each path runs on a copy of the model, drawing the value at the
//    next time from the copy's forecast distribution there (its quantile at a uniform draw)
//    and feeding that value back through the O(1) update, so the level, trend, season,
//    ARMA terms or demand rates of later steps move with the values drawn before.
// 2. Matching the marginals: the one-step draws fed back give the spread of the raw recursion,
//    while the model's quantiles at k steps are calibrated on its training data (the horizon
//    factors) and may be wider or narrower. At every time the paths are therefore mapped
//    monotonically onto the model's quantiles: a path's rank among the paths there, with a
//    uniform offset inside its rank (ties broken at random), is a uniform probability u, and its
//    value becomes the model's quantile at u. The values at each time then follow the model's
//    quantiles (its bands and predict_quantiles) up to Monte-Carlo error, while the order of the
//    paths at every time, and with it the dependence from one time to the next that the
//    recursion produced, is kept. For a model whose raw spread already agrees this changes the
//    paths only by sampling noise; where it does not, it rescales each step's deviations
//    (piecewise, so skewed and censored distributions are matched too).
void simulate_model(const Model& model, const double* times, std::size_t n_times,
                    std::size_t n_paths, RandomStream& rng, double* out) {
  if (n_times == 0 || n_paths == 0) return;
  const std::vector<double> knots = quantile_knots(model, times, n_times);
  const std::int64_t step = model.grid_step();

  // 1. Raw paths.
  for (std::size_t i = 0; i < n_paths; ++i) {
    interruption_point(n_times);
    std::unique_ptr<Model> m = model.clone();
    double* path = out + i * n_times;
    for (std::size_t k = 0; k < n_times; ++k) {
      const double last = static_cast<double>(m->last_time());
      const double steps = (times[k] - last) / static_cast<double>(step);
      const double x = draw(*m, steps, rng.uniform());
      path[k] = x;
      const double rounded = std::round(times[k]);
      if (!(rounded > last) || !(std::fabs(rounded) < 9.2e18)) continue;
      const auto t = static_cast<std::int64_t>(rounded);
      try {
        m->update(t, x);
      } catch (const std::exception&) {
        // A value the copy refuses (beyond its range) moves it on as a missing observation.
        try {
          m->update(t, std::numeric_limits<double>::quiet_NaN());
        } catch (const std::exception&) {
        }
      }
    }
  }

  // 2. Every time's values mapped onto the model's quantiles, keeping the paths' order.
  const std::vector<double>& probs = matching_probabilities();
  std::vector<double> z(probs.size());
  for (std::size_t j = 0; j < probs.size(); ++j) z[j] = normal_quantile(probs[j]);
  const std::size_t mid = probs.size() / 2;
  std::vector<double> value(n_paths), tie(n_paths), offset(n_paths);
  std::vector<std::size_t> order(n_paths);
  for (std::size_t k = 0; k < n_times; ++k) {
    for (std::size_t i = 0; i < n_paths; ++i) {
      const double x = out[i * n_times + k];
      value[i] = std::isnan(x) ? knots[mid * n_times + k] : x;
      tie[i] = rng.uniform();
      offset[i] = rng.uniform();
    }
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return value[a] < value[b] || (value[a] == value[b] && tie[a] < tie[b]);
    });
    const double n = static_cast<double>(n_paths);
    for (std::size_t r = 0; r < n_paths; ++r) {
      const std::size_t i = order[r];
      const double u = (static_cast<double>(r) + offset[i]) / n;
      out[i * n_times + k] = knot_quantile(u, z, knots.data() + k, n_times);
    }
  }
}

}  // namespace tarn
