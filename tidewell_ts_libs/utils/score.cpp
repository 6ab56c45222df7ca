// Scoring of forecasts over a holdout, and saving and loading of fitted pipelines.
#include "pyclass.hpp"

namespace py = pybind11;

PYBIND11_MODULE(score, m) {
  twpy::ClassBuilder score(m, "Score", py::tuple(),
                           "Class-level helpers around fitted pipelines: prediction types, "
                           "saving and loading, final estimator and windows.");
  score.attr("PREDICT_SLIDING_WINDOW", py::str("sliding_window"));
  score.attr("PREDICT_FORECAST", py::str("forecast"));
  score.finalize();
}
