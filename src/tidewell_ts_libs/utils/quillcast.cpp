// The engine catalogue: names of the engine's forecasters, interpolators and transforms as
// string constants, and the naming of the files that hold a saved pipeline's engine models.
#include <algorithm>
#include <string>
#include <vector>

#include "pyclass.hpp"
#include "tarn/interpolate_methods.hpp"
#include "tarn/model_table.hpp"

namespace py = pybind11;

namespace {

const char* const kFilenameAppend = "_QCSAVEDM";

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string remove_all(std::string s, const std::string& part) {
  for (auto pos = s.find(part); pos != std::string::npos; pos = s.find(part, pos)) {
    s.erase(pos, part.size());
  }
  return s;
}

std::string lower(std::string s) {
  // Python's str.lower() for the ASCII letters that matter here (the extensions).
  py::str text(s);
  return py::str(text.attr("lower")()).cast<std::string>();
}

// model.pkl -> model_QCSAVEDM.pkl; model.pickle -> model_QCSAVEDM.pickle; model -> model_QCSAVEDM.
// The ending is recognised whatever its case, but only the lower-case forms are removed.
std::string make_save_filename(const std::string& file_name) {
  const std::string low = lower(file_name);
  if (ends_with(low, ".pkl") || ends_with(low, ".pickle")) {
    // Only the file's own name loses the extensions: a folder named exp.pkl_runs stays that
    // folder (the models were written to, and read from, another one).
    const std::size_t slash = file_name.find_last_of("/\\");
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::string stem = file_name.substr(0, base) +
                             remove_all(remove_all(file_name.substr(base), ".pkl"), ".pickle");
    const std::string ext = file_name.substr(file_name.rfind('.') + 1);
    return stem + kFilenameAppend + "." + ext;
  }
  return file_name + kFilenameAppend;
}

// Each catalogue entry is a function returning its own name, turned into that name by the
// class's decorator, so the class attributes are plain strings.
void add_catalogue(py::module_ m, const char* cls_name, const char* decorator, const char* doc,
                   const std::vector<std::string>& names) {
  twpy::ClassBuilder cls(m, cls_name, py::tuple(), doc);
  py::object apply = cls.make_method(
      decorator, [](py::object f) -> py::object { return f(); }, nullptr, py::arg("f"),
      "Catalogue decorator: calls the entry function once and keeps its result.");
  cls.attr(decorator, twpy::import("builtins", "staticmethod")(apply));
  for (const std::string& name : names) {
    py::cpp_function entry([n = name](py::object) { return n; }, py::name(name.c_str()),
                           py::arg("self") = py::none());
    cls.attr(name.c_str(), apply(entry));
  }
  cls.finalize();
}

// The forecaster's algorithms of the engine's table of models. The catalogue has always listed
// the first ones in this order; algorithms added to the table since follow in table order.
std::vector<std::string> forecaster_names() {
  std::vector<std::string> out;
  const std::vector<std::string> algorithms = tarn::forecaster_algorithms();
  for (const char* name : {"bats", "arima", "arma", "hw", "autoforecaster"}) {
    if (std::find(algorithms.begin(), algorithms.end(), name) != algorithms.end()) {
      out.push_back(name);
    }
  }
  for (const auto& a : algorithms) {
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(quillcast, m) {
  m.doc() = "Names of the forecasting engine's forecasters, interpolators and transforms.";
  m.attr("QUILLCAST_FILENAME_APPEND") = kFilenameAppend;

  add_catalogue(m, "Transforms", "_quillcast_transform", "Value transforms of the engine.",
                {"difference", "fill_na", "shift", "awgn_noise", "mwgn_noise", "z_score"});
  add_catalogue(m, "Forecasters", "_quillcast_forecasters",
                "Forecasting algorithms of the engine (values of QuillcastForecaster's algorithm).",
                forecaster_names());
  add_catalogue(m, "Interpolators", "_quillcast_interpolators",
                "Interpolation methods of the engine interpolator.", tarn::interp::basic_methods());

  twpy::ClassBuilder acc(m, "Accessors", py::tuple(),
                         "Naming of the file that holds a saved pipeline's engine models.");
  acc.attr("QUILLCAST_FILENAME_APPEND", py::str(kFilenameAppend));
  acc.def_classmethod(
      "make_quillcast_save_filename",
      [](py::object, py::object file_name) -> std::string {
        if (!py::isinstance<py::str>(file_name)) {
          twpy::raise(PyExc_TypeError,
                      "file_name must be a str, not " +
                          py::str(py::type::of(file_name).attr("__name__")).cast<std::string>());
        }
        return make_save_filename(file_name.cast<std::string>());
      },
      py::arg("file_name"),
      "The file name for a saved pipeline's engine models: the suffix _QCSAVEDM goes before a\n"
      ".pkl or .pickle extension, otherwise at the end of the name.");
  acc.finalize();
}
