// QuillcastForecaster: rolling-origin cross-validation (cross_validation).
//
// Every window's session is trained by the forecaster's own fit, on a copy of the forecaster and
// the rows before the window's origin; the forecaster itself is left as it was. Without refit
// the engine feeds the later origins' rows to copies of the first window's models.
#include "common.hpp"

namespace qest {

namespace {

std::int64_t positive_int(py::handle v, const char* name) {
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    twpy::raise(PyExc_TypeError,
                std::string(name) + " must be an integer, got " + str(py::repr(v)));
  }
  const std::int64_t i = as_index(v);
  if (i < 1) {
    twpy::raise(PyExc_ValueError, std::string(name) + " must be at least 1, got " + str(v));
  }
  return i;
}

// The coverages of `level`: None, one number or a list of numbers, each at least 1 and below 100.
std::vector<double> levels_of(py::handle level) {
  std::vector<double> out;
  if (level.is_none()) return out;
  py::list items;
  if (PyList_Check(level.ptr()) || PyTuple_Check(level.ptr())) {
    items = py::reinterpret_steal<py::list>(PySequence_List(level.ptr()));
    if (!items) throw py::error_already_set();
  } else {
    items.append(level);
  }
  for (auto lv : items) {
    const bool number =
        !PyBool_Check(lv.ptr()) && PyNumber_Check(lv.ptr()) && !PyUnicode_Check(lv.ptr());
    const double v =
        number ? py::float_(py::reinterpret_borrow<py::object>(lv)).cast<double>() : 0.0;
    if (!number || !(v > 0.0 && v < 100.0)) {
      twpy::raise(PyExc_ValueError, "level must hold coverages in percent between 0 and 100, got " +
                                        str(py::repr(lv)));
    }
    refuse_fraction_level(v, lv);
    out.push_back(v);
  }
  return out;
}

std::string level_name(double level) {
  return str(py::str("{:g}").attr("format")(level));
}

// The first n rows of X (a DataFrame, an array or a list of rows).
py::object head(py::object X, std::size_t n) {
  py::object first = twpy::import("builtins", "slice")(py::int_(n));
  if (py::hasattr(X, "iloc")) return X.attr("iloc")[first];
  return X[first];
}

// Times as dates (the forecaster's time axis) or as numbers (integers when they all are).
py::object times_column(py::object fitted, const std::vector<double>& t) {
  py::dict state = fitted.attr("__dict__");
  if (state.contains("time_axis_") && !state["time_axis_"].is_none()) {
    return twdates::dates_of(twdates::axis_from_dict(state["time_axis_"]), t);
  }
  const bool whole = std::all_of(t.begin(), t.end(), [](double v) {
    return std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9e18;
  });
  if (whole) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(t.size()));
    for (std::size_t i = 0; i < t.size(); ++i)
      out.mutable_data()[i] = static_cast<std::int64_t>(t[i]);
    return out;
  }
  return py::array_t<double>(static_cast<py::ssize_t>(t.size()), t.data());
}

}  // namespace

py::object cross_validation(py::object self, py::object X, py::object h, py::object n_windows,
                            py::object step, py::object refit, py::object level) {
  tarn::BacktestPlan plan;
  plan.horizon = positive_int(h, "h");
  plan.n_windows = positive_int(n_windows, "n_windows");
  plan.step = positive_int(step, "step");
  plan.refit = truthy(refit);
  plan.levels = levels_of(level);
  if (X.is_none()) twpy::raise(PyExc_ValueError, "cross_validation needs the rows of X, got None");
  if (!py::hasattr(X, "iloc") && !py::hasattr(X, "shape")) X = G("np").attr("asarray")(X);
  const auto n_rows = static_cast<std::size_t>(py::len(X));
  std::vector<std::size_t> origins;
  try {
    origins = tarn::backtest_origins(n_rows, plan);
  } catch (const std::exception& e) {
    twpy::raise(PyExc_ValueError, e.what());
  }

  py::object deepcopy = twpy::import("copy", "deepcopy");
  // A copy of the forecaster trained on the first n rows, and its session.
  auto fit_copy = [&](std::size_t n, tarn::Forecaster& session) {
    py::object est = deepcopy(self);
    est.attr("fit")(head(X, n), py::none(), py::arg("_reset_model") = true);
    if (!trained_session(est, session)) {
      twpy::raise(PyExc_TypeError,
                  "cross_validation needs the engine's own models; the algorithm built " +
                      str(py::repr(est.attr("model"))));
    }
    if (!session.ready()) {
      twpy::raise(PyExc_ValueError, "the model did not initialise on the " + std::to_string(n) +
                                        " rows before a window's origin (row " + std::to_string(n) +
                                        ")");
    }
    return est;
  };
  tarn::Forecaster first_session;
  py::object first = fit_copy(origins[0], first_session);

  // Every row of X as the first copy takes new rows: dates on its time axis, the target
  // columns on the data's scale.
  py::object ts_loc = py::int_(-1);
  twdates::DatedRows dated = dated_input(first, X, ts_loc, false);
  py::object rows_x = X;
  if (dated.dated) {
    rows_x = dated.X;
    ts_loc = py::int_(dated.ts_col);
  }
  rows_x = checked_training_rows(rows_x);
  RowBlock b = prepare_rows(first, rows_x, ts_loc, false);
  // With regressors, each window forecasts with the regressors of its own rows.
  const SessionRows rows = session_rows(b, b.n_rows, trained_exog(first).size());

  bool first_used = false;
  tarn::TrainFn train = [&](std::size_t n) -> tarn::Forecaster {
    py::gil_scoped_acquire gil;
    if (!first_used && n == origins[0]) {
      first_used = true;
      return first_session;
    }
    tarn::Forecaster s;
    fit_copy(n, s);
    return s;
  };
  tarn::Backtest out;
  try {
    py::gil_scoped_release release;
    out = twpy::interruptible([&] { return tarn::cross_validate(rows.rows, plan, train); });
  } catch (const tarn::InvalidArgument& e) {
    twpy::raise(PyExc_ValueError, e.what());
  }

  // The long frame: one row per window, step and target.
  const std::size_t W = out.origins.size(), H = out.horizon;
  const std::size_t C = static_cast<std::size_t>(as_index(first.attr("n_features_")));
  const std::size_t cols = out.cols, N = W * H * C;
  std::vector<double> cutoff(N), time(N), actual(N), forecast(N);
  std::vector<std::vector<double>> lo(plan.levels.size(), std::vector<double>(N)),
      hi(plan.levels.size(), std::vector<double>(N));
  std::vector<std::size_t> target(N);
  const double* stamps = rows.rows.timestamps;
  const double* values = rows.rows.values;
  std::size_t i = 0;
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t w = 0; w < W; ++w) {
      const std::size_t o = out.origins[w];
      for (std::size_t k = 0; k < H; ++k, ++i) {
        target[i] = c;
        cutoff[i] = stamps ? stamps[o - 1] : static_cast<double>(o - 1);
        time[i] = out.times[w * H + k];
        actual[i] = values[(o + k) * rows.rows.stride + c];
        const std::size_t at = (w * H + k) * cols + c;
        forecast[i] = out.forecasts[at];
        for (std::size_t l = 0; l < plan.levels.size(); ++l) {
          lo[l][i] = out.lower[l * W * H * cols + at];
          hi[l][i] = out.upper[l * W * H * cols + at];
        }
      }
    }
  }
  auto arr = [](const std::vector<double>& v) {
    return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
  };
  py::dict frame;
  if (C > 1) {
    // Several targets: a leading `target` column names each row's target (its column label
    // in a DataFrame, else its column index in X).
    py::list names;
    py::list order = value_columns(first, as_index(py::tuple(rows_x.attr("shape"))[1]),
                                   ts_index_of(ts_loc), static_cast<std::int64_t>(C));
    const bool labelled = py::hasattr(X, "columns");
    for (std::size_t j = 0; j < N; ++j) {
      py::object col = order[py::int_(target[j])];
      names.append(labelled ? py::object(X.attr("columns")[col]) : col);
    }
    frame["target"] = names;
  }
  frame["cutoff"] = times_column(first, cutoff);
  frame["time"] = times_column(first, time);
  frame["actual"] = arr(actual);
  frame["forecast"] = arr(forecast);
  for (std::size_t l = 0; l < plan.levels.size(); ++l) {
    frame[py::str("lo-" + level_name(plan.levels[l]))] = arr(lo[l]);
    frame[py::str("hi-" + level_name(plan.levels[l]))] = arr(hi[l]);
  }
  return twpy::import("pandas", "DataFrame")(frame);
}

}  // namespace qest
