// Scoring of forecasts over a holdout, and saving and loading of fitted pipelines.
//
// Module-level names (logging, pickle, os, gzip, Messages, sklearnPipeline, TidewellTSPipeline,
// pd, np, QuillcastUtils, logger) are bound when the module loads and read back from the module
// at every call, so tests and callers can replace them.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "contracts/messages.hpp"
#include "overlap_average.hpp"
#include "pyclass.hpp"
#include "tarn/metrics.hpp"

namespace py = pybind11;

namespace {

using twpy::mod_attr;
using twpy::self_module;

bool is_instance(py::handle obj, const char* class_name) {
  return py::isinstance(obj, mod_attr(class_name));
}

// ---------------------------------------------------------------------------------------------
// Score: accessors

py::object get_estimator(py::object pipeline_obj) {
  if (is_instance(pipeline_obj, "sklearnPipeline") &&
      !is_instance(pipeline_obj, "TidewellTSPipeline")) {
    return pipeline_obj[py::int_(-1)];
  }
  return pipeline_obj;
}

// Pipelines nested up to three deep are reduced to their innermost final estimator.
py::object unwrap(py::object obj) {
  for (int i = 0; i < 3; ++i) {
    if (is_instance(obj, "sklearnPipeline")) obj = obj[py::int_(-1)];
  }
  return obj;
}

py::object get_lookback_win(py::object pipeline_obj) {
  py::object obj = unwrap(pipeline_obj);
  if (py::hasattr(obj, "lookback_win")) return obj.attr("lookback_win");
  return obj.attr("lookback_window");
}

py::object get_prediction_win(py::object pipeline_obj) {
  py::object obj = unwrap(pipeline_obj);
  for (const char* name : {"prediction_win", "pred_win", "prediction_horizon"}) {
    if (py::hasattr(obj, name)) return obj.attr(name);
  }
  return py::int_(1);
}

// ---------------------------------------------------------------------------------------------
// Score: saving and loading

// Writes the pipeline to a new file beside the target and renames it into place, so a failed
// write never leaves a partial file at file_path nor harms a file already there.
void write_atomically(py::handle pipeline_obj, py::object file_path, py::object& tmp_path) {
  py::object os = mod_attr("os");
  py::object os_path = os.attr("path");
  py::object path = os.attr("fsdecode")(os.attr("fspath")(file_path));
  // Replace the file a symbolic link points to, not the link.
  if (py::bool_(os_path.attr("islink")(path))) path = os_path.attr("realpath")(path);
  py::object dir = os_path.attr("dirname")(path);
  py::object base = os_path.attr("basename")(path);
  py::object token = twpy::import("secrets", "token_hex")(8);
  py::object name = py::str(".{}.{}.{}.tmp").format(base, os.attr("getpid")(), token);
  tmp_path = os_path.attr("join")(dir, name);

  // Created like open(..., "wb") would (mode 0o666 less the umask), but never over an existing
  // file.
  py::int_ flags(py::int_(os.attr("O_WRONLY")) | py::int_(os.attr("O_CREAT")) |
                 py::int_(os.attr("O_EXCL")));
  py::object fd = os.attr("open")(tmp_path, flags, 0666);
  py::object raw;
  try {
    raw = twpy::import("builtins", "open")(fd, "wb");
  } catch (py::error_already_set&) {
    py::error_scope keep;
    os.attr("close")(fd);
    throw;
  }
  try {
    // The gzip header names the target file, as gzip.open(file_path, "wb") would.
    py::object gz = mod_attr("gzip").attr("GzipFile")(
        py::arg("filename") = base, py::arg("mode") = "wb", py::arg("fileobj") = raw);
    try {
      py::object pickle = mod_attr("pickle");
      pickle.attr("dump")(pipeline_obj, gz, py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL"));
    } catch (...) {
      gz.attr("close")();
      throw;
    }
    gz.attr("close")();
    raw.attr("flush")();
    os.attr("fsync")(raw.attr("fileno")());
  } catch (...) {
    raw.attr("close")();
    throw;
  }
  raw.attr("close")();
  // A file that is replaced keeps its permission bits.
  if (py::bool_(os_path.attr("exists")(path))) {
    py::object mode = twpy::import("stat", "S_IMODE")(os.attr("stat")(path).attr("st_mode"));
    os.attr("chmod")(tmp_path, mode);
  }
  os.attr("replace")(tmp_path, path);
  tmp_path = py::none();
}

void remove_quietly(const py::object& tmp_path) {
  if (tmp_path.is_none()) return;
  try {
    mod_attr("os").attr("unlink")(tmp_path);
  } catch (py::error_already_set&) {
    // Nothing was created, or it is already gone.
  }
}

// An open binary stream given instead of a path is written in place.
void write_to_stream(py::handle pipeline_obj, py::object stream) {
  py::object gz = mod_attr("gzip").attr("open")(stream, "wb");
  try {
    py::object pickle = mod_attr("pickle");
    pickle.attr("dump")(pipeline_obj, gz, py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL"));
  } catch (...) {
    py::error_scope keep;
    try {
      gz.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
  gz.attr("close")();
}

bool save(py::object pipeline_obj, py::object file_path, py::object verbose) {
  py::object tmp_path = py::none();
  try {
    if (py::hasattr(file_path, "write")) {
      write_to_stream(pipeline_obj, file_path);
    } else {
      write_atomically(pipeline_obj, file_path, tmp_path);
    }
    if (py::bool_(verbose))
      twpy::print("Saved model ", py::str(pipeline_obj), " to file ", file_path);
    return true;
  } catch (py::error_already_set& e) {
    {
      py::error_scope keep;  // removing the temporary file must not clobber the error
      remove_quietly(tmp_path);
    }
    if (!e.matches(PyExc_Exception)) throw;
    // The reason goes into the log line: the caller only sees False.
    const std::string reason = py::str(py::repr(e.value())).cast<std::string>();
    mod_attr("logger").attr("warning")("Could not save pipeline to %s: %s", py::repr(file_path),
                                       reason, py::arg("exc_info") = false);
    return false;
  }
}

[[noreturn]] void load_failed(const char* id, py::handle file_path, py::error_already_set* cause) {
  std::string msg = contracts::message(mod_attr("Messages"), id, file_path);
  mod_attr("logger").attr("error")(msg);
  if (cause) {
    cause->restore();
    py::raise_from(PyExc_Exception, msg.c_str());
    throw py::error_already_set();
  }
  twpy::raise(PyExc_Exception, msg);
}

py::object load(py::object file_path, py::object verbose) {
  if (py::bool_(verbose)) twpy::print("Loading Model(s) from location ", file_path);
  py::object os_path = mod_attr("os").attr("path");
  if (!(py::bool_(os_path.attr("exists")(file_path)) &&
        py::bool_(os_path.attr("isfile")(file_path)))) {
    load_failed("TIDEWELLTSLIBS0003E", file_path, nullptr);
  }
  py::object obj;
  try {
    py::object stream = mod_attr("gzip").attr("open")(file_path, "rb");
    try {
      obj = mod_attr("pickle").attr("load")(stream);
    } catch (...) {
      py::error_scope keep;
      try {
        stream.attr("close")();
      } catch (py::error_already_set&) {
      }
      throw;
    }
    stream.attr("close")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    load_failed("TIDEWELLTSLIBS0001E", file_path, &e);
  }
  if (obj.is_none()) load_failed("TIDEWELLTSLIBS0002E", file_path, nullptr);
  return obj;
}

// ---------------------------------------------------------------------------------------------
// Prediction accuracy

// A whole number of at least 1 (bool excluded), named in the error otherwise.
void check_count(py::handle v, const char* name) {
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    twpy::raise(PyExc_TypeError, std::string(name) + " must be an integer of at least 1, got " +
                                     py::repr(v).cast<std::string>());
  }
  if (py::int_(py::reinterpret_borrow<py::object>(v)) < py::int_(1)) {
    twpy::raise(PyExc_ValueError,
                std::string(name) + " must be at least 1, got " + py::repr(v).cast<std::string>());
  }
}

// An array of at least `min_ndim` dimensions, named in the error otherwise.
void check_array_arg(py::handle v, const char* name, const char* what) {
  if (!py::hasattr(v, "shape") || !py::hasattr(v, "reshape")) {
    twpy::raise(PyExc_TypeError, std::string(name) + " must be " + what + ", got " +
                                     std::string(Py_TYPE(v.ptr())->tp_name));
  }
}

py::object prepare_ground_truth(py::object a, py::object stepsize, py::object prediction_horizon) {
  check_array_arg(a, "a", "a two-dimensional array");
  check_count(stepsize, "stepsize");
  check_count(prediction_horizon, "prediction_horizon");
  if (py::len(a.attr("shape")) != 2) {
    twpy::raise(PyExc_ValueError, "a must be a two-dimensional array, got shape " +
                                      py::repr(a.attr("shape")).cast<std::string>());
  }
  py::object n = a.attr("shape")[py::int_(0)];
  py::list windows;
  py::object builtins_slice = twpy::import("builtins", "slice");
  for (py::handle i : twpy::import("builtins", "range")(prediction_horizon)) {
    py::object start = py::reinterpret_borrow<py::object>(i);
    py::object stop = n + py::int_(1) + start - prediction_horizon;
    windows.append(a[builtins_slice(start, stop, stepsize)]);
  }
  return mod_attr("np").attr("hstack")(windows);
}

struct SeriesResult {
  py::object mae, mse, r2, smape, y_pred_avg;
};

SeriesResult compute_on_one_series(py::object y1D, py::object y_pred1D, py::object ph,
                                   bool verbose) {
  if (verbose) {
    twpy::print("\n== y1D.shape, y_pred1D.shape: ", y1D.attr("shape"), y_pred1D.attr("shape"));
  }
  py::object avg;
  if (verbose) {
    // Prints every forecast as the row of the coverage table it stands for.
    py::list rows = y_pred1D.attr("reshape")(-1, ph).attr("tolist")();
    py::object nan = mod_attr("np").attr("nan");
    for (size_t i = 0; i < rows.size(); ++i) {
      py::list row;
      for (size_t j = 0; j < i; ++j) row.append(nan);
      for (auto v : py::list(rows[i])) row.append(v);
      twpy::print(i, row);
    }
  }
  avg = twpy::average_stacked_forecasts(y_pred1D, ph);
  py::object metrics = mod_attr("QuillcastUtils").attr("compute_metrics")(y1D, avg);
  // Exactly four values, in the order MAE, MSE, R2, SMAPE.
  py::list items = py::list(metrics);
  if (items.size() != 4) {
    twpy::raise(PyExc_ValueError, items.size() > 4
                                      ? "too many values to unpack (expected 4)"
                                      : "not enough values to unpack (expected 4, got " +
                                            std::to_string(items.size()) + ")");
  }
  return {items[0], items[1], items[2], items[3], avg};
}

template <class... Args>
[[noreturn]] void refuse(const char* id, Args&&... args) {
  twpy::raise(PyExc_ValueError,
              contracts::message(mod_attr("Messages"), id, std::forward<Args>(args)...));
}

// A column of numbers as float64 values; nullopt when it does not hold numbers (the metrics
// report that themselves).
std::optional<py::array_t<double, py::array::c_style | py::array::forcecast>> as_doubles(
    py::handle column) {
  auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(column);
  if (!a) {
    PyErr_Clear();
    return std::nullopt;
  }
  return a;
}

// Every ground-truth value a number or NaN, at least one of them a number; every forecast value
// finite or NaN. Rows are those of the target's own column.
void check_scoring_inputs(py::handle y1D, py::handle y_pred1D, long target) {
  if (auto t = as_doubles(y1D)) {
    const auto n = static_cast<std::size_t>(t->size());
    const std::size_t row = tarn::first_infinite(t->data(), n);
    if (row < n) refuse("TIDEWELLTSLIBS0095E", py::float_(t->data()[row]), row, target);
    bool any = false;
    for (std::size_t i = 0; i < n && !any; ++i) any = !std::isnan(t->data()[i]);
    if (!any) refuse("TIDEWELLTSLIBS0097E", target);
  }
  if (auto p = as_doubles(y_pred1D)) {
    const auto n = static_cast<std::size_t>(p->size());
    const std::size_t row = tarn::first_infinite(p->data(), n);
    if (row < n) refuse("TIDEWELLTSLIBS0096E", py::float_(p->data()[row]), row, target);
  }
}

// After scoring one target: a point with a ground truth but no forecast, or a metric that the
// floating-point range cannot hold, is an error rather than a NaN or infinite figure.
// `averaged`: the forecasts are per holdout position (else rows of the stacked forecasts).
void check_scores(py::handle truth, py::handle pred, const SeriesResult& r, long target,
                  bool averaged) {
  auto t = as_doubles(truth);
  auto p = as_doubles(pred);
  if (!t || !p || t->size() != p->size()) return;
  const auto n = static_cast<std::size_t>(t->size());
  const tarn::ScoreIssue issue = tarn::find_score_issue(t->data(), p->data(), n);
  if (issue.kind == tarn::ScoreIssue::kForecastMissing) {
    const std::string where =
        averaged ? "holdout position " + std::to_string(issue.index) +
                       " (every forecast covering it is NaN)"
                 : "row " + std::to_string(issue.index) + " of the stacked forecasts";
    refuse("TIDEWELLTSLIBS0098E", target, where, py::float_(t->data()[issue.index]));
  }
  if (issue.kind != tarn::ScoreIssue::kNone) return;  // refused before scoring
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(t->data()[i])) continue;
    largest = std::max({largest, std::fabs(t->data()[i]), std::fabs(p->data()[i])});
  }
  const std::pair<const char*, const py::object*> metrics[] = {
      {"MAE", &r.mae}, {"MSE", &r.mse}, {"R2", &r.r2}, {"SMAPE", &r.smape}};
  for (const auto& [name, value] : metrics) {
    if (!PyFloat_Check(value->ptr()) && !PyLong_Check(value->ptr())) continue;
    const double v = py::float_(*value).cast<double>();
    if (!std::isfinite(v)) refuse("TIDEWELLTSLIBS0099E", name, target, *value, largest);
  }
}

py::tuple compute_prediction_accuracy(py::object y, py::object y_pred, py::object ph,
                                      py::object ppy, py::object verbose_obj) {
  const bool verbose = py::bool_(verbose_obj);
  const bool is_list = py::isinstance<py::list>(y);
  check_count(ph, "ph");
  if (is_list) {
    if (!py::isinstance<py::list>(y_pred)) {
      twpy::raise(PyExc_TypeError,
                  "y_pred must be a list of forecast arrays, one per target, as y is a list");
    }
    if (py::len(y_pred) < py::len(y)) {
      twpy::raise(PyExc_ValueError, "y_pred holds " + std::to_string(py::len(y_pred)) +
                                        " forecast arrays for the " + std::to_string(py::len(y)) +
                                        " targets of y");
    }
    for (std::size_t i = 0; i < py::len(y); ++i) {
      check_array_arg(y[py::int_(i)], "every item of y", "an array");
      check_array_arg(y_pred[py::int_(i)], "every item of y_pred", "an array");
    }
  } else {
    const char* what = "a two-dimensional array (samples x targets) or a list of arrays";
    check_array_arg(y, "y", what);
    check_array_arg(y_pred, "y_pred", "a two-dimensional array (forecasts x targets)");
    if (py::len(y.attr("shape")) != 2) {
      twpy::raise(PyExc_ValueError, std::string("y must be ") + what + ", got shape " +
                                        py::repr(y.attr("shape")).cast<std::string>());
    }
    if (py::len(y_pred.attr("shape")) != 2 ||
        py::int_(y_pred.attr("shape")[py::int_(1)]) < py::int_(y.attr("shape")[py::int_(1)])) {
      twpy::raise(PyExc_ValueError,
                  "y_pred must be a two-dimensional array with a column per target of y, got "
                  "shape " +
                      py::repr(y_pred.attr("shape")).cast<std::string>());
    }
  }
  const long number_targets =
      is_list ? static_cast<long>(py::len(y)) : y.attr("shape")[py::int_(1)].cast<long>();
  if (verbose) {
    if (is_list) {
      twpy::print("\n== len(y), len(y_pred): ", py::len(y), py::len(y_pred));
    } else {
      twpy::print("\n== y.shape, y_pred.shape: ", y.attr("shape"), y_pred.attr("shape"));
    }
    twpy::print("\n== ppy: ", ppy);
  }
  py::list mae, mse, r2, smape;
  py::object y_pred_avg;
  py::object np = mod_attr("np");
  py::object all = twpy::import("builtins", "slice")(py::none());
  for (long i = 0; i < number_targets; ++i) {
    py::object y1D, y_pred1D;
    if (is_list) {
      y1D = y[py::int_(i)].attr("reshape")(-1, 1);
      y_pred1D = y_pred[py::int_(i)].attr("reshape")(-1, 1);
    } else {
      y1D = y[py::make_tuple(all, i)].attr("reshape")(-1, 1);
      y_pred1D = y_pred[py::make_tuple(all, i)].attr("reshape")(-1, 1);
    }
    py::object rows = y1D.attr("shape")[py::int_(0)];
    py::object update_ph = py::bool_(ph > rows) ? rows : ph;

    SeriesResult r;
    if (ppy.equal(py::str("average"))) {
      check_scoring_inputs(y1D, y_pred1D, i);
      r = compute_on_one_series(y1D, y_pred1D, update_ph, verbose);
      check_scores(y1D, r.y_pred_avg, r, i, true);
    } else if (ppy.equal(py::str("original"))) {
      check_scoring_inputs(y1D, y_pred1D, i);
      py::object truth = prepare_ground_truth(y1D, py::int_(1), update_ph).attr("reshape")(-1, 1);
      r = compute_on_one_series(truth, y_pred1D, py::int_(1), verbose);
      check_scores(truth, y_pred1D, r, i, false);
      r.y_pred_avg = y_pred1D;
    } else {
      twpy::raise(PyExc_Exception, contracts::message(mod_attr("Messages"), "TIDEWELLTS0072E"));
    }
    mae.append(r.mae);
    mse.append(r.mse);
    r2.append(r.r2);
    smape.append(r.smape);
    if (i == 0) {
      y_pred_avg = is_list ? py::object(py::list()) : r.y_pred_avg;
      if (is_list) y_pred_avg.attr("append")(r.y_pred_avg);
    } else if (is_list) {
      y_pred_avg.attr("append")(r.y_pred_avg);
    } else {
      y_pred_avg = np.attr("column_stack")(py::make_tuple(y_pred_avg, r.y_pred_avg));
    }
  }
  if (number_targets <= 0) {
    twpy::raise(PyExc_UnboundLocalError,
                "y holds no target series (no column, or an empty list): no accuracy and no "
                "result 'mts' can be formed");
  }
  if (number_targets > 1) {
    py::dict mts;
    mts["maes"] = mae;
    mts["mses"] = mse;
    mts["r2s"] = r2;
    mts["smapes"] = smape;
    mts["y_truth"] = y;
    mts["y_pred"] = y_pred_avg;
    mts["prediction_horizon"] = ph;
    mts["stepsize"] = 1;
    return py::make_tuple(mae, mse, r2, smape, y_pred_avg, mts);
  }
  return py::make_tuple(mae[0], mse[0], r2[0], smape[0], y_pred_avg, py::dict());
}

}  // namespace

PYBIND11_MODULE(score, m) {
  self_module() = m;
  m.attr("logging") = twpy::import("logging");
  m.attr("pickle") = twpy::import("pickle");
  m.attr("os") = twpy::import("os");
  m.attr("gzip") = twpy::import("gzip");
  m.attr("Messages") = contracts::messages_class();
  m.attr("sklearnPipeline") = twpy::import("sklearn.pipeline", "Pipeline");
  m.attr("TidewellTSPipeline") =
      twpy::import("tidewell_ts_libs.sklearn.tidewell_ts_pipeline", "TidewellTSPipeline");
  m.attr("pd") = twpy::import("pandas");
  m.attr("np") = twpy::import("numpy");
  m.attr("QuillcastUtils") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
  py::object logger = m.attr("logging").attr("getLogger")(m.attr("__name__"));
  logger.attr("setLevel")("WARNING");
  m.attr("logger") = logger;

  twpy::ClassBuilder score(m, "Score", py::tuple(),
                           "Class-level helpers around fitted pipelines: prediction types, "
                           "saving and loading, final estimator and windows.");
  score.attr("PREDICT_SLIDING_WINDOW", py::str("sliding_window"));
  score.attr("PREDICT_FORECAST", py::str("forecast"));
  score.def_classmethod(
      "get_estimator", [](py::object, py::object p) { return get_estimator(p); },
      py::arg("pipeline_obj"),
      "The final estimator of a scikit-learn pipeline; any other object (a TidewellTSPipeline "
      "included) unchanged.");
  score.def_classmethod(
      "get_lookback_win", [](py::object, py::object p) { return get_lookback_win(p); },
      py::arg("pipeline_obj"), "Lookback window of the (innermost) final estimator.");
  score.def_classmethod(
      "get_prediction_win", [](py::object, py::object p) { return get_prediction_win(p); },
      py::arg("pipeline_obj"), "Prediction window of the (innermost) final estimator, or 1.");
  score.def_classmethod(
      "save",
      [](py::object, py::object p, py::object path, py::object verbose) {
        return save(p, path, verbose);
      },
      py::arg("pipeline_obj"), py::arg("file_path"), py::arg("verbose") = false,
      "Saves a pipeline as a gzip-compressed pickle; True if saved, False (and a warning logged) "
      "if not. An existing file is replaced only once the new one is complete.");
  score.def_classmethod(
      "load", [](py::object, py::object path, py::object verbose) { return load(path, verbose); },
      py::arg("file_path"), py::arg("verbose") = false,
      "Loads a pipeline saved by save. Unpickling runs code from the file: load only trusted "
      "files.");
  score.finalize();

  twpy::def_function(
      m, "prepare_ground_truth",
      [](py::object a, py::object stepsize, py::object ph) {
        return prepare_ground_truth(a, stepsize, ph);
      },
      py::arg("a"), py::arg("stepsize") = 1, py::arg("prediction_horizon") = 1,
      "Lays a [N, D] array out in the stacked order of step-by-step forecasts: row r holds "
      "prediction_horizon consecutive rows starting at row r * stepsize, flattened.");
  twpy::def_function(
      m, "compute_prediction_accuracy",
      [](py::object y, py::object y_pred, py::object ph, py::object ppy, py::object verbose) {
        return compute_prediction_accuracy(y, y_pred, ph, ppy, verbose);
      },
      py::arg("y"), py::arg("y_pred"), py::arg("ph"), py::arg("ppy") = "average",
      py::arg("verbose") = false,
      "MAE, MSE, R2 and SMAPE of stacked forecasts over a holdout, the aggregated forecasts and a "
      "summary dict (empty for one target). Points whose ground truth is NaN are not scored. "
      "ValueError names the target and row of an infinite value, a target without ground truth, "
      "a scored point without a forecast and a metric beyond the floating-point range.");
}
