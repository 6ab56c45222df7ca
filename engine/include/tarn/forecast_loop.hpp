// Row-by-row updating and forecasting of engine models.
//
// Runs entirely on the C++ models (no Python objects, so a binding may run it with the GIL
// released) and records what the caller has to report afterwards instead of printing it: the
// skipped updates, in order, and where a forecast failed. The caller prints the records and
// re-raises a failure once it holds the GIL again.
//
// Two ways of feeding rows, matching a forecaster's two callers:
// - one call with many rows (predict with new data): the previous timestamp starts at the
//   models' last update and then follows the rows that were accepted; one forecast at the end.
// - one call per row (sliding windows): every row is a call of its own, so the previous
//   timestamp is read from the models before each row; a forecast after every row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct SkipRecord {
  enum Kind : std::uint8_t {
    kUpdateFailed,  // the model refused the value (printed with timestamp and value)
    kStale,         // the row's timestamp is not newer than the previous one
  };
  Kind kind;
  std::int64_t row;         // row of the fed block
  std::int32_t model;       // kUpdateFailed: index of the model
  std::int64_t t_auto;      // the generated timestamp when the block has no timestamp column
  std::int64_t last_row;    // kStale: the row whose timestamp was the previous one, or -1
  std::int64_t last_value;  // kStale with last_row == -1: the models' last update
};

struct LoopInput {
  std::vector<Model*> models;      // the working copies, in target order
  std::size_t n_update = 0;        // models fed per row (the forecaster's feature count)
  const double* values = nullptr;  // n_rows x value_stride, row-major, already transformed
  std::size_t value_stride = 0;
  const double* timestamps = nullptr;  // n_rows timestamps, or nullptr: generated
  std::size_t n_rows = 0;              // rows to feed
  std::int64_t horizon = 0;            // forecast steps (<= 0: none)
  double interval = 1.0;               // spacing of forecast times
  bool per_row = false;                // one call per row (sliding windows)
  // Regressors of models that take them (Regression): n_regressors values per row from column
  // regressor_column of `values`; the forecasts after a row take the regressors of the rows
  // after it, then those of `future` (future_rows rows), and fail when they run out.
  std::size_t regressor_column = 0;
  std::size_t n_regressors = 0;
  const double* future = nullptr;
  std::size_t future_rows = 0;
};

struct LoopOutput {
  std::vector<SkipRecord> skips;
  // Forecasts, one block of horizon x models per forecast made, row-major.
  std::vector<double> forecasts;
  std::size_t rows_fed = 0;
  bool forecast_failed = false;
  std::size_t failed_model = 0;
  double failed_time = 0.0;
  std::string failure;
};

// Latest update among the models that can forecast (the last such model wins), or -1.
std::int64_t last_updated(const std::vector<Model*>& models);

// Feeds the rows of `in` and forecasts as described above. A row is fed to the first n_update
// models at Python's int(t) of its timestamp; a model that refuses it (or a timestamp outside
// the int64 range) is recorded as kUpdateFailed and the others still get the value. Forecast
// times are the last update plus 1, 2, ... times `interval`. A failed forecast stops the loop
// with the first failure in step order recorded; the forecasts of that block are dropped. A
// model refusing a row's time as too far from its latest observation (GapTooLarge) stops the
// loop the same way, before any forecast after that row, with the row's time recorded.
void run_loop(const LoopInput& in, LoopOutput& out);

}  // namespace tarn

#pragma GCC visibility pop
