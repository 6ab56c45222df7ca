// A forecasting session: one model per target series, trained and forecast as a whole.
#include "tarn/forecaster.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tarn/metrics.hpp"
#include "tarn/regression.hpp"
#include "tarn/sampling.hpp"
#include "tarn/training_sizes.hpp"

namespace tarn {

double to_log_scale(double x) {
  return std::log1p(1.0 + x);
}

double from_log_scale(double y) {
  static const double ln2 = std::log(2.0);
  if (y >= 0.35 && y <= 1.38) return 2.0 * std::expm1(y - ln2);
  return std::expm1(y) - 1.0;
}

LogChoice choose_log(const double* series, std::size_t n_targets, std::size_t n) {
  for (std::size_t i = 0, total = n_targets * n; i < total; ++i) {
    if (!std::isfinite(to_log_scale(series[i]))) return LogChoice::kNotFinite;
  }
  for (std::size_t t = 0; t < n_targets && n > 0; ++t) {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(series[t * n + i]));
    // Far below the shift of 2, ln(x + 2) = ln 2 + x/2 - x^2/8 + ...: a straight line (its slope
    // changes by under 0.003% over the values), so it changes nothing of the series' shape but
    // puts it on a level of 0.69 where its variation keeps few digits (a line at 1e-9 was
    // forecast flat).
    if (largest > 0.0 && largest < kLogTooSmall) return LogChoice::kTooSmall;
  }
  return LogChoice::kLog;
}

SeasonSettings season_settings(const double* x, std::size_t n) {
  const SeriesSizes s = series_sizes(x, n, 200, 8);
  SeasonSettings out;
  out.samples_per_season = s.period;
  out.initial_training_seasons = static_cast<std::int64_t>(n) / s.period;
  out.training_size = s.training;
  return out;
}

Forecaster::Forecaster(std::vector<ModelPtr> models, bool log_transformed, std::size_t n_update)
    : models_(std::move(models)), log_(log_transformed), n_update_(n_update) {
  for (const auto& m : models_) {
    if (!m) throw InvalidArgument("a forecasting session needs models, got a null model");
  }
}

void Forecaster::train(const TrainInput& in, std::vector<ModelPtr> models, const RetryFn& retry) {
  if (models.size() != in.n_targets) {
    throw InvalidArgument("training needs one model per target: " + std::to_string(models.size()) +
                          " models for " + std::to_string(in.n_targets) + " targets");
  }
  if (in.n_regressors && !in.regressors && in.n) {
    throw InvalidArgument("training with " + std::to_string(in.n_regressors) +
                          " regressors needs their values, got none");
  }
  LogChoice choice = in.log_transform ? choose_log(in.series, in.n_targets, in.n) : LogChoice::kLog;
  const bool log = in.log_transform && choice == LogChoice::kLog;
  std::vector<double> values(in.n);
  for (std::size_t col = 0; col < in.n_targets; ++col) {
    const double* x = in.series + col * in.n;
    for (std::size_t i = 0; i < in.n; ++i) values[i] = log ? to_log_scale(x[i]) : x[i];
    auto feed = [&](Model& m) {
      if (log) m.set_log_input(kLogShift);
      if (!in.calendar_seasons.empty()) m.set_calendar_seasons(in.calendar_seasons);
      if (in.season > 0) m.name_season(in.season);
      if (auto* r = dynamic_cast<Regression*>(&m)) {
        r->train(in.timestamps, values.data(), in.regressors, in.n);
      } else {
        m.update(in.timestamps, values.data(), in.n);
      }
    };
    // With regressors, every model is the regression around the one built for the target.
    auto with_regressors = [&](ModelPtr m) -> ModelPtr {
      if (!m || in.n_regressors == 0) return m;
      return std::make_shared<Regression>(m->clone(), in.n_regressors);
    };
    if (in.n_regressors && !in.retry_sizes) models[col] = with_regressors(models[col]);
    if (in.retry_sizes) {
      bool initialised = false;
      for (std::int64_t attempt = 0; !initialised && attempt < 5; ++attempt) {
        ModelPtr m = with_regressors(retry(col, attempt));
        if (!m) throw InvalidArgument("a retried training built no model");
        models[col] = m;
        feed(*m);
        initialised = m->is_initialized();
      }
    } else {
      Model& m = *models[col];
      feed(m);
      if (!m.is_initialized()) m.fit_available();
    }
  }
  models_ = std::move(models);
  log_ = log;
  log_choice_ = choice;
  n_update_ = in.n_targets;
}

std::vector<Model*> Forecaster::model_pointers() const {
  std::vector<Model*> out;
  out.reserve(models_.size());
  for (const auto& m : models_) out.push_back(m.get());
  return out;
}

std::size_t Forecaster::n_regressors() const {
  return models_.empty() ? 0 : regressors_of(*models_.front());
}

namespace {

// The future regressors a forecast of `horizon` steps needs: InvalidArgument when they are
// missing or too few.
void check_future(std::size_t k, std::int64_t horizon, const double* future,
                  std::size_t future_rows) {
  if (k == 0 || horizon <= 0) return;
  if (!future || future_rows == 0) {
    throw InvalidArgument("the models take " + std::to_string(k) +
                          " regressors: a forecast needs their future values (future regressors "
                          "missing)");
  }
  if (future_rows < static_cast<std::size_t>(horizon)) {
    throw InvalidArgument("the future regressors have " + std::to_string(future_rows) +
                          " rows for a horizon of " + std::to_string(horizon) + " steps");
  }
}

}  // namespace

bool Forecaster::ready() const {
  if (models_.empty()) return false;
  return std::all_of(models_.begin(), models_.end(),
                     [](const ModelPtr& m) { return m->is_initialized(); });
}

std::int64_t Forecaster::last_updated() const {
  return tarn::last_updated(model_pointers());
}

double Forecaster::interval() const {
  // Not the mean spacing: with timestamps absent from the training rows the mean is larger than
  // a step, and the forecasts would fall between the grid's steps.
  double out = -1.0;
  for (const auto& m : models_) {
    if (m->is_initialized()) out = static_cast<double>(m->grid_step());
  }
  return out;
}

std::vector<double> Forecaster::forecast_times(std::int64_t horizon) const {
  const auto h = static_cast<std::size_t>(std::max<std::int64_t>(horizon, 0));
  std::vector<double> times(h);
  const double last = static_cast<double>(last_updated());
  const double step = interval();
  for (std::size_t k = 0; k < h; ++k) times[k] = last + static_cast<double>(k + 1) * step;
  return times;
}

void Forecaster::to_data_scale(double* values, std::size_t n) const {
  if (!log_) return;
  for (std::size_t i = 0; i < n; ++i) values[i] = from_log_scale(values[i]);
}

void Forecaster::to_output(double* values, std::size_t n) const {
  to_data_scale(values, n);
  if (!nonnegative_) return;
  // Censored at zero: a quantile of the censored distribution is max(q, 0).
  for (std::size_t i = 0; i < n; ++i) {
    if (values[i] < 0.0) values[i] = 0.0;
  }
}

std::vector<Forecaster::ModelPtr> Forecaster::copies() const {
  std::vector<ModelPtr> out;
  out.reserve(models_.size());
  for (const auto& m : models_) out.push_back(ModelPtr(m->clone()));
  return out;
}

Forecast Forecaster::forecast(std::int64_t horizon, const double* future,
                              std::size_t future_rows) const {
  Forecast out;
  out.cols = models_.size();
  if (horizon <= 0) return out;
  check_future(n_regressors(), horizon, future, future_rows);
  // The times accumulate step by step, as the forecasts always have.
  const auto h = static_cast<std::size_t>(horizon);
  std::vector<double> times(h), column(h);
  double time = static_cast<double>(last_updated());
  const double step = interval();
  for (std::size_t k = 0; k < h; ++k) {
    time += step;
    times[k] = time;
  }
  out.values.resize(h * out.cols);
  for (std::size_t j = 0; j < out.cols; ++j) {
    forecast_with(*models_[j], times.data(), h, future, column.data());
    for (std::size_t k = 0; k < h; ++k) {
      out.values[k * out.cols + j] = std::isfinite(column[k]) ? column[k] : 0.0;
    }
  }
  to_output(out.values.data(), out.values.size());
  return out;
}

std::vector<double> Forecaster::model_values(const Rows& rows, std::size_t* usable) const {
  const std::size_t total = rows.n_rows * rows.stride;
  std::vector<double> out(rows.values, rows.values + total);
  *usable = rows.n_rows;
  if (!log_) return out;
  for (std::size_t i = 0; i < total; ++i) {
    // Regressors are taken as they are.
    const std::size_t c = i % rows.stride;
    if (rows.n_regressors && c >= rows.regressor_column &&
        c < rows.regressor_column + rows.n_regressors) {
      continue;
    }
    out[i] = to_log_scale(out[i]);
    if (!std::isfinite(out[i]) && *usable == rows.n_rows) *usable = i / rows.stride;
  }
  return out;
}

namespace {

Forecast run_on_copies(const Forecaster& session, const Rows& rows, std::int64_t horizon,
                       const std::vector<Forecaster::ModelPtr>* from,
                       const std::vector<double>& values, std::size_t n_rows, bool per_row) {
  Forecast out;
  if (from) {
    out.updated = *from;
  } else {
    out.updated = session.copies();
  }
  out.cols = out.updated.size();
  if (rows.stride < session.n_update() || out.updated.size() < session.n_update()) {
    throw InvalidArgument("new rows have " + std::to_string(rows.stride) + " values for " +
                          std::to_string(session.n_update()) + " targets");
  }
  LoopInput in;
  for (const auto& m : out.updated) in.models.push_back(m.get());
  in.n_update = session.n_update();
  in.values = values.data();
  in.value_stride = rows.stride;
  in.timestamps = rows.timestamps;
  in.n_rows = n_rows;
  in.horizon = horizon;
  in.interval = session.interval();
  in.per_row = per_row;
  const std::size_t k = session.n_regressors();
  if (k) {
    if (rows.n_regressors != k || rows.regressor_column + k > rows.stride) {
      throw InvalidArgument("the models take " + std::to_string(k) + " regressors, the new rows " +
                            "carry " + std::to_string(rows.n_regressors));
    }
    if (!per_row) check_future(k, horizon, rows.future, rows.future_rows);
    in.regressor_column = rows.regressor_column;
    in.n_regressors = k;
    in.future = rows.future;
    in.future_rows = rows.future_rows;
  }
  run_loop(in, out.loop);
  out.values = std::move(out.loop.forecasts);
  out.loop.forecasts.clear();
  session.to_output(out.values.data(), out.values.size());
  return out;
}

}  // namespace

Forecast Forecaster::predict(const Rows& rows, std::int64_t horizon,
                             const std::vector<ModelPtr>* working) const {
  std::size_t usable = 0;
  const std::vector<double> values = model_values(rows, &usable);
  if (usable < rows.n_rows) {
    Forecast out;
    out.cols = models_.size();
    out.usable_rows = usable;
    return out;
  }
  Forecast out = run_on_copies(*this, rows, horizon, working, values, rows.n_rows, false);
  out.usable_rows = usable;
  return out;
}

Forecast Forecaster::sliding(const Rows& rows, std::int64_t horizon,
                             const std::vector<ModelPtr>* working) const {
  std::size_t usable = 0;
  const std::vector<double> values = model_values(rows, &usable);
  Forecast out = run_on_copies(*this, rows, horizon, working, values, usable, true);
  out.usable_rows = usable;
  return out;
}

std::vector<double> Forecaster::horizon_times(const std::vector<ModelPtr>& ms,
                                              std::size_t h) const {
  std::vector<Model*> pointers;
  for (const auto& m : ms) pointers.push_back(m.get());
  const double start = static_cast<double>(tarn::last_updated(pointers));
  const double step = interval();
  std::vector<double> times(h);
  for (std::size_t k = 0; k < h; ++k) times[k] = start + static_cast<double>(k + 1) * step;
  return times;
}

void Forecaster::model_bounds(const std::vector<ModelPtr>& ms, std::size_t h, double coverage,
                              double* lower, double* upper, const double* future) const {
  const std::size_t cols = ms.size();
  const std::vector<double> times = horizon_times(ms, h);
  std::vector<double> lv(h), uv(h);
  for (std::size_t c = 0; c < cols; ++c) {
    interval_with(*ms[c], times.data(), h, coverage, future, lv.data(), uv.data());
    for (std::size_t k = 0; k < h; ++k) {
      lower[k * cols + c] = lv[k];
      upper[k * cols + c] = uv[k];
    }
  }
  to_data_scale(lower, h * cols);
  to_data_scale(upper, h * cols);
}

void Forecaster::intervals(const std::vector<ModelPtr>* models, std::int64_t horizon, double level,
                           const double* forecast, double* lower, double* upper,
                           const double* future, std::size_t future_rows) const {
  if (!(level > 0.0 && level < 100.0)) {
    throw InvalidArgument("level must be a coverage in percent between 0 and 100, got " +
                          std::to_string(level));
  }
  const std::vector<ModelPtr>& ms = models ? *models : models_;
  const std::size_t cols = ms.size();
  const auto h = static_cast<std::size_t>(std::max<std::int64_t>(horizon, 0));
  if (h == 0 || cols == 0) return;
  check_future(regressors_of(*ms.front()), horizon, future, future_rows);
  model_bounds(ms, h, level / 100.0, lower, upper, future);
  // The transform keeps the order; a bound the arithmetic lost falls back to the forecast.
  for (std::size_t i = 0; i < h * cols; ++i) {
    lower[i] = std::isnan(lower[i]) ? forecast[i] : std::min(lower[i], forecast[i]);
    upper[i] = std::isnan(upper[i]) ? forecast[i] : std::max(upper[i], forecast[i]);
    if (nonnegative_) {
      lower[i] = std::max(lower[i], 0.0);
      upper[i] = std::max(upper[i], 0.0);
    }
  }
}

void Forecaster::quantiles(const std::vector<ModelPtr>* models, std::int64_t horizon,
                           const double* probs, std::size_t n_probs, const double* forecast,
                           double* out, const double* future, std::size_t future_rows) const {
  for (std::size_t i = 0; i < n_probs; ++i) {
    if (!(probs[i] > 0.0 && probs[i] < 1.0)) {
      throw InvalidArgument("quantile must lie strictly between 0 and 1, got " +
                            std::to_string(probs[i]));
    }
  }
  const std::vector<ModelPtr>& ms = models ? *models : models_;
  const std::size_t block =
      static_cast<std::size_t>(std::max<std::int64_t>(horizon, 0)) * ms.size();
  if (block == 0) return;
  std::vector<double> lower(block), upper(block);
  for (std::size_t i = 0; i < n_probs; ++i) {
    const double p = probs[i];
    double* q = out + i * block;
    if (quantile_coverage(p) > 0.0) {
      // The percent level as a caller of intervals() gives it: the 80% and 95% bands exactly.
      intervals(models, horizon, quantile_level(p), forecast, lower.data(), upper.data(), future,
                future_rows);
      std::copy_n(p < 0.5 ? lower.data() : upper.data(), block, q);
    } else {
      // The median: the bounds of a vanishing coverage, the forecast when they bracket it.
      check_future(regressors_of(*ms.front()), horizon, future, future_rows);
      model_bounds(ms, static_cast<std::size_t>(horizon), kMedianCoverage, lower.data(),
                   upper.data(), future);
      for (std::size_t v = 0; v < block; ++v) {
        q[v] = median_from_interval(lower[v], upper[v], forecast[v]);
        if (nonnegative_) q[v] = std::max(q[v], 0.0);
      }
    }
  }
  // A model that knows its distribution's quantiles itself (an atom at zero) gives them: its
  // one-sided bands [0, upper] are no pair of quantiles about its forecast.
  const std::size_t cols = ms.size(), h = static_cast<std::size_t>(horizon);
  const std::vector<double> times = horizon_times(ms, h);
  std::vector<double> own(h);
  for (std::size_t c = 0; c < cols; ++c) {
    for (std::size_t i = 0; i < n_probs; ++i) {
      if (!ms[c]->own_quantile_at(times.data(), h, probs[i], own.data())) break;
      to_data_scale(own.data(), h);
      for (std::size_t k = 0; k < h; ++k) {
        out[i * block + k * cols + c] = nonnegative_ ? std::max(own[k], 0.0) : own[k];
      }
    }
  }
  // Bounds of the models' intervals grow with the coverage; this only guards the order of
  // quantiles against a model whose arithmetic lost it (ties of p keep their own values).
  std::vector<std::size_t> order(n_probs);
  for (std::size_t i = 0; i < n_probs; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return probs[a] < probs[b]; });
  for (std::size_t r = 1; r < n_probs; ++r) {
    const double* prev = out + order[r - 1] * block;
    double* q = out + order[r] * block;
    for (std::size_t v = 0; v < block; ++v) q[v] = std::max(q[v], prev[v]);
  }
}

std::vector<double> Forecaster::simulate(const std::vector<ModelPtr>* models, std::int64_t horizon,
                                         std::size_t n_paths, std::uint64_t seed) const {
  const std::vector<ModelPtr>& ms = models ? *models : models_;
  if (n_paths == 0) throw InvalidArgument("n_paths must be at least 1, got 0");
  const auto h = static_cast<std::size_t>(std::max<std::int64_t>(horizon, 0));
  const std::size_t cols = ms.size();
  if (h > 0 && cols > 0 && n_paths > kMaxSimulatedValues / h / cols) {
    throw InvalidArgument(std::to_string(n_paths) + " paths of " + std::to_string(h) +
                          " steps for " + std::to_string(cols) + " targets exceed the limit of " +
                          std::to_string(kMaxSimulatedValues) + " simulated values");
  }
  for (const auto& m : ms) {
    if (regressors_of(*m) > 0) {
      throw InvalidArgument(
          "sample paths of a model with regressors are not available: simulate takes no future "
          "regressors (use predict_quantiles with future_exog for its quantiles)");
    }
  }
  std::vector<double> out(n_paths * h * cols);
  if (out.empty()) return out;
  std::vector<Model*> pointers;
  for (const auto& m : ms) pointers.push_back(m.get());
  // The forecast times of intervals(): after the models' latest update, at the session's spacing.
  const double start = static_cast<double>(tarn::last_updated(pointers));
  const double step = interval();
  std::vector<double> times(h), paths(n_paths * h);
  for (std::size_t k = 0; k < h; ++k) times[k] = start + static_cast<double>(k + 1) * step;
  for (std::size_t c = 0; c < cols; ++c) {
    RandomStream rng(stream_seed(seed, c));
    simulate_model(*ms[c], times.data(), h, n_paths, rng, paths.data());
    for (std::size_t i = 0; i < n_paths; ++i) {
      for (std::size_t k = 0; k < h; ++k) out[(i * h + k) * cols + c] = paths[i * h + k];
    }
  }
  to_output(out.data(), out.size());
  return out;
}

namespace {

// Summation in the order numpy uses for a contiguous array (pairwise, eight partial sums per
// block of up to 128 values), so that the engine's means agree with numpy's to the last bit.
double pairwise_sum(const double* a, std::size_t n, std::size_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j * stride];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i * stride];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

}  // namespace

double mean_smape(const double* truth, const double* forecast, std::size_t n_rows, std::size_t cols,
                  const double* weights) {
  std::vector<double> per_row(n_rows), terms(cols);
  for (std::size_t r = 0; r < n_rows; ++r) {
    smape_terms(truth + r * cols, forecast + r * cols, cols, terms.data());
    per_row[r] = pairwise_sum(terms.data(), cols, 1) / static_cast<double>(cols);
  }
  if (!weights) return pairwise_sum(per_row.data(), n_rows, 1) / static_cast<double>(n_rows);
  std::vector<double> weighted(n_rows);
  for (std::size_t r = 0; r < n_rows; ++r) weighted[r] = per_row[r] * weights[r];
  const double total = pairwise_sum(weights, n_rows, 1);
  if (total == 0.0) throw InvalidArgument("the weights of the rows sum to zero");
  return pairwise_sum(weighted.data(), n_rows, 1) / total;
}

}  // namespace tarn
