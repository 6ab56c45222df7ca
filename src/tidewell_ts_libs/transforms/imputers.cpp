// The imputer catalogue: seventeen named imputers with one parameter vocabulary (`ts_icol_loc`
// for the time column, `missing_val_identifier` for the missing-value marker), and
// TidewellTSImputer, which builds the default candidate list, filters it and names its members.
//
// Each catalogue class only forwards its parameters to the constructor of the imputer it derives
// from, under that constructor's keywords. Default estimator objects (the pre-filling imputer,
// the model imputers, the regression model) are created once, when the class is defined, and
// shared by every object built without them; the base classes fit clones of them.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "pyclass.hpp"

namespace py = pybind11;

namespace {

template <std::size_t>
using Obj = py::object;

// How a catalogue constructor calls its base: fixed leading keywords, then one keyword per
// constructor parameter (in parameter order), then, for the classes with a kelp base, the two
// catalogue attributes.
struct Forward {
  std::string class_name;
  std::vector<std::pair<std::string, std::string>> fixed;  // keyword, string value
  std::vector<std::string> keywords;
  bool sets_catalogue_attrs;
};

template <std::size_t... I>
auto make_init(py::module_ m, Forward layout, std::index_sequence<I...>) {
  return [m, layout](py::object self, Obj<I>... args) {
    std::array<py::object, sizeof...(I)> values{args...};
    py::dict kwargs;
    for (const auto& [key, value] : layout.fixed) kwargs[py::str(key)] = py::str(value);
    for (std::size_t i = 0; i < values.size(); ++i) kwargs[py::str(layout.keywords[i])] = values[i];
    py::object cls = m.attr(layout.class_name.c_str());
    py::object base = cls.attr("__bases__")[py::int_(0)];
    base.attr("__init__")(self, **kwargs);
    if (layout.sets_catalogue_attrs) {
      self.attr("ts_icol_loc") = values[0];
      self.attr("missing_val_identifier") = values[1];
    }
  };
}

// set_params of a catalogue class: its time column and missing-value marker are also its base's
// `time_column` and `missing_values`, which the base reads when it fits and transforms.
py::object catalogue_set_params(py::object self, py::kwargs params) {
  // A nested setting (base_imputer__order=...) of a default sub-estimator, which every object
  // built without one shares, goes to a copy of it: in place it changed every such imputer.
  py::object defaults = twpy::import("inspect", "signature")(py::type::of(self)).attr("parameters");
  for (auto item : params) {
    const std::string key = py::str(item.first).cast<std::string>();
    const auto cut = key.find("__");
    if (cut == std::string::npos) continue;
    const py::str name(key.substr(0, cut));
    if (!defaults.contains(name) || !py::hasattr(self, name)) continue;
    py::object current = self.attr(name);
    if (current.is(defaults[name].attr("default"))) {
      self.attr(name) = twpy::import("sklearn.base", "clone")(current);
    }
  }
  twpy::import("sklearn.base", "BaseEstimator").attr("set_params")(self, **params);
  if (params.contains("ts_icol_loc")) self.attr("time_column") = params["ts_icol_loc"];
  if (params.contains("missing_val_identifier")) {
    self.attr("missing_values") = params["missing_val_identifier"];
  }
  return self;
}

constexpr const char* kSetParamsDoc =
    "Sets parameters (scikit-learn's set_params); ts_icol_loc and missing_val_identifier "
    "also set the time column and the missing-value marker the imputer works with.";

template <std::size_t N>
auto make_init(py::module_ m, Forward layout) {
  return make_init(m, std::move(layout), std::make_index_sequence<N>{});
}

py::list default_imputer_list(py::module_ m, py::kwargs kwargs) {
  py::dict parameters;
  for (auto item : kwargs) parameters[item.first] = item.second;
  py::dict fill_parameters = twpy::import("copy", "deepcopy")(parameters);
  for (const char* key : {"imputer_fill_type", "imputer_fill_value"}) {
    if (parameters.contains(key)) PyDict_DelItemString(parameters.ptr(), key);
  }
  py::list out;
  out.append(m.attr("previous")(**parameters));
  out.append(m.attr("fill")(**fill_parameters));
  out.append(m.attr("next")(**parameters));
  for (const char* key : {"ts_ocol_loc", "default_value"}) {
    if (parameters.contains(key)) PyDict_DelItemString(parameters.ptr(), key);
  }
  for (const char* name : {"pca", "kernel_pca", "truncated_svd", "incremental_pca",
                           "flatten_iterative", "flatten_knn", "predictive", "polynomial", "spline",
                           "cubic", "akima", "linear", "barycentric", "quadratic"}) {
    out.append(m.attr(name)(**parameters));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(imputers, m) {
  const char* kelp = "tidewell_ts_libs.kelp.imputers.";
  auto from = [&](const std::string& module, const char* name) {
    m.attr(name) = twpy::import(module.c_str(), name);
  };
  from(std::string(kelp) + "predictive_imputer", "PredictiveImputer");
  from(std::string(kelp) + "interpolators", "PreMLImputer");
  from("tidewell_ts_libs.quillcast.quillcast_interpolator", "QuillcastInterpolator");
  for (const char* n : {"PCAImputer", "KernelPCAImputer", "TruncatedSVDImputer", "NMFImputer",
                        "IncrementalPCAImputer"}) {
    from(std::string(kelp) + "decomposition_imputers", n);
  }
  from(std::string(kelp) + "window_fill", "FlattenIterativeImputer");
  from(std::string(kelp) + "window_fill", "FlattenKNNImputer");
  for (const char* n : {"PolynomialImputer", "SplineImputer", "CubicImputer", "QuadraticImputer",
                        "AkimaImputer", "LinearImputer", "BaryCentricImputer", "PreMLImputer"}) {
    from(std::string(kelp) + "interpolators", n);
  }
  from("sklearn.ensemble", "RandomForestRegressor");
  from("sklearn.impute", "KNNImputer");
  from(std::string(kelp) + "chained_fill", "ChainedFill");
  m.attr("np") = twpy::import("numpy");
  m.attr("List") = twpy::import("typing", "List");
  m.attr("copy") = twpy::import("copy");

  py::dict display;
  for (const auto& [key, value] : std::vector<std::pair<const char*, const char*>>{
           {"previous", "Previous"},
           {"fill", "Fill"},
           {"next", "Next"},
           {"flatten_iterative", "FlattenIterative"},
           {"cubic", "Cubic"},
           {"linear", "Linear"},
           {"kernel_pca", "KernelPCA"},
           {"pca", "PCA"},
           {"truncated_svd", "TruncatedSVD"},
           {"incremental_pca", "IncrementalPCA"},
           {"flatten_knn", "FlattenKNN"},
           {"akima", "Akima"},
           {"barycentric", "Barycentric"},
           {"polynomial", "Polynomial"},
           {"predictive", "Predictive"},
           {"quadratic", "Quadratic"},
           {"spline", "Spline"},
       }) {
    display[key] = value;
  }
  m.attr("IMPUTER_DISPLAY_NAMES") = display;

  {
    twpy::ClassBuilder cls(
        m, "TidewellTSImputer", py::tuple(),
        "Default list of candidate imputers, filtering by class name, display names.");
    cls.def_static(
        "get_default_imputer_list",
        [m](py::kwargs kwargs) { return default_imputer_list(m, kwargs); },
        "One new object of every catalogue imputer, built with the given settings; the fill "
        "settings\n"
        "reach only `fill`, ts_ocol_loc and default_value only previous, fill and next.");
    cls.def_static(
        "filtered_imputer_list",
        [](py::object available_imputers, py::object valid_imputers) {
          py::list out;
          for (auto item : available_imputers) {
            py::object name = item.attr("__class__").attr("__name__");
            if (valid_imputers.contains(name)) out.append(item);
          }
          return out;
        },
        py::arg("available_imputers"), py::arg("valid_imputers"),
        "The imputers whose class name is in valid_imputers, in their own order.");
    cls.def_static(
        "get_display_name",
        [m](py::object imputer) -> py::object {
          return m.attr("IMPUTER_DISPLAY_NAMES")[imputer.attr("__class__").attr("__name__")];
        },
        py::arg("imputer"), "Display name of an imputer object.");
    cls.def_static(
        "get_imputer_name",
        [](py::object imputer) -> py::object {
          py::object name = imputer.attr("__class__").attr("__name__");
          return name + py::str("_imputer");
        },
        py::arg("imputer"), "Class name of the imputer followed by \"_imputer\".");
    cls.finalize();
  }

  py::object nan = m.attr("np").attr("nan");
  auto bases = [&](const char* name) { return twpy::bases_of({m.attr(name)}); };

  // The three engine interpolators.
  const std::vector<std::string> engine_keys{"append_tranform", "ts_icol_loc", "ts_ocol_loc",
                                             "missing_val_identifier", "default_value"};
  {
    twpy::ClassBuilder cls(m, "previous", bases("QuillcastInterpolator"));
    cls.init(
        make_init<5>(m, Forward{"previous", {{"interpolator_type", "prev"}}, engine_keys, false}),
        py::arg("append_tranform") = false, py::arg("ts_icol_loc") = -1,
        py::arg("ts_ocol_loc") = -1, py::arg("missing_val_identifier") = nan,
        py::arg("default_value") = 0.0);
    cls.finalize();
  }
  {
    auto keys = engine_keys;
    keys.push_back("imputer_fill_type");
    keys.push_back("imputer_fill_value");
    twpy::ClassBuilder cls(m, "fill", bases("QuillcastInterpolator"));
    cls.init(make_init<7>(m, Forward{"fill", {{"interpolator_type", "fill"}}, keys, false}),
             py::arg("append_tranform") = false, py::arg("ts_icol_loc") = -1,
             py::arg("ts_ocol_loc") = -1, py::arg("missing_val_identifier") = nan,
             py::arg("default_value") = 0.0, py::arg("imputer_fill_type") = "value",
             py::arg("imputer_fill_value") = 0.0);
    cls.finalize();
  }
  {
    twpy::ClassBuilder cls(m, "next", bases("QuillcastInterpolator"));
    cls.init(make_init<5>(m, Forward{"next", {{"interpolator_type", "next"}}, engine_keys, false}),
             py::arg("append_tranform") = false, py::arg("ts_icol_loc") = -1,
             py::arg("ts_ocol_loc") = -1, py::arg("missing_val_identifier") = nan,
             py::arg("default_value") = 0.0);
    cls.finalize();
  }

  // The low-rank imputers.
  const std::vector<std::string> lowrank{"time_column",  "missing_values", "enable_fillna", "order",
                                         "base_imputer", "scaler",         "max_iter",      "tol",
                                         "n_components"};
  auto with = [](std::vector<std::string> keys, std::initializer_list<const char*> more) {
    for (const char* k : more) keys.push_back(k);
    return keys;
  };
  {
    twpy::ClassBuilder cls(m, "pca", bases("PCAImputer"));
    cls.init(
        make_init<12>(
            m, Forward{"pca", {}, with(lowrank, {"whiten", "svd_solver", "random_state"}), true}),
        py::arg("ts_icol_loc") = -1, py::arg("missing_val_identifier") = nan,
        py::arg("enable_fillna") = true, py::arg("order") = 5,
        py::arg("base_imputer") = m.attr("PreMLImputer")(), py::arg("scaler") = py::none(),
        py::arg("max_iter") = 10, py::arg("tol") = 0.001, py::arg("n_components") = 3,
        py::arg("whiten") = false, py::arg("svd_solver") = "auto", py::arg("random_state") = 42);
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }
  {
    twpy::ClassBuilder cls(m, "kernel_pca", bases("KernelPCAImputer"));
    cls.init(make_init<11>(
                 m, Forward{"kernel_pca", {}, with(lowrank, {"kernel", "random_state"}), true}),
             py::arg("ts_icol_loc") = -1, py::arg("missing_val_identifier") = nan,
             py::arg("enable_fillna") = true, py::arg("order") = 5,
             py::arg("base_imputer") = m.attr("PreMLImputer")(), py::arg("scaler") = py::none(),
             py::arg("max_iter") = 10, py::arg("tol") = 0.001, py::arg("n_components") = 3,
             py::arg("kernel") = "linear", py::arg("random_state") = 42);
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }
  {
    twpy::ClassBuilder cls(m, "truncated_svd", bases("TruncatedSVDImputer"));
    cls.init(make_init<10>(m, Forward{"truncated_svd", {}, with(lowrank, {"algorithm"}), true}),
             py::arg("ts_icol_loc") = -1, py::arg("missing_val_identifier") = nan,
             py::arg("enable_fillna") = true, py::arg("order") = 5,
             py::arg("base_imputer") = m.attr("PreMLImputer")(), py::arg("scaler") = py::none(),
             py::arg("max_iter") = 10, py::arg("tol") = 0.001, py::arg("n_components") = 3,
             py::arg("algorithm") = "randomized");
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }
  {
    twpy::ClassBuilder cls(m, "incremental_pca", bases("IncrementalPCAImputer"));
    cls.init(make_init<11>(
                 m, Forward{"incremental_pca", {}, with(lowrank, {"whiten", "batch_size"}), true}),
             py::arg("ts_icol_loc") = -1, py::arg("missing_val_identifier") = nan,
             py::arg("enable_fillna") = true, py::arg("order") = 5,
             py::arg("base_imputer") = m.attr("PreMLImputer")(), py::arg("scaler") = py::none(),
             py::arg("max_iter") = 10, py::arg("tol") = 0.001, py::arg("n_components") = 3,
             py::arg("whiten") = false, py::arg("batch_size") = py::none());
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }

  // The flattened-window imputers.
  const std::vector<std::string> flatten{"time_column", "missing_values", "enable_fillna",
                                         "order",       "base_imputer",   "model_imputer"};
  for (const auto& [name, base, model] :
       std::vector<std::tuple<const char*, const char*, const char*>>{
           {"flatten_iterative", "FlattenIterativeImputer", "ChainedFill"},
           {"flatten_knn", "FlattenKNNImputer", "KNNImputer"}}) {
    twpy::ClassBuilder cls(m, name, bases(base));
    cls.init(make_init<6>(m, Forward{name, {}, flatten, true}), py::arg("ts_icol_loc") = -1,
             py::arg("missing_val_identifier") = nan, py::arg("enable_fillna") = true,
             py::arg("order") = 5, py::arg("base_imputer") = m.attr("PreMLImputer")(),
             py::arg("model_imputer") = m.attr(model)());
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }

  {
    twpy::ClassBuilder cls(m, "predictive", bases("PredictiveImputer"));
    cls.init(
        make_init<8>(m, Forward{"predictive",
                                {},
                                {"time_column", "missing_values", "enable_fillna", "order",
                                 "max_iter", "tol", "base_imputer", "base_model"},
                                true}),
        py::arg("ts_icol_loc") = -1, py::arg("missing_val_identifier") = nan,
        py::arg("enable_fillna") = true, py::arg("order") = 5, py::arg("max_iter") = 10,
        py::arg("tol") = 0.001, py::arg("base_imputer") = m.attr("PreMLImputer")(),
        py::arg("base_model") = m.attr("RandomForestRegressor")(
            py::arg("n_estimators") = 10, py::arg("n_jobs") = -1, py::arg("random_state") = 33));
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }

  // The interpolating imputers.
  const std::vector<std::string> ordered{"time_column", "missing_values", "enable_fillna", "order"};
  for (const auto& [name, base, order] : std::vector<std::tuple<const char*, const char*, int>>{
           {"polynomial", "PolynomialImputer", 5}, {"spline", "SplineImputer", 3}}) {
    twpy::ClassBuilder cls(m, name, bases(base));
    cls.init(make_init<4>(m, Forward{name, {}, ordered, true}), py::arg("ts_icol_loc") = -1,
             py::arg("missing_val_identifier") = nan, py::arg("enable_fillna") = true,
             py::arg("order") = order);
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }
  const std::vector<std::string> plain{"time_column", "missing_values", "enable_fillna"};
  for (const auto& [name, base] :
       std::vector<std::pair<const char*, const char*>>{{"cubic", "CubicImputer"},
                                                        {"quadratic", "QuadraticImputer"},
                                                        {"akima", "AkimaImputer"},
                                                        {"linear", "LinearImputer"},
                                                        {"barycentric", "BaryCentricImputer"}}) {
    twpy::ClassBuilder cls(m, name, bases(base));
    cls.init(make_init<3>(m, Forward{name, {}, plain, true}), py::arg("ts_icol_loc") = -1,
             py::arg("missing_val_identifier") = nan, py::arg("enable_fillna") = true);
    cls.def("set_params", &catalogue_set_params, kSetParamsDoc);
    cls.finalize();
  }
}
