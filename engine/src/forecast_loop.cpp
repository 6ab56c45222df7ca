// Row-by-row updating and forecasting of engine models.
#include "tarn/forecast_loop.hpp"

#include <cmath>
#include <exception>

#include "tarn/interrupt.hpp"
#include "tarn/regression.hpp"

namespace tarn {

namespace {

bool fits_int64(double t) {
  return t >= -9223372036854775808.0 && t < 9223372036854775808.0;
}

// Feeds row r to the first n_update models at time t (Python's int(t) for the timestamp).
// False when a model refused the time as too far from its latest observation: the row is not
// one to skip, as the forecasts after it could not account for it; the failure is recorded
// with that time, which the model refuses to forecast at for the same reason.
bool feed_row(const LoopInput& in, LoopOutput& out, std::size_t r, double t, std::int64_t t_auto) {
  interruption_point(in.n_update + 1);
  const double* row = in.values + r * in.value_stride;
  // Every model is asked first, so that a refused row reaches none of them.
  if (fits_int64(t)) {
    for (std::size_t c = 0; c < in.n_update; ++c) {
      try {
        in.models[c]->check_reachable(static_cast<std::int64_t>(std::trunc(t)));
      } catch (const GapTooLarge& e) {
        out.forecast_failed = true;
        out.failed_model = c;
        out.failed_time = std::trunc(t);
        out.failure = e.what();
        return false;
      }
    }
  }
  for (std::size_t c = 0; c < in.n_update; ++c) {
    bool ok = fits_int64(t);
    if (ok) {
      try {
        const auto ti = static_cast<std::int64_t>(std::trunc(t));
        if (auto* reg = in.n_regressors ? dynamic_cast<Regression*>(in.models[c]) : nullptr) {
          reg->update(ti, row[c], row + in.regressor_column);
        } else {
          in.models[c]->update(ti, row[c]);
        }
      } catch (const std::exception&) {
        ok = false;
      }
    }
    if (!ok) {
      out.skips.push_back({SkipRecord::kUpdateFailed, static_cast<std::int64_t>(r),
                           static_cast<std::int32_t>(c), t_auto, -1, 0});
    }
  }
  return true;
}

// The regressors of the `h` steps after row `next - 1` of the block (rows next, next + 1, ...,
// then the future rows); false when they run out (the failure is recorded).
bool future_regressors(const LoopInput& in, LoopOutput& out, std::size_t next, std::size_t h,
                       std::vector<double>& x) {
  const std::size_t k = in.n_regressors;
  x.assign(h * k, 0.0);
  for (std::size_t s = 0; s < h; ++s) {
    const std::size_t r = next + s;
    const double* src = nullptr;
    if (r < in.n_rows) {
      src = in.values + r * in.value_stride + in.regressor_column;
    } else if (in.future && r - in.n_rows < in.future_rows) {
      src = in.future + (r - in.n_rows) * k;
    } else {
      out.forecast_failed = true;
      out.failed_model = 0;
      out.failed_time = static_cast<double>(last_updated(in.models)) + in.interval;
      out.failure = "the regressors of forecast step " + std::to_string(s + 1) +
                    (next ? " after row " + std::to_string(next - 1) : std::string()) +
                    " are not given: the rows and the future regressors end " +
                    std::to_string(in.n_rows + in.future_rows - next) + " steps after it";
      return false;
    }
    std::copy(src, src + k, x.begin() + static_cast<std::ptrdiff_t>(s * k));
  }
  return true;
}

// Appends one block of forecasts; false when a model failed (recorded in out).
// Each model forecasts its whole path in one call; when one of them fails, the block is redone
// a step at a time, so that the failure reported is the first one in step order.
// `next`: the row after the last one fed (its regressors are the first step's).
bool forecast_block(const LoopInput& in, LoopOutput& out, std::size_t next) {
  double time = static_cast<double>(last_updated(in.models));
  if (in.horizon <= 0) return true;
  const auto h = static_cast<std::size_t>(in.horizon);
  const std::size_t m = in.models.size();
  interruption_point(h * m);
  std::vector<double> x;
  if (in.n_regressors && !future_regressors(in, out, in.per_row ? next : in.n_rows, h, x)) {
    return false;
  }
  const double* xs = in.n_regressors ? x.data() : nullptr;
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
      forecast_with(*in.models[j], times.data(), h, xs, column.data());
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
        double v = 0.0;
        forecast_with(*in.models[j], &time, 1, xs ? xs + k * in.n_regressors : nullptr, &v);
        out.forecasts.push_back(v);
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

}  // namespace

std::int64_t last_updated(const std::vector<Model*>& models) {
  std::int64_t last = -1;
  for (const Model* m : models) {
    if (m->is_initialized()) last = m->last_time();
  }
  return last;
}

void run_loop(const LoopInput& in, LoopOutput& out) {
  if (in.per_row) {
    out.forecasts.reserve(in.n_rows * static_cast<std::size_t>(in.horizon > 0 ? in.horizon : 0) *
                          in.models.size());
    for (std::size_t r = 0; r < in.n_rows; ++r) {
      const std::int64_t last = last_updated(in.models);
      const std::int64_t t_auto = last + 1;
      const double t = in.timestamps ? in.timestamps[r] : static_cast<double>(t_auto);
      if (static_cast<double>(last) < t) {
        if (!feed_row(in, out, r, t, t_auto)) {
          out.rows_fed = r;
          return;
        }
      } else {
        out.skips.push_back(
            {SkipRecord::kStale, static_cast<std::int64_t>(r), 0, t_auto, -1, last});
      }
      out.rows_fed = r + 1;
      if (!forecast_block(in, out, r + 1)) return;
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
      if (!feed_row(in, out, r, t, t_auto)) {
        out.rows_fed = r;
        return;
      }
      last = t;
      last_row = static_cast<std::int64_t>(r);
    } else {
      out.skips.push_back(
          {SkipRecord::kStale, static_cast<std::int64_t>(r), 0, t_auto, last_row, start});
    }
    out.rows_fed = r + 1;
  }
  forecast_block(in, out, in.n_rows);
}

}  // namespace tarn
