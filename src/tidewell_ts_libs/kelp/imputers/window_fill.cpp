// Two ready-made configurations of the flattened-window imputer: FlattenIterativeImputer (the
// chained iterative imputer on the windows) and FlattenKNNImputer (nearest-neighbour imputation on
// the windows). Their default base and model imputers are created once, with the class, and
// shared by every object built without those arguments; the base class fits clones of them.
#include "pyclass.hpp"

namespace py = pybind11;

namespace {

const char* const kIterativeDoc =
    "\n"
    "    Flatten Iterative Imputer.\n"
    "    Parameters:\n"
    "        time_column (int): time column.\n"
    "        missing_values (obj): missing value to be imputed.\n"
    "        enable_fillna (boolean): fill the backword and forward.\n"
    "        order (int): lookback window.\n"
    "        base_imputer(obj): base imputer object.\n"
    "        model_imputer(obj): model imputer object.\n"
    "    ";

const char* const kKNNDoc =
    "\n"
    "    Flatten KNNImputer.\n"
    "    Parameters:\n"
    "        time_column (int): time column.\n"
    "        missing_values (obj): missing value to be imputed.\n"
    "        enable_fillna (boolean): fill the backword and forward.\n"
    "        order (int): lookback window.\n"
    "        base_imputer(obj): base imputer object.\n"
    "        model_imputer(obj): model imputer object.\n"
    "    ";

void init(py::object self, py::object time_column, py::object missing_values,
          py::object enable_fillna, py::object order, py::object base_imputer,
          py::object model_imputer) {
  py::object flatten = twpy::import("tidewell_ts_libs.kelp.imputers.window_fill", "FlattenImputer");
  flatten.attr("__init__")(
      self, py::arg("time_column") = time_column, py::arg("missing_values") = missing_values,
      py::arg("enable_fillna") = enable_fillna, py::arg("order") = order,
      py::arg("base_imputer") = base_imputer, py::arg("model_imputer") = model_imputer);
}

void define(py::module_ m, const char* name, const char* doc, py::object model_default) {
  twpy::ClassBuilder cls(m, name, twpy::bases_of({m.attr("FlattenImputer")}), doc);
  cls.init(&init, py::arg("time_column") = -1, py::arg("missing_values") = m.attr("np").attr("nan"),
           py::arg("enable_fillna") = true, py::arg("order") = -1,
           py::arg("base_imputer") = m.attr("PreMLImputer")(),
           py::arg("model_imputer") = model_default);
  cls.finalize();
}

}  // namespace

PYBIND11_MODULE(window_fill, m) {
  m.attr("check_array") = twpy::import("sklearn.utils.validation", "check_array");
  m.attr("SimpleImputer") = twpy::import("sklearn.impute", "SimpleImputer");
  m.attr("_BaseImputer") = twpy::import("sklearn.impute._base", "_BaseImputer");
  m.attr("clone") = twpy::import("sklearn.base", "clone");
  m.attr("np") = twpy::import("numpy");
  m.attr("RandomForestRegressor") = twpy::import("sklearn.ensemble", "RandomForestRegressor");
  m.attr("TSImputer") = twpy::import("tidewell_ts_libs.kelp.imputers.base", "TSImputer");
  m.attr("FlattenImputer") = twpy::import("tidewell_ts_libs.kelp.imputers.base", "FlattenImputer");
  // Makes scikit-learn's IterativeImputer importable before the chained imputer loads.
  py::module_::import("sklearn.experimental.enable_iterative_imputer");
  m.attr("enable_iterative_imputer") =
      twpy::import("sklearn.experimental", "enable_iterative_imputer");
  m.attr("PreMLImputer") =
      twpy::import("tidewell_ts_libs.kelp.imputers.interpolators", "PreMLImputer");
  m.attr("KNNImputer") = twpy::import("sklearn.impute", "KNNImputer");
  m.attr("ChainedFill") =
      twpy::import("tidewell_ts_libs.kelp.imputers.chained_fill", "ChainedFill");

  define(m, "FlattenIterativeImputer", kIterativeDoc, m.attr("ChainedFill")());
  define(m, "FlattenKNNImputer", kKNNDoc, m.attr("KNNImputer")());
}
