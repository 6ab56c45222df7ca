// Rolling-origin evaluation of a forecasting session.
#include <algorithm>
#include <cmath>
#include <string>

#include "tarn/forecaster.hpp"

namespace tarn {

std::vector<std::size_t> backtest_origins(std::size_t n_rows, const BacktestPlan& plan) {
  auto positive = [](const char* name, std::int64_t v) {
    if (v < 1) {
      throw InvalidArgument(std::string(name) + " must be at least 1, got " + std::to_string(v));
    }
  };
  positive("h", plan.horizon);
  positive("n_windows", plan.n_windows);
  positive("step", plan.step);
  for (double level : plan.levels) {
    if (!(level > 0.0 && level < 100.0)) {
      throw InvalidArgument("level must be a coverage in percent between 0 and 100, got " +
                            std::to_string(level));
    }
  }
  // Rows the windows need after the first origin; the guard keeps the products in range.
  const double span = static_cast<double>(plan.horizon) +
                      static_cast<double>(plan.n_windows - 1) * static_cast<double>(plan.step);
  if (!(span < static_cast<double>(n_rows))) {
    throw InvalidArgument("h=" + std::to_string(plan.horizon) +
                          ", n_windows=" + std::to_string(plan.n_windows) +
                          " and step=" + std::to_string(plan.step) + " need more than " +
                          std::to_string(static_cast<std::int64_t>(span)) +
                          " rows, the series has " + std::to_string(n_rows));
  }
  const auto windows = static_cast<std::size_t>(plan.n_windows);
  const auto step = static_cast<std::size_t>(plan.step);
  const std::size_t last = n_rows - static_cast<std::size_t>(plan.horizon);
  std::vector<std::size_t> out(windows);
  for (std::size_t k = 0; k < windows; ++k) out[k] = last - (windows - 1 - k) * step;
  return out;
}

namespace {

Rows slice(const Rows& rows, std::size_t begin, std::size_t end) {
  Rows out = rows;
  out.values = rows.values + begin * rows.stride;
  out.timestamps = rows.timestamps ? rows.timestamps + begin : nullptr;
  out.n_rows = end - begin;
  return out;
}

// The regressors of the h rows from `origin` on (rows of n_regressors), empty without them: a
// backtest knows the regressors of the rows it forecasts.
std::vector<double> window_regressors(const Rows& rows, std::size_t origin, std::size_t h) {
  std::vector<double> out;
  const std::size_t k = rows.n_regressors;
  if (!k) return out;
  out.reserve(h * k);
  for (std::size_t r = origin; r < origin + h && r < rows.n_rows; ++r) {
    const double* x = rows.values + r * rows.stride + rows.regressor_column;
    out.insert(out.end(), x, x + k);
  }
  return out;
}

// Appends one window: the forecast of `session` (working: the models fed so far, or null for
// the trained ones, which then forecast as they are) and its intervals; `future`: the
// regressors of the window's rows when the models take them.
void add_window(const Forecaster& session, const std::vector<Forecaster::ModelPtr>* working,
                Rows fed, std::size_t fed_from, const BacktestPlan& plan, Backtest& out,
                std::size_t window, const std::vector<double>& future) {
  const auto h = static_cast<std::size_t>(plan.horizon);
  const double* fx = future.empty() ? nullptr : future.data();
  const std::size_t f_rows = fed.n_regressors ? future.size() / fed.n_regressors : 0;
  fed.future = fx;
  fed.future_rows = f_rows;
  Forecast f;
  std::vector<double> times(h);
  if (working) {
    f = session.predict(fed, plan.horizon, working);
    if (f.usable_rows < fed.n_rows) {
      throw InvalidArgument("row " + std::to_string(fed_from + f.usable_rows) +
                            " cannot take the log transform of the session trained before it");
    }
    if (f.loop.forecast_failed) throw InvalidArgument(f.loop.failure);
    std::vector<Model*> ms;
    for (const auto& m : *working) ms.push_back(m.get());
    double time = static_cast<double>(last_updated(ms));
    for (std::size_t k = 0; k < h; ++k) times[k] = time += session.interval();
  } else {
    f = session.forecast(plan.horizon, fx, f_rows);
    times = session.forecast_times(plan.horizon);
  }
  const std::size_t block = h * out.cols;
  if (f.values.size() != block) throw InvalidArgument("a window's forecast has the wrong size");
  std::copy(times.begin(), times.end(), out.times.begin() + window * h);
  std::copy(f.values.begin(), f.values.end(), out.forecasts.begin() + window * block);
  const std::size_t windows = out.origins.size();
  for (std::size_t l = 0; l < plan.levels.size(); ++l) {
    const std::size_t at = (l * windows + window) * block;
    session.intervals(working, plan.horizon, plan.levels[l], f.values.data(), out.lower.data() + at,
                      out.upper.data() + at, fx, f_rows);
  }
}

}  // namespace

Backtest cross_validate(const Rows& rows, const BacktestPlan& plan, const TrainFn& train) {
  Backtest out;
  out.origins = backtest_origins(rows.n_rows, plan);
  out.horizon = static_cast<std::size_t>(plan.horizon);
  const std::size_t windows = out.origins.size();
  Forecaster session;
  std::vector<Forecaster::ModelPtr> working;
  std::size_t fed_to = 0;
  for (std::size_t w = 0; w < windows; ++w) {
    const std::size_t origin = out.origins[w];
    const bool first = w == 0;
    if (plan.refit || first) session = train(origin);
    if (first) {
      out.cols = session.models().size();
      const std::size_t block = out.horizon * out.cols;
      out.times.resize(windows * out.horizon);
      out.forecasts.resize(windows * block);
      out.lower.resize(plan.levels.size() * windows * block);
      out.upper.resize(out.lower.size());
    } else if (session.models().size() != out.cols) {
      throw InvalidArgument("a refitted window has " + std::to_string(session.models().size()) +
                            " models, the first had " + std::to_string(out.cols));
    }
    const std::vector<double> future = window_regressors(rows, origin, out.horizon);
    if (plan.refit || first) {
      add_window(session, nullptr, rows, 0, plan, out, w, future);
      fed_to = origin;
      continue;
    }
    if (working.empty()) working = session.copies();
    add_window(session, &working, slice(rows, fed_to, origin), fed_to, plan, out, w, future);
    fed_to = origin;
  }
  return out;
}

}  // namespace tarn
