// QuillcastForecaster: a scikit-learn estimator that trains one model of the forecasting engine
// per target column and forecasts with it.
//
// Module-level names (np, pickle, Messages, QuillcastUtils, check_array, ...) are looked up in
// the module's dict when they are used, so they can be replaced (tests monkeypatch them).
//
// Prediction works on copies of the trained models. When every copy is one of the engine's
// own models, the row-by-row updating and forecasting runs in C++ on the models themselves
// with the GIL released (support/forecaster_loop.hpp); any other object offering the model
// operations (update_model, is_initialized, forecast_at, last_time_updated, average_interval)
// is driven through Python, with the same printed lines and errors.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "contracts/engine.hpp"
#include "contracts/messages.hpp"
#include "contracts/model_table.hpp"
#include "dated_rows.hpp"
#include "forecaster_settings.hpp"
#include "pyclass.hpp"
#include "tarn/forecast_loop.hpp"
#include "tarn/metrics.hpp"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------------------------
// Module globals

py::object& module_ref() {
  static auto* m = new py::object();  // lives as long as the interpreter
  return *m;
}

// The class's own predict_on_history_single (the sliding windows run its steps in C++ unless a
// subclass or the instance replaces it).
py::object& own_predict_single() {
  static auto* method = new py::object();
  return *method;
}

// A module-level name, looked up when it is used; NameError when it was never bound (for
// example after a failed engine import).
py::object G(const char* name) {
  py::dict d = module_ref().attr("__dict__");
  if (!d.contains(name)) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return d[name];
}

template <class... Args>
std::string msg(const char* id, Args&&... args) {
  return contracts::message(G("Messages"), id, std::forward<Args>(args)...);
}

std::string str(py::handle o) {
  return py::str(o).cast<std::string>();
}

bool truthy(py::handle o) {
  const int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// `obj == -1` for the location parameters: a list or tuple never is, nor anything whose
// comparison is not a plain truth value.
bool is_minus_one(py::handle o) {
  if (PyList_Check(o.ptr()) || PyTuple_Check(o.ptr())) return false;
  py::int_ minus_one(-1);
  PyObject* r = PyObject_RichCompare(o.ptr(), minus_one.ptr(), Py_EQ);
  if (!r) {
    PyErr_Clear();
    return false;
  }
  const int t = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (t < 0) {
    PyErr_Clear();
    return false;
  }
  return t == 1;
}

bool py_lt(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_LT);
}
bool py_ge(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_GE);
}
bool py_gt(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_GT);
}
bool py_eq(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_EQ);
}

std::int64_t as_index(py::handle o) {
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(o.ptr()));
  if (!i) throw py::error_already_set();
  return i.cast<std::int64_t>();
}

// The first element of a location given as a list or tuple, else the value itself.
// A location that is not an integer (or a list or tuple starting with one) is refused,
// naming the setting.
py::object first_if_list(py::object o, const char* name = "ts_icol_loc") {
  py::object v = o;
  if (PyList_Check(o.ptr()) || PyTuple_Check(o.ptr())) {
    if (py::len(o) == 0) {
      twpy::raise(PyExc_ValueError, std::string(name) +
                                        " must be -1 or a list whose first element is the "
                                        "timestamp column index, got " +
                                        str(py::repr(o)));
    }
    v = o[py::int_(0)];
  }
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    twpy::raise(PyExc_TypeError, std::string(name) +
                                     " must be -1 or a list whose first element is the "
                                     "timestamp column index, got " +
                                     str(py::repr(o)));
  }
  return v;
}

bool is_exception(py::error_already_set& e) {
  return e.matches(PyExc_Exception);
}

// Re-raises a caught Python exception as Exception carrying its text.
[[noreturn]] void reraise_as_exception(py::error_already_set& e) {
  const std::string text = str(e.value());
  twpy::raise(PyExc_Exception, text);
}

// The log transform of values below -2 gives NaN (and of -2, -inf), which the callers handle
// themselves: numpy's warnings about them are silenced while they transform.
py::object log_transform(py::object np, py::object values) {
  py::object state =
      np.attr("errstate")(py::arg("invalid") = "ignore", py::arg("divide") = "ignore");
  state.attr("__enter__")();
  py::object out;
  try {
    out = np.attr("log1p")(py::int_(1) + values);
  } catch (...) {
    state.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  state.attr("__exit__")(py::none(), py::none(), py::none());
  return out;
}

// Whether some target series (a row of `raw`) has values, all of them within 1e-8 of zero and
// not all zero: the log transform would keep too few of their digits.
bool too_small_for_log(py::object np, py::object raw) {
  if (as_index(raw.attr("ndim")) != 2 || as_index(raw.attr("size")) == 0) return false;
  py::object largest = np.attr("nanmax")(
      np.attr("abs")(np.attr("nan_to_num")(raw, py::arg("nan") = 0.0)), py::arg("axis") = 1);
  py::object tiny =
      np.attr("logical_and")(np.attr("greater")(largest, 0.0), np.attr("less")(largest, 1e-8));
  return truthy(tiny.attr("any")());
}

std::string class_text(py::handle self) {
  return str(self.attr("__class__"));
}

py::object builder(const std::string& name) {
  py::object root = G("tidewell_ts_libs");
  py::object deps = root.attr("deps");
  py::object tarn = deps.attr("tarn");
  py::object forecasters = tarn.attr("forecasters");
  return forecasters.attr(name.c_str());
}

// ---------------------------------------------------------------------------------------------
// Model facts, through the C++ model when it is one of the engine's own

bool model_ready(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) return e->is_initialized();
  return truthy(m.attr("is_initialized")());
}

py::object model_last_time(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) return py::int_(e->last_time());
  return m.attr("last_time_updated");
}

py::object model_interval(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) return py::float_(e->average_interval());
  return m.attr("average_interval");
}

py::object last_updated_of(py::handle models) {
  py::object last = py::int_(-1);
  for (auto m : models) {
    if (model_ready(m)) last = model_last_time(m);
  }
  return last;
}

py::object get_last_updated(py::object self, py::object inmodle_array) {
  py::object models = inmodle_array.is_none() ? py::object(self.attr("model")) : inmodle_array;
  return last_updated_of(models);
}

py::object get_train_interval(py::object self) {
  py::object interval = py::int_(-1);
  for (auto m : self.attr("model")) {
    if (model_ready(m)) interval = model_interval(m);
  }
  return interval;
}

py::object get_train_size(py::object self) {
  for (auto m : self.attr("model")) {
    if (model_ready(m)) self.attr("_totalsamples") = model_last_time(m) + py::int_(1);
  }
  return self.attr("_totalsamples");
}

// ---------------------------------------------------------------------------------------------
// Construction and configuration

// The class docstring; {algorithms} and {settings} are filled in from the engine's table of
// models (class_doc()).
const char* const kClassDocTemplate = R"doc(Forecaster backed by the statistical forecasting engine.

One engine model is trained per target column of a data matrix (rows in time order, an
optional timestamp column, one or more value columns). ``fit(X, y, _reset_model=True)`` trains
new models, and so does ``fit(X, y)`` on a forecaster without trained models; ``fit(X, y)`` on a
trained forecaster brings copies of its models up to date with the rows of X and keeps them.
``predict`` forecasts a horizon ahead, optionally after feeding new rows to copies of the
models, or over a sliding window of new rows.

The timestamps may be dates: a pandas DataFrame whose timestamp column is datetime64 or ISO 8601
text (or a numpy object array with such a column), or a DataFrame with a DatetimeIndex and no
timestamp column. They are placed on a calendar time axis (calendar months for monthly data,
days for daily data, ...); ``forecast_times`` gives the dates of the rows ``predict`` forecasts.

``set_params`` sets constructor parameters and algorithm settings alike, as scikit-learn's
``clone`` and model searches expect; an unknown setting raises ValueError, in ``set_params`` and
at ``fit``. Settings that training computes (a detected season, training sizes) are kept in
``all_args`` for the models but are not reported by ``get_params``.

Parameters
----------
algorithm : str, default "hw"
{algorithms}
ts_icol_loc : int or list, default -1
    Location of the timestamp column: -1 for none (rows are taken as equally spaced and
    numbered 0, 1, 2, ...), otherwise a list whose first element is the column index, e.g. [0].
prediction_horizon : int, default 1
    Number of steps forecast by default. A horizon of 0 or below forecasts nothing; horizons
    above 1,000,000 steps are refused with a ValueError (as is a sliding-window forecast of more
    than 50,000,000 rows), and a forecast of h steps costs time in proportion to h.
log_transform : bool, default True
    Train on ln(x + 2) of every value x and return e^y - 2 of every forecast y. Training turns
    it off when the transformed training values contain NaN (values below -2). The automatic
    selector and ARIMA are told of the transform and fit the values on their own scale.
lookback_win : int, default 1
    Look-back window length, kept for pipelines and model searches.
target_column_indices : int or list, default -1
    Indices of the target columns; -1 means every column except the timestamp column.
debug : bool, default False
    Print the data given to fit and predict.
**kwargs
    Algorithm settings, stored in ``all_args`` and read when a model is built. A value below 1
    for a size is a fraction of the training length.

{settings}

Attributes
----------
model : list
    The trained engine models, one per target column, in target order.
model_update_predict : list or None
    The copies updated by the last prediction with new data.
all_args : dict
    The algorithm settings handed to model construction (the ``**kwargs`` plus "algorithm").
log_transformed : bool
    Whether values are log-transformed.
is_fitted_ : bool
    Present (True) once every model is trained.
n_features_ : int
    Number of target columns seen in training.
)doc";

// `text` as lines of at most 96 characters (the docstring's width), each indented by four
// spaces; a line also ends at every "\n" of the text.
std::string wrap(const std::string& text) {
  const std::size_t width = 96;
  const std::string indent = "    ";
  std::string out, line;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of(" \n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(pos, end - pos);
    if (!word.empty()) {
      if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
        out += indent + line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    if ((end == text.size() || text[end] == '\n') && !line.empty()) {
      out += indent + line + "\n";
      line.clear();
    }
    pos = end + 1;
  }
  return out;
}

// The forecaster's algorithms, "hw, arima, ..." in table order.
std::string algorithm_list() {
  std::string out;
  for (const auto& a : tarn::forecaster_algorithms()) out += (out.empty() ? "" : ", ") + a;
  return out;
}

std::string class_doc() {
  const auto& table = tarn::model_table();
  std::vector<const tarn::ForecasterEntry*> offered;
  for (const auto& e : table) {
    if (!e.forecaster.algorithm.empty()) offered.push_back(&e.forecaster);
  }
  std::string names;
  for (std::size_t i = 0; i < offered.size(); ++i) {
    if (i) names += i + 1 == offered.size() ? " or " : ", ";
    names += "\"" + offered[i]->algorithm + "\"";
    if (!offered[i]->note.empty()) names += " (" + offered[i]->note + ")";
  }
  std::string algorithms = wrap("Engine algorithm, matched case-insensitively: " + names +
                                ". None or \"None\" means \"hw\".");
  std::string settings;
  for (const auto* f : offered) settings += wrap(f->settings_doc);
  algorithms.pop_back();  // the template's line ends there
  settings.pop_back();
  std::string doc = kClassDocTemplate;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{algorithms}", algorithms},
                                   {"{settings}", settings}}) {
    doc.replace(doc.find(key), key.size(), value);
  }
  return doc;
}

void init(py::object self, py::object algorithm, py::object ts_icol_loc,
          py::object prediction_horizon, py::object log_transform, py::object lookback_win,
          py::object target_column_indices, py::object debug, py::kwargs kwargs) {
  self.attr("ts_icol_loc") = ts_icol_loc;
  self.attr("target_column_indices") = target_column_indices;
  self.attr("_timestamps") = py::none();
  self.attr("prediction_horizon") = prediction_horizon;
  self.attr("_totalsamples") = py::none();
  self.attr("lookback_win") = lookback_win;
  self.attr("debug") = debug;
  self.attr("model") = py::list();
  self.attr("model_dumps") = py::list();
  self.attr("model_update_predict") = py::none();
  self.attr("log_transformed") = log_transform;
  self.attr("compute_periodicity") = true;
  self.attr("model_description") = py::none();
  self.attr("model_family") = "statistical";
  py::str hw("hw");
  self.attr("model_name") = hw;
  self.attr("model_id") = py::none();
  // None (or the text "None") selects the default algorithm, which model_name already names.
  const bool no_algorithm =
      algorithm.is_none() || (py::isinstance<py::str>(algorithm) && str(algorithm) == "None");
  if (no_algorithm) {
    self.attr("algorithm") = hw;
    self.attr("_algorithm_param") = algorithm;
  } else {
    self.attr("algorithm") = algorithm;
    self.attr("model_name") = algorithm;
  }
  py::dict all_args = kwargs;  // the keyword dictionary itself, not a copy
  all_args["algorithm"] = self.attr("algorithm");
  self.attr("all_args") = all_args;
}

// scikit-learn reads the constructor parameters as attributes. The log transform is kept as
// `log_transformed`, and the algorithm that model construction uses is the one in `all_args`
// (`algorithm` gets the Holt-Winters variant appended when a model is built); the algorithm
// settings of **kwargs are parameters too, so clone and repr keep them.
py::dict get_params(py::object self, py::object deep) {
  py::list names = self.attr("_get_param_names")();
  py::object all_args = py::none();
  py::dict state = self.attr("__dict__");
  if (state.contains("all_args")) all_args = state["all_args"];
  const bool have_args = py::isinstance<py::dict>(all_args);
  py::dict out;
  auto add = [&](py::handle key, py::object value) {
    if (truthy(deep) && py::hasattr(value, "get_params") && !py::isinstance<py::type>(value)) {
      py::dict nested = value.attr("get_params")();
      for (auto item : nested) {
        out[py::str(str(key) + "__" + str(item.first))] = item.second;
      }
    }
    out[key] = value;
  };
  std::vector<std::string> seen;
  for (auto key : names) {
    const std::string k = str(key);
    seen.push_back(k);
    py::object value;
    if (k == "log_transform") {
      twsettings::reported_value(self, k, self.attr("log_transformed"), &value);
    } else if (k == "algorithm" && have_args && all_args.contains("algorithm")) {
      value = all_args["algorithm"];
      // A missing algorithm (None) stands for the default one.
      if (state.contains("_algorithm_param") && py_eq(value, py::str("hw"))) {
        value = state["_algorithm_param"];
      }
    } else {
      value = self.attr(key);
    }
    add(key, value);
  }
  if (have_args) {
    for (auto item : py::reinterpret_borrow<py::dict>(all_args)) {
      const std::string k = str(item.first);
      if (std::find(seen.begin(), seen.end(), k) != seen.end()) continue;
      py::object value;
      if (!twsettings::reported_value(self, k, py::reinterpret_borrow<py::object>(item.second),
                                      &value)) {
        continue;  // computed by training, not given by the caller
      }
      add(item.first, value);
    }
  }
  return out;
}

// Sets the algorithm as the constructor does: None (or "None") means "hw"; the attribute, the
// display name and the "algorithm" setting of all_args always agree.
void set_algorithm(py::object self, py::dict all_args, py::object algorithm) {
  const bool no_algorithm =
      algorithm.is_none() || (py::isinstance<py::str>(algorithm) && str(algorithm) == "None");
  py::dict state = self.attr("__dict__");
  if (state.contains("_algorithm_param")) PyDict_DelItemString(state.ptr(), "_algorithm_param");
  py::object value = algorithm;
  if (no_algorithm) {
    value = py::str("hw");
    self.attr("_algorithm_param") = algorithm;
  }
  self.attr("algorithm") = value;
  self.attr("model_name") = value;
  all_args["algorithm"] = value;
}

// Sets constructor parameters and algorithm keywords, as scikit-learn's clone and model
// searches expect: a constructor parameter takes effect (log_transform as log_transformed), an
// algorithm keyword joins the others in all_args. An unknown name raises ValueError before
// anything changes.
py::object set_params(py::object self, py::kwargs params) {
  const std::vector<std::string> names = twsettings::constructor_names(self);
  for (auto item : params) {
    const std::string key = str(item.first);
    if (!twsettings::contains(names, key) && !twsettings::known_keyword(key)) {
      twsettings::raise_unknown(self, key);
    }
  }
  py::dict state = self.attr("__dict__");
  py::dict all_args;
  if (state.contains("all_args") && py::isinstance<py::dict>(state["all_args"])) {
    all_args = state["all_args"];
  } else {
    all_args["algorithm"] = self.attr("algorithm");
    self.attr("all_args") = all_args;
  }
  for (auto item : params) {
    const std::string key = str(item.first);
    py::object value = py::reinterpret_borrow<py::object>(item.second);
    twsettings::forget_trained(self, key);
    if (key == "algorithm") {
      set_algorithm(self, all_args, value);
    } else if (key == "log_transform") {
      self.attr("log_transformed") = value;
    } else if (twsettings::contains(names, key)) {
      self.attr(item.first) = value;
    } else {
      all_args[item.first] = value;
    }
  }
  return self;
}

// ---------------------------------------------------------------------------------------------
// Model identity and the ready-made configurations

// "st_" followed by the id of the first of the algorithm's id rules (the engine's table of
// models) whose conditions all hold; "st_" alone when none does.
py::str get_model_id(py::object, py::object algorithm_name, py::kwargs params) {
  auto param = [&](const std::string& k) -> py::object {
    return params.contains(k) ? py::object(params[py::str(k)]) : py::object(py::none());
  };
  auto holds = [&](const tarn::IdCondition& c) {
    py::object v = param(c.key);
    switch (c.test) {
      case tarn::IdCondition::Test::TextIs:
        return str(v.attr("lower")()) == c.value.text();
      case tarn::IdCondition::Test::Given:
        return !v.is_none();
      case tarn::IdCondition::Test::Equals:
        break;
    }
    return py_eq(v, contracts::to_python(c.value));
  };
  std::string id = "st_";
  const std::string name = str(algorithm_name.attr("lower")());
  if (const tarn::ModelEntry* e = tarn::find_algorithm(name)) {
    for (const auto& rule : e->forecaster.ids) {
      if (std::all_of(rule.conditions.begin(), rule.conditions.end(), holds)) {
        id += rule.id;
        break;
      }
    }
  }
  return py::str(id);
}

py::list get_estimators(py::object, py::object /*log_transform: not used*/,
                        py::object target_column_indices, py::object time_column_index,
                        py::object prediction_horizon, py::object lookback_win) {
  py::object cls = G("QuillcastForecaster");
  py::object forecasters = G("qc").attr("Forecasters");
  auto make = [&](py::object algorithm, py::dict settings) {
    settings["log_transform"] = false;
    settings["prediction_horizon"] = prediction_horizon;
    settings["lookback_win"] = lookback_win;
    settings["target_column_indices"] = target_column_indices;
    settings["ts_icol_loc"] = time_column_index;
    settings["algorithm"] = algorithm;
    return cls(**settings);
  };
  py::list out;
  out.append(make(forecasters.attr("hw"), py::dict(py::arg("algorithm_type") = "additive",
                                                   py::arg("min_training_data") = 0.99)));
  out.append(make(forecasters.attr("hw"), py::dict(py::arg("algorithm_type") = "multiplicative",
                                                   py::arg("min_training_data") = 0.99)));
  out.append(make(forecasters.attr("arima"),
                  py::dict(py::arg("use_full_error_history") = true, py::arg("force_model") = false,
                           py::arg("min_training_data") = -1)));
  out.append(make(forecasters.attr("bats"), py::dict(py::arg("training_sample_size") = 0.25,
                                                     py::arg("box_cox_transform") = false)));
  return out;
}

// Parameter distributions for a model search: every key is a constructor keyword. The
// algorithms and the parameters of each come from the engine's table of models.
py::dict get_param_dist(py::object, py::object /*size*/) {
  py::dict out;
  py::list algorithms;
  for (const auto& a : tarn::forecaster_algorithms()) algorithms.append(a);
  out["algorithm"] = algorithms;
  out["log_transform"] = py::list(py::make_tuple(true, false));
  for (const auto& e : tarn::model_table()) {
    for (const auto& p : e.forecaster.search) {
      if (out.contains(p.key)) continue;
      py::list values;
      for (const auto& v : p.values) values.append(contracts::to_python(v));
      out[py::str(p.key)] = values;
    }
  }
  return out;
}

py::object get_models_copy(py::object self, py::object /*verbose*/) {
  py::object models = self.attr("model");
  bool empty = models.is_none();
  if (!empty) {
    const int eq = PyObject_RichCompareBool(models.ptr(), py::list().ptr(), Py_EQ);
    if (eq < 0) PyErr_Clear();
    empty = eq == 1;
  }
  if (empty) {
    twpy::print("No model defined");
    return py::none();
  }
  try {
    py::object pickle = G("pickle");
    py::list dumps;
    for (auto m : models) dumps.append(pickle.attr("dumps")(m));
    py::list copies;
    for (auto d : dumps) copies.append(pickle.attr("loads")(d));
    return copies;
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    twpy::print("Model Copy failed");
    return py::none();
  }
}

// ---------------------------------------------------------------------------------------------
// Engine model construction

void check_algorithm_name(py::handle algorithm) {
  if (!py::isinstance<py::str>(algorithm)) {
    twpy::raise(PyExc_TypeError, "algorithm must be a string (one of " + algorithm_list() +
                                     "), got " + str(py::repr(algorithm)));
  }
}

// The sizes and orders among the algorithm settings must be real numbers (a fraction below 1
// is a share of the training length): anything else is refused here, naming the setting,
// rather than failing later in a comparison or inside the engine.
void check_numeric_settings(const py::dict& kw) {
  for (const char* k : {"samples_per_season", "initial_training_seasons", "error_history_length",
                        "error_horizon_length", "min_training_data", "training_sample_size",
                        "p_min", "p_max", "d", "q_min", "q_max"}) {
    if (!kw.contains(k)) continue;
    py::object v = kw[k];
    if (v.is_none()) continue;
    const bool number =
        !PyBool_Check(v.ptr()) && (PyIndex_Check(v.ptr()) || PyFloat_Check(v.ptr()) ||
                                   py::isinstance(v, G("np").attr("floating")));
    if (!number) {
      twpy::raise(PyExc_TypeError, std::string(k) + " must be a number, got " + str(py::repr(v)) +
                                       " of type " + Py_TYPE(v.ptr())->tp_name);
    }
    if (!std::isfinite(py::float_(v).cast<double>())) {
      twpy::raise(PyExc_ValueError,
                  std::string(k) + " must be a finite number, got " + str(py::repr(v)));
    }
  }
}

struct Builder {
  py::object self;
  py::dict kw;
  py::dict alg;
  py::object N;

  bool present(const char* k) const { return kw.contains(k) && !py::object(kw[k]).is_none(); }
  py::object get(const char* k) const { return kw[k]; }

  // A value below 1 is a fraction of the training length N (when known); a result <= 0 is
  // replaced by the fallback, when there is one.
  py::object fraction(py::object v, py::object fallback) const {
    if (py_lt(v, py::int_(1)) && !N.is_none()) {
      py::object rounded = twpy::import("builtins", "round")(v * N, 14);
      py::object count = py::int_(rounded);
      if (!fallback.is_none() && !py_gt(count, py::int_(0))) return fallback;
      return count;
    }
    return v;
  }

  void copy_keys(std::initializer_list<const char*> keys) {
    for (const char* k : keys) {
      if (present(k)) alg[k] = get(k);
    }
  }

  // hw becomes hw_additive (or hw_multiplicative) once.
  void name_variant() {
    py::object algorithm = self.attr("algorithm");
    py::object model_name = self.attr("model_name");
    py::str underscore("_");
    const bool both = algorithm.contains(underscore) && model_name.contains(underscore);
    if (!both) {
      py::object type = alg["algorithm_type"];
      self.attr("algorithm") = algorithm + underscore + type;
      self.attr("model_name") = model_name + underscore + type;
    }
  }

  void record(py::object algorithm) {
    py::object cls = self.attr("__class__");
    self.attr("model_id") = cls.attr("get_model_id")(algorithm, **alg);
    self.attr("model_description") =
        py::object(self.attr("algorithm")) + py::str("_") + py::str(alg);
  }
};

// A model of an algorithm whose settings follow the table of models: the training size
// defaults to the whole series, the settings are passed on in table order (shares of the
// training length turned into counts), and the size is then bounded as the entry says.
py::object table_model(Builder& b, const tarn::ModelEntry& entry, py::dict all_args,
                       py::object algorithm) {
  const tarn::ForecasterEntry& f = entry.forecaster;
  const char* size_key = f.size_key.c_str();
  if (!f.size_key.empty() && !b.kw.contains(size_key)) b.kw[size_key] = tarn::kWholeSeries;
  for (const auto& s : f.settings) {
    const char* k = s.key.c_str();
    if (!b.present(k)) continue;
    b.alg[k] = s.share ? b.fraction(b.get(k), contracts::to_python(s.fallback)) : b.get(k);
  }
  if (f.size_none_is_length && !b.alg.contains(size_key)) {
    b.alg[size_key] = b.N.is_none() ? py::object(py::int_(tarn::kSizeBeforeLength)) : b.N;
  }
  if (f.size_minimum > 0) {
    const py::object minimum = py::int_(f.size_minimum);
    if (!b.alg.contains(size_key) || py_lt(b.alg[size_key], minimum)) b.alg[size_key] = minimum;
    all_args[size_key] = b.alg[size_key];
  }
  b.record(algorithm);
  return builder(entry.name)(**b.alg);
}

py::object get_model(py::object self, py::kwargs kw_args) {
  // A copy: the defaults filled in below never reach the caller's dictionary.
  Builder b{self, py::reinterpret_steal<py::dict>(PyDict_Copy(kw_args.ptr())), py::dict(),
            self.attr("_totalsamples")};
  py::dict all_args = self.attr("all_args");
  if (!b.kw.contains("algorithm")) {
    PyErr_SetObject(PyExc_KeyError, py::str("algorithm").ptr());
    throw py::error_already_set();
  }
  py::object algorithm = b.kw["algorithm"];
  check_algorithm_name(algorithm);
  check_numeric_settings(b.kw);
  const tarn::ModelEntry* entry = tarn::find_algorithm(str(algorithm.attr("lower")()));
  if (!entry) twpy::raise(PyExc_ValueError, msg("TIDEWELLTSLIBS0004E"));
  if (!entry->forecaster.own_rules) return table_model(b, *entry, all_args, algorithm);
  // Holt-Winters' own rules: the season from the training length, or season finding.
  const py::object two = py::int_(2);
  if (b.present("min_training_data")) {
    py::object mtd = b.get("min_training_data");
    if (b.N.is_none() && py_lt(mtd, py::int_(1))) {
      twpy::raise(PyExc_ValueError,
                  "min_training_data " + str(py::repr(mtd)) +
                      " is a fraction of the training length, which is not known before fit");
    }
    py::object samples = mtd;
    if (py_lt(samples, py::int_(1)) && py_ge(mtd, py::float_(0.99))) samples = b.N;
    if (py_lt(samples, py::int_(1)) && py_lt(mtd, py::float_(0.99))) {
      samples = py::int_(b.N * samples);
    }
    if (py_gt(samples, py::int_(1000000))) samples = py::int_(1000000);
    b.alg["algorithm_type"] =
        b.present("algorithm_type") ? b.get("algorithm_type") : py::object(py::str("additive"));
    b.alg["number_of_samples"] = samples;
    b.alg["min_training_data"] = mtd;
    b.alg["is_season_length"] = false;
    b.name_variant();
    b.record(algorithm);
    return builder(entry->name)(py::arg("is_season_length") = false,
                                py::arg("number_of_samples") = py::int_(b.alg["number_of_samples"]),
                                py::arg("algorithm_type") = b.alg["algorithm_type"]);
  }
  for (const char* k : {"samples_per_season", "initial_training_seasons", "algorithm_type",
                        "compute_seasonality", "error_history_length", "use_full_error_history"}) {
    if (!b.present(k)) continue;
    py::object v = b.get(k);
    const std::string key = k;
    if ((key == "samples_per_season" || key == "error_history_length") && py_lt(v, py::int_(1)) &&
        !b.N.is_none()) {
      if (py_gt(v, py::float_(0.5))) v = py::float_(0.5);
      b.alg[k] = b.fraction(v, two);
    } else {
      b.alg[k] = v;
    }
  }
  if (!b.alg.contains("samples_per_season")) {
    py::object season = two;
    if (!b.N.is_none()) {
      season = py::int_(b.N * py::float_(0.25));
      // Fewer than four rows give no whole season: use the smallest one.
      if (!py_gt(season, py::int_(0))) season = two;
    }
    b.alg["samples_per_season"] = season;
    all_args["samples_per_season"] = season;
  }
  if (!b.alg.contains("initial_training_seasons")) {
    py::object seasons = two;
    if (!b.N.is_none()) {
      py::object season = py::int_(b.alg["samples_per_season"]);
      if (!py_gt(season, py::int_(0))) {
        twpy::raise(PyExc_ValueError, "samples_per_season must be at least 1, got " +
                                          str(py::repr(b.alg["samples_per_season"])));
      }
      seasons = py::int_(b.N / season);
      // A series shorter than one season still trains on one (the engine fits what it has).
      if (!py_gt(seasons, py::int_(0))) seasons = py::int_(1);
    }
    b.alg["initial_training_seasons"] = seasons;
    all_args["initial_training_seasons"] = seasons;
  }
  if (!b.alg.contains("algorithm_type")) b.alg["algorithm_type"] = "additive";
  b.name_variant();
  b.record(algorithm);
  return builder(entry->name)(**b.alg);
}

// ---------------------------------------------------------------------------------------------
// Fitting

// check_array's keyword that lets NaN and infinity through; its name depends on the
// scikit-learn version, so it is read from the installed check_array once.
const char* finite_keyword() {
  static std::string name;
  if (name.empty()) {
    py::object sig = twpy::import(
        "inspect", "signature")(twpy::import("sklearn.utils.validation", "check_array"));
    py::object params = sig.attr("parameters");
    name = params.contains("ensure_all_finite") ? "ensure_all_finite" : "force_all_finite";
  }
  return name.c_str();
}

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

// The column index of a timestamp location (-1, [index] or index), or -1 when it names none.
std::int64_t ts_index_of(py::object loc) {
  if (is_minus_one(loc)) return -1;
  py::object col = first_if_list(loc);
  if (!PyIndex_Check(col.ptr()) || PyBool_Check(col.ptr())) return -1;
  return as_index(col);
}

// Dated rows of X with the timestamp location `loc` (the forecaster's own when -1), as a matrix
// on the integer time axis; X unchanged when it carries no dates.
twdates::DatedRows dated_input(py::object self, py::object X, py::object loc, bool fitting) {
  if (X.is_none()) return {};
  if (is_minus_one(loc)) loc = self.attr("ts_icol_loc");
  return twdates::dated_rows(self, X, ts_index_of(loc), fitting);
}

// Whether new rows X hold a NaN. Numbers held as objects are read as floats; data that are not
// numbers at all are left to check_array, which reports them.
bool has_nan(py::object np, py::object X) {
  if (X.is_none()) return false;
  py::object nan;
  try {
    nan = np.attr("isnan")(X);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    try {
      nan = np.attr("isnan")(np.attr("asarray")(X, py::arg("dtype") = "float64"));
    } catch (py::error_already_set& e2) {
      if (!e2.matches(PyExc_TypeError) && !e2.matches(PyExc_ValueError)) throw;
      return false;
    }
  }
  return py_gt(np.attr("count_nonzero")(nan), py::int_(0));
}

// Timestamps are whole numbers: a missing or fractional one (which would be cut to an integer
// and then collide with its neighbour) is refused, naming the column and the row.
void check_whole_timestamps(py::object column, py::handle ts_col) {
  py::array_t<double, py::array::c_style | py::array::forcecast> t(column);
  const double* x = t.data();
  for (py::ssize_t r = 0, n = t.size(); r < n; ++r) {
    if (std::isfinite(x[r]) && x[r] == std::floor(x[r])) continue;
    twpy::raise(PyExc_ValueError, "timestamp column " + str(ts_col) + ", row " + std::to_string(r) +
                                      ": " + str(py::repr(py::float_(x[r]))) +
                                      " is not a timestamp (timestamps must be whole numbers)");
  }
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
  twdates::DatedRows dated = dated_input(self, X, py::int_(-1), true);
  if (dated.dated) {
    X = dated.X;
    if (dated.from_index) ts_icol_loc = py::make_tuple(dated.ts_col);
  } else if (py::dict(self.attr("__dict__")).contains("time_axis_")) {
    py::delattr(self, "time_axis_");
  }
  py::dict check_kw;
  // Sparse input is refused with a clear error (the columns are read one by one as series).
  check_kw["accept_sparse"] = false;
  check_kw[finite_keyword()] = false;
  X = G("check_array")(X, **check_kw);

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
      if (c != ts_index) target_order.push_back(c);
    }
  }
  for (const std::int64_t c : target_order) {
    py::object column = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), c)];
    vals.append(column);
    ts_l = py::len(timestamps);
    if (truthy(self.attr("compute_periodicity"))) {
      py::dict all_args = self.attr("all_args");
      py::object training_size = py::none();
      if (seasonal_sizes) {
        py::object counts =
            G("QuillcastUtils")
                .attr("get_init_samples")(column.attr("tolist")(), py::arg("upper_limit") = 200,
                                          py::arg("lower_limit") = 8);
        py::list items(counts);
        if (py::len(items) != 4) {
          twpy::raise(PyExc_ValueError, "QuillcastUtils.get_init_samples returned " +
                                            std::to_string(py::len(items)) +
                                            " counts; four were expected");
        }
        fill(all_args, "samples_per_season", items[1]);
        py::object period = all_args["samples_per_season"];
        if (!given("initial_training_seasons") && PyNumber_Check(period.ptr()) &&
            py_gt(period, py::int_(0))) {
          fill(all_args, "initial_training_seasons", py::int_(py::int_(ts_l) / period));
        }
        training_size = items[3];
      }
      fill(all_args, "error_history_length", py::int_(2));
      fill(all_args, "error_horizon_length", py::int_(2));
      if (seasonal_sizes) {
        fill(all_args, "min_training_data", training_size);
        fill(all_args, "training_sample_size", training_size);
      }
    }
    try {
      model_list.attr("append")(self.attr("_getModel")(**py::dict(self.attr("all_args"))));
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      reraise_as_exception(e);
    }
  }

  py::object series = vals;
  if (truthy(self.attr("log_transformed"))) {
    py::object raw = np.attr("array")(vals, py::arg("dtype") = "float64");
    py::object transformed = log_transform(np, raw);
    if (!truthy(np.attr("isfinite")(transformed).attr("all")())) {
      // Missing values, or values of -2 or below (ln(x + 2) is NaN or -inf): train on the raw
      // values.
      self.attr("log_transformed") = false;
    } else if (too_small_for_log(np, raw)) {
      // Every value of a target is so close to 0 that ln(x + 2) keeps fewer than 8 of its
      // digits (1e-302 would come back as exactly 0): train on the raw values.
      self.attr("log_transformed") = false;
    } else {
      series = transformed;
    }
  }
  if (truthy(self.attr("debug"))) {
    twpy::print(class_text(self) + " fit \n X==" + str(X) + "\n y=" + str(y));
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

  self.attr("_filled_args") = filled;
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

// The attributes training writes. A training that fails puts them back, so the forecaster
// keeps its trained models (unreset) and its settings instead of being left half-trained.
const char* const kTrainingState[] = {
    "model",      "_timestamps",    "_totalsamples", "n_features_", "log_transformed",
    "is_fitted_", "algorithm",      "model_name",    "model_id",    "model_description",
    "time_axis_", "n_features_in_", "_filled_args"};

// Whether the forecaster holds trained models that an updating fit can bring up to date.
bool has_trained_models(py::object self) {
  py::dict state = self.attr("__dict__");
  if (!state.contains("is_fitted_") || !truthy(state["is_fitted_"])) return false;
  return state.contains("model") && truthy(state["model"]);
}

py::object fit(py::object self, py::object X, py::object y, py::object reset_model) {
  // Without trained models there is nothing to update: fit trains them.
  if (!truthy(reset_model) && has_trained_models(self)) {
    self.attr("predict")(X);
    self.attr("model") = self.attr("model_update_predict");
    return self;
  }
  twsettings::check_keywords(self);
  py::object log_before = self.attr("log_transformed");
  py::dict state = self.attr("__dict__");
  py::dict saved;
  for (const char* name : kTrainingState) {
    if (state.contains(name)) saved[name] = state[name];
  }
  py::object all_args = self.attr("all_args");
  const bool args_is_dict = py::isinstance<py::dict>(all_args);
  py::dict saved_args =
      args_is_dict ? py::reinterpret_steal<py::dict>(PyDict_Copy(all_args.ptr())) : py::dict();
  py::object old_models = self.attr("model");
  try {
    train(self, X, y);
  } catch (...) {
    py::dict now = self.attr("__dict__");
    for (const char* name : kTrainingState) {
      if (saved.contains(name)) {
        now[name] = saved[name];
      } else if (now.contains(name)) {
        PyDict_DelItemString(now.ptr(), name);
      }
    }
    if (args_is_dict) {
      all_args.attr("clear")();
      all_args.attr("update")(saved_args);
    }
    throw;
  }
  if (args_is_dict) twsettings::record_trained(self, saved_args, log_before);
  // The new models replace the old ones, which forget their observations.
  if (truthy(old_models)) {
    for (auto m : old_models) m.attr("reset_model")();
  }
  return self;
}

// ---------------------------------------------------------------------------------------------
// Prediction

// The value columns of a block of new rows: every column but the timestamp column, in order.
// When the forecaster was trained on chosen target columns and the block is laid out like the
// training matrix (more value columns than targets, every target index among them), the
// target columns are taken, so that each model is fed the series it was trained on.
py::list value_columns(py::object self, std::int64_t ncols, std::int64_t ts_col,
                       std::int64_t n_features) {
  py::list cols;
  for (std::int64_t c = 0; c < ncols; ++c) {
    if (c != ts_col) cols.append(c);
  }
  py::object tci = self.attr("target_column_indices");
  const auto n_cols = static_cast<std::int64_t>(py::len(cols));
  if (is_minus_one(tci) || n_cols < n_features) return cols;
  if (!(PyList_Check(tci.ptr()) || PyTuple_Check(tci.ptr()))) return cols;
  py::list chosen;
  for (auto i : tci) {
    if (!PyIndex_Check(i.ptr()) || PyBool_Check(i.ptr())) return cols;
    const std::int64_t c = as_index(i);
    if (c < 0 || c >= ncols || c == ts_col || chosen.contains(py::int_(c))) return cols;
    chosen.append(c);
  }
  // As many value columns as targets: the training layout only when the targets are exactly
  // those columns (in any order); otherwise the columns are the targets themselves, in order.
  if (n_cols == n_features) {
    for (auto c : cols) {
      if (!chosen.contains(c)) return cols;
    }
  }
  return chosen;
}

struct RowBlock {
  py::object X;       // checked rows
  py::object values;  // n_rows x value columns, transformed when the forecaster logs values
  py::object timestamps = py::none();  // timestamp column, or None: generated
  std::int64_t n_rows = 0;
};

// Steps shared by every call that feeds rows: the timestamp layout, the value columns and the
// log transform. The errors are the ones the forecaster reports for a block of new rows.
RowBlock prepare_rows(py::object self, py::object X, py::object ts_col_loc, bool transform = true) {
  py::object np = G("np");
  RowBlock b;
  b.X = X;
  py::tuple shape = X.attr("shape");
  b.n_rows = as_index(shape[0]);
  const std::int64_t ncols = as_index(shape[1]);
  std::int64_t ts_col = -1;
  std::int64_t n_features = 0;
  if (is_minus_one(ts_col_loc) && is_minus_one(self.attr("ts_icol_loc"))) {
    n_features = as_index(self.attr("n_features_"));
    if (ncols < n_features) {
      twpy::raise(PyExc_ValueError, "X has " + std::to_string(ncols) + " features, but " +
                                        str(py::type::of(self).attr("__name__")) +
                                        " is expecting " + std::to_string(n_features) +
                                        " features as input.");
    }
  } else {
    const std::int64_t n_values = ncols - 1;
    const bool own = is_minus_one(ts_col_loc);
    py::object col = own ? py::object(self.attr("ts_icol_loc")) : ts_col_loc;
    col = first_if_list(col, own ? "ts_icol_loc" : "ts_col_loc");
    if (py_lt(col, py::int_(0)) || py_ge(col, py::int_(ncols))) {
      twpy::raise(PyExc_RuntimeError, msg("TIDEWELLTSLIBS0005E", str(col)));
    }
    py::object n_feat = self.attr("n_features_");
    if (py_lt(py::int_(n_values), n_feat)) {
      twpy::raise(PyExc_RuntimeError,
                  msg("TIDEWELLTSLIBS0006E", std::to_string(n_values), str(n_feat)));
    }
    n_features = as_index(n_feat);
    ts_col = as_index(col);
    b.timestamps = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ts_col)];
    check_whole_timestamps(b.timestamps, col);
  }
  py::list cols = value_columns(self, ncols, ts_col, n_features);
  py::object values = X;
  bool in_order = ts_col < 0 && static_cast<std::int64_t>(py::len(cols)) == ncols;
  for (std::int64_t c = 0; in_order && c < ncols; ++c) {
    in_order = as_index(cols[py::int_(c)]) == c;
  }
  if (!in_order) {
    values = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), cols)];
  }
  if (transform && truthy(self.attr("log_transformed"))) {
    py::object transformed = log_transform(np, values);
    if (!truthy(np.attr("isfinite")(transformed).attr("all")())) {
      twpy::raise(PyExc_Warning, msg("TIDEWELLTSLIBS0007E"));
    }
    values = transformed;
  }
  b.values = values;
  return b;
}

void print_update_skip(py::handle t_text, py::handle v_text) {
  twpy::print("Skipping Update model, current Timestamp", t_text, "Current Value ", v_text);
}
void print_stale(py::handle t_text, py::handle last_text) {
  twpy::print("Skipping Update model, current timestamp is older than previous one.");
  twpy::print("Current Timestamp", t_text, "Previous Timestamp was ", last_text);
}

py::object element(py::handle array, std::int64_t r) {
  return array[py::int_(r)];
}
py::object element(py::handle array, std::int64_t r, std::int64_t c) {
  return array[py::make_tuple(r, c)];
}

// Feeds the rows of `b` to `models` through the models' Python operations.
void feed_rows_python(py::object self, py::object models, const RowBlock& b,
                      std::int64_t n_features) {
  py::object last = get_last_updated(self, models);
  py::object start = last;
  for (std::int64_t r = 0; r < b.n_rows; ++r) {
    py::object t =
        b.timestamps.is_none() ? py::object(start + py::int_(r + 1)) : element(b.timestamps, r);
    if (py_lt(last, t)) {
      for (std::int64_t c = 0; c < n_features; ++c) {
        py::object m = models[py::int_(c)];
        py::object v = element(b.values, r, c);
        try {
          m.attr("update_model")(py::int_(t), py::float_(v));
        } catch (py::error_already_set& e) {
          if (!is_exception(e)) throw;
          print_update_skip(py::str(t), py::str(v));
        }
      }
      last = t;
    } else {
      print_stale(py::str(t), py::str(last));
    }
  }
}

py::object forecast_python(py::object self, py::object models, std::int64_t horizon) {
  double time = py::float_(get_last_updated(self, models)).cast<double>();
  const double interval = py::float_(get_train_interval(self)).cast<double>();
  py::list rows;
  for (std::int64_t k = 0; k < horizon; ++k) {
    time += interval;
    py::list row;
    for (auto m : models) row.append(m.attr("forecast_at")(time));
    rows.append(row);
  }
  return rows;
}

py::object inverse_transform(py::object self, py::object rows) {
  py::object np = G("np");
  if (truthy(self.attr("log_transformed"))) {
    // e^y - 2. Near y = ln 2 (forecasts near 0) it is computed as 2 (e^(y - ln 2) - 1), where
    // y - ln 2 is exact, instead of subtracting 1 from e^y - 1, which cancels the digits.
    py::object y = np.attr("asarray")(rows, py::arg("dtype") = "float64");
    py::object near =
        np.attr("logical_and")(np.attr("greater_equal")(y, 0.35), np.attr("less_equal")(y, 1.38));
    py::object ln2 = np.attr("log")(2.0);
    rows = np.attr("where")(near, py::float_(2.0) * np.attr("expm1")(y - ln2),
                            np.attr("expm1")(y) - py::int_(1));
  }
  return np.attr("asarray")(rows);
}

// Farthest forecast horizon (steps) the forecaster accepts; a longer one is refused before
// anything is allocated.
constexpr std::int64_t kMaxHorizon = 1000000;
// Most rows a sliding-window forecast returns (blocks times horizon).
constexpr std::int64_t kMaxSlidingRows = 50000000;

// A horizon as an integer: TypeError for anything but an integer, ValueError above the limit.
// Horizons below zero are kept as they are (they forecast nothing).
std::int64_t checked_horizon(py::handle h) {
  if (!PyIndex_Check(h.ptr())) {
    twpy::raise(PyExc_TypeError, "prediction_horizon must be an integer, got " + str(py::repr(h)) +
                                     " of type " + Py_TYPE(h.ptr())->tp_name);
  }
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
  if (!i) throw py::error_already_set();
  if (py_gt(i, py::int_(kMaxHorizon))) {
    twpy::raise(PyExc_ValueError, "prediction_horizon of " + str(i) +
                                      " steps is above the limit of " +
                                      std::to_string(kMaxHorizon) + " steps");
  }
  if (py_lt(i, py::int_(-kMaxHorizon))) return -kMaxHorizon;
  return i.cast<std::int64_t>();
}

std::int64_t effective_horizon(py::object self, py::object prediction_horizon) {
  if (is_minus_one(prediction_horizon)) return checked_horizon(self.attr("prediction_horizon"));
  return checked_horizon(prediction_horizon);
}

// The engine models behind `models` when the C++ loop may drive them: a list of the engine's
// own models, at least `n_update` of them, none shared with the trained models (whose
// sampling interval the forecasts use).
// `keep` receives the model objects themselves, so they stay alive while the loop runs without
// the GIL whatever happens to the list meanwhile.
bool engine_models(py::object self, py::object models, std::size_t n_update,
                   std::vector<tarn::Model*>& out, py::list& keep) {
  if (!PyList_Check(models.ptr())) return false;
  out.clear();
  keep = py::reinterpret_steal<py::list>(PySequence_List(models.ptr()));
  if (!keep) throw py::error_already_set();
  for (auto m : keep) {
    tarn::Model* e = contracts::engine_model(m);
    if (!e) return false;
    out.push_back(e);
  }
  if (out.size() < n_update) return false;
  for (auto m : self.attr("model")) {
    if (tarn::Model* e = contracts::engine_model(m)) {
      for (tarn::Model* o : out) {
        if (o == e) return false;
      }
    }
  }
  return true;
}

// Prints what the C++ loop recorded, in order.
void print_skips(const tarn::LoopOutput& out, const RowBlock& b) {
  for (const auto& s : out.skips) {
    const std::int64_t r = s.row;
    py::object t_text =
        b.timestamps.is_none() ? py::str(py::int_(s.t_auto)) : py::str(element(b.timestamps, r));
    if (s.kind == tarn::SkipRecord::kUpdateFailed) {
      print_update_skip(t_text, py::str(element(b.values, r, s.model)));
    } else {
      py::object last_text = s.last_row >= 0 ? py::str(element(b.timestamps, s.last_row))
                                             : py::str(py::int_(s.last_value));
      print_stale(t_text, last_text);
    }
  }
}

// Re-raises a forecast failure of the C++ loop as the engine binding reports it.
[[noreturn]] void raise_forecast_failure(py::object models, const tarn::LoopOutput& out) {
  py::object m = models[py::int_(out.failed_model)];
  m.attr("forecast_at")(out.failed_time);
  twpy::raise(PyExc_RuntimeError, out.failure);
}

// Feeds the first n_rows rows of b (values as the models take them) to the engine models of
// `in` through the C++ loop without the GIL, then reports the rows it skipped and re-raises a
// failed forecast. `keep` holds the Python models behind in.models.
tarn::LoopOutput run_engine_loop(py::object self, const RowBlock& b, std::int64_t n_rows,
                                 std::int64_t n_features, std::int64_t horizon, bool per_row,
                                 tarn::LoopInput& in, const py::list& keep) {
  py::array_t<double, py::array::c_style | py::array::forcecast> values(b.values);
  py::array_t<double, py::array::c_style | py::array::forcecast> stamps;
  if (!b.timestamps.is_none()) {
    stamps = py::array_t<double, py::array::c_style | py::array::forcecast>(b.timestamps);
    in.timestamps = stamps.data();
  }
  in.n_update = static_cast<std::size_t>(n_features);
  in.values = values.data();
  in.value_stride = static_cast<std::size_t>(values.shape(1));
  in.n_rows = static_cast<std::size_t>(n_rows);
  in.horizon = horizon;
  in.interval = py::float_(get_train_interval(self)).cast<double>();
  in.per_row = per_row;
  tarn::LoopOutput out;
  {
    py::gil_scoped_release release;
    twpy::interruptible([&] { tarn::run_loop(in, out); });
  }
  print_skips(out, b);
  if (out.forecast_failed) raise_forecast_failure(keep, out);
  return out;
}

py::object forecast_array(const std::vector<double>& values, std::size_t rows, std::size_t cols,
                          std::size_t offset = 0) {
  py::array_t<double> a({rows, cols});
  if (rows > 0 && cols > 0) {
    std::copy(values.begin() + offset, values.begin() + offset + rows * cols, a.mutable_data());
  }
  return a;
}

// The forecast without new data when every model is an engine model: each model's path in
// one call, non-finite values as 0, (horizon x models). None when the loop of single forecasts
// has to run instead (other models, no horizon, or an engine error, which that loop reports
// at the step where it happens).
py::object forecast_engine_paths(py::object models, double time, double interval,
                                 std::int64_t horizon) {
  if (horizon <= 0 || !PyList_Check(models.ptr())) return py::none();
  py::list keep = py::reinterpret_steal<py::list>(PySequence_List(models.ptr()));
  if (!keep) throw py::error_already_set();
  std::vector<tarn::Model*> engines;
  for (auto m : keep) {
    tarn::Model* e = contracts::engine_model(m);
    if (!e) return py::none();
    engines.push_back(e);
  }
  const auto h = static_cast<std::size_t>(horizon);
  const std::size_t m = engines.size();
  py::array_t<double> out({h, m});
  double* dst = out.mutable_data();
  bool ok = true;
  {
    py::gil_scoped_release release;
    std::vector<double> times(h), column(h);
    for (std::size_t k = 0; k < h; ++k) {
      time += interval;
      times[k] = time;
    }
    for (std::size_t j = 0; j < m && ok; ++j) {
      try {
        engines[j]->forecast_at(times.data(), h, column.data());
      } catch (const std::exception&) {
        ok = false;
        break;
      }
      for (std::size_t k = 0; k < h; ++k) {
        dst[k * m + j] = std::isfinite(column[k]) ? column[k] : 0.0;
      }
    }
  }
  if (!ok) return py::none();
  return out;
}

py::object predict_on_history_single(py::object self, py::object X, py::object prediction_horizon,
                                     py::object ts_col_loc) {
  twdates::DatedRows dated = dated_input(self, X, ts_col_loc, false);
  if (dated.dated) {
    X = dated.X;
    ts_col_loc = py::int_(dated.ts_col);
  }
  const bool has_rows = !X.is_none() && py::len(X) > 0;
  if (has_rows) X = G("check_array")(X, py::arg("accept_sparse") = false);
  if (truthy(self.attr("debug"))) twpy::print(class_text(self) + " predict \n X==" + str(X));
  const std::string not_fitted = msg("TIDEWELLTSLIBS0056E");
  try {
    G("check_is_fitted")(self, "is_fitted_", py::arg("msg") = not_fitted);
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    reraise_as_exception(e);
  }

  if (!has_rows) {
    py::list rows;
    try {
      py::object models = self.attr("model");
      double time = py::float_(get_last_updated(self, py::none())).cast<double>();
      const std::int64_t horizon = effective_horizon(self, prediction_horizon);
      const double interval = py::float_(get_train_interval(self)).cast<double>();
      if (py::object fast = forecast_engine_paths(models, time, interval, horizon); !fast.is_none())
        return inverse_transform(self, fast);
      for (std::int64_t k = 0; k < horizon; ++k) {
        time += interval;
        py::list row;
        for (auto m : models) {
          double v;
          if (tarn::Model* e = contracts::engine_model(m)) {
            try {
              v = e->forecast_at(time);
            } catch (const std::exception& err) {
              twpy::raise(PyExc_Exception, err.what());
            }
          } else {
            v = py::float_(m.attr("forecast_at")(time)).cast<double>();
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

  RowBlock b = prepare_rows(self, X, ts_col_loc);
  if (truthy(self.attr("debug"))) twpy::print(class_text(self) + " fit \n X==" + str(X));
  py::object models = self.attr("model_update_predict");
  const std::int64_t n_features = as_index(self.attr("n_features_"));
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  const std::int64_t n_values = as_index(py::tuple(b.values.attr("shape"))[1]);

  tarn::LoopInput in;
  py::list keep;
  if (n_features >= 0 && n_values >= n_features &&
      engine_models(self, models, static_cast<std::size_t>(n_features), in.models, keep)) {
    const tarn::LoopOutput out =
        run_engine_loop(self, b, b.n_rows, n_features, horizon, false, in, keep);
    if (horizon <= 0) return inverse_transform(self, py::list());
    return inverse_transform(
        self, forecast_array(out.forecasts, static_cast<std::size_t>(horizon), in.models.size()));
  }

  feed_rows_python(self, models, b, n_features);
  return inverse_transform(self, forecast_python(self, models, horizon));
}

py::object predict(py::object self, py::object X, py::object prediction_horizon,
                   py::object ts_col_loc, py::object prediction_type) {
  py::object np = G("np");
  twdates::DatedRows dated = dated_input(self, X, ts_col_loc, false);
  if (dated.dated) {
    X = dated.X;
    ts_col_loc = py::int_(dated.ts_col);
  }
  if (has_nan(np, X)) {
    twpy::raise(PyExc_Exception, msg("TIDEWELLTSLIBS0067E"));
  }
  effective_horizon(self, prediction_horizon);  // refuses a bad horizon before any work
  if (!py::isinstance<py::str>(prediction_type)) {
    twpy::raise(PyExc_TypeError,
                "prediction_type must be a string, got " + str(py::repr(prediction_type)));
  }
  py::object sliding = G("Score").attr("PREDICT_SLIDING_WINDOW");
  if (py_eq(prediction_type.attr("lower")(), sliding)) {
    const char* method = py_gt(prediction_horizon, py::int_(1))
                             ? "predict_multi_step_sliding_window"
                             : "predict_sliding_window";
    return self.attr(method)(py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                             py::arg("ts_col_loc") = ts_col_loc);
  }
  self.attr("model_update_predict") = self.attr("get_models_copy")();
  return self.attr("predict_on_history_single")(py::arg("X") = X,
                                                py::arg("prediction_horizon") = prediction_horizon,
                                                py::arg("ts_col_loc") = ts_col_loc);
}

// A coverage in percent, strictly between 0 and 100.
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
        py::tuple b = m.attr("forecast_interval_at")(times[k], level);
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
                            py::object ts_col_loc, py::object level) {
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
  py::object forecast =
      self.attr("predict")(py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                           py::arg("ts_col_loc") = ts_col_loc);
  const bool has_rows = !X.is_none() && py::len(X) > 0;
  py::object models = has_rows ? self.attr("model_update_predict") : self.attr("model");
  for (auto m : models) {
    if (!contracts::engine_model(m) && !py::hasattr(m, "forecast_interval_at")) {
      twpy::raise(PyExc_TypeError, "model of type " + str(py::type::of(m).attr("__name__")) +
                                       " offers no prediction intervals (forecast_interval_at)");
    }
  }
  py::object time0 = get_last_updated(self, has_rows ? models : py::object(py::none()));
  py::array_t<double> fc = np.attr("asarray")(forecast, py::arg("dtype") = "float64");
  py::array_t<double> grid =
      fc.ndim() == 2 ? fc : py::array_t<double>(fc.reshape({py::ssize_t(0), py::ssize_t(0)}));
  py::dict out;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    py::tuple b = interval_rows(self, models, time0, levels[i], grid);
    if (fc.ndim() != 2) {
      py::object shape = fc.attr("shape");
      b = py::make_tuple(np.attr("asarray")(b[0]).attr("reshape")(shape),
                         np.attr("asarray")(b[1]).attr("reshape")(shape));
    }
    if (!many) return b;
    out[keys[i]] = b;
  }
  return out;
}

void append_rows(py::list& rows, py::handle block) {
  for (auto row : block) {
    if (py::hasattr(row, "tolist")) {
      rows.append(row.attr("tolist")());
    } else {
      rows.append(py::list(py::reinterpret_borrow<py::object>(row)));
    }
  }
}

// Whether the per-row calls of a sliding window may run in the C++ loop: the row call is this
// class's own, its debug output is off, and the working copies are engine models.
bool sliding_fast_path(py::object self) {
  if (truthy(self.attr("debug"))) return false;
  py::dict state = self.attr("__dict__");
  if (state.contains("predict_on_history_single")) return false;
  py::object method = py::type::of(self).attr("predict_on_history_single");
  return method.is(own_predict_single());
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
  twdates::DatedRows dated = dated_input(self, X, ts_col_loc, false);
  if (dated.dated) {
    X = dated.X;
    ts_col_loc = py::int_(dated.ts_col);
  }
  if (has_nan(np, X)) {
    twpy::raise(PyExc_Exception, msg("TIDEWELLTSLIBS0067E"));
  }
  py::list rows;
  const bool given = !X.is_none();
  X = np.attr("asarray")(X);
  const bool sized = as_index(X.attr("ndim")) > 0;
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
  py::object ts_icol_loc = self.attr("ts_icol_loc");
  if (is_minus_one(ts_col_loc) && !is_minus_one(ts_icol_loc)) {
    ts_col_loc = first_if_list(ts_icol_loc);
  }
  self.attr("model_update_predict") = self.attr("get_models_copy")();
  py::object single = self.attr("predict_on_history_single");
  py::object block0 = single(py::none(), py::arg("prediction_horizon") = prediction_horizon,
                             py::arg("ts_col_loc") = ts_col_loc);
  append_rows(rows, block0);
  const std::int64_t n = static_cast<std::int64_t>(py::len(X));
  if (n < 1) return np.attr("asarray")(rows);
  const std::int64_t bound = multi_step ? n - as_index(prediction_horizon) + 1 : n;
  const std::int64_t n_feed = bound - 1;
  if (n_feed < 1) return np.attr("asarray")(rows);

  // The C++ loop: the same steps as one row call per row, recorded and printed afterwards.
  py::object models = self.attr("model_update_predict");
  py::object fed = X[py::slice(0, n_feed, 1)];
  RowBlock b;
  tarn::LoopInput in;
  py::list keep;
  bool fast = sliding_fast_path(self) && as_index(X.attr("ndim")) == 2;
  py::object checked;
  if (fast) {
    try {
      checked = G("check_array")(fed, py::arg("accept_sparse") = false);
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
      fast = false;  // the row calls report it, at the row where it happens
    }
  }
  std::int64_t n_features = 0;
  if (fast) {
    n_features = as_index(self.attr("n_features_"));
    // Transformed below: a row the log transform cannot take ends the window at that row.
    b = prepare_rows(self, checked, ts_col_loc, false);
    const std::int64_t n_values = as_index(py::tuple(b.values.attr("shape"))[1]);
    fast = n_features >= 0 && n_values >= n_features &&
           engine_models(self, models, static_cast<std::size_t>(n_features), in.models, keep);
  }
  if (!fast) {
    for (std::int64_t count = 1; count < bound; ++count) {
      py::list one;
      one.append(X[py::int_(count - 1)]);
      append_rows(rows, single(one, py::arg("prediction_horizon") = prediction_horizon,
                               py::arg("ts_col_loc") = ts_col_loc));
    }
    return np.attr("asarray")(rows);
  }

  std::int64_t usable = n_feed;
  if (truthy(self.attr("log_transformed"))) {
    py::object transformed = log_transform(np, b.values);
    py::object bad =
        np.attr("logical_not")(np.attr("isfinite")(transformed)).attr("any")(py::arg("axis") = 1);
    if (truthy(bad.attr("any")())) usable = as_index(np.attr("argmax")(bad));
    b.values = transformed;
  }
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  const tarn::LoopOutput out =
      run_engine_loop(self, b, usable, n_features, horizon, true, in, keep);
  if (usable < n_feed) twpy::raise(PyExc_Warning, msg("TIDEWELLTSLIBS0007E"));
  if (horizon <= 0) return np.attr("asarray")(rows);

  const std::size_t m = in.models.size();
  py::object forecasts =
      inverse_transform(self, forecast_array(out.forecasts, out.forecasts.size() / (m ? m : 1), m));
  if (m == 0) {
    forecasts = np.attr("zeros")(py::make_tuple(static_cast<std::int64_t>(usable) * horizon, 0));
  }
  py::object head = np.attr("asarray")(rows);
  if (as_index(head.attr("ndim")) != 2)
    return np.attr("asarray")(rows + forecasts.attr("tolist")());
  return np.attr("concatenate")(py::make_tuple(head, forecasts));
}

// Negative mean symmetric MAPE (percent; 0 is best) of one-step sliding-window forecasts over X
// against y, or against the target columns of X when y is None.
py::object score(py::object self, py::object X, py::object y, py::object sample_weight) {
  py::object np = G("np");
  py::object ts_icol_loc = self.attr("ts_icol_loc");
  twdates::DatedRows dated = dated_input(self, X, py::int_(-1), false);
  if (dated.dated) {
    X = dated.X;
    ts_icol_loc = py::make_tuple(dated.ts_col);
  }
  X = np.attr("asarray")(X);
  py::object forecasts =
      dated.dated ? self.attr("predict_sliding_window")(X, py::arg("prediction_horizon") = 1,
                                                        py::arg("ts_col_loc") = dated.ts_col)
                  : self.attr("predict_sliding_window")(X, py::arg("prediction_horizon") = 1);
  py::object truth;
  if (!y.is_none()) {
    truth = np.attr("asarray")(y, py::arg("dtype") = "float64");
  } else {
    py::object checked = G("check_array")(X, py::arg("accept_sparse") = false);
    const std::int64_t ts_col =
        is_minus_one(ts_icol_loc) ? -1 : as_index(first_if_list(ts_icol_loc));
    const std::int64_t ncols = as_index(py::tuple(checked.attr("shape"))[1]);
    py::list cols = value_columns(self, ncols, ts_col, as_index(self.attr("n_features_")));
    truth = checked[py::make_tuple(py::slice(py::none(), py::none(), py::none()), cols)];
    truth = np.attr("asarray")(truth, py::arg("dtype") = "float64");
  }
  forecasts = np.attr("asarray")(forecasts, py::arg("dtype") = "float64");
  const std::int64_t n = as_index(py::tuple(forecasts.attr("shape"))[0]);
  forecasts = forecasts.attr("reshape")(n, -1);
  if (as_index(truth.attr("ndim")) == 1) truth = truth.attr("reshape")(-1, 1);
  const std::int64_t k = as_index(py::tuple(forecasts.attr("shape"))[1]);
  if (as_index(py::tuple(truth.attr("shape"))[0]) != n) {
    twpy::raise(PyExc_ValueError, "y has " + str(py::tuple(truth.attr("shape"))[0]) +
                                      " rows but the forecasts over X have " + std::to_string(n));
  }
  truth = truth[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, k, 1))];
  if (!py_eq(py::tuple(truth.attr("shape")), py::tuple(forecasts.attr("shape")))) {
    twpy::raise(PyExc_ValueError, "y has " + str(truth.attr("shape")) +
                                      " values but the forecasts have " +
                                      str(forecasts.attr("shape")));
  }
  // The engine's terms, written into the array numpy gives the elementwise difference (its
  // memory order is the order of the sums below); the means over the targets and the weighted
  // rows are numpy's, sample_weight being np.average's.
  auto ratio = py::array_t<double>::ensure(forecasts - truth);
  if (!ratio) throw py::error_already_set();
  const bool fortran =
      !(ratio.flags() & py::array::c_style) && (ratio.flags() & py::array::f_style);
  if (!fortran && !(ratio.flags() & py::array::c_style)) {
    ratio = py::array_t<double>::ensure(np.attr("ascontiguousarray")(ratio));
  }
  const char* order = fortran ? "F" : "C";
  auto f = py::array_t<double>::ensure(np.attr("asarray")(forecasts, py::arg("order") = order));
  auto t = py::array_t<double>::ensure(np.attr("asarray")(truth, py::arg("order") = order));
  if (!f || !t) throw py::error_already_set();
  {
    py::gil_scoped_release unlocked;
    tarn::smape_terms(t.data(), f.data(), static_cast<std::size_t>(ratio.size()),
                      ratio.mutable_data());
  }
  py::object per_row = ratio.attr("mean")(py::arg("axis") = 1);
  py::object value = np.attr("average")(per_row, py::arg("weights") = sample_weight);
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
  const std::int64_t horizon =
      std::max<std::int64_t>(0, effective_horizon(self, prediction_horizon));
  const double last = py::float_(get_last_updated(self, py::none())).cast<double>();
  const double interval = py::float_(get_train_interval(self)).cast<double>();
  std::vector<double> times(static_cast<std::size_t>(horizon));
  for (std::int64_t k = 0; k < horizon; ++k)
    times[k] = last + static_cast<double>(k + 1) * interval;
  py::dict state = self.attr("__dict__");
  if (state.contains("time_axis_") && !state["time_axis_"].is_none()) {
    py::object dates = twdates::dates_of(twdates::axis_from_dict(state["time_axis_"]), times);
    return twpy::import("pandas", "DatetimeIndex")(dates);
  }
  return py::array_t<double>(static_cast<py::ssize_t>(times.size()), times.data());
}

}  // namespace

PYBIND11_MODULE(quillcast_estimator, m) {
  module_ref() = py::reinterpret_borrow<py::object>(m);
  m.doc() = "QuillcastForecaster: forecasting with the statistical forecasting engine.";

  m.attr("logging") = py::module_::import("logging");
  m.attr("pickle") = py::module_::import("pickle");
  m.attr("np") = py::module_::import("numpy");
  m.attr("BaseEstimator") = twpy::import("sklearn.base", "BaseEstimator");
  m.attr("check_array") = twpy::import("sklearn.utils.validation", "check_array");
  m.attr("check_is_fitted") = twpy::import("sklearn.utils.validation", "check_is_fitted");
  m.attr("QuillcastUtils") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
  m.attr("Messages") = twpy::import("tidewell_ts_libs.utils.messages.messages", "Messages");
  m.attr("Score") = twpy::import("tidewell_ts_libs.utils.score", "Score");
  try {
    py::module_::import("tidewell_ts_libs.deps.tarn");
    m.attr("tidewell_ts_libs") = py::module_::import("tidewell_ts_libs");
    m.attr("QuillcastUtils") =
        twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
    m.attr("qc") = py::module_::import("tidewell_ts_libs.utils.quillcast");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    twpy::print("Exception importing tarn");
  }
  finite_keyword();

  const std::string doc = class_doc();
  twpy::ClassBuilder cls(m, "QuillcastForecaster", twpy::bases("sklearn.base", "BaseEstimator"),
                         doc.c_str());
  cls.init(&init, py::arg("algorithm") = "hw", py::arg("ts_icol_loc") = -1,
           py::arg("prediction_horizon") = 1, py::arg("log_transform") = true,
           py::arg("lookback_win") = 1, py::arg("target_column_indices") = -1,
           py::arg("debug") = false);
  cls.def("get_params", &get_params, py::arg("deep") = true,
          "Parameters of the forecaster: the constructor parameters (log_transform reports "
          "log_transformed) and the algorithm settings of all_args.");
  cls.def(
      "get_model_params", [](py::object self) { return self.attr("all_args"); },
      "The algorithm settings (all_args itself, not a copy).");
  cls.def("set_params", &set_params,
          "Sets parameters: a constructor parameter takes effect (log_transform sets "
          "log_transformed, algorithm also the \"algorithm\" setting of all_args), an algorithm "
          "keyword joins the other settings of all_args. An unknown name raises ValueError "
          "naming the valid ones.");
  cls.def(
      "name", [](py::object) { return "QuillcastForecaster"; }, "The name QuillcastForecaster.");
  cls.def(
      "set_model_fitted", [](py::object self) { self.attr("is_fitted_") = true; },
      "Marks the forecaster as trained.");
  cls.def_classmethod("get_model_id", &get_model_id, py::arg("algorithm_name"),
                      "Short identifier of an engine model from its algorithm and settings.");
  cls.def_classmethod("get_estimators", &get_estimators, py::arg("log_transform") = false,
                      py::arg("target_column_indices") = -1, py::arg("time_column_index") = -1,
                      py::arg("prediction_horizon") = -1, py::arg("lookback_win") = 1,
                      "Four ready-made forecasters (Holt-Winters additive and multiplicative, "
                      "ARIMA, BATS), all without log transform.");
  cls.def_classmethod("get_param_dist", &get_param_dist, py::arg("size") = py::none(),
                      "Parameter distributions (lists of candidate values) for a model search.");
  cls.def("get_models_copy", &get_models_copy, py::arg("verbose") = false,
          "Independent copies of the trained models, or None (printed) when there are none or "
          "copying fails.");
  cls.def("_getModel", &get_model, "A new, untrained engine model from algorithm settings.");
  cls.def("fit", &fit, py::arg("X"), py::arg("y"), py::arg("_reset_model") = false,
          "With _reset_model, or when the forecaster has no trained models yet, trains one new "
          "engine model per target column of X; otherwise brings copies of the trained models "
          "up to date with the rows of X and keeps them. A timestamp column (or the "
          "DatetimeIndex of a DataFrame) may hold dates: datetime64 or ISO 8601 text.");
  cls.def("get_train_size", &get_train_size,
          "Samples seen: the latest update of the trained models plus one.");
  cls.def(
      "get_last_updated",
      [](py::object self, py::object inmodle_array, py::object inmodel_array) {
        if (!inmodle_array.is_none() && !inmodel_array.is_none()) {
          twpy::raise(PyExc_TypeError, "give inmodel_array or inmodle_array, not both");
        }
        return get_last_updated(self, inmodel_array.is_none() ? inmodle_array : inmodel_array);
      },
      py::arg("inmodle_array") = py::none(), py::arg("inmodel_array") = py::none(),
      "Timestamp of the latest update of the given models (default: the trained ones), "
      "or -1. inmodel_array is the same argument as inmodle_array, correctly spelt.");
  cls.def("forecast_times", &forecast_times, py::arg("prediction_horizon") = -1,
          "The times of the rows that predict() forecasts from the trained models (-1: the "
          "forecaster's prediction_horizon): a pandas DatetimeIndex that follows the spacing "
          "of the training dates (calendar months for monthly data) when the forecaster was "
          "trained on dates, else a numpy array of values of the numeric time axis.");
  cls.def("get_train_interval", &get_train_interval,
          "Mean spacing of the trained models' timestamps, or -1.");
  cls.def("predict", &predict, py::arg("X") = py::none(), py::arg("prediction_horizon") = -1,
          py::arg("ts_col_loc") = -1, py::arg("prediction_type") = "forecast",
          "Forecast of the horizon (one row per step, one column per target), after feeding the "
          "rows of X to copies of the trained models; or a sliding-window forecast over X.");
  cls.def("predict_interval", &predict_interval, py::arg("X") = py::none(),
          py::arg("prediction_horizon") = -1, py::arg("ts_col_loc") = -1, py::arg("level") = 95,
          "Prediction intervals of the forecasts predict gives (new rows of X first update "
          "copies, as predict does): (lower, upper), two arrays of the forecasts' shape, for a "
          "coverage `level` in percent; a list of levels gives {level: (lower, upper)}.");
  cls.def("predict_on_history_single", &predict_on_history_single, py::arg("X"),
          py::arg("prediction_horizon") = -1, py::arg("ts_col_loc") = -1,
          "Feeds the rows of X (if any) to model_update_predict and forecasts the horizon from "
          "it; without rows, forecasts from the trained models.");
  cls.def(
      "predict_sliding_window",
      [](py::object self, py::object X, py::object h, py::object ts) {
        return sliding_window(self, X, h, ts, false);
      },
      py::arg("X"), py::arg("prediction_horizon") = 1, py::arg("ts_col_loc") = -1,
      "Forecasts made before each row of X, from copies fed the rows before it.");
  cls.def(
      "predict_multi_step_sliding_window",
      [](py::object self, py::object X, py::object h, py::object ts) {
        return sliding_window(self, X, h, ts, true);
      },
      py::arg("X"), py::arg("prediction_horizon") = 1, py::arg("ts_col_loc") = -1,
      "Multi-step forecasts from every position of X whose whole horizon lies inside X.");
  cls.def("score", &score, py::arg("X"), py::arg("y") = py::none(),
          py::arg("sample_weight") = py::none(),
          "Negative mean symmetric MAPE in percent (0 is best) of one-step sliding-window "
          "forecasts over X, against y or, when y is None, the target columns of X.");
  own_predict_single() = cls.ns()["predict_on_history_single"];
  cls.finalize();
  m.def("_next_dates", &twdates::next_dates, py::arg("times"), py::arg("n"),
        "The n dates after a series of dates at its usual spacing on its calendar time axis "
        "(calendar months for monthly data): numpy datetime64[ns].");
}
