// QuillcastForecaster: training (fit).
#include "common.hpp"
#include "tarn/series_job.hpp"

namespace qest {

// ---------------------------------------------------------------------------------------------
// Fitting

// The algorithm that model construction will use.
std::string effective_algorithm(py::object self) {
  py::object all_args = self.attr("all_args");
  py::object algorithm = self.attr("algorithm");
  if (py::isinstance<py::dict>(all_args) && all_args.contains("algorithm")) {
    algorithm = all_args["algorithm"];
  }
  check_algorithm_name(algorithm);
  return str(algorithm.attr("lower")());
}

// The target columns in the order given: a list or tuple of distinct column indices of X,
// none of them the timestamp column. Anything else is refused with a ValueError naming the
// setting (a TypeError for a value that is no list of integers).
std::vector<std::int64_t> checked_targets(py::object tci, std::int64_t n_cols, py::object ts_col) {
  const std::string shown = str(py::repr(tci));
  if (!(PyList_Check(tci.ptr()) || PyTuple_Check(tci.ptr()))) {
    twpy::raise(PyExc_TypeError,
                "target_column_indices must be -1 or a list of column indices, got " + shown);
  }
  std::vector<std::int64_t> out;
  for (auto i : tci) {
    if (PyBool_Check(i.ptr()) || !PyIndex_Check(i.ptr())) {
      twpy::raise(PyExc_TypeError,
                  "target_column_indices must hold integer column indices, got " + shown);
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(i.ptr()));
    if (!index) throw py::error_already_set();
    if (py_lt(index, py::int_(0)) || py_ge(index, py::int_(n_cols))) {
      twpy::raise(PyExc_ValueError, "target_column_indices " + shown + ": column " + str(index) +
                                        " is outside the " + std::to_string(n_cols) +
                                        " columns of the data");
    }
    const std::int64_t c = as_index(index);
    if (!ts_col.is_none() && PyIndex_Check(ts_col.ptr()) && c == as_index(ts_col)) {
      twpy::raise(PyExc_ValueError, "target_column_indices " + shown + ": column " +
                                        std::to_string(c) + " is the timestamp column");
    }
    if (std::find(out.begin(), out.end(), c) != out.end()) {
      twpy::raise(PyExc_ValueError, "target_column_indices " + shown + ": column " +
                                        std::to_string(c) + " is given more than once");
    }
    out.push_back(c);
  }
  if (out.empty()) {
    twpy::raise(PyExc_ValueError,
                "target_column_indices must name at least one column, got " + shown);
  }
  return out;
}

// The regressor columns of exog_columns: None (or an empty list) for none, else a list or tuple
// of distinct column indices of X that are neither the timestamp column nor a target.
std::vector<std::int64_t> checked_exog(py::object exog, std::int64_t n_cols, std::int64_t ts_col,
                                       const std::vector<std::int64_t>& targets) {
  std::vector<std::int64_t> out;
  if (exog.is_none()) return out;
  const std::string shown = str(py::repr(exog));
  if (!(PyList_Check(exog.ptr()) || PyTuple_Check(exog.ptr()))) {
    twpy::raise(PyExc_ValueError,
                "exog_columns must be None or a list of column indices, got " + shown);
  }
  for (auto i : exog) {
    if (PyBool_Check(i.ptr()) || !PyIndex_Check(i.ptr())) {
      twpy::raise(PyExc_ValueError, "exog_columns must hold integer column indices, got " + shown);
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(i.ptr()));
    if (!index) throw py::error_already_set();
    if (py_lt(index, py::int_(0)) || py_ge(index, py::int_(n_cols))) {
      twpy::raise(PyExc_ValueError, "exog_columns " + shown + ": column " + str(index) +
                                        " is outside the " + std::to_string(n_cols) +
                                        " columns of the data");
    }
    const std::int64_t c = as_index(index);
    if (c == ts_col) {
      twpy::raise(PyExc_ValueError, "exog_columns " + shown + ": column " + std::to_string(c) +
                                        " is the timestamp column");
    }
    if (std::find(targets.begin(), targets.end(), c) != targets.end()) {
      twpy::raise(PyExc_ValueError, "exog_columns " + shown + ": column " + std::to_string(c) +
                                        " is a target column (target_column_indices)");
    }
    if (std::find(out.begin(), out.end(), c) != out.end()) {
      twpy::raise(PyExc_ValueError, "exog_columns " + shown + ": column " + std::to_string(c) +
                                        " is given more than once");
    }
    out.push_back(c);
  }
  if (static_cast<std::size_t>(n_cols) < out.size() + 1 + (ts_col >= 0 ? 1 : 0)) {
    twpy::raise(PyExc_ValueError, "exog_columns " + shown + " leaves no target column among the " +
                                      std::to_string(n_cols) + " columns of the data");
  }
  return out;
}

// The regressors of the training rows (n rows of k, row-major); a value that is not finite is
// refused, naming the column (and its label) and the row.
std::vector<double> training_regressors(py::object X, const std::vector<std::int64_t>& exog,
                                        py::object names) {
  py::array_t<double, py::array::c_style | py::array::forcecast> m(
      G("np").attr("asarray")(X, py::arg("dtype") = "float64"));
  const auto n = static_cast<std::size_t>(m.shape(0));
  const auto cols = static_cast<std::size_t>(m.shape(1));
  const std::size_t k = exog.size();
  std::vector<double> out(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      const double v = m.data()[i * cols + static_cast<std::size_t>(exog[j])];
      if (!std::isfinite(v)) {
        std::string name = "regressor column " + std::to_string(exog[j]);
        if (!names.is_none() && exog[j] < static_cast<std::int64_t>(py::len(names))) {
          name += " (" + str(py::repr(names[py::int_(exog[j])])) + ")";
        }
        twpy::raise(PyExc_ValueError, "exog_columns: " + name + ", row " + std::to_string(i) +
                                          " is " + str(py::repr(py::float_(v))) +
                                          "; regressors must be finite to train on");
      }
      out[i * k + j] = v;
    }
  }
  return out;
}

// A target column without a single finite value leaves nothing to train on: refused, naming
// the column (and its label when X is a DataFrame), before any model is built.
void check_target_has_values(py::object column, std::int64_t c, py::object names) {
  py::array_t<double, py::array::c_style | py::array::forcecast> v(column);
  const double* x = v.data();
  for (py::ssize_t i = 0, n = v.size(); i < n; ++i) {
    if (std::isfinite(x[i])) return;
  }
  std::string name = "target column " + std::to_string(c);
  if (!names.is_none() && c < static_cast<std::int64_t>(py::len(names))) {
    name += " (" + str(py::repr(names[py::int_(c)])) + ")";
  }
  twpy::raise(PyExc_ValueError, name + " has no values to train on: none of its " +
                                    std::to_string(v.size()) +
                                    " values is a finite number (all are missing)");
}

// Training through the models' Python operations (models that are not the engine's own).
void train_python(py::object self, py::object X, py::object y, py::list vals, py::list timestamps,
                  py::object model_list, py::dict filled, std::int64_t n_features, bool retry_sizes,
                  py::object utils, std::size_t ts_l) {
  py::object np = G("np");
  py::object series = vals;
  if (truthy(self.attr("log_transformed"))) {
    // The session's choice: raw values when a transformed value is not finite or a series is
    // too small for the transform.
    py::array_t<double, py::array::c_style | py::array::forcecast> raw(
        np.attr("array")(vals, py::arg("dtype") = "float64"));
    const std::size_t n_series = raw.ndim() == 2 ? static_cast<std::size_t>(raw.shape(0)) : 0;
    const std::size_t n = raw.ndim() == 2 ? static_cast<std::size_t>(raw.shape(1)) : 0;
    if (tarn::choose_log(raw.data(), n_series, n) != tarn::LogChoice::kLog) {
      self.attr("log_transformed") = false;
    } else {
      series = log_transform(np, raw);
    }
  }
  if (truthy(self.attr("debug"))) {
    twpy::print(class_text(self) + " fit \n X==" + str(X) + "\n y=" + str(y));
  }

  // A model that can undo the log transform (the automatic selector, ARIMA) is told of it and
  // fits the series on its own scale.
  const bool log_input = truthy(self.attr("log_transformed"));
  for (std::int64_t col = 0; col < n_features; ++col) {
    try {
      py::list values =
          np.attr("asarray")(series[py::int_(col)], py::arg("dtype") = "float64").attr("tolist")();
      if (retry_sizes) {
        bool initialized = false;
        for (int itr = 0; !initialized && itr < 5; ++itr) {
          py::object size = utils.attr("get_arima_init_size")(itr, ts_l);
          py::dict all_args = self.attr("all_args");
          all_args["min_training_data"] = size;
          filled["min_training_data"] = size;
          py::object m = self.attr("_getModel")(**all_args);
          model_list[py::int_(col)] = m;
          if (log_input && py::hasattr(m, "set_log_input")) m.attr("set_log_input")(2.0);
          m.attr("update_model")(timestamps, values);
          initialized = model_ready(m);
        }
      } else {
        py::object m = model_list[py::int_(col)];
        if (log_input && py::hasattr(m, "set_log_input")) m.attr("set_log_input")(2.0);
        m.attr("update_model")(timestamps, values);
        // The series ended before the model's training size: it fits on what it has, if it can.
        if (!model_ready(m) && py::hasattr(m, "fit_available")) m.attr("fit_available")();
      }
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      reraise_as_exception(e);
    }
  }
}

// Trains new models on X into a new `model` list (the old models are left alone).
void train(py::object self, py::object X, py::object y) {
  py::object np = G("np");
  self.attr("model") = py::list();
  if (truthy(self.attr("debug"))) {
    twpy::print(class_text(self) + " fit \n X==" + str(X));
    twpy::print("Y=" + str(y));
  }
  py::object ts_icol_loc = self.attr("ts_icol_loc");
  // Dates become values on the time axis; a DatetimeIndex becomes a last timestamp column.
  py::object column_names = py::none();  // a DataFrame's column labels, to name a column by
  if (py::hasattr(X, "columns") && !py::isinstance(X, G("np").attr("ndarray"))) {
    column_names = py::list(X.attr("columns"));
  }
  twdates::DatedRows dated = dated_input(self, X, py::int_(-1), true);
  if (dated.dated) {
    X = dated.X;
    if (dated.from_index) ts_icol_loc = py::make_tuple(dated.ts_col);
  } else if (py::dict(self.attr("__dict__")).contains("time_axis_")) {
    py::delattr(self, "time_axis_");
  }
  X = checked_training_rows(X);

  py::list timestamps;
  self.attr("_timestamps") = timestamps;
  py::object ts_col = py::int_(-1);
  py::tuple shape = X.attr("shape");
  const py::object n_rows = shape[0];
  const py::object n_cols = shape[1];
  self.attr("n_features_in_") = dated.from_index ? py::object(n_cols - py::int_(1)) : n_cols;
  py::object tci = self.attr("target_column_indices");
  const bool all_targets = is_minus_one(tci);
  std::vector<std::int64_t> target_order;  // the value columns, one model each, in this order
  if (!all_targets) {
    target_order = checked_targets(
        tci, as_index(n_cols),
        is_minus_one(ts_icol_loc) ? py::object(py::int_(-1)) : first_if_list(ts_icol_loc));
    self.attr("n_features_") = py::len(tci);
  } else {
    self.attr("n_features_") =
        is_minus_one(ts_icol_loc) ? n_cols : py::object(n_cols - py::int_(1));
  }
  // Regressor columns: not targets; their names (a DataFrame's labels) pick the future ones.
  const std::vector<std::int64_t> exog = checked_exog(
      self.attr("exog_columns"), as_index(n_cols),
      is_minus_one(ts_icol_loc) ? -1 : as_index(first_if_list(ts_icol_loc)), target_order);
  if (all_targets && !exog.empty()) {
    self.attr("n_features_") = py::object(self.attr("n_features_")) - py::int_(exog.size());
  }
  if (is_minus_one(ts_icol_loc)) {
    for (std::int64_t i = 0, n = as_index(n_rows); i < n; ++i) timestamps.append(i);
  } else {
    ts_col = first_if_list(ts_icol_loc);
    if (py_lt(ts_col, py::int_(0)) || py_ge(ts_col, n_cols)) {
      twpy::raise(PyExc_RuntimeError, msg("TIDEWELLTSLIBS0005E", str(ts_col)));
    }
    py::object column = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ts_col)];
    check_whole_timestamps(column, ts_col);
    for (auto v : column) timestamps.append(py::int_(py::reinterpret_borrow<py::object>(v)));
  }
  self.attr("_totalsamples") = py::len(timestamps);

  // Dated rows: the seasons their calendar implies, for the season search to test.
  std::vector<double> calendar;
  if (dated.dated) {
    std::vector<std::int64_t> axis_values;
    axis_values.reserve(py::len(timestamps));
    for (auto t : timestamps) axis_values.push_back(t.cast<std::int64_t>());
    calendar = tarn::calendar::calendar_seasons(twdates::axis_from_dict(self.attr("time_axis_")),
                                                axis_values);
  }
  py::object calendar_list = py::none();
  if (!calendar.empty()) {
    py::list l;
    for (double c : calendar) l.append(c);
    calendar_list = l;
  }

  const std::string algorithm = effective_algorithm(self);
  const tarn::ModelEntry* entry = tarn::find_algorithm(algorithm);
  const bool seasonal_sizes = entry && entry->forecaster.season_sized;
  // The periodicity step fills only the settings the caller left out. A value an earlier
  // training filled in (recorded in _filled_args) is the training's own, not the caller's,
  // and is filled again.
  py::dict filled_before;
  {
    py::dict state = self.attr("__dict__");
    if (state.contains("_filled_args") && py::isinstance<py::dict>(state["_filled_args"])) {
      filled_before = state["_filled_args"];
    }
  }
  py::dict filled;
  std::vector<std::string> caller_keys;
  {
    py::object args = self.attr("all_args");
    if (py::isinstance<py::dict>(args)) {
      py::dict a = args;
      for (const char* k :
           {"samples_per_season", "initial_training_seasons", "error_history_length",
            "error_horizon_length", "min_training_data", "training_sample_size"}) {
        if (!a.contains(k) || a[k].is_none()) continue;
        if (filled_before.contains(k) && a[k].is(filled_before[k])) continue;
        caller_keys.push_back(k);
      }
    }
  }
  auto given = [&](const char* k) {
    return std::find(caller_keys.begin(), caller_keys.end(), k) != caller_keys.end();
  };
  auto fill = [&](py::dict all_args, const char* k, py::object v) {
    if (given(k)) return;
    all_args[k] = v;
    filled[k] = v;
  };
  py::list vals;
  std::size_t ts_l = 0;
  py::object model_list = self.attr("model");
  const std::int64_t ncols = as_index(n_cols);
  const std::int64_t ts_index = is_minus_one(ts_col) ? -1 : as_index(ts_col);
  if (all_targets) {
    for (std::int64_t c = 0; c < ncols; ++c) {
      if (c != ts_index && std::find(exog.begin(), exog.end(), c) == exog.end()) {
        target_order.push_back(c);
      }
    }
  }
  const std::vector<double> regressors =
      exog.empty() ? std::vector<double>() : training_regressors(X, exog, column_names);
  // Seasons the data show that the models leave out, said once training succeeds.
  std::vector<std::string> season_warnings;
  for (const std::int64_t c : target_order) {
    py::object column = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), c)];
    check_target_has_values(column, c, column_names);
    check_nonnegative_target(self, column, c, column_names);
    vals.append(column);
    ts_l = py::len(timestamps);
    if (truthy(self.attr("compute_periodicity"))) {
      // The engine's rule for the settings training fills in (a batch forecast runs it too);
      // the season finding goes through QuillcastUtils.
      tarn::SeriesSizes sizes;
      // Holt-Winters left without a season takes the one the data show, as a batch forecast
      // gives it (none when the data hold fewer than two of its cycles), rather than a quarter
      // of the training length, which is a season only by chance.
      const bool hw_season = entry && entry->forecaster.own_rules && !given("samples_per_season") &&
                             !given("min_training_data");
      if (seasonal_sizes) {
        // The calendar's seasons go along only for dated data, so a replaced get_init_samples
        // that takes the values and the two limits keeps working on everything else.
        py::object find = G("QuillcastUtils").attr("get_init_samples");
        py::object counts =
            calendar_list.is_none()
                ? find(column.attr("tolist")(), py::arg("upper_limit") = 200,
                       py::arg("lower_limit") = 8)
                : find(column.attr("tolist")(), py::arg("upper_limit") = 200,
                       py::arg("lower_limit") = 8, py::arg("calendar_seasons") = calendar_list);
        py::list items(counts);
        if (py::len(items) != 4) {
          twpy::raise(PyExc_ValueError, "QuillcastUtils.get_init_samples returned " +
                                            std::to_string(py::len(items)) +
                                            " counts; four were expected");
        }
        sizes.period = py::int_(items[1]).cast<std::int64_t>();
        sizes.training = py::int_(items[3]).cast<std::int64_t>();
      }
      py::dict all_args = self.attr("all_args");
      tarn::Value season;
      if (given("samples_per_season")) {
        try {
          season = contracts::to_value("samples_per_season", all_args["samples_per_season"]);
        } catch (py::error_already_set& e) {
          if (!is_exception(e)) throw;
        }
      }
      for (const auto& [key, value] :
           tarn::training_fills(entry ? entry->forecaster : tarn::ForecasterEntry(), sizes,
                                static_cast<std::int64_t>(ts_l), caller_keys, season)) {
        fill(all_args, key.c_str(), contracts::to_python(value));
      }
      // The engine's own search, as the batch forecast runs it: Holt-Winters' season, and on a
      // long series the seasons a model carrying one leaves out.
      const bool one_season = entry && entry->forecaster.one_season;
      const bool long_enough =
          static_cast<std::int64_t>(ts_l) >= 3 * (tarn::kSeasonSearchReach + 1);
      if (hw_season || (one_season && long_enough)) {
        py::array_t<double, py::array::c_style | py::array::forcecast> values(column);
        const auto n = static_cast<std::size_t>(values.size());
        if (hw_season) {
          std::int64_t period = 1;
          {
            py::gil_scoped_release release;  // (a long series' search: Ctrl-C stops it)
            period = twpy::interruptible([&] {
                       return tarn::series_sizes(values.data(), n, tarn::kSeasonSearchReach, 8,
                                                 calendar);
                     }).period;
          }
          const tarn::HoltWintersSizes hs =
              tarn::holt_winters_sizes(static_cast<std::int64_t>(ts_l), period);
          fill(all_args, "samples_per_season", py::int_(hs.samples_per_season));
          fill(all_args, "initial_training_seasons", py::int_(hs.initial_training_seasons));
        }
        // Said once the model is trained.
        if (one_season && long_enough) {
          std::int64_t carried = 0;  // the season the model finds itself
          if (all_args.contains("samples_per_season") &&
              PyLong_Check(all_args["samples_per_season"].ptr())) {
            carried = all_args["samples_per_season"].cast<std::int64_t>();
          }
          tarn::LeftOutSeasons left;
          {
            py::gil_scoped_release release;
            left = twpy::interruptible(
                [&] { return tarn::seasons_left_out(values.data(), n, calendar, carried); });
          }
          const std::string note = left.note(algorithm);
          if (!note.empty()) season_warnings.push_back(algorithm + ": " + note);
        }
      }
    }
    try {
      model_list.attr("append")(self.attr("_getModel")(**py::dict(self.attr("all_args"))));
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      reraise_as_exception(e);
    }
  }

  const std::int64_t n_features = as_index(self.attr("n_features_"));
  // A training size the caller gave is used as it is, without trying others (-1 or any other
  // value of 0 or below asks for the sizes to be tried).
  bool own_size = given("min_training_data");
  if (own_size) {
    py::object v = py::dict(self.attr("all_args"))["min_training_data"];
    own_size = PyNumber_Check(v.ptr()) && py_gt(v, py::int_(0));
  }
  const bool retry_sizes = entry && entry->forecaster.retries_sizes && ts_l > 50 && !own_size;
  py::object utils = retry_sizes ? G("QuillcastUtils") : py::object(py::none());

  // Engine models train in the session: the log transform, the retries and the fits.
  std::vector<ModelPtr> first;
  const bool engine =
      engine_ptrs(model_list, first) && static_cast<std::int64_t>(first.size()) == n_features;
  if (!exog.empty()) {
    if (!engine) {
      twpy::raise(PyExc_TypeError,
                  "exog_columns: regressors need the engine's models, and _getModel built others");
    }
    for (const auto& m : first) {
      try {
        tarn::Regression::check_inner_kind(m->kind());
      } catch (const std::exception& e) {
        twpy::raise(PyExc_ValueError, std::string("exog_columns: ") + e.what());
      }
    }
  }
  if (engine) {
    py::array_t<double, py::array::c_style | py::array::forcecast> raw(
        np.attr("array")(vals, py::arg("dtype") = "float64"));
    std::vector<std::int64_t> stamps;
    stamps.reserve(py::len(timestamps));
    for (auto t : timestamps) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
      if (overflow != 0) twpy::raise(PyExc_Exception, "timestamp is out of range");
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      stamps.push_back(static_cast<std::int64_t>(v));
    }
    if (truthy(self.attr("debug"))) {
      twpy::print(class_text(self) + " fit \n X==" + str(X) + "\n y=" + str(y));
    }
    tarn::Forecaster::TrainInput in;
    in.timestamps = stamps.data();
    in.series = raw.data();
    in.n = stamps.size();
    in.n_targets = first.size();
    in.log_transform = truthy(self.attr("log_transformed"));
    in.retry_sizes = retry_sizes;
    in.regressors = regressors.empty() ? nullptr : regressors.data();
    in.calendar_seasons = calendar;
    // A season the caller gives comes first for every model that finds its own; Holt-Winters
    // takes it among its settings.
    if (given("samples_per_season") && !(entry && entry->forecaster.own_rules)) {
      py::dict all_args = self.attr("all_args");
      try {
        in.season = tarn::given_season(
            contracts::to_value("samples_per_season", all_args["samples_per_season"]),
            static_cast<std::int64_t>(ts_l));
      } catch (const tarn::InvalidArgument& e) {
        twpy::raise(PyExc_ValueError, e.what());
      }
    }
    in.n_regressors = exog.size();
    // A retry builds its model through _getModel with the attempt's training size.
    auto retry = [&](std::size_t col, std::int64_t attempt) -> ModelPtr {
      py::gil_scoped_acquire gil;
      py::object size = utils.attr("get_arima_init_size")(attempt, ts_l);
      py::dict all_args = self.attr("all_args");
      all_args["min_training_data"] = size;
      filled["min_training_data"] = size;
      py::object m = self.attr("_getModel")(**all_args);
      model_list[py::int_(col)] = m;
      if (!contracts::engine_model(m)) {
        twpy::raise(PyExc_TypeError, "a retried training built " +
                                         str(py::type::of(m).attr("__name__")) +
                                         ", not an engine model");
      }
      return m.cast<ModelPtr>();
    };
    tarn::Forecaster session;
    try {
      py::gil_scoped_release release;
      twpy::interruptible([&] { session.train(in, first, retry); });
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      reraise_as_exception(e);
    } catch (const std::exception& e) {
      twpy::raise(PyExc_Exception, e.what());
    }
    if (in.log_transform && !session.log_transformed()) self.attr("log_transformed") = false;
    // A fit that departs from the caller's settings (a season given that the model could not
    // carry) says so; a season filled in by detection that the model declines is its choice.
    for (const auto& m : session.models()) {
      if (!given("samples_per_season")) break;
      const std::string note = m ? m->fit_note() : std::string();
      if (note.empty()) continue;
      const std::string text = str(self.attr("algorithm")) + ": " + note;
      if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0) throw py::error_already_set();
    }
    // With regressors the trained models are the regressions around the models built.
    if (!exog.empty()) {
      for (std::size_t c = 0; c < session.models().size(); ++c) {
        model_list[py::int_(c)] = py::cast(session.models()[c]);
      }
    }
  } else {
    train_python(self, X, y, vals, timestamps, model_list, filled, n_features, retry_sizes, utils,
                 ts_l);
  }

  self.attr("_filled_args") = filled;
  // New rows given as a frame are matched to the models by these labels.
  self.attr("_column_names") = column_names;
  for (const std::string& text : season_warnings) {
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0) throw py::error_already_set();
  }
  if (exog.empty()) {
    self.attr("exog_columns_") = py::none();
    self.attr("exog_names_") = py::none();
  } else {
    py::list cols, names;
    for (const std::int64_t c : exog) {
      cols.append(c);
      if (!column_names.is_none()) names.append(column_names[py::int_(c)]);
    }
    self.attr("exog_columns_") = cols;
    self.attr("exog_names_") = column_names.is_none() ? py::object(py::none()) : names;
  }
  bool fitted = true;
  for (auto m : model_list) {
    if (!model_ready(m)) {
      fitted = false;
      break;
    }
  }
  if (fitted) {
    self.attr("set_model_fitted")();
  } else if (py::hasattr(self, "is_fitted_")) {
    py::delattr(self, "is_fitted_");
  }
}

// Makes in `target` the changes that turned `before` into `after`: entries added or replaced
// (by another object) are set, entries removed are removed; `skip` (a key) is left alone.
void apply_changes(const py::dict& before, const py::dict& after, py::dict target,
                   const char* skip) {
  for (auto item : before) {
    if (!after.contains(item.first) && target.contains(item.first)) {
      PyDict_DelItem(target.ptr(), item.first.ptr());
    }
  }
  for (auto item : after) {
    if (skip && py_eq(item.first, py::str(skip))) continue;
    if (!before.contains(item.first) || !py::object(before[item.first]).is(item.second)) {
      target[item.first] = item.second;
    }
  }
}

// A new, empty instance to train in the forecaster's place: of its class, made without the
// class's own __new__ or __init__; and when the class has a __del__ (a subclass's clean-up of
// what its user opened), of a subclass that leaves that to the instances the user made.
py::object shadow_of(py::handle self) {
  py::object cls = py::type::of(self);
  if (py::hasattr(cls, "__del__")) {
    static auto* quiet = new py::dict();  // one per class, for the life of the interpreter
    if (!quiet->contains(cls)) {
      py::dict ns;
      ns["__del__"] = twpy::import("builtins", "eval")("lambda self: None");
      ns["__module__"] = cls.attr("__module__");
      ns["__qualname__"] = cls.attr("__qualname__");
      (*quiet)[cls] = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
          cls.attr("__name__"), py::make_tuple(cls), ns);
    }
    cls = (*quiet)[cls];
  }
  return twpy::import("builtins", "object").attr("__new__")(cls);
}

// The replaced models forget their observations, except those another thread is forecasting
// from without the GIL (its session holds their engine objects): resetting one under it would
// corrupt its work. Those are freed when that thread lets go of them.
void forget_unused(const py::object& old_models) {
  if (!PyList_Check(old_models.ptr())) return;
  for (auto m : old_models) {
    // (The Python object's reference and this one.)
    if (contracts::engine_model(m) && m.cast<ModelPtr>().use_count() != 2) continue;
    m.attr("reset_model")();
  }
}

py::object fit(py::object self, py::object X, py::object y, py::object reset_model) {
  // Without trained models there is nothing to update: fit trains them.
  if (!truthy(reset_model) && has_trained_models(self)) {
    // With regressors the rows carry theirs; nothing is forecast, so none of the future.
    const bool exog = !trained_exog(self).empty();
    py::object horizon = py::int_(exog ? 0 : -1);
    // The copies the rows brought up to date are taken from the call itself: model_update_predict
    // may meanwhile hold the copies of another thread's predict.
    std::vector<ModelPtr> used;
    if (is_own(self, "predict")) {
      predict_impl(self, X, horizon, py::int_(-1), py::str("forecast"), &used, py::none(), nullptr);
    } else if (exog) {
      self.attr("predict")(X, py::arg("prediction_horizon") = 0);
    } else {
      self.attr("predict")(X);
    }
    if (!used.empty()) self.attr("model_update_predict") = wrap_models(used);
    self.attr("model") = self.attr("model_update_predict");
    return self;
  }
  twsettings::check_keywords(self);
  const py::object old_models = self.attr("model");
  // Training runs on a shadow of the forecaster whose attributes then replace the forecaster's
  // at once. Threads forecasting meanwhile use the old models and settings throughout, never
  // half-trained ones, and a failed training leaves the forecaster as it was.
  py::dict state = self.attr("__dict__");
  py::object shadow = shadow_of(self);
  py::dict shadow_state = shadow.attr("__dict__");
  // (What training changes is told from this snapshot: other threads may set attributes and
  // parameters of the forecaster meanwhile, and those stay.)
  const py::dict start = py::reinterpret_steal<py::dict>(PyDict_Copy(state.ptr()));
  shadow_state.attr("update")(start);
  py::object all_args = state.contains("all_args") ? py::object(state["all_args"]) : py::none();
  const bool args_is_dict = py::isinstance<py::dict>(all_args);
  py::dict saved_args =
      args_is_dict ? py::reinterpret_steal<py::dict>(PyDict_Copy(all_args.ptr())) : py::dict();
  if (args_is_dict) {
    shadow_state["all_args"] = py::reinterpret_steal<py::dict>(PyDict_Copy(all_args.ptr()));
  }
  // A log transform given since the last training applies from this one on.
  if (shadow_state.contains(kNextLogTransform)) {
    shadow_state["log_transformed"] = shadow_state[kNextLogTransform];
    PyDict_DelItemString(shadow_state.ptr(), kNextLogTransform);
  }
  py::object log_before = shadow_state["log_transformed"];
  train(shadow, X, y);
  // What training changed, in one go (the GIL is held throughout).
  apply_changes(start, shadow_state, state, args_is_dict ? "all_args" : nullptr);
  if (args_is_dict) {
    apply_changes(saved_args, shadow_state["all_args"], all_args, nullptr);
    twsettings::record_trained(self, saved_args, log_before);
  }
  forget_unused(old_models);
  return self;
}

}  // namespace qest
