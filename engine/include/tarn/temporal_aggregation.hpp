// Temporal hierarchies: the series forecast at several levels of temporal aggregation, the
// levels reconciled into one coherent forecast (Athanasopoulos, Hyndman, Kourentzes &
// Petropoulos 2017, "Forecasting with temporal hierarchies", EJOR 262(1); the aggregation
// levels as in the multiple aggregation prediction algorithm of Kourentzes, Petropoulos &
// Trapero 2014, IJF 30(2)).
//
// With season length m, the levels are the divisors k of m (monthly: 1, 2, 3, 4, 6, 12;
// quarterly: 1, 2, 4). Level k sums the series over non-overlapping buckets of k steps, aligned
// to the end of the training data, so that every bucket lies inside one season ("cycle") of m
// steps. A level takes part when its training data hold at least kMinBuckets buckets (the
// selector's own minimum for a model search); level 1 always does. Each level is forecast by
// the median of a few families (Holt-Winters, theta, complex exponential smoothing) fitted
// with the level's own season m / k; aggregation brings out the trend at the upper levels and
// the season at the lower ones, and the median guards each level against one family's miss.
//
// Reconciliation by structural scaling: the bottom-level forecasts b minimise
// sum_nodes (yhat_node - sum of b over the node)^2 / (steps in the node), the weighted least
// squares of the temporal hierarchy with error variances proportional to the number of steps
// a node aggregates (THieF's structural scaling, which needs no residual variances). Every node
// lies inside one cycle, so the system splits into one m x m solve per cycle of the horizon.
// Between fits, a bucket in progress is kept as its partial sum: its node's known part is
// subtracted and only its remaining steps are reconciled, so forecasts from any phase of the
// cycle stay coherent.
//
// Each update costs O(1) (every level adds the value to its bucket; a completed bucket is one
// update of the level's models; a gap of any length is one step per level). A forecast path of
// h steps costs O(h m^2) (O(h) for a given season). Intervals: the level-1 models' bands
// (their own calibrated spread, averaged over the families), about the reconciled forecast.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/training_buffer.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct TemporalAggregationConfig {
  std::int64_t training_sample_size = 0;  // <= 0: kDefaultTrainingSize
  std::int64_t season_length = 0;         // 0: found in the training data; 1: no season
};

class TemporalAggregation : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 8;
  // Fewest training buckets for a level above the first to take part.
  static constexpr std::int64_t kMinBuckets = 8;
  // Longest season carried: beyond it the levels' models and the per-cycle solve cost too
  // much for what the hierarchy brings; the training data then fit level 1 alone.
  static constexpr std::int64_t kMaxSeason = 400;
  // Farthest single forecast computed from the whole path.
  static constexpr std::int64_t kPathSteps = 4096;

  TemporalAggregation() = default;
  explicit TemporalAggregation(const TemporalAggregationConfig& config) : config_(config) {}
  TemporalAggregation(const TemporalAggregation& o);
  TemporalAggregation& operator=(const TemporalAggregation&) = delete;

  const char* kind() const override { return "tempagg"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override;

  // The season length fitted (1 before the fit or without a season).
  int season_length() const { return m_; }
  // The aggregation levels taking part, in increasing order (empty before the fit).
  std::vector<int> levels() const;

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  void forecast_path_ahead(const double* h, std::size_t n, double* out) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  struct Level {
    int k = 1;                // steps per bucket
    std::int64_t bucket = 0;  // index of the bucket in progress (the models' time axis)
    std::int64_t pos = 0;     // steps of it seen so far (0 .. k - 1)
    double partial = 0.0;     // their sum (NaN when one of them is missing)
    std::vector<std::string> names;
    std::vector<std::unique_ptr<Model>> models;
  };

  std::size_t target_size() const;
  void fit();
  // Reconciled forecasts for steps 1..n past the latest observation.
  void reconciled_path(std::size_t n, double* out) const;
  // The reconciled forecast s >= 1 whole steps ahead: from the path up to kPathSteps, beyond
  // from the solve of its own cycle alone (O(m^2) whatever s).
  double reconciled_step(double s) const;
  // The level's combined forecasts for its buckets 1..count (the bucket in progress first).
  void level_path(const Level& level, std::size_t count, std::vector<double>& out) const;
  void adopt(TemporalAggregation&& other);

  TemporalAggregationConfig config_;
  TrainingBuffer train_;  // values collected before the fit
  bool fitted_ = false;
  int m_ = 1;
  std::int64_t cycle_pos_ = 0;  // steps of the current cycle seen so far (0 .. m - 1)
  std::vector<Level> levels_;   // level 1 first
};

// Builder "tempagg": training_sample_size, season_length.
std::unique_ptr<Model> build_temporal_aggregation(const Options& options);

namespace tempagg_detail {
// Structural-scaling reconciliation of one cycle: `unknown` steps to forecast; rows[r] covers
// steps [first[r], first[r] + count[r]) with forecast y[r] of their sum and weight
// 1 / count[r]. Writes the `unknown` reconciled values to out. False when the normal equations
// are singular (no row covers some step).
bool reconcile_cycle(std::size_t unknown, const std::vector<std::size_t>& first,
                     const std::vector<std::size_t>& count, const std::vector<double>& y,
                     double* out);
}  // namespace tempagg_detail

}  // namespace tarn

#pragma GCC visibility pop
