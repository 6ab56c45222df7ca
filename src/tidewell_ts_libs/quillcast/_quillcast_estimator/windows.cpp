// QuillcastForecaster: sliding windows, the score and the times of the forecasts.
#include "common.hpp"

namespace qest {

void append_rows(py::list& rows, py::handle block) {
  for (auto row : block) {
    if (py::hasattr(row, "tolist")) {
      rows.append(row.attr(QN("tolist"))());
    } else {
      rows.append(py::list(py::reinterpret_borrow<py::object>(row)));
    }
  }
}

// Whether the per-row calls of a sliding window may run in the C++ loop: the row call is this
// class's own, its debug output is off, and the working copies are engine models.
bool sliding_fast_path(py::object self) {
  if (truthy(self.attr(QN("debug")))) return false;
  return is_own(self, "predict_on_history_single");
}

py::object sliding_window(py::object self, py::object X, py::object prediction_horizon,
                          py::object ts_col_loc, bool multi_step) {
  if (multi_step) {
    if (!PyIndex_Check(prediction_horizon.ptr()) ||
        py_lt(py::reinterpret_steal<py::object>(PyNumber_Index(prediction_horizon.ptr())),
              py::int_(1))) {
      twpy::raise(PyExc_ValueError,
                  "prediction_horizon must be an integer of at least 1 for a multi-step "
                  "sliding-window forecast, got " +
                      str(py::repr(prediction_horizon)));
    }
  }
  const std::int64_t h_checked = effective_horizon(self, prediction_horizon);
  py::object np = G("np");
  new_rows_input(self, X, ts_col_loc);
  py::list rows;
  const bool given = !X.is_none();
  X = np.attr(QN("asarray"))(X);
  const bool sized = as_index(X.attr(QN("ndim"))) > 0;
  if (given && !sized) {
    twpy::raise(PyExc_ValueError,
                "X must be a two-dimensional array of rows, got " + str(py::repr(X)));
  }
  if (sized) {
    // The whole result is (blocks x horizon) rows: refuse one that cannot be held.
    const auto n_rows = static_cast<double>(py::len(X));
    const double blocks = multi_step ? 1.0 + std::max(0.0, n_rows - static_cast<double>(h_checked))
                                     : std::max(1.0, n_rows);
    if (blocks * static_cast<double>(std::max<std::int64_t>(h_checked, 0)) > kMaxSlidingRows) {
      twpy::raise(PyExc_ValueError, "a sliding-window forecast of " + std::to_string(py::len(X)) +
                                        " rows with prediction_horizon " +
                                        std::to_string(h_checked) + " would have more than " +
                                        std::to_string(kMaxSlidingRows) + " rows");
    }
  }
  py::object ts_icol_loc = self.attr(QN("ts_icol_loc"));
  if (is_minus_one(ts_col_loc) && !is_minus_one(ts_icol_loc)) {
    ts_col_loc = first_if_list(ts_icol_loc);
  }
  // Copies of the trained models made by the session, which feeds them the rows.
  tarn::Forecaster session;
  const bool own_copies = is_own(self, "get_models_copy") && trained_session(self, session);
  std::vector<ModelPtr> copies;
  py::list copy_list;
  if (own_copies) {
    copies = session.copies();
    copy_list = wrap_models(copies);
    self.attr(QN("model_update_predict")) = copy_list;
  } else {
    self.attr(QN("model_update_predict")) = self.attr(QN("get_models_copy"))();
  }
  py::object single = self.attr(QN("predict_on_history_single"));
  // With regressors, every window takes those of its steps from the later rows of X.
  const std::size_t n_exog = trained_exog(self).size();
  std::vector<double> row_exog;  // the regressors of every row of X (rows of n_exog)
  const std::int64_t n_all = sized ? static_cast<std::int64_t>(py::len(X)) : 0;
  auto exog_rows = [&](std::int64_t from, std::int64_t count) {
    FutureRegressors f;
    if (from < 0 || from + count > n_all) {
      twpy::raise(PyExc_ValueError,
                  "the sliding window from row " + std::to_string(from) + " forecasts " +
                      std::to_string(count) + " steps, but X has " +
                      std::to_string(std::max<std::int64_t>(0, n_all - from)) +
                      " rows from there: the regressors of its later steps are not given");
    }
    const auto k = n_exog;
    f.values.assign(row_exog.begin() + static_cast<std::ptrdiff_t>(from * k),
                    row_exog.begin() + static_cast<std::ptrdiff_t>((from + count) * k));
    f.rows = static_cast<std::size_t>(count);
    return f;
  };
  if (n_exog) {
    if (!own_copies || !sliding_fast_path(self) || n_all < 1) {
      twpy::raise(PyExc_ValueError,
                  "a sliding-window forecast with regressors needs rows of X (with their "
                  "regressor columns) and the engine's own models");
    }
    RowBlock all = prepare_rows(self, checked_rows(X), ts_col_loc, false);
    py::array_t<double, py::array::c_style | py::array::forcecast> v(all.values);
    const auto width = static_cast<std::size_t>(v.shape(1));
    for (std::int64_t r = 0; r < n_all; ++r) {
      const double* row = v.data() + static_cast<std::size_t>(r) * width + (width - n_exog);
      row_exog.insert(row_exog.end(), row, row + n_exog);
    }
  }
  // The first block is the forecast of the trained models: the row call without rows, which
  // the class's own row call (and no debug output) leaves to forecast_trained directly.
  const bool direct = own_copies && sliding_fast_path(self);
  if (direct && !n_exog) check_fitted(self);
  py::object block0 = n_exog ? forecast_trained(self, prediction_horizon, exog_rows(0, h_checked))
                      : direct
                          ? forecast_trained(self, prediction_horizon, FutureRegressors())
                          : single(py::none(), py::arg("prediction_horizon") = prediction_horizon,
                                   py::arg("ts_col_loc") = ts_col_loc);
  const std::int64_t n = static_cast<std::int64_t>(py::len(X));
  const std::int64_t bound = multi_step ? n - as_index(prediction_horizon) + 1 : n;
  const std::int64_t n_feed = bound - 1;
  // Nothing to feed (one row or none): the first block is the whole result. A new matrix of
  // float64 is returned as it is, which is what the list of its rows would become.
  if (n_feed < 1 && is_ndarray(block0)) {
    auto a = py::reinterpret_borrow<py::array>(block0);
    if (a.ndim() == 2 && a.dtype().is(py::dtype::of<double>())) return block0;
  }
  append_rows(rows, block0);
  if (n < 1) return np.attr(QN("asarray"))(rows);
  if (n_feed < 1) return np.attr(QN("asarray"))(rows);

  // The session: the same steps as one row call per row, recorded and printed afterwards.
  py::object fed = X[py::slice(0, n_feed, 1)];
  RowBlock b;
  bool fast = own_copies && sliding_fast_path(self) && as_index(X.attr(QN("ndim"))) == 2;
  py::object checked;
  if (fast) {
    try {
      checked = checked_rows(fed);
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      fast = false;  // the row calls report it, at the row where it happens
    }
  }
  std::int64_t n_features = 0;
  if (fast) {
    n_features = as_index(self.attr(QN("n_features_")));
    b = prepare_rows(self, checked, ts_col_loc, false);
    const std::int64_t n_values = as_index(py::tuple(b.values.attr(QN("shape")))[1]);
    fast = n_features >= 0 && n_values >= n_features &&
           static_cast<std::size_t>(n_features) <= copies.size();
  }
  if (!fast) {
    for (std::int64_t count = 1; count < bound; ++count) {
      py::list one;
      one.append(X[py::int_(count - 1)]);
      append_rows(rows, single(one, py::arg("prediction_horizon") = prediction_horizon,
                               py::arg("ts_col_loc") = ts_col_loc));
    }
    return np.attr(QN("asarray"))(rows);
  }

  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  // The regressors after the fed rows: those of the rest of X.
  const FutureRegressors later = n_exog ? exog_rows(n_feed, n_all - n_feed) : FutureRegressors();
  const SessionRows fed_rows = session_rows(b, n_feed, n_exog, &later);
  tarn::Forecast out;
  try {
    py::gil_scoped_release release;
    out = twpy::interruptible([&] { return session.sliding(fed_rows.rows, horizon, &copies); });
  } catch (py::error_already_set&) {
    throw;  // Ctrl-C
  } catch (const std::exception& e) {
    twpy::raise(PyExc_ValueError, e.what());
  }
  print_skips(out.loop, b, truthy(self.attr(QN("log_transformed"))));
  if (out.loop.forecast_failed) raise_forecast_failure(copy_list, out.loop);
  if (static_cast<std::int64_t>(out.usable_rows) < n_feed) {
    twpy::raise(PyExc_Warning, msg("TIDEWELLTSLIBS0007E"));
  }
  if (horizon <= 0) return np.attr(QN("asarray"))(rows);

  const std::size_t m = out.cols;
  py::object forecasts = forecast_array(out.values, out.values.size() / (m ? m : 1), m);
  py::object head = np.attr(QN("asarray"))(rows);
  if (as_index(head.attr(QN("ndim"))) != 2)
    return np.attr(QN("asarray"))(rows + forecasts.attr(QN("tolist"))());
  return np.attr(QN("concatenate"))(py::make_tuple(head, forecasts));
}

// Negative mean symmetric MAPE (percent; 0 is best) of one-step sliding-window forecasts over X
// against y, or against the target columns of X when y is None.
py::object score(py::object self, py::object X, py::object y, py::object sample_weight) {
  py::object np = G("np");
  py::object ts_icol_loc = self.attr(QN("ts_icol_loc"));
  X = in_training_order(self, X);
  twdates::DatedRows dated = dated_input(self, X, py::int_(-1), false);
  if (dated.dated) {
    X = dated.X;
    ts_icol_loc = py::make_tuple(dated.ts_col);
  }
  X = np.attr(QN("asarray"))(X);
  py::object forecasts =
      dated.dated ? self.attr(QN("predict_sliding_window"))(X, py::arg("prediction_horizon") = 1,
                                                            py::arg("ts_col_loc") = dated.ts_col)
                  : self.attr(QN("predict_sliding_window"))(X, py::arg("prediction_horizon") = 1);
  py::object truth;
  if (!y.is_none()) {
    truth = np.attr(QN("asarray"))(y, py::arg("dtype") = "float64");
  } else {
    py::object checked = G("check_array")(X, py::arg("accept_sparse") = false);
    const std::int64_t ts_col =
        is_minus_one(ts_icol_loc) ? -1 : as_index(first_if_list(ts_icol_loc));
    const std::int64_t ncols = as_index(py::tuple(checked.attr(QN("shape")))[1]);
    py::list cols = value_columns(self, ncols, ts_col, as_index(self.attr(QN("n_features_"))));
    truth = checked[py::make_tuple(py::slice(py::none(), py::none(), py::none()), cols)];
    truth = np.attr(QN("asarray"))(truth, py::arg("dtype") = "float64");
  }
  forecasts = np.attr(QN("asarray"))(forecasts, py::arg("dtype") = "float64");
  const std::int64_t n = as_index(py::tuple(forecasts.attr(QN("shape")))[0]);
  forecasts = forecasts.attr(QN("reshape"))(n, -1);
  if (as_index(truth.attr(QN("ndim"))) == 1) truth = truth.attr(QN("reshape"))(-1, 1);
  const std::int64_t k = as_index(py::tuple(forecasts.attr(QN("shape")))[1]);
  if (as_index(py::tuple(truth.attr(QN("shape")))[0]) != n) {
    twpy::raise(PyExc_ValueError, "y has " + str(py::tuple(truth.attr(QN("shape")))[0]) +
                                      " rows but the forecasts over X have " + std::to_string(n));
  }
  truth = truth[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, k, 1))];
  if (!py_eq(py::tuple(truth.attr(QN("shape"))), py::tuple(forecasts.attr(QN("shape"))))) {
    twpy::raise(PyExc_ValueError, "y has " + str(truth.attr(QN("shape"))) +
                                      " values but the forecasts have " +
                                      str(forecasts.attr(QN("shape"))));
  }
  // The session's mean: numpy's order of sums. Weights that numpy's average would refuse (a
  // shape of their own, a sum of zero) go to numpy, which reports them.
  py::array_t<double, py::array::c_style | py::array::forcecast> weights;
  bool engine = sample_weight.is_none();
  if (!engine) {
    weights = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(sample_weight);
    if (!weights) {
      PyErr_Clear();
    } else if (weights.ndim() == 1 && weights.shape(0) == n) {
      double total = 0.0;
      for (py::ssize_t i = 0; i < n; ++i) total += weights.data()[i];
      engine = total != 0.0 && std::isfinite(total);
    }
  }
  if (engine) {
    auto f = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(forecasts);
    auto t = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(truth);
    if (!f || !t) throw py::error_already_set();
    const auto rows = static_cast<std::size_t>(f.shape(0));
    const auto cols = static_cast<std::size_t>(f.shape(1));
    const double* w = sample_weight.is_none() ? nullptr : weights.data();
    double value;
    {
      py::gil_scoped_release unlocked;
      value = tarn::mean_smape(t.data(), f.data(), rows, cols, w);
    }
    return py::float_(-value);
  }
  // The engine's terms, written into the array numpy gives the elementwise difference (its
  // memory order is the order of the sums below); the means over the targets and the weighted
  // rows are numpy's, sample_weight being np.average's.
  auto ratio = py::array_t<double>::ensure(forecasts - truth);
  if (!ratio) throw py::error_already_set();
  const bool fortran =
      !(ratio.flags() & py::array::c_style) && (ratio.flags() & py::array::f_style);
  if (!fortran && !(ratio.flags() & py::array::c_style)) {
    ratio = py::array_t<double>::ensure(np.attr(QN("ascontiguousarray"))(ratio));
  }
  const char* order = fortran ? "F" : "C";
  auto f = py::array_t<double>::ensure(np.attr(QN("asarray"))(forecasts, py::arg("order") = order));
  auto t = py::array_t<double>::ensure(np.attr(QN("asarray"))(truth, py::arg("order") = order));
  if (!f || !t) throw py::error_already_set();
  {
    py::gil_scoped_release unlocked;
    tarn::smape_terms(t.data(), f.data(), static_cast<std::size_t>(ratio.size()),
                      ratio.mutable_data());
  }
  py::object per_row = ratio.attr(QN("mean"))(py::arg("axis") = 1);
  py::object value = np.attr(QN("average"))(per_row, py::arg("weights") = sample_weight);
  return py::float_(-value.cast<double>());
}

// The times of the rows predict() forecasts from the trained models: dates (a DatetimeIndex)
// when the forecaster was trained on dates, else values of the numeric time axis.
py::object forecast_times(py::object self, py::object prediction_horizon) {
  const std::string not_fitted = msg("TIDEWELLTSLIBS0056E");
  try {
    G("check_is_fitted")(self, "is_fitted_", py::arg("msg") = not_fitted);
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    reraise_as_exception(e);
  }
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  std::vector<double> times;
  tarn::Forecaster session;
  if (trained_session(self, session)) {
    times = session.forecast_times(horizon);
  } else {
    const double last = py::float_(get_last_updated(self, py::none())).cast<double>();
    const double interval = py::float_(get_train_interval(self)).cast<double>();
    for (std::int64_t k = 0; k < horizon; ++k) {
      times.push_back(last + static_cast<double>(k + 1) * interval);
    }
  }
  py::dict state = self.attr(QN("__dict__"));
  if (state.contains("time_axis_") && !state["time_axis_"].is_none()) {
    py::object dates = twdates::dates_of(twdates::axis_from_dict(state["time_axis_"]), times);
    return twpy::import("pandas", "DatetimeIndex")(dates);
  }
  return py::array_t<double>(static_cast<py::ssize_t>(times.size()), times.data());
}

}  // namespace qest
