// QuillcastForecaster: construction, parameters, model ids, ready-made configurations and
// the building of engine models from the algorithm settings.
#include "common.hpp"
#include "tarn/series_job.hpp"

namespace qest {

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
text (or a numpy object array with such a column), or a DataFrame with a DatetimeIndex (or an
index of ISO 8601 text) and no timestamp column; an index of anything else but row numbers is
refused. They are placed on a calendar time axis (calendar months for monthly data, days for
daily data, weekdays for business-day data, ...); ``forecast_times`` gives the dates of the rows
``predict`` forecasts. Dates with a time zone lose it: on their own calendar when they all fall
at one time of day (daily, weekly, monthly data), in UTC otherwise; later rows as the training
rows.

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
    Number of steps forecast by default. A horizon of 0 forecasts nothing; negative horizons
    and horizons above 1,000,000 steps are refused with a ValueError (as is a sliding-window
    forecast of more than 50,000,000 rows), and a forecast of h steps costs time in proportion
    to h. As an argument of a prediction, -1 means this default.
log_transform : bool, default True
    Train on ln(x + 2) of every value x and return e^y - 2 of every forecast y. Training turns
    it off when the transformed training values contain NaN (values below -2). The automatic
    selector and ARIMA are told of the transform and fit the values on their own scale. Set
    on a trained forecaster, it takes effect at the next training from scratch.
lookback_win : int, default 1
    Look-back window length, kept for pipelines and model searches.
target_column_indices : int or list, default -1
    Indices of the target columns; -1 means every column except the timestamp column.
debug : bool, default False
    Print the data given to fit and predict.
exog_columns : list of int, default None
    Indices of the columns of X that are regressors (temperatures, prices, promotions,
    holidays): each target's model becomes a regression on them with the algorithm's model of
    the remainder (ARIMA and ARMA: regression with ARIMA errors, estimated jointly; the others:
    OLS on the differences, then the model on what the regression leaves). Training needs
    every regressor finite; new rows of X carry their regressor columns, and a forecast needs
    the regressors of its horizon (``future_exog`` of predict and predict_interval). None: no
    regressors. The intermittent algorithm cannot take regressors.
**kwargs
    Algorithm settings, stored in ``all_args`` and read when a model is built. A value below 1
    for a size is a fraction of the training length. ``samples_per_season`` (the season length
    in steps; 1: none) is read by every algorithm that carries a season, in place of the season it would
    find in the data; ARMA and intermittent, which carry none, warn that they leave it out.

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
    Whether values are log-transformed (for a trained forecaster: by its trained models).
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
          py::object target_column_indices, py::object debug, py::object exog_columns,
          py::kwargs kwargs) {
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
  self.attr("exog_columns") = exog_columns;
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
    if (k == "log_transform" && state.contains(kNextLogTransform)) {
      value = state[kNextLogTransform];  // given after training, for the next one
    } else if (k == "log_transform") {
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
// anything changes. `log_transformed` also says on which scale the trained models read and
// forecast the series, so a log transform given to a trained forecaster waits (as
// kNextLogTransform) for the next training from scratch; the trained models keep their scale.
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
      if (has_trained_models(self)) {
        state[kNextLogTransform] = value;
      } else {
        if (state.contains(kNextLogTransform)) PyDict_DelItemString(state.ptr(), kNextLogTransform);
        self.attr("log_transformed") = value;
      }
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
  for (const auto& e : tarn::model_table()) {
    for (const auto& preset : e.forecaster.presets) {
      py::dict settings;
      for (const auto& [key, value] : preset) settings[py::str(key)] = contracts::to_python(value);
      out.append(make(forecasters.attr(e.forecaster.algorithm.c_str()), settings));
    }
  }
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

namespace {

// The settings of `kw` as the engine's rules read them. A value the engine cannot take is left
// out unless the algorithm reads that setting (the builder would refuse it): then its error.
tarn::Options engine_settings(const py::dict& kw, const tarn::ModelEntry& entry) {
  std::vector<std::string> read{
      "samples_per_season",   "initial_training_seasons", "algorithm_type",   "compute_seasonality",
      "error_history_length", "use_full_error_history",   "min_training_data"};
  for (const auto& s : entry.forecaster.settings) read.push_back(s.key);
  if (!entry.forecaster.size_key.empty()) read.push_back(entry.forecaster.size_key);
  tarn::Options out;
  for (auto item : kw) {
    const std::string key = str(item.first);
    try {
      out[key] = contracts::to_value(key, item.second);
    } catch (py::error_already_set& e) {
      if (!is_exception(e) || twsettings::contains(read, key)) throw;
    }
  }
  return out;
}

}  // namespace

py::object get_model(py::object self, py::kwargs kw_args) {
  // A copy: the defaults filled in below never reach the caller's dictionary.
  py::dict kw = py::reinterpret_steal<py::dict>(PyDict_Copy(kw_args.ptr()));
  py::object N = self.attr("_totalsamples");
  py::dict all_args = self.attr("all_args");
  if (!kw.contains("algorithm")) {
    PyErr_SetObject(PyExc_KeyError, py::str("algorithm").ptr());
    throw py::error_already_set();
  }
  py::object algorithm = kw["algorithm"];
  check_algorithm_name(algorithm);
  check_numeric_settings(kw);
  const std::string name = str(algorithm.attr("lower")());
  const tarn::ModelEntry* entry = tarn::find_algorithm(name);
  if (!entry) twpy::raise(PyExc_ValueError, msg("TIDEWELLTSLIBS0004E"));
  // The engine's rules (the same ones a batch forecast runs): the model's settings, the
  // settings written back and the builder's options.
  tarn::ModelPlan plan;
  try {
    plan = tarn::plan_model(name, engine_settings(kw, *entry), N.is_none() ? -1 : as_index(N));
  } catch (const tarn::InvalidArgument& e) {
    twpy::raise(PyExc_ValueError, e.what());
  }
  for (const auto& [key, value] : plan.written)
    all_args[py::str(key)] = contracts::to_python(value);
  py::dict alg;
  for (std::size_t i = 0; i < plan.recorded.size(); ++i) {
    const auto& [key, value] = plan.recorded[i];
    py::str k(key);
    alg[k] = plan.caller[i] && kw.contains(k) ? py::object(kw[k]) : contracts::to_python(value);
  }
  if (entry->forecaster.own_rules) {
    // hw becomes hw_additive (or hw_multiplicative) once.
    py::object current = self.attr("algorithm");
    py::object model_name = self.attr("model_name");
    py::str underscore("_");
    if (!(current.contains(underscore) && model_name.contains(underscore))) {
      py::object type = alg["algorithm_type"];
      self.attr("algorithm") = current + underscore + type;
      self.attr("model_name") = model_name + underscore + type;
    }
  }
  py::object cls = self.attr("__class__");
  self.attr("model_id") = cls.attr("get_model_id")(algorithm, **alg);
  self.attr("model_description") = py::object(self.attr("algorithm")) + py::str("_") + py::str(alg);
  if (plan.sized) {
    return builder(entry->name)(
        py::arg("is_season_length") = false,
        py::arg("number_of_samples") = contracts::to_python(plan.build.at("number_of_samples")),
        py::arg("algorithm_type") = alg["algorithm_type"]);
  }
  return builder(entry->name)(**alg);
}

}  // namespace qest
