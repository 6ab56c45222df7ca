// Python binding of the tarn forecasting engine. Its parts are in __tarn/: the models and their
// builders (models.cpp), the forecasting session and backtests (session.cpp), and metrics and
// the time grid (metrics.cpp).
#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "__tarn/binding.hpp"
#include "contracts/model_table.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/model.hpp"
#include "tarn/serialize.hpp"

namespace {

tarnpy::ModelPtr from_state(const py::bytes& state) {
  const std::string bytes = state;
  return tarnpy::ModelPtr(tarn::Model::deserialize(bytes));
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
    } catch (const tarn::Interrupted&) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  });

  tarnpy::bind_model(m);
  tarnpy::bind_session(m);

  m.def("_from_state", &from_state, py::arg("state"),
        "Rebuilds a model from the bytes of Model.serialize() (used by pickle).");

  m.def("model_table", &contracts::table_as_python,
        "The engine's table of models, one dict per model in table order: name (builder and "
        "kind), options (builder option -> default, None when there is none), candidate "
        "(\"combined\", \"baseline\" or None: how the automatic selector uses the model), "
        "algorithm (QuillcastForecaster's name for it, or None), note, settings_doc, keywords "
        "(the forecaster's settings of it), search (parameter -> values for a model search) and "
        "presets (its ready-made configurations of the forecaster, as settings).");

  tarnpy::bind_metrics(m);
  tarnpy::bind_builders(m);
  tarnpy::bind_series_jobs(m);
}
