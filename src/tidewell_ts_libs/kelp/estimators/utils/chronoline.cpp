// Regressor preparation for window-based forecasters: builds an automatic-regression estimator
// from a search-space name and a time budget, picks a number of parallel jobs, and classifies
// model objects.
//
// The module binds its names at load in a fixed order, like a Python module body, and the
// functions read them back from the module at each call (the regressor classes, the search
// spaces, the model-type lists, cpu_count and Messages), so rebinding a module attribute
// changes what the functions use.
#include <string>
#include <utility>

#include "contracts/messages.hpp"
#include "pyclass.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kDagModule = "tidewell_ts_libs.kelp.joint_optimizers.utils.regression_dag";

// The module object, set once at load. It holds a reference of its own, so the functions keep
// reading the namespace they were created in (as a Python function keeps its globals).
PyObject* g_module = nullptr;

py::object global(const char* name) {
  return py::reinterpret_borrow<py::module_>(g_module).attr(name);
}

void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
  py::module_ source = py::module_::import(module);
  for (const char* name : names) m.attr(name) = source.attr(name);
}

bool is_instance_of_any(py::handle model, const char* list_name) {
  py::object types = global(list_name);
  for (py::handle cls : types) {
    int r = PyObject_IsInstance(model.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    if (r == 1) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// KerasRegressor. TensorFlow's scikit-learn wrapper module exists only up to TensorFlow 2.12; a
// later TensorFlow or none at all falls back to scikeras, and without scikeras to the small class
// below, so the module always loads. The class defined here keeps the wrapper's parameters
// (`model`, `build_fn` and any further keyword) so that estimators configured with it can be
// built, cloned and pickled; fitting it needs TensorFlow and raises ImportError naming the extra.

const char* kKerasMissing =
    "KerasRegressor needs TensorFlow (with scikeras for TensorFlow 2.13 and later): install them "
    "with: pip install 'tidewell_ts_libs[dl]'";

py::object sk_params_of(py::object self) {
  py::dict d = self.attr("__dict__");
  if (!d.contains("sk_params")) return py::dict();
  return d["sk_params"];
}

void keras_init(py::object self, py::object model, py::object build_fn, py::kwargs sk_params) {
  self.attr("model") = model;
  self.attr("build_fn") = build_fn;
  self.attr("sk_params") = py::dict(sk_params);
  for (auto item : sk_params) py::setattr(self, item.first, item.second);
}

py::dict keras_get_params(py::object self, py::object /*deep*/) {
  py::dict out;
  out["model"] = self.attr("model");
  out["build_fn"] = self.attr("build_fn");
  py::dict sk = sk_params_of(self);
  for (auto item : sk) out[item.first] = py::getattr(self, item.first, item.second);
  return out;
}

py::object keras_set_params(py::object self, py::kwargs params) {
  py::dict sk = sk_params_of(self);
  for (auto item : params) {
    std::string key = py::str(item.first);
    if (key != "model" && key != "build_fn") sk[item.first] = item.second;
    py::setattr(self, item.first, item.second);
  }
  self.attr("sk_params") = sk;
  return self;
}

[[noreturn]] void keras_unavailable() {
  py::object error_type = py::reinterpret_borrow<py::object>(PyExc_ImportError);
  py::object exc = error_type(kKerasMissing, py::arg("name") = "tensorflow");
  PyErr_SetObject(PyExc_ImportError, exc.ptr());
  throw py::error_already_set();
}

py::object make_keras_regressor(py::module_& m) {
  twpy::ClassBuilder cls(
      m, "KerasRegressor",
      twpy::bases("sklearn.base", "RegressorMixin", "sklearn.base", "BaseEstimator"),
      "Keras regressor wrapper standing in when TensorFlow is not installed.\n\n"
      "It stores `model`, `build_fn` and further keyword parameters like the "
      "TensorFlow wrapper, so pipelines holding it can be built, cloned and "
      "pickled; fit, predict and score raise ImportError until TensorFlow is "
      "installed (extra 'dl').");
  cls.init(&keras_init, py::arg("model") = py::none(), py::arg("build_fn") = py::none());
  cls.def("get_params", &keras_get_params, py::arg("deep") = true);
  cls.def("set_params", &keras_set_params);
  cls.def(
      "fit", [](py::object, py::object, py::object, py::kwargs) { keras_unavailable(); },
      py::arg("X"), py::arg("y"));
  cls.def(
      "predict", [](py::object, py::object, py::kwargs) { keras_unavailable(); }, py::arg("X"));
  cls.def(
      "score", [](py::object, py::object, py::object, py::kwargs) { keras_unavailable(); },
      py::arg("X"), py::arg("y"));
  return cls.finalize();
}

// TensorFlow and scikeras are optional: any failure to import them (missing, or installed but
// unusable with this numpy) moves on to the next source. Returns the source's name.
std::string bind_keras_regressor(py::module_& m) {
  const std::pair<const char*, const char*> sources[] = {
      {"tensorflow.keras.wrappers.scikit_learn", "tensorflow"},
      {"scikeras.wrappers", "scikeras"},
  };
  for (const auto& [module, label] : sources) {
    try {
      m.attr("KerasRegressor") = py::module_::import(module).attr("KerasRegressor");
      return label;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  make_keras_regressor(m);
  return "tidewell_ts_libs";
}

// ---------------------------------------------------------------------------------------------
// The four functions

bool check_model_type_is_dl(py::object model) {
  return is_instance_of_any(model, "MODEL_TYPES_SUPPORTED_FOR_DEEP_LEARNING");
}

bool check_object_is_estimator(py::object model) {
  return is_instance_of_any(model, "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR");
}

py::object get_optimized_n_jobs(py::object n_jobs, py::object no_outputs) {
  if (n_jobs.equal(py::int_(-1))) n_jobs = global("cpu_count")() - py::int_(1);
  if (n_jobs < py::int_(1)) n_jobs = py::int_(1);
  return n_jobs < no_outputs ? n_jobs : no_outputs;
}

[[noreturn]] void raise_message(const std::string& text) {
  twpy::raise(PyExc_Exception, text);
}

py::object prepare_regressor(py::object dag_granularity, py::object total_execution_time,
                             py::object execution_time_per_pipeline, py::object r_type,
                             py::object execution_platform, py::object n_leaders_for_ensemble,
                             py::object n_estimators_for_pred_interval,
                             py::object max_samples_for_pred_interval, py::object ensemble_type,
                             py::object n_jobs) {
  if (n_jobs.equal(py::int_(0))) n_jobs = py::int_(1);

  py::dict options;
  options["total_execution_time"] = total_execution_time;
  options["execution_time_per_pipeline"] = execution_time_per_pipeline;
  options["execution_platform"] = execution_platform;

  // Regressor table, in order; the classes are the module's current bindings.
  const std::pair<const char*, const char*> table[] = {
      {"AutoRegressor", "AutoRegression"},
      {"AutoEnsemble", "EnsembleRegressor"},
  };
  py::object estimator_class;
  for (const auto& [key, cls] : table) {
    if (r_type.equal(py::str(key))) {
      estimator_class = global(cls);
      break;
    }
  }
  if (!estimator_class) {
    raise_message(contracts::message(global("Messages"), "TIDEWELLTSLIBS0036E", r_type));
  }
  if (r_type.equal(py::str("AutoEnsemble"))) {
    options["n_leaders_for_ensemble"] = n_leaders_for_ensemble;
    options["n_estimators_for_pred_interval"] = n_estimators_for_pred_interval;
    options["max_samples_for_pred_interval"] = max_samples_for_pred_interval;
    options["ensemble_type"] = ensemble_type;
  }

  auto is = [&](const char* name) { return dag_granularity.equal(py::str(name)); };
  auto getter = [](const char* name) { return py::module_::import(kDagModule).attr(name); };

  py::object stages;
  if (is("default")) {
    return py::make_tuple(r_type, estimator_class(**options));
  } else if (is("tiny")) {
    stages = global("tiny_reg_dag");
  } else if (is("flat")) {
    stages = getter("get_flat_dag")();
  } else if (is("multioutput_tiny")) {
    stages = getter("get_multi_output_tiny_dag")(n_jobs);
  } else if (is("multioutput_flat")) {
    stages = getter("get_multi_output_flat_dag")(n_jobs);
  } else if (is("regression_chain_flat")) {
    stages = global("regression_chain_flat_dag");
  } else if (is("regression_chain_tiny")) {
    stages = global("regression_chain_tiny_dag");
  } else if (is("MIMO_flat")) {
    stages = global("mimo_flat_dag");
  } else if (is("MINO_complete_flat")) {
    stages = global("complete_mino_flat_dag");
  } else if (is("multi_xgboost")) {
    stages = getter("get_xgboost_multi_dag")(n_jobs);
  } else if (is("multi_lgbm")) {
    stages = getter("get_lgbm_multi_dag")(n_jobs);
  } else if (is("xgboost")) {
    stages = global("xgb_dag");
  } else if (is("lgbm")) {
    stages = global("lgbm_dag");
  } else {
    raise_message(contracts::message(global("Messages"), "TIDEWELLTSLIBS0037E"));
  }
  return py::make_tuple(r_type, estimator_class(py::arg("stages") = stages, **options));
}

}  // namespace

PYBIND11_MODULE(chronoline, m) {
  g_module = m.ptr();
  Py_INCREF(g_module);
  m.doc() = "Regressor preparation for window-based forecasters.";

  // Names bound at load, in order; any import that fails (other than the optional Keras
  // wrapper) makes loading fail.
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("math") = py::module_::import("math");
  m.attr("datetime") = py::module_::import("datetime");
  bind_from(m, "sklearn.feature_selection", {"f_regression", "mutual_info_regression"});
  bind_from(m, "sklearn.model_selection", {"cross_val_score"});
  bind_from(m, "sklearn.ensemble", {"RandomForestRegressor"});
  bind_from(m, "joblib", {"Parallel", "delayed"});
  bind_from(m, "multiprocessing", {"cpu_count"});
  m.attr("fft") = py::module_::import("scipy.fft");
  // scipy no longer re-exports numpy's arange (removed in scipy 1.12 after years of
  // deprecation); the name is bound to numpy.arange, the function it always stood for.
  m.attr("arange") = py::module_::import("numpy").attr("arange");
  m.attr("signal") = py::module_::import("scipy.signal");
  bind_from(m, "sklearn.utils.validation", {"column_or_1d"});
  bind_from(m, "sklearn.metrics", {"mean_absolute_error", "r2_score", "mean_squared_error"});
  bind_from(m, "tidewell_ts_libs.kelp.joint_optimizers.auto.auto_regression", {"AutoRegression"});
  bind_from(m, "tidewell_ts_libs.kelp.estimators.regression.auto_ensemble_regressor",
            {"EnsembleRegressor"});
  bind_from(m, kDagModule,
            {"xgb_dag", "lgbm_dag", "tiny_reg_dag", "flat_reg_dag", "multi_output_flat_dag",
             "multi_output_tiny_dag", "regression_chain_flat_dag", "regression_chain_tiny_dag",
             "mimo_flat_dag", "complete_mino_flat_dag", "xgboost_multi_dag", "lgbm_multi_dag"});
  // Where KerasRegressor came from: "tensorflow", "scikeras" or "tidewell_ts_libs".
  m.attr("_KERAS_REGRESSOR_SOURCE") = bind_keras_regressor(m);
  bind_from(m, "sklearn.base", {"BaseEstimator"});
  m.attr("Messages") = contracts::messages_class();

  py::list dl;
  dl.append(m.attr("KerasRegressor"));
  m.attr("MODEL_TYPES_SUPPORTED_FOR_DEEP_LEARNING") = dl;
  py::list supported;
  supported.append(m.attr("KerasRegressor"));
  supported.append(m.attr("BaseEstimator"));
  m.attr("MODEL_TYPES_SUPPORTED_AS_ESTIMATOR") = supported;

  twpy::def_function(m, "prepare_regressor", &prepare_regressor, py::arg("dag_granularity"),
                     py::arg("total_execution_time"), py::arg("execution_time_per_pipeline"),
                     py::arg("r_type"), py::arg("execution_platform") = "spark_node_random_search",
                     py::arg("n_leaders_for_ensemble") = 1,
                     py::arg("n_estimators_for_pred_interval") = 5,
                     py::arg("max_samples_for_pred_interval") = 1.0,
                     py::arg("ensemble_type") = "voting", py::arg("n_jobs") = -1,
                     "Builds a named automatic-regression estimator over the search space "
                     "`dag_granularity`; returns the pair (r_type, estimator).");
  twpy::def_function(m, "get_optimized_n_jobs", &get_optimized_n_jobs, py::arg("n_jobs") = -1,
                     py::arg("no_outputs") = 1,
                     "Number of parallel jobs: all processors but one for -1, at least 1, and "
                     "no more than the number of outputs.");
  twpy::def_function(m, "check_model_type_is_dl", &check_model_type_is_dl, py::arg("model"),
                     "True if model is an instance of a deep-learning model type.");
  twpy::def_function(m, "check_object_is_estimator", &check_object_is_estimator, py::arg("model"),
                     "True if model is an instance of a supported estimator type.");
}
