// ForecastingPipeline: an optional engine interpolator that fills missing values, chained with
// an engine-backed forecaster. The chain is built anew on every fit.
//
// Module-level names (logging, QuillcastForecaster, QuillcastInterpolator, logger, Pipeline) are
// bound when the module loads and read back from the module at every call, so callers and tests
// can replace them.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "fill_array.hpp"
#include "pyclass.hpp"
#include "tarn/interpolate.hpp"

namespace py = pybind11;

namespace {

using twpy::mod_attr;
using twpy::self_module;

// A new dict with the entries of `mapping` (py::dict(obj) would share a dict, not copy it).
py::dict dict_copy(py::handle mapping) {
  return twpy::import("builtins", "dict")(mapping);
}

// The settings the constructor derives from its own parameters; the rest of qc_pipeline_args
// are settings given as keywords.
constexpr const char* kDerivedKeys[] = {"interpolator_type", "ts_icol_loc", "ts_ocol_loc", "debug"};

// Constructor parameters kept as attributes of the same name.
constexpr const char* kStoredParams[] = {"ts_icol_loc", "fill_missing_vals", "interpolator_type",
                                         "optimize_interpolator", "debug"};

bool is_stored_param(const std::string& key) {
  for (const char* k : kStoredParams) {
    if (key == k) return true;
  }
  return false;
}

bool is_derived_key(const std::string& key) {
  for (const char* k : kDerivedKeys) {
    if (key == k) return true;
  }
  return false;
}

py::object final_estimator(py::object self, const char* action) {
  py::object estimator = self.attr("estimator");
  if (estimator.is_none()) {
    py::object err = twpy::import("sklearn.exceptions", "NotFittedError");
    PyErr_SetString(err.ptr(), ("This ForecastingPipeline instance is not fitted yet. Call 'fit' "
                                "before '" +
                                std::string(action) + "'.")
                                   .c_str());
    throw py::error_already_set();
  }
  return estimator;
}

void init(py::object self, py::object ts_icol_loc, py::object fill_missing_vals,
          py::object interpolator_type, py::object optimize_interpolator,
          py::object /*prediction_horizon*/, py::object /*log_transform*/,
          py::object /*lookback_win*/, py::object debug, py::kwargs kwargs) {
  self.attr("ts_ocol_loc") = ts_icol_loc;
  self.attr("ts_icol_loc") = ts_icol_loc;
  self.attr("fill_missing_vals") = fill_missing_vals;
  self.attr("qc_pipeline") = py::none();
  self.attr("optimize_interpolator") = optimize_interpolator;
  py::dict args = kwargs;
  self.attr("qc_pipeline_args") = args;
  self.attr("interpolator_type") = interpolator_type;
  args["interpolator_type"] = self.attr("interpolator_type");
  args["ts_icol_loc"] = self.attr("ts_icol_loc");
  args["ts_ocol_loc"] = self.attr("ts_ocol_loc");
  args["debug"] = debug;
  self.attr("estimator") = py::none();
  self.attr("debug") = debug;
}

// The value columns the forecaster trains on: every column but the timestamp column, or the
// integer positions of a target_column_indices list (other entries are the forecaster's to
// refuse).
std::vector<long> target_columns(py::dict args, long cols, long time_col) {
  std::vector<long> out;
  py::object targets = args.contains("target_column_indices")
                           ? py::object(args["target_column_indices"])
                           : py::object(py::int_(-1));
  if (py::isinstance<py::list>(targets) || py::isinstance<py::tuple>(targets)) {
    for (py::handle t : targets) {
      if (!py::isinstance<py::int_>(t) || py::isinstance<py::bool_>(t)) continue;
      const long c = t.cast<long>();
      if (c >= 0 && c < cols && c != time_col) out.push_back(c);
    }
    return out;
  }
  for (long c = 0; c < cols; ++c) {
    if (c != time_col) out.push_back(c);
  }
  return out;
}

// A target column without a single observed value: the interpolator would fill it with its
// default value, and the forecaster would forecast that constant as if it had been observed.
// Data that cannot be read as a float matrix is left to the components to refuse.
void check_fillable(py::object self, py::handle X) {
  py::dict args = dict_copy(self.attr("qc_pipeline_args"));
  long time_col = -1;
  double missing = 0.0;
  py::array_t<double, py::array::c_style | py::array::forcecast> a;
  try {
    time_col = twpy::time_column_index(self.attr("ts_icol_loc"));
    missing = twpy::missing_marker(args.contains("missing_val_identifier")
                                       ? py::object(args["missing_val_identifier"])
                                       : py::object(py::none()));
    a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(X);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return;
  }
  if (!a) {
    PyErr_Clear();
    return;
  }
  if (a.ndim() != 2 || a.shape(0) == 0) return;
  const auto rows = static_cast<std::size_t>(a.shape(0));
  const auto cols = static_cast<std::size_t>(a.shape(1));
  const std::vector<std::size_t> seen =
      tarn::interp::observed_counts(a.data(), rows, cols, missing);
  for (long c : target_columns(args, static_cast<long>(cols), time_col)) {
    if (seen[static_cast<std::size_t>(c)] > 0) continue;
    twpy::raise(PyExc_ValueError,
                "X: value column " + std::to_string(c) + " has no observed value (all " +
                    std::to_string(rows) +
                    " values are missing), so fill_missing_vals has nothing to fill it from; "
                    "give the column data or leave it out of target_column_indices");
  }
}

py::object fit(py::object self, py::object X, py::object y, py::kwargs /*fit_params*/) {
  py::object logger = mod_attr("logger");
  if (py::bool_(self.attr("debug"))) logger.attr("debug")("x==%s", X);

  py::dict forecaster_args = dict_copy(self.attr("qc_pipeline_args"));
  forecaster_args["ts_icol_loc"] = self.attr("ts_icol_loc");
  forecaster_args["debug"] = self.attr("debug");

  py::list steps;
  py::object interpolator = py::none();
  if (py::bool_(self.attr("fill_missing_vals"))) {
    py::dict interpolator_args = dict_copy(self.attr("qc_pipeline_args"));
    interpolator_args["ts_icol_loc"] = self.attr("ts_icol_loc");
    interpolator_args["debug"] = self.attr("debug");
    interpolator_args["ts_ocol_loc"] = self.attr("ts_ocol_loc");
    interpolator = mod_attr("QuillcastInterpolator")(**interpolator_args);
    self.attr("interpolator") = interpolator;
  }
  py::object estimator = mod_attr("QuillcastForecaster")(**forecaster_args);
  self.attr("estimator") = estimator;
  if (!interpolator.is_none()) steps.append(py::make_tuple("interpolator", interpolator));
  steps.append(py::make_tuple("forecaster", estimator));
  self.attr("steps") = steps;
  self.attr("qc_pipeline") = mod_attr("Pipeline")(py::arg("steps") = steps);

  if (!interpolator.is_none()) check_fillable(self, X);

  // The chain's steps are fitted in order, as Pipeline.fit does; the new forecaster is trained
  // from scratch (its default fit only updates models it already has, and it has none).
  try {
    py::object Xt = X;
    if (!interpolator.is_none()) {
      Xt = py::hasattr(interpolator, "fit_transform")
               ? interpolator.attr("fit_transform")(X, y)
               : interpolator.attr("fit")(X, y).attr("transform")(X);
    }
    estimator.attr("fit")(Xt, y, py::arg("_reset_model") = true);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    logger.attr("warning")("Model not Fitted!!,skipping");
  }
  return self;
}

py::object predict(py::object self, py::object X, py::kwargs predict_params) {
  // Prediction keywords (prediction_type, prediction_horizon, ts_col_loc) go to the forecaster,
  // so the pipeline answers the same calls as the forecaster it wraps.
  return final_estimator(self, "predict").attr("predict")(X, **predict_params);
}

py::object score(py::object self, py::object X, py::object y, py::object sample_weight) {
  return final_estimator(self, "score")
      .attr("score")(X, y, py::arg("sample_weight") = sample_weight);
}

// Sets parameters as scikit-learn's clone and model searches expect: a constructor parameter
// takes effect (with the settings the constructor derives from it), a keyword setting joins
// the others; the settings given before stay, so a search over one setting keeps the rest.
py::object set_params(py::object self, py::kwargs params) {
  py::object current = self.attr("qc_pipeline_args");
  py::dict args = py::isinstance<py::dict>(current) ? dict_copy(current) : py::dict();
  for (auto item : params) {
    const std::string key = py::str(item.first).cast<std::string>();
    py::object value = py::reinterpret_borrow<py::object>(item.second);
    if (!is_stored_param(key)) {
      args[item.first] = value;
      continue;
    }
    self.attr(item.first) = value;
    if (key == "ts_icol_loc") {
      self.attr("ts_ocol_loc") = value;
      args["ts_ocol_loc"] = value;
    }
    if (is_derived_key(key)) args[item.first] = value;
  }
  self.attr("qc_pipeline_args") = args;
  return self;
}

py::object get_model_params(py::object self) {
  return self.attr("qc_pipeline_args");
}

py::object get_param_dist(py::object self, py::object /*size*/) {
  // A copy, so the update below never changes a dictionary the forecaster class holds on to.
  py::dict all_dist = dict_copy(mod_attr("QuillcastForecaster").attr("get_param_dist")());
  if (py::bool_(self.attr("optimize_interpolator"))) {
    all_dist.attr("update")(mod_attr("QuillcastInterpolator").attr("get_param_dist")());
  }
  return all_dist;
}

// scikit-learn protocol. Three constructor parameters are accepted and not stored, and the
// keyword settings live in qc_pipeline_args, so the inherited get_params (which reads one
// attribute per constructor parameter) cannot work. The parameters are the stored constructor
// attributes plus the keyword settings: what set_params sets and what a clone is built from.
py::dict get_params(py::object self, py::object /*deep*/) {
  py::dict out;
  for (const char* name : kStoredParams) out[name] = self.attr(name);
  for (auto item : dict_copy(self.attr("qc_pipeline_args"))) {
    if (!is_derived_key(py::str(item.first).cast<std::string>())) out[item.first] = item.second;
  }
  return out;
}

// A new, unfitted pipeline with the same constructor attributes and the same settings.
py::object sklearn_clone(py::object self) {
  py::object clone = twpy::import("sklearn.base", "clone");
  py::dict ctor;
  for (const char* name : kStoredParams) {
    ctor[name] = clone(self.attr(name), py::arg("safe") = false);
  }
  py::object other = py::type::of(self)(**ctor);
  py::dict args;
  for (auto item : dict_copy(self.attr("qc_pipeline_args"))) {
    args[item.first] = clone(item.second, py::arg("safe") = false);
  }
  other.attr("qc_pipeline_args") = args;
  return other;
}

bool has_steps(py::handle self) {
  return py::dict(self.attr("__dict__")).contains("steps");
}

py::object sklearn_tags(py::object self) {
  // Before fit there are no steps to take tags from.
  const char* owner = has_steps(self) ? "sklearn.pipeline" : "sklearn.base";
  const char* cls = has_steps(self) ? "Pipeline" : "BaseEstimator";
  return twpy::import(owner, cls).attr("__sklearn_tags__")(self);
}

bool sklearn_is_fitted(py::object self) {
  if (!has_steps(self)) return false;
  return py::bool_(
      twpy::import("sklearn.pipeline", "Pipeline").attr("__sklearn_is_fitted__")(self));
}

}  // namespace

PYBIND11_MODULE(quillcast_chain, m) {
  self_module() = m;

  py::object logging = twpy::import("logging");
  m.attr("logging") = logging;
  m.attr("QuillcastForecaster") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_estimator", "QuillcastForecaster");
  m.attr("QuillcastInterpolator") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_interpolator", "QuillcastInterpolator");
  py::object logger = logging.attr("getLogger")();
  m.attr("logger") = logger;
  logger.attr("setLevel")("WARNING");
  m.attr("Pipeline") = twpy::import("sklearn.pipeline", "Pipeline");

  twpy::ClassBuilder cls(
      m, "ForecastingPipeline", py::make_tuple(m.attr("Pipeline")),
      "Chains an optional engine interpolator, which fills missing values, with an engine-backed "
      "forecaster.\n\n"
      "Parameters: ts_icol_loc (timestamp column location, -1 for none), fill_missing_vals (put "
      "an interpolator in front of the forecaster), interpolator_type (interpolation method), "
      "optimize_interpolator (include the interpolator's parameters in get_param_dist), "
      "prediction_horizon, log_transform and lookback_win (accepted and not stored: give "
      "forecaster settings through set_params), debug, and further keyword settings for both "
      "components (kept in qc_pipeline_args).");
  cls.init(&init, py::arg("ts_icol_loc") = -1, py::arg("fill_missing_vals") = false,
           py::arg("interpolator_type") = "linear", py::arg("optimize_interpolator") = false,
           py::arg("prediction_horizon") = 1, py::arg("log_transform") = true,
           py::arg("lookback_win") = 1, py::arg("debug") = false);
  cls.def("fit", &fit, py::arg("X"), py::arg("y") = py::none(),
          "Builds the interpolator (when fill_missing_vals) and a new forecaster from "
          "qc_pipeline_args and trains them on X. A failed training is logged as a warning and "
          "leaves the untrained components in place. With fill_missing_vals, a target column "
          "without any observed value raises ValueError: there is nothing to fill it from.");
  cls.def("predict", &predict, py::arg("X"),
          "The forecaster's predict(X, **predict_params); the interpolator is not applied.");
  cls.def("score", &score, py::arg("X"), py::arg("y") = py::none(),
          py::arg("sample_weight") = py::none(), "The forecaster's score.");
  cls.def(
      "set_params", &set_params,
      "Sets constructor parameters and adds keyword settings to qc_pipeline_args (the settings of "
      "the components built by the next fit); the settings given before stay.");
  cls.def("get_model_params", &get_model_params,
          "The settings of the components (qc_pipeline_args).");
  cls.def("get_param_dist", &get_param_dist, py::arg("size") = py::none(),
          "Parameter distributions of the forecaster, and of the interpolator when "
          "optimize_interpolator.");
  cls.def("get_params", &get_params, py::arg("deep") = true,
          "The stored constructor parameters and the keyword settings of qc_pipeline_args.");
  cls.def("__sklearn_clone__", &sklearn_clone);
  cls.def("__sklearn_tags__", &sklearn_tags);
  cls.def("__sklearn_is_fitted__", &sklearn_is_fitted);
  cls.finalize();
}
