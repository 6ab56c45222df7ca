// ChainedFill: scikit-learn's IterativeImputer whose fitted sequence of per-feature imputation
// steps is kept, between calls, as a list of plain dicts (new_imputation_sequence_) rather than
// scikit-learn's record type; the records exist only while the base class works with them.
#include "pyclass.hpp"

namespace py = pybind11;

namespace {

// IterativeImputer, enabling scikit-learn's experimental import first when this module is
// loaded on its own.
py::object iterative_imputer() {
  py::module_ impute = py::module_::import("sklearn.impute");
  if (!py::hasattr(impute, "IterativeImputer")) {
    py::module_::import("sklearn.experimental.enable_iterative_imputer");
  }
  return impute.attr("IterativeImputer");
}

py::object base() {
  return twpy::import("tidewell_ts_libs.kelp.imputers.chained_fill", "IterativeImputer");
}

py::object triplet() {
  return twpy::import("tidewell_ts_libs.kelp.imputers.chained_fill", "_ImputerTriplet");
}

void forward_conversion(py::object self) {
  py::object records = self.attr("imputation_sequence_");
  if (py::len(records) > 0) {
    py::list dicts;
    for (auto item : records) dicts.append(item.attr("_asdict")());
    self.attr("new_imputation_sequence_") = dicts;
  }
}

void back_to_original(py::object self) {
  py::object dicts = self.attr("new_imputation_sequence_");
  if (py::len(dicts) > 0) {
    py::object record = triplet();
    py::list records;
    for (auto item : dicts) records.append(record(**py::reinterpret_borrow<py::dict>(item)));
    self.attr("imputation_sequence_") = records;
  }
}

// After a fit the dicts are those of the new fit: an empty list when it built no steps (one
// column, or nothing to iterate), never the steps of an earlier fit on other data. The base
// class's fit runs through fit_transform, which may have converted the steps already.
py::object fitted(py::object self, py::object result) {
  forward_conversion(self);
  self.attr("imputation_sequence_") = py::list();
  return result;
}

py::object fit(py::object self, py::object X, py::object y) {
  self.attr("new_imputation_sequence_") = py::list();
  return fitted(self, base().attr("fit")(self, X, y));
}

py::object transform(py::object self, py::object X) {
  back_to_original(self);
  self.attr("new_imputation_sequence_") = py::list();
  py::object ans;
  try {
    ans = base().attr("transform")(self, X);
  } catch (py::error_already_set&) {
    // Bad input: the fitted steps go back to their dicts before the error reaches the caller.
    forward_conversion(self);
    self.attr("imputation_sequence_") = py::list();
    throw;
  }
  forward_conversion(self);
  self.attr("imputation_sequence_") = py::list();
  return ans;
}

// fit_transformform is the name the service calls; fit_transform, its correct spelling, does
// the same, so that a transform after fit_transform uses the steps just fitted.
py::object fit_transformform(py::object self, py::object X, py::object y) {
  self.attr("new_imputation_sequence_") = py::list();
  return fitted(self, base().attr("fit_transform")(self, X, y));
}

}  // namespace

PYBIND11_MODULE(chained_fill, m) {
  py::object iterative = iterative_imputer();
  m.attr("IterativeImputer") = iterative;
  m.attr("namedtuple") = twpy::import("collections", "namedtuple");
  m.attr("_ImputerTriplet") = twpy::import("sklearn.impute._iterative", "_ImputerTriplet");

  twpy::ClassBuilder cls(
      m, "ChainedFill", twpy::bases_of({iterative}),
      "Iterative imputer (round-robin regression of each feature with missing values on\n"
      "the other features) that keeps its fitted imputation steps as plain dicts in\n"
      "new_imputation_sequence_ between calls.");
  cls.def("_forward_conversion", &forward_conversion, "Imputation records to dicts.");
  cls.def("_back_to_original", &back_to_original, "Dicts to imputation records.");
  cls.def("fit", &fit, py::arg("X"), py::arg("y") = py::none(),
          "Fits the imputer on X; returns the imputer.");
  cls.def("transform", &transform, py::arg("X"),
          "The imputed X, using the fitted imputation steps.");
  cls.def("fit_transformform", &fit_transformform, py::arg("X"), py::arg("y"),
          "Fits the imputer on X and returns the imputed X (fit_transform, correctly spelt, "
          "does the same).");
  cls.def("fit_transform", &fit_transformform, py::arg("X"), py::arg("y") = py::none(),
          "Fits the imputer on X and returns the imputed X; the fitted steps are kept as for "
          "fit, so a following transform uses them. Same as fit_transformform.");
  cls.finalize();
}
