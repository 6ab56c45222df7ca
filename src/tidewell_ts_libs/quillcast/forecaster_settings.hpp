// The forecaster's parameters as scikit-learn sees them.
//
// The constructor parameters are attributes (the log transform under `log_transformed`); the
// algorithm keywords live in `all_args` next to "algorithm". Training writes settings of its own
// into `all_args` (a detected season, error history lengths, training sizes) and may turn the
// log transform off. Those computed values are recorded in `_trained_settings` (key: the value
// training wrote and what the caller had given, if anything), so that get_params, and with it
// clone and model searches, report what the caller asked for rather than what an earlier fit
// found.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pyclass.hpp"
#include "tarn/model_table.hpp"

namespace twsettings {

namespace py = pybind11;

// Keywords that model construction reads: every forecaster setting of the engine's table of
// models (each entry's settings in table order, then the training size settings).
inline const std::vector<std::string>& algorithm_keywords() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    auto add = [&out](const std::string& key) {
      if (!key.empty() && std::find(out.begin(), out.end(), key) == out.end()) out.push_back(key);
    };
    for (const auto& e : tarn::model_table()) {
      for (const auto& s : e.forecaster.settings) add(s.key);
    }
    for (const auto& e : tarn::model_table()) add(e.forecaster.size_key);
    return out;
  }();
  return names;
}

// Settings of the interpolator that a forecasting pipeline hands to its forecaster too; the
// forecaster ignores them.
inline const std::vector<std::string>& shared_keywords() {
  static const std::vector<std::string> names{
      "interpolator_type",      "ts_ocol_loc",   "append_tranform",   "append_transform",
      "missing_val_identifier", "default_value", "imputer_fill_type", "imputer_fill_value"};
  return names;
}

inline bool contains(const std::vector<std::string>& names, const std::string& key) {
  for (const auto& n : names) {
    if (n == key) return true;
  }
  return false;
}

inline bool known_keyword(const std::string& key) {
  return key == "algorithm" || contains(algorithm_keywords(), key) ||
         contains(shared_keywords(), key);
}

inline std::vector<std::string> constructor_names(py::object self) {
  std::vector<std::string> out;
  for (auto n : self.attr("_get_param_names")()) out.push_back(py::str(n).cast<std::string>());
  return out;
}

[[noreturn]] inline void raise_unknown(py::object self, const std::string& key) {
  std::string valid;
  for (const auto& n : constructor_names(self)) valid += (valid.empty() ? "" : ", ") + n;
  for (const auto& n : algorithm_keywords()) valid += ", " + n;
  const std::string cls = py::str(py::type::of(self).attr("__name__")).cast<std::string>();
  twpy::raise(PyExc_ValueError, "Invalid parameter '" + key + "' for estimator " + cls +
                                    ". Valid parameters are: " + valid + ".");
}

// Rejects an algorithm keyword that no algorithm reads (a misspelt one), before it can be
// silently ignored.
inline void check_keywords(py::object self) {
  py::object all_args = self.attr("all_args");
  if (!py::isinstance<py::dict>(all_args)) return;
  for (auto item : py::reinterpret_borrow<py::dict>(all_args)) {
    const std::string key = py::str(item.first).cast<std::string>();
    if (!known_keyword(key)) raise_unknown(self, key);
  }
}

inline bool same_value(py::handle a, py::handle b) {
  if (a.is(b)) return true;
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) {
    PyErr_Clear();
    return false;
  }
  return r == 1;
}

inline py::dict trained_settings(py::object self) {
  py::dict state = self.attr("__dict__");
  if (state.contains("_trained_settings") && py::isinstance<py::dict>(state["_trained_settings"]))
    return state["_trained_settings"];
  return py::dict();
}

// After a training: records every setting of `all_args` (and the log transform, under the key
// "log_transform") that the training wrote, with what the caller had given before it.
inline void record_trained(py::object self, py::dict before_args, py::object before_log) {
  py::dict old = trained_settings(self);
  py::dict now;
  auto caller_value = [&](const std::string& key, py::object previous, bool had) -> py::tuple {
    // A value an earlier training wrote was not the caller's either.
    if (old.contains(key.c_str())) {
      py::tuple rec = old[key.c_str()];
      if (had && same_value(previous, rec[0])) return py::make_tuple(rec[1], rec[2]);
    }
    return py::make_tuple(py::bool_(had), had ? previous : py::object(py::none()));
  };
  py::object all_args = self.attr("all_args");
  if (py::isinstance<py::dict>(all_args)) {
    for (auto item : py::reinterpret_borrow<py::dict>(all_args)) {
      const std::string key = py::str(item.first).cast<std::string>();
      if (key == "algorithm") continue;
      py::object value = py::reinterpret_borrow<py::object>(item.second);
      const bool had = before_args.contains(item.first);
      py::object previous = had ? py::object(before_args[item.first]) : py::object(py::none());
      if (had && same_value(previous, value)) {
        if (old.contains(item.first)) {
          py::tuple rec = old[item.first];
          if (same_value(rec[0], value)) now[item.first] = rec;
        }
        continue;
      }
      py::tuple given = caller_value(key, previous, had);
      now[item.first] = py::make_tuple(value, given[0], given[1]);
    }
  }
  py::object log = self.attr("log_transformed");
  if (!same_value(log, before_log)) {
    py::tuple given = caller_value("log_transform", before_log, true);
    now["log_transform"] = py::make_tuple(log, given[0], given[1]);
  } else if (old.contains("log_transform")) {
    py::tuple rec = old["log_transform"];
    if (same_value(rec[0], log)) now["log_transform"] = rec;
  }
  self.attr("_trained_settings") = now;
}

// Forgets the record of a setting the caller now gives.
inline void forget_trained(py::object self, const std::string& key) {
  py::dict rec = trained_settings(self);
  if (rec.contains(key.c_str())) PyDict_DelItemString(rec.ptr(), key.c_str());
}

// What get_params reports for `key` whose current value is `value`: the caller's value when
// training wrote it. Returns false when the caller gave nothing (the key is then not reported).
inline bool reported_value(py::object self, const std::string& key, py::object value,
                           py::object* out) {
  py::dict rec = trained_settings(self);
  if (rec.contains(key.c_str())) {
    py::tuple r = rec[key.c_str()];
    if (same_value(r[0], value)) {
      if (!r[1].cast<bool>()) return false;
      *out = r[2];
      return true;
    }
  }
  *out = value;
  return true;
}

}  // namespace twsettings
