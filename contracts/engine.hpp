// How the library's modules reach the forecasting engine.
//
// Engine models are built by tidewell_ts_libs.deps.tarn and handed around as Python objects.
// engine_model() recovers the C++ model behind such an object, so hot loops can call the
// engine directly (with the GIL released); any other object that merely offers the same
// operations (update_model, is_initialized, forecast_at, ...) gives nullptr and is driven
// through Python instead. Such loops run inside twpy::interruptible (support/interrupts.hpp),
// so that Ctrl-C stops them.
#pragma once

#include <pybind11/pybind11.h>

#include "interrupts.hpp"
#include "tarn/model.hpp"

namespace contracts {

namespace py = pybind11;

// The module that builds and registers engine models; importing it makes engine_model() work.
inline py::module_ engine_module() {
  return py::module_::import("tidewell_ts_libs.deps.tarn");
}

// The engine model behind `obj`, or nullptr when `obj` is not one of the engine's own models.
inline tarn::Model* engine_model(py::handle obj) {
  if (!obj || obj.is_none()) return nullptr;
  if (!py::isinstance<tarn::Model>(obj)) return nullptr;
  return obj.cast<tarn::Model*>();
}

}  // namespace contracts
