// One series from its values to its forecast, in one call: what a batch forecast runs per series.
//
// The rules are the forecaster's (QuillcastForecaster calls the same functions for its settings
// and its models): the season of the series (given, or detected), the settings of the
// algorithm, the settings training fills in from the data, the model built from the table of
// models, the session's training with its training-size retries, the forecast, the bands at
// the levels asked for and the quantiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model_table.hpp"
#include "tarn/training_sizes.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// An ordered list of settings (the order is the one a caller shows them in).
using SettingList = std::vector<std::pair<std::string, Value>>;

// How the forecaster builds the model of an algorithm from its settings.
struct ModelPlan {
  const ModelEntry* entry = nullptr;
  // The model's settings as the forecaster records them, in order. `caller[i]`: the value is
  // the caller's own setting of that key, unchanged.
  SettingList recorded;
  std::vector<bool> caller;
  // The builder's options (the recorded settings, or for Holt-Winters with a training size its
  // three options).
  Options build;
  // Settings the plan writes back to the forecaster's settings, in order.
  SettingList written;
  // The Holt-Winters season form (additive or multiplicative) that names the algorithm's
  // variant; empty for the other algorithms.
  std::string variant;
  // Holt-Winters with a training size: the builder takes only `build`, not the recorded
  // settings.
  bool sized = false;
};

// The plan for `algorithm` (lower case, one of forecaster_algorithms()) with the settings `kw`
// on `n` training values (n < 0: not known yet). InvalidArgument for an unknown algorithm and
// for a setting the rules cannot use (naming it and its value).
ModelPlan plan_model(const std::string& algorithm, const Options& kw, std::int64_t n);

// A new, untrained model of the plan.
std::unique_ptr<Model> build_planned(const ModelPlan& plan);

// The settings training fills in from a target of `n` values whose sizes are `sizes`
// (series_sizes(x, n, 200, 8)), in order, for the settings the caller left out (`given`: the
// keys the caller gave). `season`: the caller's season setting (none when not given). A
// season-sized algorithm takes the season, its full seasons and the training sizes; every
// algorithm takes its error history lengths.
SettingList training_fills(const ForecasterEntry& f, const SeriesSizes& sizes, std::int64_t n,
                           const std::vector<std::string>& given, const Value& season);

// The season in steps that a caller's samples_per_season `v` names for training on `n` values
// (0: none named; Forecaster::TrainInput::season): a count as given (truncated), a share below
// 1 as Holt-Winters reads it (at most one half of n; 2 when it comes to nothing). Throws
// InvalidArgument for a negative or non-numeric value.
std::int64_t given_season(const Value& v, std::int64_t n);

// The training size of retry `attempt` on `n` values, as a setting.
Value retry_size(std::int64_t attempt, std::int64_t n);

// Python's repr() of a float ("1.0", "-0.5", "1e-05", "nan"), for messages a Python caller
// reads.
std::string float_repr(double x);

// One series to forecast: `n` training values (rows of a regular grid, no missing value), with
// `n_regressors` regressors per row (row-major) and their values at the forecast steps.
struct SeriesJob {
  std::string algorithm;  // lower case
  const double* values = nullptr;
  std::size_t n = 0;
  std::int64_t season = 0;  // 0: detected from the values
  std::int64_t horizon = 1;
  std::vector<double> levels;  // interval coverages in percent
  std::vector<double> probs;   // quantile probabilities
  bool nonnegative = false;
  const double* regressors = nullptr;  // n rows
  std::size_t n_regressors = 0;
  const double* future = nullptr;  // future_rows rows
  std::size_t future_rows = 0;
  // Seasons the calendar of the series' dates implies (calendar::calendar_seasons; empty for
  // plain timestamps): tested by the season search, told to the models.
  std::vector<double> calendar_seasons{};
};

struct SeriesResult {
  // Empty when the series was forecast; otherwise why not, and the kind of error a Python
  // caller reports it as ("ValueError" or "Exception").
  std::string error;
  std::string error_kind;
  std::int64_t season = 1;            // given or detected
  std::vector<double> point;          // horizon
  std::vector<double> lower, upper;   // levels x horizon
  std::vector<double> quantiles;      // probs x horizon
  std::vector<std::string> notes;     // what the fit departed from (model fit notes)
  std::vector<std::string> warnings;  // what the caller should know (seasons left out)
  double seconds = 0.0;               // time spent
};

// Forecasts one series with the forecaster's defaults. Never throws for bad data: the error is
// in the result (Interrupted still propagates).
SeriesResult forecast_series(const SeriesJob& job);

}  // namespace tarn

#pragma GCC visibility pop
