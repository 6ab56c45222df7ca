// Averaging of overlapping stacked forecasts for extension modules.
//
// A forecaster moved step by step over a holdout returns its forecasts stacked into one column
// (forecast 0 values 1..ph, then forecast 1 values 1..ph, ...). average_stacked_forecasts turns
// such a column into the mean forecast of every covered position (NaN skipped; a position no
// forecast has a value for is NaN), as a float array of shape (k + ph - 1, 1), or (0, 1) when
// there is no forecast. The numeric work runs in the engine without the GIL.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "tarn/averaging.hpp"

namespace twpy {

namespace py = pybind11;

// y_pred: any array-like whose reshape(-1, ph) gives one row per forecast (a length that is not
// a multiple of ph, or a horizon below 1, fails in numpy's reshape with its own error).
inline py::array_t<double> average_stacked_forecasts(py::handle y_pred, py::handle ph) {
  py::object np = py::module_::import("numpy");
  py::object rows = np.attr("asarray")(y_pred).attr("reshape")(-1, ph);
  // Float64 tables are read in place through their strides (a column of a wider array is not
  // copied); anything else is converted first.
  auto table = py::array_t<double, py::array::forcecast>::ensure(rows);
  if (!table) throw py::error_already_set();
  constexpr py::ssize_t item = sizeof(double);
  if (table.ndim() != 2 || table.strides(0) % item || table.strides(1) % item) {
    table = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(rows);
    if (!table) throw py::error_already_set();
  }
  const auto k = static_cast<std::size_t>(table.shape(0));
  const auto h = static_cast<std::size_t>(table.shape(1));
  const auto row_stride = static_cast<std::ptrdiff_t>(table.strides(0) / item);
  const auto col_stride = static_cast<std::ptrdiff_t>(table.strides(1) / item);
  const auto m = static_cast<py::ssize_t>(tarn::averaged_length(k, h));
  py::array_t<double> out({m, py::ssize_t{1}});
  const double* src = table.data();
  double* dst = out.mutable_data();
  {
    py::gil_scoped_release unlocked;
    if (k > 0) tarn::average_overlapping(src, k, h, row_stride, col_stride, dst);
  }
  return out;
}

}  // namespace twpy
