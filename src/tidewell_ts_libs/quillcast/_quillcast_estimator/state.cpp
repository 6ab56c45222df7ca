// QuillcastForecaster: what a pickle holds.
//
// A trained forecaster keeps the timestamps of its training rows in `_timestamps`, one integer
// per row, but forecasting needs only the models' states (which hold their last update and
// spacing) and the time axis. Evenly spaced timestamps, the usual case, are pickled as a
// range (three numbers whatever the length of the training data) and come back as the same
// list; any other list is pickled as it is, so older pickles and irregular timestamps load
// unchanged.
#include "common.hpp"

namespace qest {

namespace {

// The range equal to `ts` when it is a list of at least two integers, evenly spaced by a
// non-zero step; None otherwise.
py::object as_range(py::handle ts) {
  if (!PyList_CheckExact(ts.ptr())) return py::none();
  const Py_ssize_t n = PyList_GET_SIZE(ts.ptr());
  if (n < 2) return py::none();
  std::vector<long long> v(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(ts.ptr(), i);
    if (!PyLong_CheckExact(item)) return py::none();
    int overflow = 0;
    v[static_cast<std::size_t>(i)] = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return py::none();
    if (v[static_cast<std::size_t>(i)] == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return py::none();
    }
  }
  const long long step = v[1] - v[0];
  if (step <= 0) return py::none();
  for (std::size_t i = 2; i < v.size(); ++i) {
    if (v[i] - v[i - 1] != step) return py::none();
  }
  return twpy::import("builtins", "range")(v.front(), v.back() + step, step);
}

}  // namespace

py::object get_state(py::object self) {
  py::object state = twpy::import("sklearn.base", "BaseEstimator").attr("__getstate__")(self);
  if (!py::isinstance<py::dict>(state)) return state;
  py::dict d = state;
  if (!d.contains("_timestamps")) return state;
  py::object compact = as_range(d["_timestamps"]);
  if (compact.is_none()) return state;
  py::dict out = py::reinterpret_steal<py::dict>(PyDict_Copy(d.ptr()));
  out["_timestamps"] = compact;
  return out;
}

void set_state(py::object self, py::object state) {
  if (py::isinstance<py::dict>(state)) {
    py::dict d = state;
    py::object range_type = twpy::import("builtins", "range");
    if (d.contains("_timestamps") && py::isinstance(d["_timestamps"], range_type)) {
      d = py::reinterpret_steal<py::dict>(PyDict_Copy(d.ptr()));
      d["_timestamps"] = py::list(d["_timestamps"]);
      state = d;
    }
  }
  twpy::import("sklearn.base", "BaseEstimator").attr("__setstate__")(self, state);
  // Pickles made before the nonnegative option forecast as they did: without it.
  if (!py::hasattr(self, "nonnegative")) self.attr("nonnegative") = false;
}

}  // namespace qest
