// Dates on the forecaster's time axis.
//
// A data matrix may carry its timestamps as dates: a pandas DataFrame whose timestamp column is
// datetime64 or ISO 8601 text, a numpy object or text array with such a column, or a DataFrame
// with a DatetimeIndex and no timestamp column. Training maps the dates to the integer axis of
// tarn/calendar.hpp (months for monthly data, days for daily data, weekdays for business-day
// data, ...) and keeps the axis in `time_axis_`; later rows are mapped to the same axis, and
// forecast times map back to dates.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyclass.hpp"
#include "tarn/calendar.hpp"

namespace twdates {

namespace py = pybind11;
namespace cal = tarn::calendar;

inline bool is_true(py::handle o) {
  const int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline std::string text(py::handle o) {
  return py::str(o).cast<std::string>();
}

inline py::dict axis_to_dict(const cal::Axis& a) {
  py::dict d;
  d["unit"] = cal::unit_name(a.unit);
  d["step_ns"] = a.step_ns;
  d["phase_ns"] = a.phase_ns;
  d["day"] = a.day;
  d["month_end"] = a.month_end;
  d["time_of_day_ns"] = a.time_of_day_ns;
  d["business_days"] = a.business_days;
  d["business_month"] = a.business_month;
  return d;
}

inline cal::Axis axis_from_dict(py::handle h) {
  py::dict d = py::reinterpret_borrow<py::dict>(h);
  cal::Axis a;
  try {
    a.unit = cal::unit_from_name(text(d["unit"]));
  } catch (const std::invalid_argument& e) {
    twpy::raise(PyExc_ValueError, std::string("time_axis_: ") + e.what());
  }
  a.step_ns = d["step_ns"].cast<std::int64_t>();
  a.phase_ns = d["phase_ns"].cast<std::int64_t>();
  a.day = d["day"].cast<int>();
  a.month_end = d["month_end"].cast<bool>();
  a.time_of_day_ns = d["time_of_day_ns"].cast<std::int64_t>();
  // Axes saved before business days had their own axis have no such entry: plain days.
  if (d.contains("business_days")) a.business_days = is_true(d["business_days"]);
  if (d.contains("business_month")) a.business_month = is_true(d["business_month"]);
  if (a.business_days && a.unit != cal::Unit::kDay) {
    twpy::raise(PyExc_ValueError, "time_axis_: an axis of business days must count days, not " +
                                      cal::unit_name(a.unit) + "s");
  }
  return a;
}

// The name of one unit of an axis: "business day" for an axis of weekdays.
inline std::string step_text(const cal::Axis& a) {
  return a.business_days ? std::string("business day") : cal::unit_name(a.unit);
}

inline std::string date_text(std::int64_t ns) {
  return text(py::module_::import("pandas").attr("Timestamp")(ns));
}

inline std::string first_line(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

// Whether a column holds dates (datetime64, date objects or text to be read as ISO 8601).
inline bool date_like(py::object pd, py::object column) {
  py::object types = pd.attr("api").attr("types");
  if (is_true(types.attr("is_datetime64_any_dtype")(column))) return true;
  if (is_true(types.attr("is_numeric_dtype")(column)) ||
      is_true(types.attr("is_bool_dtype")(column)))
    return false;
  const std::string kind = text(types.attr("infer_dtype")(column, py::arg("skipna") = true));
  return kind == "string" || kind == "datetime" || kind == "datetime64" || kind == "date";
}

// Nanoseconds since 1970-01-01 (NaT as INT64_MIN) of a column of dates. Zoned dates lose their
// zone as series.naive_dates reads them: on `clock` ("wall" or "utc"), or by default on the
// clock they show.
inline std::vector<std::int64_t> date_ns(py::object pd, py::object column,
                                         py::object clock = py::none()) {
  py::object types = pd.attr("api").attr("types");
  const bool is_text =
      !is_true(types.attr("is_datetime64_any_dtype")(column)) &&
      text(types.attr("infer_dtype")(column, py::arg("skipna") = true)) == "string";
  py::object index;
  try {
    // Text written with several zones' offsets loses them on the clock (series.iso_dates).
    py::object parsed = is_text ? py::object(py::tuple(twpy::import("tidewell_ts_libs.series",
                                                                    "iso_dates")(column, clock))[0])
                                : pd.attr("to_datetime")(column);
    index = pd.attr("DatetimeIndex")(parsed);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    twpy::raise(PyExc_ValueError, "the timestamps are not dates (ISO 8601 text or datetime64): " +
                                      first_line(text(e.value())));
  }
  if (!index.attr("tz").is_none()) {
    index = pd.attr("DatetimeIndex")(
        twpy::import("tidewell_ts_libs.series", "naive_dates")(index, clock));
  }
  index = index.attr("astype")("datetime64[ns]");
  py::array_t<std::int64_t> ns =
      py::module_::import("numpy").attr("asarray")(index.attr("asi8"), py::arg("dtype") = "int64");
  return std::vector<std::int64_t>(ns.data(), ns.data() + ns.size());
}

inline std::string index_text(py::handle index) {
  std::string shown =
      text(py::repr(index.attr("__getitem__")(py::slice(0, 3, 1)).attr("tolist")()));
  if (py::len(index) > 3) shown.insert(shown.size() - 1, ", ...");
  return "the index of X (" + text(py::type::of(index).attr("__name__")) + " of " +
         text(index.attr("dtype")) + ": " + shown + ")";
}

// Whether the index of a DataFrame (not a DatetimeIndex) holds its rows' dates: text or date
// objects that read as dates. An integer index (a RangeIndex, say) numbers the rows and holds
// no dates; any other index (text that is no date, fractions, periods, ...) is refused, naming
// it, rather than taken for row numbers.
inline bool index_dates(py::object pd, py::object index) {
  py::object types = pd.attr("api").attr("types");
  if (is_true(types.attr("is_integer_dtype")(index))) return false;
  if (py::len(index) == 0) return false;
  const std::string kind = text(types.attr("infer_dtype")(index, py::arg("skipna") = false));
  if (kind == "string" || kind == "datetime" || kind == "date") {
    try {
      date_ns(pd, index);
      return true;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ValueError)) throw;
    }
  }
  twpy::raise(PyExc_ValueError, index_text(index) +
                                    " holds neither dates nor row numbers: give the dates as a "
                                    "DatetimeIndex or a timestamp column (ts_icol_loc), or "
                                    "reset the index");
}

struct DatedRows {
  bool dated = false;
  bool from_index = false;  // the timestamps came from a DatetimeIndex: the last column of X
  py::object X;             // float matrix with the dates replaced by axis values
  std::int64_t ts_col = -1;
};

// Replaces the dates of X (timestamp column `ts_col`, or a DatetimeIndex when `ts_col` is -1)
// by their values on the time axis. Training (`fitting`) finds the axis and stores it in
// `time_axis_`; otherwise the stored axis is used. X without dates comes back undated.
inline DatedRows dated_rows(py::object self, py::object X, std::int64_t ts_col, bool fitting) {
  DatedRows out;
  py::object np = py::module_::import("numpy");
  const bool is_array = py::isinstance(X, np.attr("ndarray"));
  py::object pd;
  bool frame = false;
  if (is_array) {
    if (X.attr("ndim").cast<int>() != 2) return out;
    const std::string kind = text(X.attr("dtype").attr("kind"));
    if (kind != "O" && kind != "U" && kind != "S" && kind != "M") return out;
    pd = py::module_::import("pandas");
  } else {
    const std::string module = text(py::type::of(X).attr("__module__"));
    if (module.rfind("pandas", 0) != 0) return out;
    pd = py::module_::import("pandas");
    frame = py::isinstance(X, pd.attr("DataFrame"));
    if (!frame) return out;
  }
  py::tuple shape = X.attr("shape");
  const std::int64_t n = shape[0].cast<std::int64_t>();
  const std::int64_t ncols = shape[1].cast<std::int64_t>();
  py::object dates;
  if (ts_col < 0) {
    if (!frame) return out;
    py::object index = X.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
      if (!index_dates(pd, index)) return out;
    }
    dates = index;
    out.from_index = true;
  } else {
    if (ts_col >= ncols) return out;
    py::object column =
        frame
            ? py::object(X.attr(
                  "iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ts_col)])
            : py::object(X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ts_col)]);
    if (!date_like(pd, column)) {
      // Numbers where the training rows had dates would be read as times on another axis
      // (integers as nanoseconds since 1970): refused, as dates for a numeric axis are.
      py::dict state = self.attr("__dict__");
      if (!fitting && frame && state.contains("time_axis_") && !state["time_axis_"].is_none()) {
        twpy::raise(PyExc_ValueError,
                    "the timestamps (column " + std::to_string(ts_col) +
                        ") are not dates, but the forecaster was trained on dates: give the "
                        "rows' dates");
      }
      return out;
    }
    dates = column;
  }
  py::dict state = self.attr("__dict__");
  // Later rows' zoned dates are read on the clock of the training dates: the wall clock for an
  // axis of days or months, UTC for a finer one.
  py::object clock = py::none();
  if (!fitting && state.contains("time_axis_") && !state["time_axis_"].is_none()) {
    const cal::Unit unit = axis_from_dict(state["time_axis_"]).unit;
    clock = py::str(unit == cal::Unit::kDay || unit == cal::Unit::kMonth ? "wall" : "utc");
  }
  const std::vector<std::int64_t> ns = date_ns(pd, dates, clock);
  cal::Axis axis;
  if (fitting) {
    try {
      axis = cal::detect_step_axis(ns);
    } catch (const std::invalid_argument& e) {
      twpy::raise(PyExc_ValueError,
                  std::string("the dates of the timestamps give no time axis: ") + e.what());
    }
    self.attr("time_axis_") = axis_to_dict(axis);
  } else {
    if (!state.contains("time_axis_") || state["time_axis_"].is_none()) {
      twpy::raise(PyExc_ValueError,
                  "the timestamps are dates, but the forecaster was trained on numeric "
                  "timestamps: train it on dates to feed it dates");
    }
    axis = axis_from_dict(state["time_axis_"]);
  }
  const std::int64_t width = out.from_index ? ncols + 1 : ncols;
  // Dates from the index go last, so that the column indices of X keep their meaning.
  const std::int64_t axis_col = out.from_index ? ncols : ts_col;
  py::array_t<double> result({n, width});
  auto r = result.mutable_unchecked<2>();
  for (std::int64_t i = 0; i < n; ++i) {
    std::int64_t v = 0;
    if (!cal::to_axis(axis, ns[i], &v)) {
      const std::string when =
          ns[i] == INT64_MIN ? std::string("a missing date") : "the date " + date_text(ns[i]);
      twpy::raise(PyExc_ValueError, "row " + std::to_string(i) + " has " + when +
                                        ", which does not lie on the time axis of the training "
                                        "dates (one step: a " +
                                        step_text(axis) + ")");
    }
    r(i, axis_col) = static_cast<double>(v);
  }
  py::object all = py::slice(py::none(), py::none(), py::none());
  for (std::int64_t j = 0; j < ncols; ++j) {
    if (!out.from_index && j == ts_col) continue;
    py::array_t<double, py::array::forcecast> col;
    if (frame) {
      col = X.attr("iloc")[py::make_tuple(all, j)].attr("to_numpy")(
          py::arg("dtype") = "float64", py::arg("na_value") = np.attr("nan"));
    } else {
      col = np.attr("asarray")(X[py::make_tuple(all, j)], py::arg("dtype") = "float64");
    }
    auto c = col.unchecked<1>();
    for (std::int64_t i = 0; i < n; ++i) r(i, j) = c(i);
  }
  out.dated = true;
  out.X = result;
  out.ts_col = axis_col;
  return out;
}

// The dates of axis values (numpy datetime64[ns]).
inline py::object dates_of(const cal::Axis& axis, const std::vector<double>& values) {
  py::array_t<std::int64_t> ns(static_cast<py::ssize_t>(values.size()));
  auto w = ns.mutable_unchecked<1>();
  for (std::size_t k = 0; k < values.size(); ++k) {
    try {
      w(k) = cal::from_axis(axis, values[k]);
    } catch (const std::invalid_argument& e) {
      twpy::raise(PyExc_ValueError, e.what());
    }
  }
  return ns.attr("view")("datetime64[ns]");
}

// The `n` dates after a series of dates at its usual spacing (numpy datetime64[ns]).
inline py::object next_dates(py::object times, std::int64_t n) {
  if (n < 0) twpy::raise(PyExc_ValueError, "the number of dates must not be negative");
  py::object pd = py::module_::import("pandas");
  const std::vector<std::int64_t> ns = date_ns(pd, times);
  std::vector<std::int64_t> next;
  try {
    next = cal::next_dates(ns, static_cast<std::size_t>(n));
  } catch (const std::invalid_argument& e) {
    twpy::raise(PyExc_ValueError, e.what());
  }
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(next.size()));
  std::copy(next.begin(), next.end(), out.mutable_data());
  return out.attr("view")("datetime64[ns]");
}

}  // namespace twdates
