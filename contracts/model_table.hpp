// The engine's table of models (tarn/model_table.hpp) as Python sees it.
//
// tidewell_ts_libs.deps.tarn.model_table() returns table_as_python(); the forecaster module
// reads the C++ table directly and converts option values with to_python().
#pragma once

#include <pybind11/pybind11.h>

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
