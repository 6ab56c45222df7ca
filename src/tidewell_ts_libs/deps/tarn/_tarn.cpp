// Python binding of the tarn forecasting engine.
//
// Builders (module `forecasters`) take keyword arguments only and return a new, untrained
// engine model. The model type is registered globally with a shared_ptr holder, so any other
// extension module can reach the C++ model behind a Python object (contracts/engine.hpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "contracts/model_table.hpp"
#include "tarn/builders.hpp"
#include "tarn/calendar.hpp"
#include "tarn/holt_winters.hpp"
#include "tarn/metrics.hpp"
#include "tarn/model.hpp"
#include "tarn/model_table.hpp"
#include "tarn/training_sizes.hpp"

namespace py = pybind11;

namespace {

using ModelPtr = std::shared_ptr<tarn::Model>;

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

bool is_bool_like(py::handle v) {
  if (PyBool_Check(v.ptr())) return true;
  // numpy.bool_ is neither a bool nor an int.
  const std::string tname = Py_TYPE(v.ptr())->tp_name;
  return tname == "numpy.bool" || tname == "numpy.bool_";
}

tarn::Value to_value(const std::string& key, py::handle v) {
  if (v.is_none()) return tarn::Value();
  if (is_bool_like(v)) return tarn::Value(static_cast<bool>(PyObject_IsTrue(v.ptr())));
  if (PyUnicode_Check(v.ptr())) return tarn::Value(v.cast<std::string>());
  if (PyFloat_Check(v.ptr())) return tarn::Value(PyFloat_AsDouble(v.ptr()));
  if (PyIndex_Check(v.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) raise(PyExc_ValueError, "option '" + key + "' is out of range");
    return tarn::Value(static_cast<std::int64_t>(x));
  }
  if (PyNumber_Check(v.ptr()) && py::hasattr(v, "__float__")) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return tarn::Value(d);
  }
  raise(PyExc_TypeError, "option '" + key + "' must be a number, a bool, a string or None, not " +
                             std::string(Py_TYPE(v.ptr())->tp_name));
}

ModelPtr build(const std::string& builder, const py::kwargs& kwargs) {
  tarn::Options opts;
  for (auto item : kwargs) {
    const std::string key = py::str(item.first).cast<std::string>();
    opts[key] = to_value(key, item.second);
  }
  return ModelPtr(tarn::build(builder, opts));
}

std::int64_t to_timestamp(py::handle v) {
  if (PyFloat_Check(v.ptr())) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e18) {
      raise(PyExc_ValueError,
            "timestamp " + py::repr(v).cast<std::string>() + " is not an integer");
    }
    return static_cast<std::int64_t>(d);
  }
  if (!is_bool_like(v) && PyIndex_Check(v.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) raise(PyExc_ValueError, "timestamp is out of range");
    return static_cast<std::int64_t>(x);
  }
  raise(PyExc_TypeError,
        "timestamps must be integers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
}

double to_number(py::handle v) {
  if (v.is_none()) return std::nan("");  // a missing observation
  const double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_TypeError, "values must be numbers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
  }
  return d;
}

bool is_sequence(py::handle v) {
  return !PyUnicode_Check(v.ptr()) && !PyBytes_Check(v.ptr()) && py::hasattr(v, "__len__") &&
         py::hasattr(v, "__iter__");
}

void update_model(tarn::Model& model, py::handle t, py::handle v) {
  if (is_sequence(t) || is_sequence(v)) {
    if (!is_sequence(t) || !is_sequence(v)) {
      raise(PyExc_TypeError,
            "update_model takes two sequences (timestamps, values) or one timestamp and one "
            "value");
    }
    std::vector<std::int64_t> ts;
    std::vector<double> vals;
    for (auto x : py::iter(t)) ts.push_back(to_timestamp(x));
    for (auto x : py::iter(v)) vals.push_back(to_number(x));
    if (ts.size() != vals.size()) {
      raise(PyExc_ValueError, "timestamps and values differ in length (" +
                                  std::to_string(ts.size()) + " and " +
                                  std::to_string(vals.size()) + ")");
    }
    py::gil_scoped_release release;
    model.update(ts, vals);
    return;
  }
  const std::int64_t ts = to_timestamp(t);
  const double val = to_number(v);
  model.update(ts, val);
}

ModelPtr from_state(const py::bytes& state) {
  const std::string bytes = state;
  return ModelPtr(tarn::Model::deserialize(bytes));
}

// ---- metrics, the calendar and the forecaster's settings -------------------------------------

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

Doubles vector_of(const char* name, py::handle v) {
  Doubles a;
  try {
    a = Doubles::ensure(v);
  } catch (py::error_already_set&) {
    a = Doubles();
  }
  if (!a) {
    PyErr_Clear();
    raise(PyExc_TypeError,
          std::string(name) + " must be numbers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
  }
  if (a.ndim() != 1) {
    raise(PyExc_ValueError, std::string(name) + " must be one-dimensional, not of shape " +
                                py::str(a.attr("shape")).cast<std::string>());
  }
  return a;
}

void same_length(const char* name, const Doubles& a, const Doubles& b) {
  if (a.size() != b.size()) {
    raise(PyExc_ValueError, std::string(name) + " has " + std::to_string(a.size()) +
                                " values, the actual values " + std::to_string(b.size()));
  }
}

py::dict accuracy(py::handle actual, py::handle forecast, py::handle insample, py::handle season,
                  py::handle lower, py::handle upper, py::handle level) {
  const Doubles y = vector_of("actual", actual), f = vector_of("forecast", forecast);
  const Doubles x = vector_of("insample", insample);
  same_length("forecast", f, y);
  if (PyBool_Check(season.ptr()) || !PyIndex_Check(season.ptr())) {
    raise(PyExc_TypeError,
          "season must be an integer, not " + py::repr(season).cast<std::string>());
  }
  const long long m = py::int_(py::reinterpret_borrow<py::object>(season)).cast<long long>();
  if (m < 1) raise(PyExc_ValueError, "season must be at least 1, not " + std::to_string(m));
  if (lower.is_none() != upper.is_none()) {
    raise(PyExc_ValueError, "an interval needs both lower and upper");
  }
  const bool bands = !lower.is_none();
  Doubles lo, hi;
  double lv = 95.0;
  if (bands) {
    lo = vector_of("lower", lower);
    hi = vector_of("upper", upper);
    same_length("lower", lo, y);
    same_length("upper", hi, y);
    if (level.is_none()) raise(PyExc_ValueError, "level is needed with lower and upper");
  }
  if (!level.is_none()) {
    lv = py::float_(py::reinterpret_borrow<py::object>(level)).cast<double>();
    if (!(lv > 0.0 && lv < 100.0)) {
      raise(PyExc_ValueError,
            "level must be a coverage in percent between 0 and 100, not " + std::to_string(lv));
    }
  }
  tarn::Accuracy a;
  {
    py::gil_scoped_release release;
    a = tarn::accuracy(y.data(), f.data(), static_cast<std::size_t>(y.size()), x.data(),
                       static_cast<std::size_t>(x.size()), static_cast<std::size_t>(m),
                       bands ? lo.data() : nullptr, bands ? hi.data() : nullptr, lv);
  }
  py::dict out;
  out["mae"] = a.mae;
  out["rmse"] = a.rmse;
  out["smape"] = a.smape;
  out["mase"] = a.mase;
  out["msis"] = a.msis;
  out["coverage"] = a.coverage;
  out["count"] = a.count;
  out["season"] = a.season;
  return out;
}

// Times at the door: datetime64 of any unit as nanoseconds (dates), integers as themselves.
struct Times {
  std::vector<std::int64_t> values;
  bool dates = false;
};

Times times_of(py::handle obj) {
  py::module_ np = py::module_::import("numpy");
  py::object a = np.attr("asarray")(obj);
  if (a.attr("ndim").cast<int>() != 1) raise(PyExc_ValueError, "times must be one-dimensional");
  const std::string kind = py::str(a.attr("dtype").attr("kind")).cast<std::string>();
  Times t;
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> v;
  if (kind == "M") {
    t.dates = true;
    v = a.attr("astype")("datetime64[ns]").attr("view")("int64");
  } else if (kind == "i" || kind == "u") {
    v = a.attr("astype")("int64");
  } else if (kind == "f") {
    const py::object whole = np.attr("all")(np.attr("equal")(np.attr("floor")(a), a));
    if (!whole.cast<bool>()) raise(PyExc_ValueError, "times must be dates or whole numbers");
    v = a.attr("astype")("int64");
  } else {
    raise(PyExc_TypeError, "times must be datetime64 or integers, not " +
                               py::str(a.attr("dtype")).cast<std::string>());
  }
  t.values.assign(v.data(), v.data() + v.size());
  return t;
}

tarn::calendar::Grid grid_of(const Times& t) {
  try {
    return tarn::calendar::detect_grid(t.values, !t.dates);
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
}

py::array times_array(const std::vector<std::int64_t>& v, bool dates) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  if (dates) return out.attr("view")("datetime64[ns]");
  return out;
}

py::dict time_grid(py::handle times) {
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  py::dict out;
  out["unit"] = t.dates ? tarn::calendar::unit_name(g.axis.unit) : std::string("step");
  out["step"] = g.step;
  out["name"] = tarn::calendar::step_name(g);
  out["business_days"] = g.business_days;
  out["regular"] = g.regular;
  std::vector<std::int64_t> pos;
  if (g.regular && tarn::calendar::grid_positions(g, t.values, &pos)) {
    py::array_t<std::int64_t> p(static_cast<py::ssize_t>(pos.size()));
    std::copy(pos.begin(), pos.end(), p.mutable_data());
    out["positions"] = p;
  } else {
    out["positions"] = py::none();
  }
  return out;
}

py::array grid_times(py::handle times, py::handle steps) {
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> k =
      py::module_::import("numpy").attr("asarray")(steps, py::arg("dtype") = "int64");
  std::vector<std::int64_t> out(static_cast<std::size_t>(k.size()));
  try {
    for (py::ssize_t i = 0; i < k.size(); ++i) {
      out[static_cast<std::size_t>(i)] =
          tarn::calendar::grid_time(g, t.values.front(), k.data()[i]);
    }
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
  return times_array(out, t.dates);
}

py::array next_times(py::handle times, long long n) {
  if (n < 0) raise(PyExc_ValueError, "n must not be negative, not " + std::to_string(n));
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  std::vector<std::int64_t> out(static_cast<std::size_t>(n));
  for (long long k = 0; k < n; ++k) {
    out[static_cast<std::size_t>(k)] = tarn::calendar::grid_time(g, t.values.back(), k + 1);
  }
  return times_array(out, t.dates);
}

py::dict forecaster_settings(const std::string& algorithm, py::handle values, long long season) {
  Doubles x;
  try {
    x = Doubles::ensure(values);
  } catch (py::error_already_set&) {
    x = Doubles();
  }
  if (!x || x.ndim() < 1 || x.ndim() > 2) {
    PyErr_Clear();
    raise(PyExc_TypeError, "values must be a vector or a matrix of numbers (rows in time order)");
  }
  py::dict out;
  out["log_transform"] = tarn::log_transformable(x.data(), static_cast<std::size_t>(x.size()));
  if (algorithm == "hw") {
    const auto s = tarn::holt_winters_sizes(x.shape(0), season);
    out["samples_per_season"] = s.samples_per_season;
    out["initial_training_seasons"] = s.initial_training_seasons;
    out["algorithm_type"] = "additive";
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_tarn, m) {
  m.doc() = "Binding of the tarn forecasting engine.";

  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const tarn::StaleUpdate& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::InvalidArgument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::FormatError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });

  py::class_<tarn::Model, ModelPtr> model(m, "Model",
                                          "A forecasting model of the engine. Build one with a "
                                          "builder of `forecasters`.");
  model
      .def(
          "update_model",
          [](tarn::Model& self, py::handle t, py::handle v) { update_model(self, t, v); },
          py::arg("timestamps"), py::arg("values"),
          "Feeds observations in time order: two equal-length sequences (integer timestamps, "
          "values) or one timestamp and one value. A NaN or None value is a missing observation. "
          "A timestamp not newer than the latest one raises ValueError (everything before it "
          "is kept).")
      .def("is_initialized", &tarn::Model::is_initialized,
           "True once the model has seen enough data to forecast.")
      .def("reset_model", &tarn::Model::reset, "Forgets every observation.")
      .def(
          "fit_available",
          [](tarn::Model& self) {
            py::gil_scoped_release release;
            return self.fit_available();
          },
          "For a model still collecting its training values when the series has ended: fits "
          "on the values seen so far if the model can (the automatic selector does), and "
          "returns is_initialized().")
      .def("set_log_input", &tarn::Model::set_log_input, py::arg("shift"),
           "Says, before the first observation, that the values to be fed are ln(x + shift) of "
           "the series x. A model that can fit x on its own scale (the automatic selector) does "
           "so, keeps forecasting on the fed scale and returns True; others return False.")
      .def(
          "forecast_at", [](const tarn::Model& self, double t) { return self.forecast_at(t); },
          py::arg("timestamp"), "Forecast for a timestamp after the latest observation.")
      .def(
          "forecast_steps",
          [](const tarn::Model& self, double h) { return self.forecast_steps(h); },
          py::arg("steps"), "Forecast `steps` grid steps after the latest observation.")
      .def(
          "forecast_interval_at",
          [](const tarn::Model& self, double t, double level) {
            if (!(level > 0.0 && level < 100.0)) {
              raise(PyExc_ValueError, "level must be a coverage in percent between 0 and 100");
            }
            try {
              return self.forecast_interval_at(t, level / 100.0);
            } catch (const tarn::NotInitialized& e) {
              raise(PyExc_ValueError, e.what());
            }
          },
          py::arg("timestamp"), py::arg("level") = 95.0,
          "Prediction interval (lower, upper) for a timestamp after the latest observation, "
          "covering `level` percent of the forecast distribution (0 < level < 100). Raises "
          "ValueError for another level and before the model can forecast.")
      .def(
          "forecast_path",
          [](const tarn::Model& self, py::handle h) {
            if (PyBool_Check(h.ptr()) || !PyIndex_Check(h.ptr())) {
              raise(PyExc_TypeError, "forecast_path: h must be an integer, not " +
                                         std::string(Py_TYPE(h.ptr())->tp_name));
            }
            py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(h.ptr()));
            if (!i) throw py::error_already_set();
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
            if (overflow < 0 || (!overflow && n < 0)) {
              raise(PyExc_ValueError, "forecast_path: h must not be negative");
            }
            if (overflow > 0 || n > static_cast<long long>(tarn::kMaxForecastPath)) {
              raise(PyExc_ValueError, "forecast_path: h of " + std::string(py::str(i)) +
                                          " steps is above the limit of " +
                                          std::to_string(tarn::kMaxForecastPath));
            }
            const auto steps = static_cast<std::size_t>(n);
            py::array_t<double> out(static_cast<py::ssize_t>(steps));
            double* dst = out.mutable_data();
            {
              py::gil_scoped_release release;
              self.forecast_path(steps, dst);
            }
            return out;
          },
          py::arg("h"),
          "Forecasts 1, 2, ..., h grid steps after the latest observation, as one array (the "
          "values forecast_steps gives one by one, at a cost in proportion to h; at most "
          "1,000,000 steps).")
      .def_property_readonly("last_time_updated", &tarn::Model::last_time,
                             "Timestamp of the latest observation (-1 before any).")
      .def_property_readonly("average_interval", &tarn::Model::average_interval,
                             "Mean spacing of the observed timestamps.")
      .def_property_readonly("observations", &tarn::Model::observations,
                             "Number of observations fed (missing ones included).")
      .def_property_readonly("kind",
                             [](const tarn::Model& self) { return std::string(self.kind()); })
      .def("describe", &tarn::Model::describe, "Readable description of the model.")
      .def("__repr__",
           [](const tarn::Model& self) { return "<tarn model " + self.describe() + ">"; })
      .def(
          "serialize", [](const tarn::Model& self) { return py::bytes(self.serialize()); },
          "The model's binary state (read back with _from_state).")
      .def("__reduce__",
           [](const tarn::Model& self) {
             py::object fn = py::module_::import("tidewell_ts_libs.deps.tarn").attr("_from_state");
             return py::make_tuple(fn, py::make_tuple(py::bytes(self.serialize())));
           })
      .def("__copy__", [](const tarn::Model& self) { return ModelPtr(self.clone()); })
      .def(
          "__deepcopy__",
          [](const tarn::Model& self, py::handle) { return ModelPtr(self.clone()); },
          py::arg("memo"));

  m.def("_from_state", &from_state, py::arg("state"),
        "Rebuilds a model from the bytes of Model.serialize() (used by pickle).");

  m.def("model_table", &contracts::table_as_python,
        "The engine's table of models, one dict per model in table order: name (builder and "
        "kind), options (builder option -> default, None when there is none), candidate "
        "(\"combined\", \"baseline\" or None: how the automatic selector uses the model), "
        "algorithm (QuillcastForecaster's name for it, or None), note, settings_doc, keywords "
        "(the forecaster's settings of it) and search (parameter -> values for a model search).");

  m.def("accuracy", &accuracy, py::arg("actual"), py::arg("forecast"), py::arg("insample"),
        py::arg("season"), py::arg("lower") = py::none(), py::arg("upper") = py::none(),
        py::arg("level") = py::none(),
        "Accuracy of a forecast against the actual values: a dict of mae, rmse, smape (percent), "
        "mase (over the in-sample seasonal naive MAE, season falling back to 1 on a short "
        "in-sample part), msis and coverage (percent; NaN without lower and upper, which need "
        "level), count (positions scored) and season (of the naive scale). Positions whose "
        "actual is NaN do not count; a NaN or infinite forecast or bound where the actual is "
        "known makes every measure NaN.");
  m.def("time_grid", &time_grid, py::arg("times"),
        "The grid of strictly increasing times (datetime64 of any unit, or integers): a dict of "
        "unit (the calendar axis: month, day, hour, ...; step for integers), step (axis units "
        "per step: the smallest spacing when every spacing is a whole number of it, else the "
        "median), name (of one step: month, quarter, week, business "
        "day, ..., timestamp), business_days, regular and positions (the step number of each "
        "time counted from the first; None when the times are not regular).");
  m.def("grid_times", &grid_times, py::arg("times"), py::arg("steps"),
        "The times at the given step numbers of the grid of `times`, counted from its first "
        "time (datetime64[ns] for dates).");
  m.def("next_times", &next_times, py::arg("times"), py::arg("n"),
        "The n times after `times` on its grid: calendar months for monthly data, weekdays for "
        "business days (datetime64[ns] for dates).");
  m.def("forecaster_settings", &forecaster_settings, py::arg("algorithm"), py::arg("values"),
        py::arg("season"),
        "The forecaster's settings for training `algorithm` on `values` with the detected "
        "season (a vector, or a matrix of rows): log_transform (every known value above 0) and, "
        "for hw, the season and initial training sizes.");

  // The builders the forecaster offers come first, then the others, each in table order.
  py::module_ f = m.def_submodule("forecasters", "Builders of the engine's models.");
  std::vector<const tarn::ModelEntry*> entries;
  for (const auto& e : tarn::model_table()) {
    if (!e.forecaster.algorithm.empty()) entries.push_back(&e);
  }
  for (const auto& e : tarn::model_table()) {
    if (e.forecaster.algorithm.empty()) entries.push_back(&e);
  }
  py::list all;
  for (const tarn::ModelEntry* e : entries) {
    const std::string n = e->name;
    std::string doc = "A new, untrained '" + n + "' model, configured by keyword arguments.";
    std::string opts;
    for (const auto& o : e->options) {
      opts += (opts.empty() ? "" : ", ") + o.first;
      if (!o.second.is_none()) {
        opts += "=" + py::repr(contracts::to_python(o.second)).cast<std::string>();
      }
    }
    if (!opts.empty()) doc += " Options (with their defaults): " + opts + ".";
    f.def(
        n.c_str(), [n](py::kwargs kwargs) { return build(n, kwargs); }, doc.c_str());
    all.append(n);
  }
  f.attr("__all__") = all;
}
