// The engine's interpolation kernels for the imputers written in Python.
#include <pybind11/numpy.h>

#include <string>

#include "fill_array.hpp"
#include "pyclass.hpp"
#include "tarn/interpolate.hpp"
#include "tarn/interpolate_methods.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_kernels, m) {
  m.doc() = "Gap-filling kernels of the engine, column by column along a time axis.";
  m.def(
      "fill",
      [](py::object X, const std::string& method, py::object time_column, py::object missing_values,
         bool fill_ends, int order, double fill_value, double empty_value) {
        tarn::interp::Options opt;
        opt.method = tarn::interp::method_from_name(method);
        if (order < 1)
          throw py::value_error("order must be at least 1, got " + std::to_string(order));
        opt.order = order;
        opt.fill_ends = fill_ends;
        opt.fill_value = fill_value;
        opt.empty_value = empty_value;
        auto a = twpy::as_matrix_copy(X);
        twpy::fill_in_place(a, twpy::time_column_index(time_column),
                            twpy::missing_marker(missing_values), opt);
        return a;
      },
      py::arg("X"), py::arg("method"), py::arg("time_column") = -1,
      py::arg("missing_values") = twpy::import("numpy", "nan"), py::arg("fill_ends") = true,
      py::arg("order") = 3, py::arg("fill_value") = 0.0, py::arg("empty_value") = std::nan(""),
      "A float copy of X with the missing values of every column except the time column filled by\n"
      "`method` (linear, cubic, nearest, prev, next, fill, quadratic, akima, barycentric,\n"
      "polynomial, spline). Missing ends take the nearest observed value when fill_ends is set "
      "and\n"
      "stay NaN otherwise; a column without any observed value takes empty_value.");
  py::list methods;
  for (const std::string& name : tarn::interp::all_methods()) methods.append(name);
  m.attr("METHODS") = py::tuple(methods);
}
