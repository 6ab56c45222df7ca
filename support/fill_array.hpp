// Gap filling of a 2-D numeric array with the engine's interpolation kernels, for extension
// modules. The caller's data are never modified: the kernels run on a float64 copy, without the
// GIL. Engine errors about the data (bad time axis, unknown method) become ValueError.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/interpolate.hpp"

namespace twpy {

namespace py = pybind11;

// A float64, C-ordered, two-dimensional copy of X (array, data frame, nested lists).
inline py::array_t<double> as_matrix_copy(py::handle X) {
  py::object np = py::module_::import("numpy");
  py::object arr;
  try {
    arr = np.attr("array")(X, py::arg("dtype") = np.attr("float64"), py::arg("copy") = true,
                           py::arg("order") = "C");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    throw py::value_error("the data must be numeric: " + std::string(py::str(e.value())));
  }
  auto a = py::array_t<double, py::array::c_style>::ensure(arr);
  if (!a || a.ndim() != 2) {
    throw py::value_error("expected a two-dimensional array of rows (samples) and columns, got " +
                          std::to_string(a ? a.ndim() : -1) + " dimension(s)");
  }
  return a;
}

// Index of the time column from a location setting: -1 or None for none, an int, or a list or
// tuple whose first element is the index (an empty one means none).
inline long time_column_index(py::handle loc) {
  if (loc.is_none()) return -1;
  if (py::isinstance<py::list>(loc) || py::isinstance<py::tuple>(loc)) {
    py::sequence s = py::reinterpret_borrow<py::sequence>(loc);
    if (py::len(s) == 0) return -1;
    return time_column_index(s[0]);
  }
  if (py::isinstance<py::bool_>(loc))
    throw py::value_error("the time column location must be -1, an index or [index]");
  try {
    long v = py::int_(py::reinterpret_borrow<py::object>(loc)).cast<long>();
    return v < 0 ? -1 : v;
  } catch (py::error_already_set&) {
    throw py::value_error("the time column location must be -1, an index or [index], got " +
                          std::string(py::repr(loc)));
  }
}

// The missing-value marker as a double: NaN for None or NaN, else the number.
inline double missing_marker(py::handle marker) {
  if (marker.is_none()) return std::nan("");
  try {
    return py::float_(py::reinterpret_borrow<py::object>(marker)).cast<double>();
  } catch (py::error_already_set&) {
    throw py::value_error("the missing-value marker must be a number or NaN, got " +
                          std::string(py::repr(marker)));
  }
}

// Fills `a` in place. With `per_column` (one value per column) the fill method uses each
// column's own constant. Returns the number of entries filled.
inline std::size_t fill_in_place(py::array_t<double>& a, long time_col, double missing,
                                 const tarn::interp::Options& opt,
                                 const std::vector<double>& per_column = {}) {
  const std::size_t rows = static_cast<std::size_t>(a.shape(0)),
                    cols = static_cast<std::size_t>(a.shape(1));
  if (time_col >= static_cast<long>(cols)) {
    throw py::value_error("time column " + std::to_string(time_col) + " is outside the " +
                          std::to_string(cols) + " columns of the data");
  }
  double* data = a.mutable_data();
  std::size_t filled = 0;
  std::string error;
  {
    py::gil_scoped_release release;
    try {
      filled = per_column.empty()
                   ? tarn::interp::fill_matrix(data, rows, cols, time_col, missing, opt)
                   : tarn::interp::fill_matrix_by_column(data, rows, cols, time_col, missing, opt,
                                                         per_column);
    } catch (const std::invalid_argument& e) {
      error = e.what();
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  }
  if (!error.empty()) throw py::value_error(error);
  return filled;
}

// Fills `a` in place with the interpolator's method `type` (linear, cubic, nearest, prev, next or
// fill): prev has no earlier value for a leading gap and next no later one for a trailing gap,
// so those, and columns with no value at all, take `default_value`; the other methods carry the
// nearest observed value into the ends. `per_column`: fill's constant of each column. Returns
// the number of entries filled.
inline std::size_t fill_by_method(py::array_t<double>& a, long time_col, double missing,
                                  const std::string& type, double default_value,
                                  const std::vector<double>& per_column = {}) {
  tarn::interp::Options opt;
  try {
    opt.method = tarn::interp::method_from_name(type);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
  opt.fill_ends = !(type == "prev" || type == "next");
  opt.empty_value = default_value;
  std::size_t filled = fill_in_place(a, time_col, missing, opt, per_column);
  if (!opt.fill_ends) {
    // What the kernel left (ends without a neighbour) gets the default value.
    filled += tarn::interp::fill_remaining(a.mutable_data(), static_cast<std::size_t>(a.shape(0)),
                                           static_cast<std::size_t>(a.shape(1)), time_col, missing,
                                           default_value);
  }
  return filled;
}

}  // namespace twpy
