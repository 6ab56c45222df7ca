// Row-by-row updating and forecasting of engine models, for QuillcastForecaster.
//
// Runs entirely on the C++ models (no Python objects, so it may run with the GIL released)
// and records what the forecaster has to report afterwards instead of printing it: the
// skipped updates, in order, and where a forecast failed. The caller prints the records and
// re-raises a failure once it holds the GIL again.
//
// Two ways of feeding rows, matching the forecaster's two callers:
// - one call with many rows (predict with new data): the previous timestamp starts at the
//   models' last update and then follows the rows that were accepted; one forecast at the end.
// - one call per row (sliding windows): every row is a call of its own, so the previous
//   timestamp is read from the models before each row; a forecast after every row.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "tarn/model.hpp"

namespace twfc {

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
  std::vector<tarn::Model*> models;  // the working copies, in target order
  std::size_t n_update = 0;          // models fed per row (the forecaster's feature count)
  const double* values = nullptr;    // n_rows x value_stride, row-major, already transformed
  std::size_t value_stride = 0;
  const double* timestamps = nullptr;  // n_rows timestamps, or nullptr: generated
  std::size_t n_rows = 0;              // rows to feed
  std::int64_t horizon = 0;            // forecast steps (<= 0: none)
  double interval = 1.0;               // spacing of forecast times
  bool per_row = false;                // one call per row (sliding windows)
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
inline std::int64_t last_updated(const std::vector<tarn::Model*>& models) {
  std::int64_t last = -1;
  for (const tarn::Model* m : models) {
    if (m->is_initialized()) last = m->last_time();
  }
  return last;
}

namespace detail {

inline bool fits_int64(double t) {
  return t >= -9223372036854775808.0 && t < 9223372036854775808.0;
}

// Feeds row r to the first n_update models at time t (Python's int(t) for the timestamp).
inline void feed_row(const LoopInput& in, LoopOutput& out, std::size_t r, double t,
                     std::int64_t t_auto) {
  const double* row = in.values + r * in.value_stride;
  for (std::size_t c = 0; c < in.n_update; ++c) {
    bool ok = fits_int64(t);
    if (ok) {
      try {
        in.models[c]->update(static_cast<std::int64_t>(std::trunc(t)), row[c]);
      } catch (const std::exception&) {
        ok = false;
      }
    }
    if (!ok) {
      out.skips.push_back({SkipRecord::kUpdateFailed, static_cast<std::int64_t>(r),
                           static_cast<std::int32_t>(c), t_auto, -1, 0});
    }
  }
}

// Appends one block of forecasts; false when a model failed (recorded in out).
// Each model forecasts its whole path in one call; when one of them fails, the block is redone
// a step at a time, so that the failure reported is the first one in step order.
inline bool forecast_block(const LoopInput& in, LoopOutput& out) {
  double time = static_cast<double>(last_updated(in.models));
  if (in.horizon <= 0) return true;
  const auto h = static_cast<std::size_t>(in.horizon);
  const std::size_t m = in.models.size();
  std::vector<double> times(h), column(h);
  for (std::size_t k = 0; k < h; ++k) {
    time += in.interval;
    times[k] = time;
  }
  const std::size_t base = out.forecasts.size();
  out.forecasts.resize(base + h * m);
  bool all_ok = true;
  for (std::size_t j = 0; j < m && all_ok; ++j) {
    try {
      in.models[j]->forecast_at(times.data(), h, column.data());
      for (std::size_t k = 0; k < h; ++k) out.forecasts[base + k * m + j] = column[k];
    } catch (const std::exception&) {
      all_ok = false;
    }
  }
  if (all_ok) return true;
  out.forecasts.resize(base);
  for (std::size_t k = 0; k < h; ++k) {
    time = times[k];
    for (std::size_t j = 0; j < in.models.size(); ++j) {
      try {
        out.forecasts.push_back(in.models[j]->forecast_at(time));
      } catch (const std::exception& e) {
        out.forecast_failed = true;
        out.failed_model = j;
        out.failed_time = time;
        out.failure = e.what();
        return false;
      }
    }
  }
  return true;
}

}  // namespace detail

inline void run_loop(const LoopInput& in, LoopOutput& out) {
  if (in.per_row) {
    out.forecasts.reserve(in.n_rows * static_cast<std::size_t>(in.horizon > 0 ? in.horizon : 0) *
                          in.models.size());
    for (std::size_t r = 0; r < in.n_rows; ++r) {
      const std::int64_t last = last_updated(in.models);
      const std::int64_t t_auto = last + 1;
      const double t = in.timestamps ? in.timestamps[r] : static_cast<double>(t_auto);
      if (static_cast<double>(last) < t) {
        detail::feed_row(in, out, r, t, t_auto);
      } else {
        out.skips.push_back(
            {SkipRecord::kStale, static_cast<std::int64_t>(r), 0, t_auto, -1, last});
      }
      out.rows_fed = r + 1;
      if (!detail::forecast_block(in, out)) return;
    }
    return;
  }

  const std::int64_t start = last_updated(in.models);
  std::int64_t last_row = -1;
  double last = static_cast<double>(start);
  for (std::size_t r = 0; r < in.n_rows; ++r) {
    const std::int64_t t_auto = start + 1 + static_cast<std::int64_t>(r);
    const double t = in.timestamps ? in.timestamps[r] : static_cast<double>(t_auto);
    if (last < t) {
      detail::feed_row(in, out, r, t, t_auto);
      last = t;
      last_row = static_cast<std::int64_t>(r);
    } else {
      out.skips.push_back(
          {SkipRecord::kStale, static_cast<std::int64_t>(r), 0, t_auto, last_row, start});
    }
    out.rows_fed = r + 1;
  }
  detail::forecast_block(in, out);
}

}  // namespace twfc
