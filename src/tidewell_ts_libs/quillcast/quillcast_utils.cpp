// QuillcastUtils: sizing helpers for training engine models, and forecast accuracy metrics.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "interrupts.hpp"
#include "pyclass.hpp"
#include "tarn/metrics.hpp"
#include "tarn/training_sizes.hpp"

namespace py = pybind11;

namespace {

std::vector<double> to_doubles(py::handle values, const char* what) {
  py::object arr;
  try {
    arr = twpy::import("numpy", "asarray")(values, py::arg("dtype") = "float64");
  } catch (py::error_already_set& e) {
    twpy::raise(PyExc_ValueError, std::string(what) + " must be numbers: " + e.what());
  }
  py::array_t<double, py::array::c_style | py::array::forcecast> a(arr.attr("ravel")());
  return std::vector<double>(a.data(), a.data() + a.size());
}

std::int64_t to_int(py::handle v, const char* name) {
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    if (PyFloat_Check(v.ptr())) {
      const double d = PyFloat_AsDouble(v.ptr());
      if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15) {
        return static_cast<std::int64_t>(d);
      }
    }
    twpy::raise(PyExc_TypeError, std::string(name) + " must be an integer");
  }
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!i) throw py::error_already_set();
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (overflow) twpy::raise(PyExc_ValueError, std::string(name) + " is too large in magnitude");
  return x;
}

py::list get_init_samples(py::handle values, py::handle upper_limit, py::handle lower_limit,
                          py::handle calendar_seasons) {
  const std::vector<double> x = to_doubles(values, "values");
  const std::vector<double> calendar = calendar_seasons.is_none()
                                           ? std::vector<double>()
                                           : to_doubles(calendar_seasons, "calendar_seasons");
  for (double c : calendar) {
    if (!std::isfinite(c) || c < 1.0) {
      twpy::raise(PyExc_ValueError,
                  "calendar_seasons must be season lengths of at least 1 step, got " +
                      py::repr(py::float_(c)).cast<std::string>());
    }
  }
  const std::int64_t upper = to_int(upper_limit, "upper_limit");
  const std::int64_t lower = to_int(lower_limit, "lower_limit");
  if (upper < 1) twpy::raise(PyExc_ValueError, "upper_limit must be at least 1");
  if (lower < 1) twpy::raise(PyExc_ValueError, "lower_limit must be at least 1");
  tarn::SeriesSizes sizes;
  {
    // The season search of a long series takes a while: Ctrl-C stops it.
    py::gil_scoped_release release;
    sizes = twpy::interruptible(
        [&] { return tarn::series_sizes(x.data(), x.size(), upper, lower, calendar); });
  }
  py::list out;
  out.append(sizes.length);
  out.append(sizes.period);
  out.append(sizes.seasons);
  out.append(sizes.training);
  return out;
}

std::int64_t get_arima_init_size(py::handle itr_obj, py::handle length_obj) {
  const std::int64_t itr = to_int(itr_obj, "itr");
  const std::int64_t length = to_int(length_obj, "length");
  if (itr < 0) twpy::raise(PyExc_ValueError, "itr must not be negative");
  if (length < 0) twpy::raise(PyExc_ValueError, "length must not be negative");
  return tarn::arima_attempt_size(itr, length);
}

py::tuple compute_metrics(py::handle a, py::handle b) {
  const std::vector<double> truth = to_doubles(a, "ground truth");
  const std::vector<double> pred = to_doubles(b, "predictions");
  if (truth.size() != pred.size()) {
    twpy::raise(PyExc_ValueError, "ground truth and predictions differ in length (" +
                                      std::to_string(truth.size()) + " and " +
                                      std::to_string(pred.size()) + ")");
  }
  const tarn::Metrics m = tarn::compute_metrics(truth.data(), pred.data(), truth.size());
  return py::make_tuple(m.mae, m.mse, m.r2, m.smape);
}

}  // namespace

PYBIND11_MODULE(quillcast_utils, m) {
  twpy::ClassBuilder cls(m, "QuillcastUtils", py::tuple(),
                         "Sizing helpers for training the engine's models, and accuracy metrics.");
  cls.def_static(
      "get_init_samples",
      [](py::object values, py::object upper_limit, py::object lower_limit,
         py::object calendar_seasons) {
        return get_init_samples(values, upper_limit, lower_limit, calendar_seasons);
      },
      py::arg("values"), py::arg("upper_limit") = 200, py::arg("lower_limit") = 8,
      py::arg("calendar_seasons") = py::none(),
      "Four counts for one series: [number of values, season period (1 when the data show "
      "none; at most upper_limit), number of full seasons in the series, training size for "
      "BATS and the automatic selector (the whole series up to 1000 values, at least three "
      "seasons and lower_limit when the series is that long, up to 15 cycles of the longest "
      "when it shows several or long seasons, never more than its length)]. "
      "calendar_seasons: the seasons (in steps) the dates' calendar implies, tested too.");
  cls.def_static(
      "get_arima_init_size",
      [](py::object itr, py::object length) { return get_arima_init_size(itr, length); },
      py::arg("itr"), py::arg("length"),
      "Training size for ARIMA attempt `itr` (0 to 4) on a series of `length` values: the whole "
      "series on the first attempt; the later attempts, for a model that did not initialise, "
      "fit on shorter leading parts (7/8, 3/4, 5/8, then half of the series, at least 20 "
      "values); never more than `length`.");
  cls.def_static(
      "compute_metrics", [](py::object a, py::object b) { return compute_metrics(a, b); },
      py::arg("a"), py::arg("b"),
      "(MAE, MSE, R2, SMAPE) of predictions `b` against ground truth `a`. Positions where `a` "
      "is NaN do not count; SMAPE is in percent (0 to 200) and counts 0 against 0 as exact; "
      "a NaN or infinite prediction where `a` is known makes every metric NaN.");
  cls.finalize();
}
