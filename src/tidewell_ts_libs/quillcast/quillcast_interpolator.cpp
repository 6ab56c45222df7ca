// The engine interpolator: a scikit-learn transformer that fills missing values of every value
// column with one of the engine's interpolation methods, along the time axis given by the
// timestamp column (or the row positions when there is none). The timestamp column passes
// through unchanged.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "fill_array.hpp"
#include "pyclass.hpp"
#include "tarn/interpolate.hpp"
#include "tarn/interpolate_methods.hpp"

namespace py = pybind11;

namespace {

const char* const kFillTypes[] = {"value", "mean", "median"};

std::string joined(const char* const* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += (i ? ", " : "") + std::string(names[i]);
  return out;
}

std::string checked_type(py::object self) {
  py::object t = self.attr("interpolator_type");
  if (py::isinstance<py::str>(t)) {
    std::string s = t.cast<std::string>();
    for (const std::string& name : tarn::interp::basic_methods()) {
      if (s == name) return s;
    }
  }
  twpy::raise(PyExc_ValueError, "interpolator_type must be one of " +
                                    tarn::interp::joined_names(tarn::interp::basic_methods()) +
                                    ", got " + std::string(py::repr(t)));
}

std::string checked_fill_type(py::object self) {
  py::object t = self.attr("imputer_fill_type");
  if (py::isinstance<py::str>(t)) {
    std::string s = t.cast<std::string>();
    for (const char* name : kFillTypes) {
      if (s == name) return s;
    }
  }
  twpy::raise(PyExc_ValueError, "imputer_fill_type must be one of " + joined(kFillTypes, 3) +
                                    ", got " + std::string(py::repr(t)));
}

// The data as a new float matrix, validated as scikit-learn validates it: two-dimensional,
// dense, real numbers (NaN marks a missing value), at least one row and one column.
py::array_t<double> checked_matrix(py::object X) {
  py::object check_array = twpy::import("sklearn.utils.validation", "check_array");
  py::object params = twpy::import("inspect", "signature")(check_array).attr("parameters");
  py::dict kw;
  kw["dtype"] = "float64";
  kw["accept_sparse"] = false;
  kw[params.contains("ensure_all_finite") ? "ensure_all_finite" : "force_all_finite"] = "allow-nan";
  return twpy::as_matrix_copy(check_array(X, **kw));
}

// The append setting: append_transform when given, else append_tranform.
bool append_setting(py::object self) {
  py::dict state = self.attr("__dict__");
  if (state.contains("append_transform") && !py::object(state["append_transform"]).is_none()) {
    return py::bool_(state["append_transform"]).cast<bool>();
  }
  return py::bool_(self.attr("append_tranform")).cast<bool>();
}

double as_double(py::object v, const char* what) {
  try {
    return py::float_(v).cast<double>();
  } catch (py::error_already_set&) {
    twpy::raise(PyExc_ValueError,
                std::string(what) + " must be a number, got " + std::string(py::repr(v)));
  }
}

void init(py::object self, py::object interpolator_type, py::object ts_icol_loc,
          py::object ts_ocol_loc, py::object debug, py::object append_tranform,
          py::object missing_val_identifier, py::object default_value, py::object imputer_fill_type,
          py::object imputer_fill_value, py::object append_transform, py::kwargs) {
  // Further settings (a forecasting pipeline hands over all of its own) are accepted and ignored.
  self.attr("interpolator_type") = interpolator_type;
  self.attr("ts_icol_loc") = ts_icol_loc;
  self.attr("ts_ocol_loc") = ts_ocol_loc;
  self.attr("debug") = debug;
  self.attr("append_tranform") = append_tranform;
  self.attr("missing_val_identifier") = missing_val_identifier;
  self.attr("default_value") = default_value;
  self.attr("imputer_fill_type") = imputer_fill_type;
  self.attr("imputer_fill_value") = imputer_fill_value;
  self.attr("append_transform") = append_transform;
}

py::object fit(py::object self, py::object X, py::object /*y*/) {
  const std::string type = checked_type(self);
  const long time_col = twpy::time_column_index(self.attr("ts_icol_loc"));
  const double missing = twpy::missing_marker(self.attr("missing_val_identifier"));
  const double default_value = as_double(self.attr("default_value"), "default_value");
  auto a = checked_matrix(X);
  if (time_col >= a.shape(1)) {
    twpy::raise(PyExc_ValueError, "time column " + std::to_string(time_col) + " is outside the " +
                                      std::to_string(a.shape(1)) + " columns of the data");
  }
  py::object fill_values = py::none();
  if (type == "fill") {
    const std::string how = checked_fill_type(self);
    if (how == "value") {
      double v = as_double(self.attr("imputer_fill_value"), "imputer_fill_value");
      fill_values = py::cast(std::vector<double>(a.shape(1), v));
    } else {
      const auto statistic =
          how == "median" ? tarn::interp::Statistic::median : tarn::interp::Statistic::mean;
      fill_values = py::cast(tarn::interp::column_statistic(
          a.data(), a.shape(0), a.shape(1), time_col, missing, statistic, default_value));
    }
  }
  self.attr("fill_values_") = fill_values;
  self.attr("n_features_in_") = py::int_(a.shape(1));
  self.attr("is_fitted_") = py::bool_(true);
  return self;
}

py::object transform(py::object self, py::object X) {
  twpy::import("sklearn.utils.validation", "check_is_fitted")(self, "is_fitted_");
  const std::string type = checked_type(self);
  const long time_col = twpy::time_column_index(self.attr("ts_icol_loc"));
  const double missing = twpy::missing_marker(self.attr("missing_val_identifier"));
  const double default_value = as_double(self.attr("default_value"), "default_value");
  auto a = checked_matrix(X);
  const long n_features = self.attr("n_features_in_").cast<long>();
  if (a.shape(1) != n_features) {
    twpy::raise(PyExc_ValueError,
                "X has " + std::to_string(a.shape(1)) + " features, but " +
                    py::str(py::type::of(self).attr("__name__")).cast<std::string>() +
                    " is expecting " + std::to_string(n_features) + " features as input.");
  }
  const bool append = append_setting(self);
  py::array_t<double> original;
  if (append) original = twpy::as_matrix_copy(a);

  std::vector<double> per_column;
  if (type == "fill") per_column = self.attr("fill_values_").cast<std::vector<double>>();
  const std::size_t filled =
      twpy::fill_by_method(a, time_col, missing, type, default_value, per_column);
  if (py::bool_(self.attr("debug")).cast<bool>()) {
    twpy::print("QuillcastInterpolator:", type, "filled", filled, "missing values in", a.shape(0),
                "rows x", a.shape(1), "columns");
  }
  if (!append) return std::move(a);
  // Appended form: the data as given, followed by the filled value columns.
  py::object np = twpy::import("numpy");
  py::list value_cols;
  for (long c = 0; c < a.shape(1); ++c) {
    if (c != time_col) value_cols.append(c);
  }
  py::object filled_values = np.attr("take")(a, value_cols, py::arg("axis") = 1);
  return np.attr("hstack")(py::make_tuple(original, filled_values));
}

py::dict get_param_dist(py::object /*cls*/) {
  py::dict out;
  py::list types;
  for (const std::string& t : tarn::interp::basic_methods()) types.append(t);
  out["interpolator_type"] = types;
  return out;
}

}  // namespace

PYBIND11_MODULE(quillcast_interpolator, m) {
  py::object nan = twpy::import("numpy", "nan");
  twpy::ClassBuilder cls(
      m, "QuillcastInterpolator",
      twpy::bases("sklearn.base", "TransformerMixin", "sklearn.base", "BaseEstimator"),
      "Fills missing values with an engine interpolation method along the time axis of the\n"
      "timestamp column (or the row positions when there is none).\n\n"
      "interpolator_type: linear, cubic (natural cubic spline), nearest, prev, next or fill.\n"
      "ts_icol_loc: timestamp column, -1 for none or [index]; it passes through unchanged,\n"
      "and the output keeps the input's column order (ts_ocol_loc is recorded as given).\n"
      "missing_val_identifier: the value that marks a missing entry (NaN always does).\n"
      "default_value: for prev's leading and next's trailing gaps and for columns without\n"
      "any observed value; the other methods carry the nearest value into the ends.\n"
      "imputer_fill_type / imputer_fill_value: for fill, 'value' (the constant), 'mean' or\n"
      "'median' (of each column, learned at fit).\n"
      "append_tranform: return the data as given followed by the filled value columns.\n"
      "append_transform: the same setting, correctly spelt; when it is not None it takes\n"
      "the place of append_tranform.\n"
      "debug: print how many values were filled. Further settings are ignored.");
  cls.init(&init, py::arg("interpolator_type") = "linear", py::arg("ts_icol_loc") = -1,
           py::arg("ts_ocol_loc") = -1, py::arg("debug") = false,
           py::arg("append_tranform") = false, py::arg("missing_val_identifier") = nan,
           py::arg("default_value") = 0.0, py::arg("imputer_fill_type") = "value",
           py::arg("imputer_fill_value") = 0.0, py::arg("append_transform") = py::none());
  cls.def(
      "fit", &fit, py::arg("X"), py::arg("y") = py::none(),
      "Checks the settings and the data; for fill by mean or median, learns each column's value.");
  cls.def("transform", &transform, py::arg("X"),
          "The data with every missing value filled (a new float array).");
  cls.def("__sklearn_tags__", [m](py::object self) {
    // An imputer takes missing values as input.
    py::object cls = m.attr("QuillcastInterpolator");
    py::object tags = twpy::import("builtins", "super")(cls, self).attr("__sklearn_tags__")();
    tags.attr("input_tags").attr("allow_nan") = true;
    return tags;
  });
  cls.def_classmethod("get_param_dist", &get_param_dist,
                      "Parameter distributions for a hyper-parameter search.");
  cls.finalize();
}
