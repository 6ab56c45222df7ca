// Ctrl-C for engine work that runs without the GIL.
//
//   twpy::interruptible([&] { tarn::run_loop(in, out); });
//
// runs the work with a check installed for the engine (tarn/interrupt.hpp): every few tens of
// milliseconds of work the check takes the GIL briefly and lets Python run its signal handlers.
// When a handler raises (KeyboardInterrupt for Ctrl-C), the engine stops the work and that
// exception is raised here once the work has unwound. Works with or without the GIL held; the
// work itself must not touch Python objects.
#pragma once

#include <pybind11/pybind11.h>

#include "tarn/interrupt.hpp"

namespace twpy {

namespace detail {

// The exception a signal handler raised, kept until the work has stopped.
struct PendingSignal {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

inline bool signal_raised(void* context) {
  pybind11::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return false;
  auto* pending = static_cast<PendingSignal*>(context);
  PyErr_Fetch(&pending->type, &pending->value, &pending->traceback);
  return true;
}

}  // namespace detail

template <class Work>
auto interruptible(Work&& work) -> decltype(work()) {
  detail::PendingSignal pending;
  try {
    tarn::InterruptScope scope(&detail::signal_raised, &pending);
    return work();
  } catch (const tarn::Interrupted&) {
    pybind11::gil_scoped_acquire gil;
    if (pending.type != nullptr) {
      PyErr_Restore(pending.type, pending.value, pending.traceback);
    } else {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    throw pybind11::error_already_set();
  }
}

}  // namespace twpy
