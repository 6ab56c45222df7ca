// The engine's model in Python: the class Model and the builders of module `forecasters`.
//
// Builders take keyword arguments only and return a new, untrained engine model. The model type
// is registered globally with a shared_ptr holder, so any other extension module can reach the
// C++ model behind a Python object (contracts/engine.hpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding.hpp"
#include "contracts/model_table.hpp"
#include "interrupts.hpp"
#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/model_table.hpp"
#include "tarn/regression.hpp"

namespace tarnpy {
namespace {

using contracts::is_bool_like;
using contracts::to_value;

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

// Length from which a list update of a fitted model can be interrupted.
constexpr std::size_t kInterruptibleUpdate = 4096;

// Runs engine work on `model` without the GIL, stoppable with Ctrl-C; an interrupted model is
// put back as it was before the call.
template <class Work>
auto run_interruptible(tarn::Model& model, Work&& work) -> decltype(work()) {
  const std::unique_ptr<tarn::Model> before = model.clone();
  try {
    py::gil_scoped_release release;
    return twpy::interruptible(work);
  } catch (py::error_already_set&) {
    model.restore(before->serialize());
    throw;
  }
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
    // Engine work that can take long (a fit, a long list) can be stopped with Ctrl-C; updates
    // of a fitted model by a short list are quick and skip the copy that undoes a stopped call.
    if (!model.is_initialized() || ts.size() >= kInterruptibleUpdate) {
      run_interruptible(model, [&] { model.update(ts, vals); });
    } else {
      py::gil_scoped_release release;
      model.update(ts, vals);
    }
    return;
  }
  const std::int64_t ts = to_timestamp(t);
  const double val = to_number(v);
  model.update(ts, val);
}

}  // namespace

void bind_model(py::module_& m) {
  py::class_<tarn::Model, ModelPtr> model(m, "Model",
                                          "A forecasting model of the engine. Build one with a "
                                          "builder of `forecasters`.");
  model
      .def(
          "update_model",
          // (The model is taken by its shared holder, here and wherever the GIL is let go:
          // the holder's count then shows other code that the model is in use.)
          [](const ModelPtr& self, py::handle t, py::handle v) { update_model(*self, t, v); },
          py::arg("timestamps"), py::arg("values"),
          "Feeds observations in time order: two equal-length sequences (integer timestamps, "
          "values) or one timestamp and one value. A NaN or None value is a missing observation. "
          "A timestamp not newer than the latest one raises ValueError (everything before it "
          "is kept). Ctrl-C during a fit or a long list raises KeyboardInterrupt and leaves the "
          "model as it was before the call.")
      .def("is_initialized", &tarn::Model::is_initialized,
           "True once the model has seen enough data to forecast.")
      .def("reset_model", &tarn::Model::reset, "Forgets every observation.")
      .def(
          "fit_available",
          [](const ModelPtr& self) {
            return run_interruptible(*self, [&] { return self->fit_available(); });
          },
          "For a model still collecting its training values when the series has ended: fits "
          "on the values seen so far if the model can (the automatic selector does), and "
          "returns is_initialized().")
      .def("set_log_input", &tarn::Model::set_log_input, py::arg("shift"),
           "Says, before the first observation, that the values to be fed are ln(x + shift) of "
           "the series x. A model that can fit x on its own scale (ARIMA, the automatic "
           "selector) does so, keeps forecasting on the fed scale and returns True; others "
           "return False and keep their forecasts and bounds below 709, so that exp of them is "
           "finite.")
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
          [](const ModelPtr& holder, py::handle h) {
            const tarn::Model& self = *holder;
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
      .def_property_readonly(
          "regression",
          [](const tarn::Model& self) -> py::object {
            const auto* r = dynamic_cast<const tarn::Regression*>(&self);
            if (!r) return py::none();
            py::dict out;
            out["coefficients"] = r->coefficients();
            out["standard_errors"] = r->standard_errors();
            out["joint"] = r->joint();
            out["inner"] = r->inner() ? py::object(py::str(r->inner()->kind())) : py::none();
            return out;
          },
          "For a regression on regressors: its coefficients, their standard errors, whether "
          "they were estimated jointly with ARIMA errors and the kind of the model of the "
          "remainder (a dict); None for any other model.")
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
}

void bind_builders(py::module_& m) {
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

}  // namespace tarnpy
