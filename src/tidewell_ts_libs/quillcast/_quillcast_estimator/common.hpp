// What the files of QuillcastForecaster's module share: the module's names, Python helpers,
// the session of the trained models, dated rows and blocks of new rows, and the class's methods
// (defined in settings.cpp, training.cpp, prediction.cpp and windows.cpp).
//
// Module-level names (np, pickle, Messages, QuillcastUtils, check_array, ...) are looked up in
// the module's dict when they are used, so they can be replaced (tests monkeypatch them).
#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "../dated_rows.hpp"
#include "../forecaster_settings.hpp"
#include "contracts/engine.hpp"
#include "contracts/messages.hpp"
#include "contracts/model_table.hpp"
#include "pyclass.hpp"
#include "tarn/forecast_loop.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/metrics.hpp"
#include "tarn/regression.hpp"

namespace py = pybind11;

namespace qest {

// Where a log transform given to a trained forecaster waits for its next training from scratch.
inline constexpr const char* kNextLogTransform = "_log_transform_next";

// ---------------------------------------------------------------------------------------------
// Module globals

inline py::object& module_ref() {
  static auto* m = new py::object();  // lives as long as the interpreter
  return *m;
}

// The class's own methods, by name: the engine runs their steps itself unless a subclass or
// the instance replaces them.
inline py::dict& own_methods() {
  static auto* methods = new py::dict();
  return *methods;
}

// An interned Python string of the text `text` (a literal), made once where it is used: attribute
// and dict look-ups with it neither build nor hash a new string.
#define QN(text)                                                         \
  ([]() -> py::handle {                                                  \
    static PyObject* const interned_ = PyUnicode_InternFromString(text); \
    return interned_;                                                    \
  }())

// An interned Python string of `name`, kept per address of the text (names are literals).
inline PyObject* interned(const char* name) {
  static auto* cache = new std::unordered_map<const char*, PyObject*>();  // used under the GIL
  auto it = cache->find(name);
  if (it != cache->end()) return it->second;
  PyObject* s = PyUnicode_InternFromString(name);
  if (!s) throw py::error_already_set();
  cache->emplace(name, s);
  return s;
}

// A module-level name, looked up when it is used; NameError when it was never bound (for
// example after a failed engine import).
inline py::object G(const char* name) {
  // The module's dict is read in place: no attribute look-up and no temporary objects.
  PyObject* d = PyModule_GetDict(module_ref().ptr());
  PyObject* v = d ? PyDict_GetItemWithError(d, interned(name)) : nullptr;
  if (!v && PyErr_Occurred()) throw py::error_already_set();
  if (!v) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(v);
}

// The value of `name` in the instance's own attributes (its __dict__), or a null object.
inline py::object own_attr(py::handle self, const char* name) {
  py::object state = self.attr(QN("__dict__"));
  if (!PyDict_Check(state.ptr())) return {};
  PyObject* v = PyDict_GetItemWithError(state.ptr(), interned(name));
  if (!v && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(v);
}

template <class... Args>
inline std::string msg(const char* id, Args&&... args) {
  return contracts::message(G("Messages"), id, std::forward<Args>(args)...);
}

inline std::string str(py::handle o) {
  return py::str(o).cast<std::string>();
}

inline bool truthy(py::handle o) {
  const int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// `obj == -1` for the location parameters: a list or tuple never is, nor anything whose
// comparison is not a plain truth value.
inline bool is_minus_one(py::handle o) {
  if (PyList_Check(o.ptr()) || PyTuple_Check(o.ptr())) return false;
  if (PyLong_CheckExact(o.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    return overflow == 0 && v == -1;
  }
  py::int_ minus_one(-1);
  PyObject* r = PyObject_RichCompare(o.ptr(), minus_one.ptr(), Py_EQ);
  if (!r) {
    PyErr_Clear();
    return false;
  }
  const int t = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (t < 0) {
    PyErr_Clear();
    return false;
  }
  return t == 1;
}

inline bool py_lt(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_LT);
}
inline bool py_ge(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_GE);
}
inline bool py_gt(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_GT);
}
inline bool py_eq(py::handle a, py::handle b) {
  return twpy::rich_compare(a, b, Py_EQ);
}

inline std::int64_t as_index(py::handle o) {
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(o.ptr()));
  if (!i) throw py::error_already_set();
  return i.cast<std::int64_t>();
}

// The first element of a location given as a list or tuple, else the value itself.
// A location that is not an integer (or a list or tuple starting with one) is refused,
// naming the setting.
inline py::object first_if_list(py::object o, const char* name = "ts_icol_loc") {
  py::object v = o;
  if (PyList_Check(o.ptr()) || PyTuple_Check(o.ptr())) {
    if (py::len(o) == 0) {
      twpy::raise(PyExc_ValueError, std::string(name) +
                                        " must be -1 or a list whose first element is the "
                                        "timestamp column index, got " +
                                        str(py::repr(o)));
    }
    v = o[py::int_(0)];
  }
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    twpy::raise(PyExc_TypeError, std::string(name) +
                                     " must be -1 or a list whose first element is the "
                                     "timestamp column index, got " +
                                     str(py::repr(o)));
  }
  return v;
}

// A coverage below 1 percent is refused: it is almost surely a fraction (0.95 meant as 95%),
// and would give a band next to no wider than the forecast.
inline void refuse_fraction_level(double v, py::handle level) {
  if (v > 0.0 && v < 1.0) {
    twpy::raise(PyExc_ValueError, "level " + str(py::repr(level)) +
                                      " is a fraction, but levels are percentages: give 95 for "
                                      "a 95% interval, not 0.95");
  }
}

inline bool is_exception(py::error_already_set& e) {
  return e.matches(PyExc_Exception);
}

// Re-raises a caught Python exception as Exception carrying its text.
[[noreturn]] inline void reraise_as_exception(py::error_already_set& e) {
  const std::string text = str(e.value());
  twpy::raise(PyExc_Exception, text);
}

// The engine's log transform ln(x + 2) of every value (an array of the values' shape; values
// below -2 give NaN and -2 gives -inf, which the callers handle themselves).
inline py::object log_transform(py::object /*np*/, py::object values) {
  py::array_t<double, py::array::c_style | py::array::forcecast> x(values);
  py::array_t<double> out(x.request().shape);
  const double* src = x.data();
  double* dst = out.mutable_data();
  for (py::ssize_t i = 0, n = x.size(); i < n; ++i) dst[i] = tarn::to_log_scale(src[i]);
  return out;
}

inline std::string class_text(py::handle self) {
  return str(self.attr(QN("__class__")));
}

inline py::object builder(const std::string& name) {
  py::object root = G("tidewell_ts_libs");
  py::object deps = root.attr(QN("deps"));
  py::object tarn = deps.attr(QN("tarn"));
  py::object forecasters = tarn.attr(QN("forecasters"));
  return forecasters.attr(name.c_str());
}

// ---------------------------------------------------------------------------------------------
// Model facts, through the C++ model when it is one of the engine's own

inline bool model_ready(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) return e->is_initialized();
  return truthy(m.attr(QN("is_initialized"))());
}

inline py::object model_last_time(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) return py::int_(e->last_time());
  return m.attr(QN("last_time_updated"));
}

// The spacing of the steps a model forecasts: an engine model's grid step (its mean spacing
// would put forecasts between steps when timestamps were absent from its training rows).
inline py::object model_interval(py::handle m) {
  if (tarn::Model* e = contracts::engine_model(m)) {
    return py::float_(static_cast<double>(e->grid_step()));
  }
  return m.attr(QN("average_interval"));
}

inline py::object last_updated_of(py::handle models) {
  py::object last = py::int_(-1);
  for (auto m : models) {
    if (model_ready(m)) last = model_last_time(m);
  }
  return last;
}

inline py::object get_last_updated(py::object self, py::object inmodle_array) {
  py::object models = inmodle_array.is_none() ? py::object(self.attr(QN("model"))) : inmodle_array;
  return last_updated_of(models);
}

inline py::object get_train_interval(py::object self) {
  py::object interval = py::int_(-1);
  for (auto m : self.attr(QN("model"))) {
    if (model_ready(m)) interval = model_interval(m);
  }
  return interval;
}

inline py::object get_train_size(py::object self) {
  for (auto m : self.attr(QN("model"))) {
    if (model_ready(m)) self.attr(QN("_totalsamples")) = model_last_time(m) + py::int_(1);
  }
  return self.attr(QN("_totalsamples"));
}

// ---------------------------------------------------------------------------------------------
// The forecasting session of the engine

using ModelPtr = std::shared_ptr<tarn::Model>;

// Whether the method `name` is the class's own: neither the instance nor a subclass replaces it.
// The class attribute is read as it stands in the class (or a base): the own methods give
// themselves for a class look-up, and asking their __get__ would cost a call into the binding.
inline bool is_own(py::object self, const char* name) {
  if (own_attr(self, name)) return false;
  PyObject* key = interned(name);
  PyObject* method = _PyType_Lookup(Py_TYPE(self.ptr()), key);  // borrowed; no error set
  PyObject* own = PyDict_GetItemWithError(own_methods().ptr(), key);
  if (!own && PyErr_Occurred()) throw py::error_already_set();
  return own && method == own;
}

// The engine models of the list `models`; false when it is no list or holds anything else.
inline bool engine_ptrs(py::handle models, std::vector<ModelPtr>& out) {
  out.clear();
  if (!PyList_Check(models.ptr())) return false;
  for (auto m : models) {
    if (!contracts::engine_model(m)) return false;
    out.push_back(m.cast<ModelPtr>());
  }
  return true;
}

inline py::list wrap_models(const std::vector<ModelPtr>& models) {
  py::list out;
  for (const auto& m : models) out.append(py::cast(m));
  return out;
}

// probabilistic.cpp: whether the forecaster's `nonnegative` option is on.
bool nonnegative_of(py::object self);

// The session over the trained models, when they are engine models (at least one) and the
// targets fed by new rows (n_features_) are among them.
inline bool trained_session(py::object self, tarn::Forecaster& out) {
  std::vector<ModelPtr> models;
  if (!engine_ptrs(self.attr(QN("model")), models) || models.empty()) return false;
  std::size_t n_update = models.size();
  if (py::object n = own_attr(self, "n_features_")) {
    if (PyBool_Check(n.ptr()) || !PyIndex_Check(n.ptr())) return false;
    const std::int64_t k = as_index(n);
    if (k < 0 || static_cast<std::size_t>(k) > models.size()) return false;
    n_update = static_cast<std::size_t>(k);
  }
  out = tarn::Forecaster(std::move(models), truthy(self.attr(QN("log_transformed"))), n_update);
  out.set_nonnegative(nonnegative_of(self));
  return true;
}

// Whether predict may run on the session: the class's own copying and row feeding, and engine
// models.
inline bool session_predict(py::object self, tarn::Forecaster& session) {
  return is_own(self, "get_models_copy") && is_own(self, "predict_on_history_single") &&
         trained_session(self, session);
}

// check_array's keyword that lets NaN and infinity through; its name depends on the
// scikit-learn version, so it is read from the installed check_array once.
inline const char* finite_keyword() {
  static std::string name;
  if (name.empty()) {
    py::object sig = twpy::import(
        "inspect", "signature")(twpy::import("sklearn.utils.validation", "check_array"));
    py::object params = sig.attr(QN("parameters"));
    name = params.contains("ensure_all_finite") ? "ensure_all_finite" : "force_all_finite";
  }
  return name.c_str();
}

// Whether X is a numpy ndarray itself (not a subclass).
inline bool is_ndarray(py::handle X) {
  // numpy's array type (it lives as long as the interpreter), found on first use. Not in a
  // guarded static: the first array made loads numpy's C API with the GIL released, and a
  // second thread would then take the GIL and wait for the guard while the first waits for the
  // GIL. Threads that meet here first each find the same type.
  static std::atomic<PyTypeObject*> ndarray{nullptr};
  PyTypeObject* type = ndarray.load(std::memory_order_relaxed);
  if (!type) {
    py::array probe;
    type = Py_TYPE(probe.ptr());
    ndarray.store(type, std::memory_order_relaxed);
  }
  return Py_TYPE(X.ptr()) == type;
}

// The column index of a timestamp location (-1, [index] or index), or -1 when it names none.
inline std::int64_t ts_index_of(py::object loc) {
  if (is_minus_one(loc)) return -1;
  py::object col = first_if_list(loc);
  if (!PyIndex_Check(col.ptr()) || PyBool_Check(col.ptr())) return -1;
  return as_index(col);
}

// Dated rows of X with the timestamp location `loc` (the forecaster's own when -1), as a matrix
// on the integer time axis; X unchanged when it carries no dates.
// Whether the forecaster holds trained models (that an updating fit brings up to date).
inline bool has_trained_models(py::object self) {
  py::dict state = self.attr("__dict__");
  if (!state.contains("is_fitted_") || !truthy(state["is_fitted_"])) return false;
  return state.contains("model") && truthy(state["model"]);
}

// New rows as a frame that holds the training frame's columns in another order, or with other
// columns besides: the training columns are taken by label, in the training order, so that each
// reaches its own model (by position, a reordered frame fed one target's values to another's
// model, and an extra column in front fed its values to the first target's).
inline py::object in_training_order(py::object self, py::object X) {
  if (is_ndarray(X) || !py::hasattr(X, "columns") || !py::hasattr(X, "loc")) return X;
  py::dict state = self.attr("__dict__");
  if (!state.contains("_column_names") || !py::isinstance<py::list>(state["_column_names"])) {
    return X;
  }
  py::list names = state["_column_names"];
  py::list given(X.attr("columns"));
  if (py_eq(given, names) || py::len(given) < py::len(names)) return X;
  py::object as_set = twpy::import("builtins", "set");
  py::object given_set = as_set(given);
  if (py::len(as_set(names)) != py::len(names) || py::len(given_set) != py::len(given) ||
      !truthy(as_set(names).attr("issubset")(given_set))) {
    return X;
  }
  return X.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), names)];
}

inline twdates::DatedRows dated_input(py::object self, py::object X, py::object loc, bool fitting) {
  if (X.is_none()) return {};
  // A numpy array of numbers carries no dates (the usual block of new rows: no more work).
  if (is_ndarray(X)) {
    const char kind = py::reinterpret_borrow<py::array>(X).dtype().kind();
    if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') return {};
  }
  if (is_minus_one(loc)) loc = self.attr(QN("ts_icol_loc"));
  return twdates::dated_rows(self, X, ts_index_of(loc), fitting);
}

// scikit-learn's check_array, as the module bound it (the module's name may be replaced).
inline py::object& sklearn_check_array() {
  static auto* fn = new py::object();
  return *fn;
}

// scikit-learn's check_is_fitted, as the module bound it.
inline py::object& sklearn_check_is_fitted() {
  static auto* fn = new py::object();
  return *fn;
}

// check_is_fitted(self, "is_fitted_") with the forecaster's message. With scikit-learn's own
// check, a forecaster holding `is_fitted_` is fitted (the check's own rule) without the call.
inline void check_fitted(py::object self) {
  py::object check = G("check_is_fitted");
  if (check.is(sklearn_check_is_fitted())) {
    const int has = PyObject_HasAttr(self.ptr(), QN("is_fitted_").ptr());
    if (has == 1) return;
  }
  const std::string not_fitted = msg("TIDEWELLTSLIBS0056E");
  try {
    check(self, "is_fitted_", py::arg("msg") = not_fitted);
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    reraise_as_exception(e);
  }
}

// Whether X is what check_array returns unchanged for a numeric matrix: a numpy array itself,
// two-dimensional, neither dimension empty, float64, C-ordered.
inline bool is_plain_matrix(py::handle X) {
  if (!is_ndarray(X)) return false;
  auto a = py::reinterpret_borrow<py::array>(X);
  return a.ndim() == 2 && a.shape(0) > 0 && a.shape(1) > 0 &&
         a.dtype().is(py::dtype::of<double>()) && (a.flags() & py::array::c_style);
}

// check_array(X, accept_sparse=False) for new rows. Rows that are already what it returns (a
// plain matrix, every value finite) are taken as they are while the module's check_array is
// scikit-learn's own: the per-row cost of a prediction is then the engine's, not the validation's.
inline py::object checked_rows(py::object X) {
  py::object check = G("check_array");
  if (check.is(sklearn_check_array()) && is_plain_matrix(X)) {
    auto a = py::reinterpret_borrow<py::array>(X);
    const auto* x = static_cast<const double*>(a.data());
    bool finite = true;
    for (py::ssize_t i = 0, n = a.size(); i < n && finite; ++i) finite = std::isfinite(x[i]);
    if (finite) return X;
  }
  return check(X, py::arg("accept_sparse") = false);
}

// check_array(X, accept_sparse=False, <finite keyword>=False) for training rows. A plain matrix
// is what it returns unchanged, so it is taken as it is while the module's check_array is
// scikit-learn's own: its other checks (sparse matrices, data frames) import scipy.sparse's and
// the data-frame layer's functions, which fitting an array then does not load.
inline py::object checked_training_rows(py::object X) {
  py::object check = G("check_array");
  if (check.is(sklearn_check_array()) && is_plain_matrix(X)) return X;
  py::dict kw;
  // Sparse input is refused with a clear error (the columns are read one by one as series).
  kw["accept_sparse"] = false;
  kw[finite_keyword()] = false;
  return check(X, **kw);
}

// Whether new rows X hold a NaN. Numbers held as objects are read as floats; data that are not
// numbers at all are left to check_array, which reports them.
inline bool has_nan(py::object np, py::object X) {
  if (X.is_none()) return false;
  // A float64 numpy array (the usual block of new rows) is scanned here.
  if (is_ndarray(X)) {
    auto a = py::reinterpret_borrow<py::array>(X);
    if (a.dtype().is(py::dtype::of<double>())) {
      if (a.flags() & py::array::c_style) {
        const auto* x = static_cast<const double*>(a.data());
        for (py::ssize_t i = 0, n = a.size(); i < n; ++i) {
          if (std::isnan(x[i])) return true;
        }
        return false;
      }
      py::array_t<double, py::array::c_style | py::array::forcecast> c(a);
      const double* x = c.data();
      for (py::ssize_t i = 0, n = c.size(); i < n; ++i) {
        if (std::isnan(x[i])) return true;
      }
      return false;
    }
  }
  py::object nan;
  try {
    nan = np.attr(QN("isnan"))(X);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    try {
      nan = np.attr(QN("isnan"))(np.attr(QN("asarray"))(X, py::arg("dtype") = "float64"));
    } catch (py::error_already_set& e2) {
      if (!e2.matches(PyExc_TypeError) && !e2.matches(PyExc_ValueError)) throw;
      return false;
    }
  }
  return py_gt(np.attr(QN("count_nonzero"))(nan), py::int_(0));
}

// New rows as predict and the sliding windows take them: dates placed on the trained time axis
// (X and ts_col_loc replaced by the dated rows), and a NaN refused.
inline void new_rows_input(py::object self, py::object& X, py::object& ts_col_loc) {
  // (Matched by label before the timestamp column is looked for at its trained position.)
  X = in_training_order(self, X);
  twdates::DatedRows dated = dated_input(self, X, ts_col_loc, false);
  if (dated.dated) {
    X = dated.X;
    ts_col_loc = py::int_(dated.ts_col);
  }
  if (has_nan(G("np"), X)) {
    twpy::raise(PyExc_Exception, msg("TIDEWELLTSLIBS0067E"));
  }
}

// Timestamps are whole numbers: a missing or fractional one (which would be cut to an integer
// and then collide with its neighbour) is refused, naming the column and the row.
inline void check_whole_timestamps(py::object column, py::handle ts_col) {
  py::array_t<double, py::array::c_style | py::array::forcecast> t(column);
  const double* x = t.data();
  for (py::ssize_t r = 0, n = t.size(); r < n; ++r) {
    if (std::isfinite(x[r]) && x[r] == std::floor(x[r])) continue;
    twpy::raise(PyExc_ValueError, "timestamp column " + str(ts_col) + ", row " + std::to_string(r) +
                                      ": " + str(py::repr(py::float_(x[r]))) +
                                      " is not a timestamp (timestamps must be whole numbers)");
  }
}

// ---------------------------------------------------------------------------------------------
// Prediction

// The regressor columns the forecaster was trained with (exog_columns_), empty when none.
inline std::vector<std::int64_t> trained_exog(py::object self) {
  std::vector<std::int64_t> out;
  py::object cols = own_attr(self, "exog_columns_");
  if (!cols || cols.is_none()) return out;
  for (auto c : cols) out.push_back(as_index(c));
  return out;
}

// The future regressors of a forecast: rows of k values (row-major).
struct FutureRegressors {
  std::vector<double> values;
  std::size_t rows = 0;
  const double* data() const { return rows ? values.data() : nullptr; }
};

// The value columns of a block of new rows: every column but the timestamp column, in order.
// When the forecaster was trained on chosen target columns and the block is laid out like the
// training matrix (more value columns than targets, every target index among them), the
// target columns are taken, so that each model is fed the series it was trained on.
inline py::list value_columns(py::object self, std::int64_t ncols, std::int64_t ts_col,
                              std::int64_t n_features) {
  // With regressors: the targets, then the regressor columns (laid out as in training).
  const std::vector<std::int64_t> exog = trained_exog(self);
  if (!exog.empty()) {
    for (const std::int64_t c : exog) {
      if (c >= ncols) {
        twpy::raise(PyExc_ValueError, "the new rows have " + std::to_string(ncols) +
                                          " columns: regressor column " + std::to_string(c) +
                                          " (exog_columns) is missing");
      }
    }
    py::list out;
    py::object tci = self.attr(QN("target_column_indices"));
    if (is_minus_one(tci)) {
      for (std::int64_t c = 0; c < ncols; ++c) {
        if (c != ts_col && std::find(exog.begin(), exog.end(), c) == exog.end()) out.append(c);
      }
    } else {
      for (auto i : tci) out.append(as_index(i));
    }
    for (const std::int64_t c : exog) out.append(c);
    return out;
  }
  py::list cols;
  for (std::int64_t c = 0; c < ncols; ++c) {
    if (c != ts_col) cols.append(c);
  }
  py::object tci = self.attr(QN("target_column_indices"));
  const auto n_cols = static_cast<std::int64_t>(py::len(cols));
  if (is_minus_one(tci) || n_cols < n_features) return cols;
  if (!(PyList_Check(tci.ptr()) || PyTuple_Check(tci.ptr()))) return cols;
  py::list chosen;
  for (auto i : tci) {
    if (!PyIndex_Check(i.ptr()) || PyBool_Check(i.ptr())) return cols;
    const std::int64_t c = as_index(i);
    if (c < 0 || c >= ncols || c == ts_col || chosen.contains(py::int_(c))) return cols;
    chosen.append(c);
  }
  // As many value columns as targets: the training layout only when the targets are exactly
  // those columns (in any order); otherwise the columns are the targets themselves, in order.
  if (n_cols == n_features) {
    for (auto c : cols) {
      if (!chosen.contains(c)) return cols;
    }
  }
  return chosen;
}

struct RowBlock {
  py::object X;       // checked rows
  py::object values;  // n_rows x value columns, transformed when the forecaster logs values
  py::object timestamps = py::none();  // timestamp column, or None: generated
  std::int64_t n_rows = 0;
};

// Steps shared by every call that feeds rows: the timestamp layout, the value columns and the
// log transform. The errors are the ones the forecaster reports for a block of new rows.
inline RowBlock prepare_rows(py::object self, py::object X, py::object ts_col_loc,
                             bool transform = true) {
  py::object np = G("np");
  RowBlock b;
  b.X = X;
  std::int64_t ncols = 0;
  if (py::isinstance<py::array>(X) && py::reinterpret_borrow<py::array>(X).ndim() == 2) {
    const auto a = py::reinterpret_borrow<py::array>(X);
    b.n_rows = a.shape(0);
    ncols = a.shape(1);
  } else {
    py::tuple shape = X.attr(QN("shape"));
    b.n_rows = as_index(shape[0]);
    ncols = as_index(shape[1]);
  }
  std::int64_t ts_col = -1;
  std::int64_t n_features = 0;
  if (is_minus_one(ts_col_loc) && is_minus_one(self.attr(QN("ts_icol_loc")))) {
    n_features = as_index(self.attr(QN("n_features_")));
    if (ncols < n_features) {
      twpy::raise(PyExc_ValueError, "X has " + std::to_string(ncols) + " features, but " +
                                        str(py::type::of(self).attr(QN("__name__"))) +
                                        " is expecting " + std::to_string(n_features) +
                                        " features as input.");
    }
  } else {
    const std::int64_t n_values = ncols - 1;
    const bool own = is_minus_one(ts_col_loc);
    py::object col = own ? py::object(self.attr(QN("ts_icol_loc"))) : ts_col_loc;
    col = first_if_list(col, own ? "ts_icol_loc" : "ts_col_loc");
    if (py_lt(col, py::int_(0)) || py_ge(col, py::int_(ncols))) {
      twpy::raise(PyExc_RuntimeError, msg("TIDEWELLTSLIBS0005E", str(col)));
    }
    py::object n_feat = self.attr(QN("n_features_"));
    if (py_lt(py::int_(n_values), n_feat)) {
      twpy::raise(PyExc_RuntimeError,
                  msg("TIDEWELLTSLIBS0006E", std::to_string(n_values), str(n_feat)));
    }
    n_features = as_index(n_feat);
    ts_col = as_index(col);
    b.timestamps = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ts_col)];
    check_whole_timestamps(b.timestamps, col);
  }
  py::object values = X;
  // Without a timestamp column, regressors or chosen targets the values are X itself.
  const bool plain = ts_col < 0 && trained_exog(self).empty() &&
                     is_minus_one(self.attr(QN("target_column_indices")));
  if (!plain) {
    py::list cols = value_columns(self, ncols, ts_col, n_features);
    bool in_order = ts_col < 0 && static_cast<std::int64_t>(py::len(cols)) == ncols;
    for (std::int64_t c = 0; in_order && c < ncols; ++c) {
      in_order = as_index(cols[py::int_(c)]) == c;
    }
    if (!in_order) {
      values = X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), cols)];
    }
  }
  if (transform && truthy(self.attr(QN("log_transformed")))) {
    py::object transformed = log_transform(np, values);
    if (!truthy(np.attr(QN("isfinite"))(transformed).attr(QN("all"))())) {
      twpy::raise(PyExc_Warning, msg("TIDEWELLTSLIBS0007E"));
    }
    values = transformed;
  }
  b.values = values;
  return b;
}

inline void print_update_skip(py::handle t_text, py::handle v_text) {
  twpy::print("Skipping Update model, current Timestamp", t_text, "Current Value ", v_text);
}
inline void print_stale(py::handle t_text, py::handle last_text) {
  twpy::print("Skipping Update model, current timestamp is older than previous one.");
  twpy::print("Current Timestamp", t_text, "Previous Timestamp was ", last_text);
}

inline py::object element(py::handle array, std::int64_t r) {
  return array[py::int_(r)];
}
inline py::object element(py::handle array, std::int64_t r, std::int64_t c) {
  return array[py::make_tuple(r, c)];
}

// Feeds the rows of `b` to `models` through the models' Python operations.
inline void feed_rows_python(py::object self, py::object models, const RowBlock& b,
                             std::int64_t n_features) {
  py::object last = get_last_updated(self, models);
  py::object start = last;
  for (std::int64_t r = 0; r < b.n_rows; ++r) {
    py::object t =
        b.timestamps.is_none() ? py::object(start + py::int_(r + 1)) : element(b.timestamps, r);
    if (py_lt(last, t)) {
      for (std::int64_t c = 0; c < n_features; ++c) {
        py::object m = models[py::int_(c)];
        py::object v = element(b.values, r, c);
        try {
          m.attr(QN("update_model"))(py::int_(t), py::float_(v));
        } catch (py::error_already_set& e) {
          if (!is_exception(e)) throw;
          print_update_skip(py::str(t), py::str(v));
        }
      }
      last = t;
    } else {
      print_stale(py::str(t), py::str(last));
    }
  }
}

inline py::object forecast_python(py::object self, py::object models, std::int64_t horizon) {
  double time = py::float_(get_last_updated(self, models)).cast<double>();
  const double interval = py::float_(get_train_interval(self)).cast<double>();
  py::list rows;
  for (std::int64_t k = 0; k < horizon; ++k) {
    time += interval;
    py::list row;
    for (auto m : models) row.append(m.attr(QN("forecast_at"))(time));
    rows.append(row);
  }
  return rows;
}

inline py::object inverse_transform(py::object self, py::object rows) {
  py::object np = G("np");
  if (!truthy(self.attr(QN("log_transformed")))) return np.attr(QN("asarray"))(rows);
  // The engine's e^y - 2 of every forecast y.
  py::array_t<double, py::array::c_style | py::array::forcecast> y(
      np.attr(QN("asarray"))(rows, py::arg("dtype") = "float64"));
  py::array_t<double> out(y.request().shape);
  const double* src = y.data();
  double* dst = out.mutable_data();
  for (py::ssize_t i = 0, n = y.size(); i < n; ++i) dst[i] = tarn::from_log_scale(src[i]);
  return out;
}

// Farthest forecast horizon (steps) the forecaster accepts; a longer one is refused before
// anything is allocated.
constexpr std::int64_t kMaxHorizon = 1000000;
// Most rows a sliding-window forecast returns (blocks times horizon).
constexpr std::int64_t kMaxSlidingRows = 50000000;

// A horizon as an integer: TypeError for anything but an integer, ValueError when negative or
// above the limit.
inline std::int64_t checked_horizon(py::handle h) {
  if (!PyIndex_Check(h.ptr())) {
    twpy::raise(PyExc_TypeError, "prediction_horizon must be an integer, got " + str(py::repr(h)) +
                                     " of type " + Py_TYPE(h.ptr())->tp_name);
  }
  if (PyLong_CheckExact(h.ptr())) {
    // The usual case, a plain int within the limits, without temporary objects.
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow == 0 && v >= 0 && v <= kMaxHorizon) return static_cast<std::int64_t>(v);
  }
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
  if (!i) throw py::error_already_set();
  if (py_gt(i, py::int_(kMaxHorizon))) {
    twpy::raise(PyExc_ValueError, "prediction_horizon of " + str(i) +
                                      " steps is above the limit of " +
                                      std::to_string(kMaxHorizon) + " steps");
  }
  if (py_lt(i, py::int_(0))) {
    twpy::raise(PyExc_ValueError,
                "prediction_horizon must not be negative, got " + str(i) +
                    " (-1 as the argument of a prediction means the forecaster's own)");
  }
  return i.cast<std::int64_t>();
}

inline std::int64_t effective_horizon(py::object self, py::object prediction_horizon) {
  if (is_minus_one(prediction_horizon)) return checked_horizon(self.attr(QN("prediction_horizon")));
  return checked_horizon(prediction_horizon);
}

// The engine models behind `models` when the C++ loop may drive them: a list of the engine's
// own models, at least `n_update` of them, none shared with the trained models (whose
// sampling interval the forecasts use).
// `keep` receives the model objects themselves, so they stay alive while the loop runs without
// the GIL whatever happens to the list meanwhile.
inline bool engine_models(py::object self, py::object models, std::size_t n_update,
                          std::vector<tarn::Model*>& out, py::list& keep) {
  if (!PyList_Check(models.ptr())) return false;
  out.clear();
  keep = py::reinterpret_steal<py::list>(PySequence_List(models.ptr()));
  if (!keep) throw py::error_already_set();
  for (auto m : keep) {
    tarn::Model* e = contracts::engine_model(m);
    if (!e) return false;
    out.push_back(e);
  }
  if (out.size() < n_update) return false;
  for (auto m : self.attr(QN("model"))) {
    if (tarn::Model* e = contracts::engine_model(m)) {
      for (tarn::Model* o : out) {
        if (o == e) return false;
      }
    }
  }
  return true;
}

// Prints what the C++ loop recorded, in order. `logged`: the rows of b are on the data's scale
// and the models took their logarithms (which the line of a refused update shows).
inline void print_skips(const tarn::LoopOutput& out, const RowBlock& b, bool logged = false) {
  for (const auto& s : out.skips) {
    const std::int64_t r = s.row;
    py::object t_text =
        b.timestamps.is_none() ? py::str(py::int_(s.t_auto)) : py::str(element(b.timestamps, r));
    if (s.kind == tarn::SkipRecord::kUpdateFailed) {
      py::object v = element(b.values, r, s.model);
      if (logged) v = py::float_(tarn::to_log_scale(py::float_(v).cast<double>()));
      print_update_skip(t_text, py::str(v));
    } else {
      py::object last_text = s.last_row >= 0 ? py::str(element(b.timestamps, s.last_row))
                                             : py::str(py::int_(s.last_value));
      print_stale(t_text, last_text);
    }
  }
}

// Re-raises a forecast failure of the C++ loop as the engine binding reports it (regressors
// that ran out: a ValueError saying which).
[[noreturn]] inline void raise_forecast_failure(py::object models, const tarn::LoopOutput& out) {
  if (out.failure.rfind("the regressors of forecast step", 0) == 0) {
    twpy::raise(PyExc_ValueError, out.failure);
  }
  py::object m = models[py::int_(out.failed_model)];
  m.attr(QN("forecast_at"))(out.failed_time);
  twpy::raise(PyExc_RuntimeError, out.failure);
}

inline py::object forecast_array(const std::vector<double>& values, std::size_t rows,
                                 std::size_t cols, std::size_t offset = 0) {
  py::array_t<double> a({rows, cols});
  if (rows > 0 && cols > 0) {
    std::copy(values.begin() + offset, values.begin() + offset + rows * cols, a.mutable_data());
  }
  return a;
}

// Blocks of fewer rows are run with the GIL held: their work is shorter than releasing it.
constexpr std::int64_t kRowsWithoutGil = 16;

// The number of value columns of a block's values (an array, or anything with a shape).
inline std::int64_t value_width(py::handle values) {
  if (py::isinstance<py::array>(values)) {
    const auto a = py::reinterpret_borrow<py::array>(values);
    if (a.ndim() == 2) return a.shape(1);
  }
  return as_index(py::tuple(values.attr(QN("shape")))[1]);
}

// The rows of a block as the session takes them (the first n_rows rows); the arrays stay alive
// with it.
struct SessionRows {
  py::array_t<double, py::array::c_style | py::array::forcecast> values, stamps;
  tarn::Rows rows;
};

// With regressors (n_regressors > 0), the last n_regressors value columns are theirs and
// `future` (when given) holds those of the steps after the rows.
inline SessionRows session_rows(const RowBlock& b, std::int64_t n_rows,
                                std::size_t n_regressors = 0,
                                const FutureRegressors* future = nullptr) {
  SessionRows s;
  s.values = py::array_t<double, py::array::c_style | py::array::forcecast>(b.values);
  s.rows.values = s.values.data();
  s.rows.stride = static_cast<std::size_t>(s.values.shape(1));
  s.rows.n_rows = static_cast<std::size_t>(n_rows);
  if (n_regressors && n_regressors <= s.rows.stride) {
    s.rows.n_regressors = n_regressors;
    s.rows.regressor_column = s.rows.stride - n_regressors;
    if (future) {
      s.rows.future = future->data();
      s.rows.future_rows = future->rows;
    }
  }
  if (!b.timestamps.is_none()) {
    s.stamps = py::array_t<double, py::array::c_style | py::array::forcecast>(b.timestamps);
    s.rows.timestamps = s.stamps.data();
  }
  return s;
}

// ---------------------------------------------------------------------------------------------
// The class's methods

// settings.cpp
std::string class_doc();
void check_algorithm_name(py::handle algorithm);
void init(py::object self, py::object algorithm, py::object ts_icol_loc,
          py::object prediction_horizon, py::object log_transform, py::object lookback_win,
          py::object target_column_indices, py::object debug, py::object exog_columns,
          py::kwargs kwargs);
py::dict get_params(py::object self, py::object deep);
py::object set_params(py::object self, py::kwargs params);
py::str get_model_id(py::object, py::object algorithm_name, py::kwargs params);
py::list get_estimators(py::object, py::object log_transform, py::object target_column_indices,
                        py::object time_column_index, py::object prediction_horizon,
                        py::object lookback_win);
py::dict get_param_dist(py::object, py::object size);
py::object get_models_copy(py::object self, py::object verbose);
py::object get_model(py::object self, py::kwargs kw_args);

// training.cpp
py::object fit(py::object self, py::object X, py::object y, py::object reset_model);

// prediction.cpp
py::object predict_on_history_single(py::object self, py::object X, py::object prediction_horizon,
                                     py::object ts_col_loc);
py::object predict(py::object self, py::object X, py::object prediction_horizon,
                   py::object ts_col_loc, py::object prediction_type, py::object future_exog);
py::object predict_interval(py::object self, py::object X, py::object prediction_horizon,
                            py::object ts_col_loc, py::object level, py::object future_exog);
// The forecast of the trained models (no new rows), with the future regressors when the
// models take them.
py::object forecast_trained(py::object self, py::object prediction_horizon,
                            const FutureRegressors& future);
// The future regressors `future_exog` of a forecast of `horizon` steps (ValueError when they
// are missing, too few, of the wrong width or not finite; when given to a forecaster trained
// without regressors).
FutureRegressors future_regressors(py::object self, py::object future_exog, std::int64_t horizon);

// predict's work: the forecasts, with the models they came from in `used` and the future
// regressors it read in `future_out` (either may be null).
py::object predict_impl(py::object self, py::object X, py::object prediction_horizon,
                        py::object ts_col_loc, py::object prediction_type,
                        std::vector<ModelPtr>* used, py::object future_exog,
                        FutureRegressors* future_out);

// windows.cpp
py::object sliding_window(py::object self, py::object X, py::object prediction_horizon,
                          py::object ts_col_loc, bool multi_step);
py::object score(py::object self, py::object X, py::object y, py::object sample_weight);
py::object forecast_times(py::object self, py::object prediction_horizon);

// probabilistic.cpp
py::object predict_quantiles(py::object self, py::object X, py::object prediction_horizon,
                             py::object quantiles, py::object future_exog);
py::object simulate(py::object self, py::object prediction_horizon, py::object n_paths,
                    py::object random_state);
// With the nonnegative option, the forecasts and bounds of `result` (an array, or tuples and
// dicts of arrays) censored at zero; `result` itself otherwise.
py::object censor_at_zero(py::object self, py::object result);
// ValueError when the nonnegative option is on and target column `c` holds a negative value.
void check_nonnegative_target(py::object self, py::object column, std::int64_t c, py::object names);

// state.cpp
py::object get_state(py::object self);
void set_state(py::object self, py::object state);

// backtest.cpp
py::object cross_validation(py::object self, py::object X, py::object h, py::object n_windows,
                            py::object step, py::object refit, py::object level);

}  // namespace qest
