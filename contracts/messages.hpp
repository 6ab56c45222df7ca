// How the library's modules reach the message catalogue.
//
// Each module binds the catalogue class `Messages` when it loads (as a module attribute, so it
// can be replaced) and asks it for the text of a message id with the positional arguments in
// order: Messages.get_message(*args, message_id=id).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace contracts {

namespace py = pybind11;

inline py::object messages_class() {
  return py::module_::import("tidewell_ts_libs.utils.messages.messages").attr("Messages");
}

// Text of `id` from the catalogue class `messages` (normally the module's bound `Messages`).
template <class... Args>
std::string message(py::handle messages, const char* id, Args&&... args) {
  py::object text =
      messages.attr("get_message")(std::forward<Args>(args)..., py::arg("message_id") = id);
  return py::str(text).cast<std::string>();
}

}  // namespace contracts
