// Holdout splitting of a data frame of time series into training and holdout arrays.
//
// Text target columns and a text timestamp column are converted in the caller's frame. Timestamp
// strings of the common ISO form YYYY-MM-DD[(T| )HH:MM[:SS[.ffffff]]] are converted in one pass
// by the engine's parser (tarn::calendar), with the values dateutil's parser gives them; any
// column with another form goes through dateutil value by value. The regularity check of the
// spacing works on the raw numbers (tarn::spacing) and defers to Python's statistics module
// when the data or the decision is not clear-cut.
#include <Python.h>
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "contracts/messages.hpp"
#include "pyclass.hpp"
#include "tarn/calendar.hpp"
#include "tarn/spacing.hpp"

namespace py = pybind11;

namespace {

using twpy::mod_attr;
using twpy::self_module;

// Python's a == b.
bool eq(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_EQ);
}

template <class... Args>
[[noreturn]] void fail(const char* id, Args&&... args) {
  twpy::raise(PyExc_Exception,
              contracts::message(mod_attr("Messages"), id, std::forward<Args>(args)...));
}

// ---------------------------------------------------------------------------------------------
// Column roles

bool is_integer(py::handle v) {
  return py::isinstance<py::int_>(v) || py::isinstance(v, mod_attr("np").attr("integer"));
}
bool is_float(py::handle v) {
  return py::isinstance<py::float_>(v) || py::isinstance(v, mod_attr("np").attr("floating"));
}

// Position of a column name, or nullopt.
std::optional<py::object> position_of(const py::list& names, py::handle name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (eq(names[i], name)) return py::int_(i);
  }
  return std::nullopt;
}

// Column indexes from ints, floats (truncated) and names; unknown names are reported and dropped,
// entries of other types are dropped.
std::vector<py::object> resolve_columns(py::object entries, const py::list& names,
                                        const char* role) {
  if (!py::isinstance<py::list>(entries)) entries = py::list(py::make_tuple(entries));
  std::vector<py::object> out;
  py::object builtins_int = twpy::import("builtins", "int");
  for (py::handle e : entries) {
    if (is_integer(e)) {
      out.push_back(builtins_int(e));
    } else if (py::isinstance<py::str>(e)) {
      if (auto pos = position_of(names, e)) {
        out.push_back(*pos);
      } else {
        twpy::print(py::str("{}: {} is invalid").format(role, e));
      }
    } else if (is_float(e)) {
      if (std::isfinite(py::float_(py::reinterpret_borrow<py::object>(e)).cast<double>())) {
        out.push_back(builtins_int(e));
      } else {
        twpy::print(py::str("{}: {} is invalid").format(role, e));
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Text to numbers

// The text of a value with its leading and trailing double quotes stripped (a new reference).
py::str unquoted_text(py::handle v) {
  py::str text = PyUnicode_Check(v.ptr()) ? py::reinterpret_borrow<py::str>(v) : py::str(v);
  Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
  Py_ssize_t a = 0, b = n;
  while (a < b && PyUnicode_READ_CHAR(text.ptr(), a) == '"') ++a;
  while (b > a && PyUnicode_READ_CHAR(text.ptr(), b - 1) == '"') --b;
  if (a == 0 && b == n) return text;
  return py::reinterpret_steal<py::str>(PyUnicode_Substring(text.ptr(), a, b));
}

bool is_missing(py::handle v) {
  if (v.is_none() || v.ptr() == mod_attr("pd").attr("NA").ptr()) return true;
  return PyFloat_Check(v.ptr()) && std::isnan(PyFloat_AS_DOUBLE(v.ptr()));
}

// The column's values as a one-dimensional, C-contiguous array of object pointers. pandas hands
// out views with any stride (a reversed frame gives a negative one), so the items are only read
// through a contiguous copy.
py::array object_values(py::object column) {
  py::object object_dtype = py::module_::import("builtins").attr("object");
  py::object raw = column.attr("to_numpy")(py::arg("dtype") = object_dtype);
  py::array values = mod_attr("np").attr("ascontiguousarray")(raw, py::arg("dtype") = object_dtype);
  if (values.ndim() != 1 || values.dtype().kind() != 'O') {
    twpy::raise(PyExc_ValueError, "a column must hold one value per row");
  }
  return values;
}

// float() of every value's unquoted text; "" and missing values become NaN.
py::array_t<double> text_to_float(py::object column) {
  py::array values = object_values(column);
  const auto n = values.shape(0);
  py::array_t<double> out(n);
  double* dst = out.mutable_data();
  auto* const* items = reinterpret_cast<PyObject* const*>(values.data());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (py::ssize_t i = 0; i < n; ++i) {
    py::handle v(items[i]);
    if (is_missing(v)) {
      dst[i] = nan;
      continue;
    }
    py::str text = unquoted_text(v);
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) {
      dst[i] = nan;
      continue;
    }
    PyObject* f = PyFloat_FromString(text.ptr());
    if (!f) throw py::error_already_set();
    dst[i] = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// ISO timestamps

// The dtype pandas gives a column of naive datetime objects.
py::object naive_datetime_dtype() {
  py::object dt = twpy::import("datetime", "datetime")(2000, 1, 1);
  return mod_attr("pd").attr("Series")(py::make_tuple(dt)).attr("dtype");
}

// The converted column when every value is an ISO string of the recognised form (series is
// None otherwise), and whether the converted timestamps are all different. Equal texts give
// equal timestamps, so different timestamps mean the texts have no duplicates either.
struct FastIso {
  py::object series = py::none();
  bool unique = false;
};

FastIso fast_iso_column(py::object column) {
  py::array values = object_values(column);
  const auto n = values.shape(0);
  std::vector<int64_t> stamps(static_cast<size_t>(n));
  auto* const* items = reinterpret_cast<PyObject* const*>(values.data());
  for (py::ssize_t i = 0; i < n; ++i) {
    PyObject* v = items[i];
    if (!PyUnicode_CheckExact(v)) return {};
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v, &len);
    if (!s) {
      PyErr_Clear();
      return {};
    }
    size_t a = 0, b = static_cast<size_t>(len);
    while (a < b && s[a] == '"') ++a;
    while (b > a && s[b - 1] == '"') --b;
    if (!tarn::calendar::parse_iso_datetime(s + a, b - a, &stamps[static_cast<size_t>(i)])) {
      return {};
    }
  }
  FastIso out;
  {
    py::gil_scoped_release unlocked;
    out.unique = tarn::calendar::all_distinct(stamps);
  }
  py::object np = mod_attr("np");
  py::array_t<int64_t> raw(n);
  if (n) std::memcpy(raw.mutable_data(), stamps.data(), sizeof(int64_t) * static_cast<size_t>(n));
  py::object converted = raw.attr("view")("datetime64[us]");
  py::object target = naive_datetime_dtype();
  py::object series = mod_attr("pd").attr("Series")(
      converted, py::arg("index") = column.attr("index"), py::arg("name") = column.attr("name"));
  if (!eq(series.attr("dtype"), target)) series = series.attr("astype")(target);
  out.series = series;
  return out;
}

// dateutil on every value's unquoted text, as Series.map gives it.
py::object map_parser(py::object column, bool iso) {
  py::object parser = twpy::import("dateutil.parser");
  py::object fn = iso ? parser.attr("isoparse") : parser.attr("parse");
  py::cpp_function each([fn, iso](py::handle v) -> py::object {
    py::str text = unquoted_text(v);
    return iso ? fn(text) : fn(text, py::arg("fuzzy") = false);
  });
  return column.attr("map")(each);
}

// dateutil's parse value by value, or isoparse if parse fails on any value.
py::object convert_timestamps(py::object column, py::handle time_col) {
  try {
    return map_parser(column, false);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  try {
    return map_parser(column, true);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  fail("TIDEWELLTSLIBS0076E", time_col);
}

// ---------------------------------------------------------------------------------------------
// Regularity of the timestamps

// Python's own computation: differences of consecutive timestamps (durations in seconds),
// statistics.mean and statistics.stdev.
void spacing_exact(py::object ordered, py::object& mean, py::object& stdev) {
  // Python scalars (numpy scalars of nullable columns turned into int/float).
  py::list stamps = ordered.attr("tolist")();
  py::object generic = mod_attr("np").attr("generic");
  for (size_t i = 0; i < stamps.size(); ++i) {
    if (py::isinstance(stamps[i], generic)) stamps[i] = stamps[i].attr("item")();
  }
  py::object timedelta_types =
      py::make_tuple(twpy::import("pandas", "Timedelta"), twpy::import("datetime", "timedelta"));
  py::list diffs;
  for (size_t i = 1; i < stamps.size(); ++i) {
    py::object d = stamps[i] - stamps[i - 1];
    if (py::isinstance(d, timedelta_types)) d = d.attr("total_seconds")();
    diffs.append(d);
  }
  py::object statistics = twpy::import("statistics");
  if (diffs.size() < 2) {
    // statistics.stdev would refuse it too; say what it means for the split.
    PyErr_SetString(statistics.attr("StatisticsError").ptr(),
                    ("timestamp_column: the regularity of the timestamps needs at least three "
                     "rows, the dataset has " +
                     std::to_string(stamps.size()))
                        .c_str());
    throw py::error_already_set();
  }
  mean = statistics.attr("mean")(diffs);
  stdev = statistics.attr("stdev")(diffs);
}

// Mean and standard deviation of the spacings from the raw numbers, when the column has a plain
// numeric or naive datetime dtype and every spacing is finite and exactly representable.
bool spacing_fast(py::object ordered, tarn::spacing::Stats& stats) {
  py::object np = mod_attr("np");
  py::object dtype = ordered.attr("dtype");
  if (!py::isinstance(dtype, np.attr("dtype"))) return false;  // extension dtypes
  const std::string kind = py::str(dtype.attr("kind"));
  const auto itemsize = dtype.attr("itemsize").cast<int>();
  if (kind == "M") {
    py::tuple info = np.attr("datetime_data")(dtype);
    const std::string unit = py::str(info[0]);
    const auto count = info[1].cast<int64_t>();
    double per_second;
    if (unit == "s")
      per_second = 1;
    else if (unit == "ms")
      per_second = 1e3;
    else if (unit == "us")
      per_second = 1e6;
    else if (unit == "ns")
      per_second = 1e9;
    else
      return false;
    if (count != 1) return false;
    auto raw = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
        ordered.attr("to_numpy")().attr("view")("int64"));
    if (!raw) return false;
    return tarn::spacing::of_ticks(raw.data(), static_cast<size_t>(raw.shape(0)), per_second,
                                   &stats);
  }
  if (kind == "i" || (kind == "u" && itemsize <= 4)) {
    auto raw = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
        ordered.attr("to_numpy")());
    if (!raw) return false;
    return tarn::spacing::of_integers(raw.data(), static_cast<size_t>(raw.shape(0)), &stats);
  }
  if (kind == "f") {
    auto raw = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        ordered.attr("to_numpy")());
    if (!raw) return false;
    return tarn::spacing::of_reals(raw.data(), static_cast<size_t>(raw.shape(0)), &stats);
  }
  return false;  // statistics decides, or raises its own error
}

void check_regularity(py::object ordered) {
  tarn::spacing::Stats stats;
  if (spacing_fast(ordered, stats)) {
    // Clear-cut cases only; values near a decision are settled exactly below.
    const tarn::spacing::Regularity verdict = tarn::spacing::regularity(stats);
    if (verdict != tarn::spacing::Regularity::undecided) {
      if (verdict == tarn::spacing::Regularity::irregular) {
        twpy::print(contracts::message(mod_attr("Messages"), "TIDEWELLTSLIBS0004W"));
      }
      return;
    }
  }
  py::object mean, stdev;
  spacing_exact(ordered, mean, stdev);
  if (eq(mean, py::int_(0))) fail("TIDEWELLTSLIBS0071E");
  py::object cv = py::float_(100.0) * stdev / mean;
  if (py::bool_(cv > py::float_(tarn::spacing::kMaxVariationPercent))) {
    twpy::print(contracts::message(mod_attr("Messages"), "TIDEWELLTSLIBS0004W"));
  }
}

// A column index the frame does not have: IndexError naming the setting (as pandas would
// raise it, with a text that says which setting and how many columns there are).
void check_column_index(py::handle index, const py::list& names, const char* setting) {
  if (!is_integer(index)) return;
  const py::int_ n(py::len(names));
  py::object i = py::reinterpret_borrow<py::object>(index);
  if (py::bool_(i >= n) || py::bool_(i < -n)) {
    twpy::raise(PyExc_IndexError, std::string(setting) + ": column " +
                                      py::str(i).cast<std::string>() + " is outside the " +
                                      std::to_string(py::len(names)) + " columns of the dataset");
  }
}

// A missing timestamp (NaN, NaT, None) cannot be placed in time: named with its row position.
void check_no_missing_timestamp(py::object column, py::handle time_col) {
  py::array missing = mod_attr("np").attr("asarray")(column.attr("isna")(), "bool");
  auto flags = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(missing);
  if (!flags) throw py::error_already_set();
  const bool* f = flags.data();
  for (py::ssize_t r = 0; r < flags.size(); ++r) {
    if (f[r]) fail("TIDEWELLTSLIBS0093E", time_col, r);
  }
}

// A target column without a single number gives a split that nothing can be trained on.
void check_target_has_values(py::handle X, py::ssize_t column, py::handle name) {
  auto a = py::array_t<double, py::array::forcecast>::ensure(X);
  if (!a) throw py::error_already_set();
  if (a.ndim() != 2) return;
  auto v = a.unchecked<2>();
  for (py::ssize_t r = 0; r < v.shape(0); ++r) {
    if (!std::isnan(v(r, column))) return;
  }
  fail("TIDEWELLTSLIBS0092E", name, v.shape(0));
}

// ---------------------------------------------------------------------------------------------
// The split

py::tuple make_holdout_split(py::object dataset, py::object target_columns,
                             py::object learning_type, py::object test_size,
                             py::object feature_columns, py::object timestamp_column,
                             py::object lookback_window, py::object return_only_holdout) {
  if (!learning_type.is_none() && !py::isinstance<py::str>(learning_type)) {
    twpy::raise(PyExc_TypeError,
                "learning_type must be a str or None, not " +
                    py::str(py::type::of(learning_type).attr("__name__")).cast<std::string>());
  }
  if (dataset.is_none()) fail("TIDEWELLTSLIBS0069E");
  if (!eq(learning_type, py::str("forecasting"))) fail("TIDEWELLTSLIBS0068E", learning_type);

  py::object np = mod_attr("np");
  py::object pd = mod_attr("pd");
  if (!py::isinstance(dataset, pd.attr("DataFrame"))) {
    py::object type = py::type::of(dataset);
    const std::string module = py::str(type.attr("__module__"));
    const std::string name = py::str(type.attr("__qualname__"));
    twpy::raise(PyExc_TypeError,
                contracts::message(mod_attr("Messages"), "TIDEWELLTSLIBS0094E",
                                   module == "builtins" ? name : module + "." + name));
  }
  const py::int_ n(py::len(dataset));
  const std::string kind = py::str(np.attr("asarray")(test_size).attr("dtype").attr("kind"));
  const py::int_ zero(0);
  if ((kind == "i" && (py::bool_(test_size >= n) || py::bool_(test_size <= zero))) ||
      (kind == "f" && !(py::bool_(test_size > zero) && py::bool_(test_size < py::int_(1))))) {
    fail("TIDEWELLTSLIBS0070E", test_size, n);
  }
  py::object holdout =
      kind == "f" ? py::object(twpy::import("builtins", "int")(n * test_size)) : test_size;
  // A fraction too small for the row count rounds down to no holdout row at all.
  if (kind == "f" && eq(holdout, zero)) fail("TIDEWELLTSLIBS0091E", test_size, n);

  // The holdout inputs may reach back into the training part, never past its start.
  py::object train_rows;
  try {
    train_rows = n - holdout;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an unusable holdout size fails where it is used
  }
  if (train_rows && !train_rows.is_none()) {
    const bool integral = is_integer(lookback_window);
    if (!integral || py::bool_(lookback_window < zero) || py::bool_(lookback_window > train_rows)) {
      fail("TIDEWELLTSLIBS0078E", lookback_window, train_rows);
    }
  }

  py::object df = dataset;
  py::list names = df.attr("columns").attr("to_list")();
  py::object columns = df.attr("columns");

  std::vector<py::object> targets = resolve_columns(target_columns, names, "target");
  if (targets.empty()) {
    py::list shown;
    for (auto name : names) shown.append(py::repr(name));
    fail("TIDEWELLTSLIBS0072E",
         py::str("target_columns {!r} names no column of the dataset (columns: {}).")
             .format(target_columns, py::str(", ").attr("join")(shown)));
  }
  std::vector<py::object> features = resolve_columns(feature_columns, names, "feature");

  py::object ts_index = py::int_(-1);
  if (is_integer(timestamp_column)) {
    ts_index = twpy::import("builtins", "int")(timestamp_column);
  } else if (py::isinstance<py::str>(timestamp_column)) {
    if (auto pos = position_of(names, timestamp_column)) {
      ts_index = *pos;
    } else {
      twpy::print(py::str("timestamp_column: {} is invalid").format(timestamp_column));
    }
  } else if (is_float(timestamp_column)) {
    if (std::isfinite(py::float_(timestamp_column).cast<double>())) {
      ts_index = twpy::import("builtins", "int")(timestamp_column);
    } else {
      twpy::print(py::str("timestamp_column: {} is invalid").format(timestamp_column));
    }
  }
  const bool has_time = !eq(ts_index, py::int_(-1));
  if (has_time) check_column_index(ts_index, names, "timestamp_column");
  for (const py::object& i : features) check_column_index(i, names, "feature_columns");
  py::object time_col = has_time ? py::object(columns[ts_index]) : py::object(py::none());

  py::object is_string_dtype = pd.attr("api").attr("types").attr("is_string_dtype");
  py::object is_numeric_dtype = pd.attr("api").attr("types").attr("is_numeric_dtype");
  const py::int_ last_column(py::len(names) - 1);
  for (const py::object& i : targets) {
    if (py::bool_(i < zero) || py::bool_(i > last_column)) {
      // The catalogue text, followed by which position is wrong.
      fail("TIDEWELLTSLIBS0072E", py::str("target_columns: column {} is outside the {} columns "
                                          "of the dataset (positions 0 to {}).")
                                      .format(i, py::len(names), last_column));
    }
    py::object column =
        df.attr("iloc")[py::make_tuple(twpy::import("builtins", "slice")(py::none()), i)];
    if (!py::bool_(is_string_dtype(column.attr("dtype")))) continue;
    py::object converted;
    try {
      converted = text_to_float(column);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      py::object col_name = columns[i];
      fail("TIDEWELLTSLIBS0073E", col_name, py::str(e.value()));
    }
    df.attr("isetitem")(i, converted);
  }

  py::list target_names;
  for (const py::object& i : targets) target_names.append(columns[i]);

  py::object frame = df;
  if (has_time) {
    if (py::bool_(target_names.attr("__contains__")(time_col)))
      fail("TIDEWELLTSLIBS0074E", time_col);
    py::object column =
        df.attr("iloc")[py::make_tuple(twpy::import("builtins", "slice")(py::none()), ts_index)];
    check_no_missing_timestamp(column, time_col);
    const bool numeric = py::bool_(is_numeric_dtype(column.attr("dtype")));
    const bool text = !numeric && py::bool_(is_string_dtype(column.attr("dtype")));
    // Text timestamps of the common ISO form are read first (without touching the frame): when
    // they are all different, so are the texts, and the duplicate search on texts is skipped.
    FastIso fast = text ? fast_iso_column(column) : FastIso{};
    if (!fast.unique) {
      py::object dup =
          df.attr("duplicated")(py::arg("subset") = py::list(py::make_tuple(time_col)));
      if (py::bool_(dup.attr("any")())) fail("TIDEWELLTSLIBS0075E");
    }
    if (!numeric) {
      if (!text) fail("TIDEWELLTSLIBS0077E");
      py::object converted =
          fast.series.is_none() ? convert_timestamps(column, time_col) : fast.series;
      df.attr("isetitem")(ts_index, converted.attr("array"));
    }
    frame = df.attr("sort_values")(py::arg("by") = time_col);
    check_regularity(frame.attr(
        "iloc")[py::make_tuple(twpy::import("builtins", "slice")(py::none()), ts_index)]);
  }

  // The timestamp column is the rows' time, never a feature (the default feature, the last
  // column, is often it): taken as both, the frame held it twice and the rows were scrambled.
  py::list feature_names;
  for (const py::object& i : features) {
    py::object name = columns[i];
    if (has_time && eq(name, time_col)) continue;
    if (py::bool_(feature_names.attr("__contains__")(name))) continue;
    feature_names.append(name);
  }
  py::list data_cols;
  for (auto c : feature_names) data_cols.append(c);
  for (auto c : target_names) {
    if (!py::bool_(data_cols.attr("__contains__")(c))) data_cols.append(c);
  }
  py::list used_cols;
  if (has_time) used_cols.append(time_col);
  for (auto c : data_cols) used_cols.append(c);

  py::object loaded_data = frame[used_cols];
  py::object builtins_float = twpy::import("builtins", "float");
  const py::int_ width(py::len(data_cols));
  py::object X = loaded_data[data_cols]
                     .attr("to_numpy")()
                     .attr("astype")(builtins_float)
                     .attr("reshape")(-1, width);
  py::object y = loaded_data[data_cols]
                     .attr("to_numpy")()
                     .attr("astype")(builtins_float)
                     .attr("reshape")(-1, width);

  for (auto c : target_names) {
    check_target_has_values(X, data_cols.attr("index")(c).cast<py::ssize_t>(), c);
  }

  py::object rows = X.attr("shape")[py::int_(0)];
  py::object t = rows - holdout;
  py::object slice = twpy::import("builtins", "slice");
  py::object start = t - lookback_window;
  py::object X_test = X[slice(start, py::none())];
  py::object y_test = y[slice(t, py::none())];
  py::object arange = np.attr("arange");
  py::object X_test_indices = arange(start, rows);
  py::object y_test_indices = arange(t, rows);
  if (py::bool_(return_only_holdout))
    return py::make_tuple(X_test, y_test, X_test_indices, y_test_indices);
  py::object X_train = X[slice(0, t)];
  py::object y_train = y[slice(0, t)];
  py::object train_indices = arange(0, t);
  return py::make_tuple(X_train, X_test, y_train, y_test, train_indices, X_test_indices,
                        arange(0, t), y_test_indices);
}

}  // namespace

PYBIND11_MODULE(splitkit, m) {
  self_module() = m;
  py::object typing = twpy::import("typing");
  for (const char* name : {"Dict", "Tuple", "Union", "List", "Optional"})
    m.attr(name) = typing.attr(name);
  m.attr("Messages") = contracts::messages_class();
  m.attr("pd") = twpy::import("pandas");
  m.attr("np") = twpy::import("numpy");
  m.attr("array") = twpy::import("numpy", "array");
  m.attr("logging") = twpy::import("logging");
  m.attr("tslogger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

  twpy::def_function(
      m, "make_holdout_split",
      [](py::object dataset, py::object target_columns, py::object learning_type,
         py::object test_size, py::object feature_columns, py::object timestamp_column,
         py::object lookback_window, py::object return_only_holdout) {
        return make_holdout_split(dataset, target_columns, learning_type, test_size,
                                  feature_columns, timestamp_column, lookback_window,
                                  return_only_holdout);
      },
      py::arg("dataset"), py::arg("target_columns"), py::arg("learning_type") = "forecasting",
      py::arg("test_size") = 20, py::arg("feature_columns") = -1, py::arg("timestamp_column") = -1,
      py::arg("lookback_window") = 0, py::arg("return_only_holdout") = false,
      "Splits a data frame of time series into training and holdout arrays.\n\n"
      "Returns X_train, X_test, y_train, y_test and their row indexes, or with "
      "return_only_holdout X_test, y_test and their indexes. X_test also holds the lookback_window "
      "training rows before the holdout. Text target and timestamp columns are converted in the "
      "given frame. The dataset must be a DataFrame; a test_size fraction must leave at least "
      "one holdout row; every timestamp must be present and every target column must hold at "
      "least one value.");
}
