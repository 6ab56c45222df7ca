// QuillcastForecaster: forecasts with and without new rows, and prediction intervals.
#include <optional>

#include "common.hpp"

namespace qest {

FutureRegressors future_regressors(py::object self, py::object future_exog, std::int64_t horizon) {
  FutureRegressors out;
  const std::vector<std::int64_t> exog = trained_exog(self);
  const std::size_t k = exog.size();
  if (k == 0) {
    if (!future_exog.is_none()) {
      twpy::raise(PyExc_ValueError,
                  "future_exog was given, but the forecaster was trained without regressors "
                  "(exog_columns=None); it would be ignored");
    }
    return out;
  }
  if (future_exog.is_none()) {
    if (horizon <= 0) return out;
    twpy::raise(PyExc_ValueError,
                "future_exog is missing: the forecaster was trained on " + std::to_string(k) +
                    " regressors (exog_columns=" + str(py::repr(self.attr(QN("exog_columns_")))) +
                    "), and a forecast of " + std::to_string(horizon) +
                    " steps needs their values at every step");
  }
  py::object np = G("np");
  py::object data = future_exog;
  const bool frame = py::hasattr(future_exog, "columns") && py::hasattr(future_exog, "iloc") &&
                     !py::isinstance(future_exog, np.attr(QN("ndarray")));
  py::dict state = self.attr(QN("__dict__"));
  py::object names = py::none();
  if (state.contains("exog_names_")) names = state["exog_names_"];
  if (frame && !names.is_none()) {
    py::list have(future_exog.attr(QN("columns")));
    py::list missing;
    for (auto n : names) {
      if (!have.contains(n)) missing.append(n);
    }
    if (py::len(missing)) {
      twpy::raise(PyExc_ValueError, "future_exog lacks the regressor columns " +
                                        str(py::repr(missing)) + " of the training frame");
    }
    data = future_exog[names];
  }
  py::object arr;
  try {
    arr = np.attr(QN("asarray"))(data, py::arg("dtype") = "float64");
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    twpy::raise(PyExc_ValueError, "future_exog must hold numbers: " + std::string(e.what()));
  }
  if (as_index(arr.attr(QN("ndim"))) == 1 && k == 1) arr = arr.attr(QN("reshape"))(-1, 1);
  if (as_index(arr.attr(QN("ndim"))) != 2) {
    twpy::raise(PyExc_ValueError, "future_exog must be two-dimensional (steps, " +
                                      std::to_string(k) + " regressors), got shape " +
                                      str(arr.attr(QN("shape"))));
  }
  py::array_t<double, py::array::c_style | py::array::forcecast> a(arr);
  const auto rows = static_cast<std::size_t>(a.shape(0));
  const auto width = static_cast<std::size_t>(a.shape(1));
  if (width != k) {
    twpy::raise(PyExc_ValueError, "future_exog has " + std::to_string(width) +
                                      " columns, the forecaster was trained on " +
                                      std::to_string(k) + " regressors");
  }
  if (horizon > 0 && rows < static_cast<std::size_t>(horizon)) {
    twpy::raise(PyExc_ValueError, "future_exog has " + std::to_string(rows) +
                                      " rows, too few for a horizon of " + std::to_string(horizon) +
                                      " steps");
  }
  for (std::size_t i = 0; i < rows * k; ++i) {
    if (!std::isfinite(a.data()[i])) {
      twpy::raise(PyExc_ValueError, "future_exog row " + std::to_string(i / k) + ", column " +
                                        std::to_string(i % k) + " is " +
                                        str(py::repr(py::float_(a.data()[i]))) +
                                        "; future regressors must be finite");
    }
  }
  out.values.assign(a.data(), a.data() + rows * k);
  out.rows = rows;
  return out;
}

// Whether every value of the rows can take the log transform (ln(x + 2) is finite).
bool loggable(py::object values) {
  auto all_loggable = [](const double* x, py::ssize_t n) {
    for (py::ssize_t i = 0; i < n; ++i) {
      if (!std::isfinite(tarn::to_log_scale(x[i]))) return false;
    }
    return true;
  };
  // Rows that are already a C-ordered float64 array (the usual new row) are read in place.
  if (is_ndarray(values)) {
    auto a = py::reinterpret_borrow<py::array>(values);
    if (a.dtype().is(py::dtype::of<double>()) && (a.flags() & py::array::c_style)) {
      return all_loggable(static_cast<const double*>(a.data()), a.size());
    }
  }
  py::array_t<double, py::array::c_style | py::array::forcecast> v(values);
  return all_loggable(v.data(), v.size());
}

// The forecast of the trained models without new rows: every model's path from the session,
// non-finite values as 0; with models that are not the engine's own, or after an engine error
// (reported at the step where it happens), step by step.
py::object forecast_trained(py::object self, py::object prediction_horizon,
                            const FutureRegressors& future) {
  py::list rows;
  try {
    py::object models = self.attr(QN("model"));
    double time = py::float_(get_last_updated(self, py::none())).cast<double>();
    const std::int64_t horizon = effective_horizon(self, prediction_horizon);
    const double interval = py::float_(get_train_interval(self)).cast<double>();
    tarn::Forecaster session;
    if (horizon > 0 && trained_session(self, session)) {
      bool ok = true;
      tarn::Forecast out;
      {
        py::gil_scoped_release release;
        try {
          out = session.forecast(horizon, future.data(), future.rows);
        } catch (const std::exception&) {
          ok = false;
        }
      }
      if (ok) return forecast_array(out.values, static_cast<std::size_t>(horizon), out.cols);
    }
    for (std::int64_t k = 0; k < horizon; ++k) {
      time += interval;
      py::list row;
      for (auto m : models) {
        double v;
        if (tarn::Model* e = contracts::engine_model(m)) {
          try {
            const std::size_t nx = tarn::regressors_of(*e);
            const auto step = static_cast<std::size_t>(k);
            if (nx && future.values.size() < (step + 1) * nx) {
              throw tarn::InvalidArgument("future_exog is missing or too short for step " +
                                          std::to_string(step + 1));
            }
            tarn::forecast_with(*e, &time, 1, nx ? future.data() + step * nx : nullptr, &v);
          } catch (const std::exception& err) {
            twpy::raise(PyExc_Exception, err.what());
          }
        } else {
          v = py::float_(m.attr(QN("forecast_at"))(time)).cast<double>();
        }
        row.append(std::isfinite(v) ? v : 0.0);
      }
      rows.append(row);
    }
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    reraise_as_exception(e);
  }
  return inverse_transform(self, rows);
}

// predict_on_history_single's steps. `fresh` (the session of the trained models): the rows feed
// new copies of the trained models, which then become model_update_predict, instead of
// model_update_predict itself; `used` then receives the models the forecast comes from.
py::object predict_rows(py::object self, py::object X, py::object prediction_horizon,
                        py::object ts_col_loc, const tarn::Forecaster* fresh,
                        std::vector<ModelPtr>* used, const FutureRegressors& future) {
  X = in_training_order(self, X);
  twdates::DatedRows dated = dated_input(self, X, ts_col_loc, false);
  if (dated.dated) {
    X = dated.X;
    ts_col_loc = py::int_(dated.ts_col);
  }
  const bool has_rows = !X.is_none() && py::len(X) > 0;
  if (has_rows) X = checked_rows(X);
  if (truthy(self.attr(QN("debug")))) twpy::print(class_text(self) + " predict \n X==" + str(X));
  check_fitted(self);

  if (!has_rows) {
    if (fresh) {
      self.attr(QN("model_update_predict")) = wrap_models(fresh->copies());
      if (used) *used = fresh->models();
    }
    return forecast_trained(self, prediction_horizon, future);
  }

  RowBlock b = prepare_rows(self, X, ts_col_loc, false);
  const bool logged = truthy(self.attr(QN("log_transformed")));
  const std::int64_t n_features = as_index(self.attr(QN("n_features_")));
  const std::size_t n_exog = trained_exog(self).size();
  // The regressor columns (after the targets) are taken as they are.
  py::object targets_of_rows =
      n_exog ? py::object(b.values[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                  py::slice(0, n_features, 1))])
             : b.values;
  if (logged && !loggable(targets_of_rows)) {
    twpy::raise(PyExc_Warning, msg("TIDEWELLTSLIBS0007E"));
  }
  if (truthy(self.attr(QN("debug")))) twpy::print(class_text(self) + " fit \n X==" + str(X));
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  const std::int64_t n_values = value_width(b.values);

  tarn::Forecaster session;
  std::vector<ModelPtr> working;
  py::list keep;
  bool engine = n_features >= 0 && n_values >= n_features;
  if (fresh) {
    engine = engine && static_cast<std::size_t>(n_features) <= fresh->models().size();
    if (!engine) self.attr(QN("model_update_predict")) = wrap_models(fresh->copies());
  } else {
    std::vector<tarn::Model*> pointers;
    engine = engine &&
             engine_models(self, self.attr(QN("model_update_predict")),
                           static_cast<std::size_t>(n_features), pointers, keep) &&
             engine_ptrs(keep, working) && trained_session(self, session);
  }
  if (engine) {
    const SessionRows rows = session_rows(b, b.n_rows, n_exog, &future);
    const tarn::Forecaster& run = fresh ? *fresh : session;
    tarn::Forecast out;
    try {
      // A few rows take less time than handing the GIL over and taking it back.
      std::optional<py::gil_scoped_release> release;
      if (b.n_rows >= kRowsWithoutGil) release.emplace();
      out = twpy::interruptible(
          [&] { return run.predict(rows.rows, horizon, fresh ? nullptr : &working); });
    } catch (py::error_already_set&) {
      throw;  // Ctrl-C
    } catch (const std::exception& e) {
      twpy::raise(PyExc_ValueError, e.what());
    }
    if (fresh) {
      keep = wrap_models(out.updated);
      self.attr(QN("model_update_predict")) = keep;
      if (used) *used = out.updated;
    }
    print_skips(out.loop, b, logged);
    if (out.loop.forecast_failed) raise_forecast_failure(keep, out.loop);
    if (horizon <= 0) return inverse_transform(self, py::list());
    return forecast_array(out.values, static_cast<std::size_t>(horizon), out.cols);
  }

  if (n_exog) {
    twpy::raise(PyExc_ValueError,
                "a forecaster trained with regressors (exog_columns) forecasts with the engine's "
                "models only");
  }
  if (logged) b.values = log_transform(G("np"), b.values);
  py::object models = self.attr(QN("model_update_predict"));
  feed_rows_python(self, models, b, n_features);
  return inverse_transform(self, forecast_python(self, models, horizon));
}

py::object predict_on_history_single(py::object self, py::object X, py::object prediction_horizon,
                                     py::object ts_col_loc) {
  return predict_rows(self, X, prediction_horizon, ts_col_loc, nullptr, nullptr,
                      FutureRegressors());
}

// predict's steps; `used` (for the session's forecasts) receives the models the forecast
// comes from.
py::object predict_impl(py::object self, py::object X, py::object prediction_horizon,
                        py::object ts_col_loc, py::object prediction_type,
                        std::vector<ModelPtr>* used, py::object future_exog,
                        FutureRegressors* future_out) {
  new_rows_input(self, X, ts_col_loc);
  // refuses a bad horizon before any work
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  if (!py::isinstance<py::str>(prediction_type)) {
    twpy::raise(PyExc_TypeError,
                "prediction_type must be a string, got " + str(py::repr(prediction_type)));
  }
  // "forecast" (the default) needs no look-up of the sliding-window name.
  const bool forecast = PyUnicode_CheckExact(prediction_type.ptr()) &&
                        PyUnicode_CompareWithASCIIString(prediction_type.ptr(), "forecast") == 0;
  if (!forecast &&
      py_eq(prediction_type.attr(QN("lower"))(), G("Score").attr(QN("PREDICT_SLIDING_WINDOW")))) {
    if (!future_exog.is_none()) {
      twpy::raise(PyExc_ValueError,
                  "future_exog is not taken by a sliding-window forecast: its windows take the "
                  "regressors of the later rows of X");
    }
    const char* method = py_gt(prediction_horizon, py::int_(1))
                             ? "predict_multi_step_sliding_window"
                             : "predict_sliding_window";
    return self.attr(method)(py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                             py::arg("ts_col_loc") = ts_col_loc);
  }
  // The session feeds copies it makes itself: nothing shared changes, so threads may share
  // a forecaster.
  const FutureRegressors future = future_regressors(self, future_exog, horizon);
  if (future_out) *future_out = future;
  tarn::Forecaster session;
  if (session_predict(self, session)) {
    return predict_rows(self, X, prediction_horizon, ts_col_loc, &session, used, future);
  }
  if (!trained_exog(self).empty()) {
    twpy::raise(PyExc_ValueError,
                "a forecaster trained with regressors (exog_columns) forecasts with the engine's "
                "models only");
  }
  self.attr(QN("model_update_predict")) = self.attr(QN("get_models_copy"))();
  return self.attr(QN("predict_on_history_single"))(
      py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
      py::arg("ts_col_loc") = ts_col_loc);
}

py::object predict(py::object self, py::object X, py::object prediction_horizon,
                   py::object ts_col_loc, py::object prediction_type, py::object future_exog) {
  return predict_impl(self, X, prediction_horizon, ts_col_loc, prediction_type, nullptr,
                      future_exog, nullptr);
}

// A coverage in percent, at least 1 and below 100.
double interval_level(py::handle level) {
  double v = std::nan("");
  if (!py::isinstance<py::bool_>(level) && PyNumber_Check(level.ptr())) {
    v = PyFloat_AsDouble(level.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  if (!(v > 0.0 && v < 100.0)) {
    twpy::raise(PyExc_ValueError, "level must be a coverage in percent between 0 and 100, got " +
                                      str(py::repr(level)));
  }
  refuse_fraction_level(v, level);
  return v;
}

// Bounds of the forecasts `forecast` (rows of the horizon, one column per model) at `level`
// percent, on the data's scale and never on the wrong side of the forecast.
py::tuple interval_rows(py::object self, py::object models, py::object time0, double level,
                        py::array_t<double> forecast) {
  const double interval = py::float_(get_train_interval(self)).cast<double>();
  const double start = py::float_(time0).cast<double>();
  const py::ssize_t rows = forecast.ndim() == 2 ? forecast.shape(0) : 0;
  const py::ssize_t cols = forecast.ndim() == 2 ? forecast.shape(1) : 0;
  std::vector<double> times(static_cast<std::size_t>(rows));
  for (py::ssize_t k = 0; k < rows; ++k) {
    times[static_cast<std::size_t>(k)] = start + static_cast<double>(k + 1) * interval;
  }
  // Column by column: an engine model gives all its bounds from one interval path.
  std::vector<double> lo_v(static_cast<std::size_t>(rows * cols)), hi_v(lo_v.size());
  std::vector<double> lv(times.size()), uv(times.size());
  for (py::ssize_t c = 0; c < cols; ++c) {
    py::object m = models[py::int_(c)];
    if (tarn::Model* e = contracts::engine_model(m)) {
      try {
        py::gil_scoped_release release;
        e->forecast_interval_at(times.data(), times.size(), level / 100.0, lv.data(), uv.data());
      } catch (const std::exception& err) {
        twpy::raise(PyExc_ValueError, err.what());
      }
    } else {
      for (std::size_t k = 0; k < times.size(); ++k) {
        py::tuple b = m.attr(QN("forecast_interval_at"))(times[k], level);
        lv[k] = py::float_(b[0]).cast<double>();
        uv[k] = py::float_(b[1]).cast<double>();
      }
    }
    for (std::size_t k = 0; k < times.size(); ++k) {
      lo_v[k * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c)] = lv[k];
      hi_v[k * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c)] = uv[k];
    }
  }
  auto as_matrix = [&](const std::vector<double>& v) {
    py::array_t<double> a({rows, cols});
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
  };
  py::array_t<double> lower(py::array_t<double>(inverse_transform(self, as_matrix(lo_v))));
  py::array_t<double> upper(py::array_t<double>(inverse_transform(self, as_matrix(hi_v))));
  // The transform keeps the order; a bound the arithmetic lost falls back to the forecast.
  auto f = forecast.unchecked<2>();
  auto l = lower.mutable_unchecked<2>();
  auto u = upper.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < rows; ++i) {
    for (py::ssize_t j = 0; j < cols; ++j) {
      l(i, j) = std::isnan(l(i, j)) ? f(i, j) : std::min(l(i, j), f(i, j));
      u(i, j) = std::isnan(u(i, j)) ? f(i, j) : std::max(u(i, j), f(i, j));
    }
  }
  return py::make_tuple(lower, upper);
}

py::object predict_interval(py::object self, py::object X, py::object prediction_horizon,
                            py::object ts_col_loc, py::object level, py::object future_exog) {
  // An array of levels is a list of them (a 0-d array is one level).
  if (is_ndarray(level) && py::reinterpret_borrow<py::array>(level).ndim() == 1) {
    level = level.attr("tolist")();
  }
  const bool many = py::isinstance<py::list>(level) || py::isinstance<py::tuple>(level);
  std::vector<double> levels;
  py::list keys;
  if (many) {
    for (auto v : level) {
      levels.push_back(interval_level(v));
      keys.append(v);
    }
  } else {
    levels.push_back(interval_level(level));
  }
  py::object np = G("np");
  // The forecasts, and the copies brought up to date with the rows of X, exactly as predict.
  std::vector<ModelPtr> used;
  FutureRegressors future;
  py::object forecast =
      is_own(self, "predict") ? predict_impl(self, X, prediction_horizon, ts_col_loc,
                                             py::str("forecast"), &used, future_exog, &future)
      : future_exog.is_none()
          ? self.attr(QN("predict"))(py::arg("X") = X,
                                     py::arg("prediction_horizon") = prediction_horizon,
                                     py::arg("ts_col_loc") = ts_col_loc)
          : self.attr(QN("predict"))(
                py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                py::arg("ts_col_loc") = ts_col_loc, py::arg("future_exog") = future_exog);
  tarn::Forecaster session;
  if (!used.empty() && trained_session(self, session)) {
    // The session's forecasts: the bounds of the models they came from, one path per level.
    py::array_t<double, py::array::c_style | py::array::forcecast> fc(forecast);
    if (fc.ndim() == 2 && static_cast<std::size_t>(fc.shape(1)) == used.size()) {
      const auto rows = static_cast<std::size_t>(fc.shape(0));
      py::dict out;
      for (std::size_t i = 0; i < levels.size(); ++i) {
        py::array_t<double> lower({rows, used.size()}), upper({rows, used.size()});
        double* lo = lower.mutable_data();
        double* hi = upper.mutable_data();
        try {
          py::gil_scoped_release release;
          session.intervals(&used, static_cast<std::int64_t>(rows), levels[i], fc.data(), lo, hi,
                            future.data(), future.rows);
        } catch (const std::exception& err) {
          twpy::raise(PyExc_ValueError, err.what());
        }
        if (!many) return py::make_tuple(lower, upper);
        out[keys[i]] = py::make_tuple(lower, upper);
      }
      return out;
    }
  }
  const bool has_rows = !X.is_none() && py::len(X) > 0;
  py::object models = has_rows ? self.attr(QN("model_update_predict")) : self.attr(QN("model"));
  for (auto m : models) {
    if (!contracts::engine_model(m) && !py::hasattr(m, "forecast_interval_at")) {
      twpy::raise(PyExc_TypeError, "model of type " + str(py::type::of(m).attr(QN("__name__"))) +
                                       " offers no prediction intervals (forecast_interval_at)");
    }
  }
  py::object time0 = get_last_updated(self, has_rows ? models : py::object(py::none()));
  py::array_t<double> fc = np.attr(QN("asarray"))(forecast, py::arg("dtype") = "float64");
  py::array_t<double> grid =
      fc.ndim() == 2 ? fc : py::array_t<double>(fc.reshape({py::ssize_t(0), py::ssize_t(0)}));
  py::dict out;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    py::tuple b = interval_rows(self, models, time0, levels[i], grid);
    if (fc.ndim() != 2) {
      py::object shape = fc.attr(QN("shape"));
      b = py::make_tuple(np.attr(QN("asarray"))(b[0]).attr(QN("reshape"))(shape),
                         np.attr(QN("asarray"))(b[1]).attr(QN("reshape"))(shape));
    }
    if (!many) return b;
    out[keys[i]] = b;
  }
  return out;
}

}  // namespace qest
