// What the source files of the engine's binding share: the model holder, the error helper and
// the parts of the module, each adding its names to it (called in order by PYBIND11_MODULE in
// _tarn.cpp).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "tarn/model.hpp"

namespace py = pybind11;

namespace tarnpy {

using ModelPtr = std::shared_ptr<tarn::Model>;

// Raises `type` with `text` in Python.
[[noreturn]] inline void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

// The class Model (models.cpp).
void bind_model(py::module_& m);
// The submodule `forecasters` of the model builders (models.cpp).
void bind_builders(py::module_& m);
// The class Forecaster, backtests, the log scale and the session's metrics (session.cpp).
void bind_session(py::module_& m);
// Accuracy of a forecast, the time grid and the forecaster's settings (metrics.cpp).
void bind_metrics(py::module_& m);
// Forecasting a chunk of series in one call (series_jobs.cpp).
void bind_series_jobs(py::module_& m);

}  // namespace tarnpy
