// The engine's table of models (tarn/model_table.hpp) as Python sees it.
//
// tidewell_ts_libs.deps.tarn.model_table() returns table_as_python(); the forecaster module
// reads the C++ table directly and converts option values with to_python().
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "tarn/model_table.hpp"

namespace contracts {

namespace py = pybind11;

// An option value as a Python object: None, bool, int (a value given as an integer), float or
// str.
inline py::object to_python(const tarn::Value& v) {
  switch (v.type()) {
    case tarn::Value::Type::None:
      return py::none();
    case tarn::Value::Type::Bool:
      return py::bool_(v.number() != 0.0);
    case tarn::Value::Type::Number:
      if (v.is_integral()) return py::int_(static_cast<long long>(v.number()));
      return py::float_(v.number());
    case tarn::Value::Type::String:
      return py::str(v.text());
  }
  return py::none();
}

inline bool is_bool_like(py::handle v) {
  if (PyBool_Check(v.ptr())) return true;
  // numpy.bool_ is neither a bool nor an int.
  const std::string tname = Py_TYPE(v.ptr())->tp_name;
  return tname == "numpy.bool" || tname == "numpy.bool_";
}

// A Python option value as the engine takes it: None, a flag, a number or a text. ValueError for
// an integer out of range, TypeError for anything else, naming the option `key`.
inline tarn::Value to_value(const std::string& key, py::handle v) {
  if (v.is_none()) return tarn::Value();
  if (is_bool_like(v)) return tarn::Value(static_cast<bool>(PyObject_IsTrue(v.ptr())));
  if (PyUnicode_Check(v.ptr())) return tarn::Value(v.cast<std::string>());
  if (PyFloat_Check(v.ptr())) return tarn::Value(PyFloat_AsDouble(v.ptr()));
  if (PyIndex_Check(v.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) {
      PyErr_SetString(PyExc_ValueError, ("option '" + key + "' is out of range").c_str());
      throw py::error_already_set();
    }
    return tarn::Value(static_cast<std::int64_t>(x));
  }
  if (PyNumber_Check(v.ptr()) && py::hasattr(v, "__float__")) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return tarn::Value(d);
  }
  PyErr_SetString(PyExc_TypeError,
                  ("option '" + key + "' must be a number, a bool, a string or None, not " +
                   std::string(Py_TYPE(v.ptr())->tp_name))
                      .c_str());
  throw py::error_already_set();
}

inline const char* role_name(tarn::CandidateRole role) {
  switch (role) {
    case tarn::CandidateRole::Combined:
      return "combined";
    case tarn::CandidateRole::Baseline:
      return "baseline";
    case tarn::CandidateRole::Intermittent:
      return "intermittent";
    case tarn::CandidateRole::Requested:
      return "requested";
    case tarn::CandidateRole::LongSeason:
      return "long_season";
    case tarn::CandidateRole::None:
      break;
  }
  return "";
}

// The forecaster's keywords of an entry: its settings, then its training size setting.
inline py::list forecaster_keywords(const tarn::ForecasterEntry& f) {
  py::list out;
  for (const auto& s : f.settings) out.append(s.key);
  if (!f.size_key.empty() && !out.contains(py::str(f.size_key))) out.append(f.size_key);
  return out;
}

// One dict per model, in table order: name (the engine's builder and kind), options (builder
// option -> default, None when there is none), candidate ("combined", "baseline" or None: how
// the automatic selector uses it), algorithm (the forecaster's name, or None), note,
// settings_doc, keywords (the forecaster's settings), search (parameter -> candidate values
// for a model search) and presets (the forecaster's ready-made configurations, as settings).
inline py::list table_as_python() {
  py::list out;
  for (const auto& e : tarn::model_table()) {
    py::dict d;
    d["name"] = e.name;
    py::dict options;
    for (const auto& o : e.options) options[py::str(o.first)] = to_python(o.second);
    d["options"] = options;
    const std::string role = role_name(e.candidate);
    d["candidate"] = role.empty() ? py::object(py::none()) : py::object(py::str(role));
    const auto& f = e.forecaster;
    d["algorithm"] =
        f.algorithm.empty() ? py::object(py::none()) : py::object(py::str(f.algorithm));
    d["note"] = f.note;
    d["settings_doc"] = f.settings_doc;
    d["keywords"] = forecaster_keywords(f);
    py::dict search;
    for (const auto& p : f.search) {
      py::list values;
      for (const auto& v : p.values) values.append(to_python(v));
      search[py::str(p.key)] = values;
    }
    d["search"] = search;
    py::list presets;
    for (const auto& preset : f.presets) {
      py::dict settings;
      for (const auto& [key, value] : preset) settings[py::str(key)] = to_python(value);
      presets.append(settings);
    }
    d["presets"] = presets;
    out.append(d);
  }
  return out;
}

}  // namespace contracts
