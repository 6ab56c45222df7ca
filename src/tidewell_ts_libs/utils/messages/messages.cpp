// Message catalogue: turns a message id into its one-line text, embedding the positional
// arguments in order. Unknown ids still give a text.
#include <map>
#include <string>

#include "pyclass.hpp"
#include "tarn/model_table.hpp"

namespace py = pybind11;

namespace {

// The forecaster's algorithm names in table order, for the message that lists them.
std::string algorithm_list() {
  std::string out;
  for (const auto& name : tarn::forecaster_algorithms()) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// "{}" marks where the positional arguments go, in order; arguments without a mark are
// appended. TIDEWELLTSLIBS0056E is formatted by scikit-learn with the estimator's class name.
const std::map<std::string, std::string>& catalogue() {
  static const std::map<std::string, std::string> texts = {
      {"TIDEWELLTSLIBS0001E",
       "Could not load the pipeline from file {}: the file could not be read or unpickled."},
      {"TIDEWELLTSLIBS0002E", "The file {} holds no pipeline (the stored object is None)."},
      {"TIDEWELLTSLIBS0003E", "Cannot load a pipeline from {}: no such file."},
      {"TIDEWELLTSLIBS0004E",
       "Unknown forecasting algorithm: use one of " + algorithm_list() + "."},
      {"TIDEWELLTSLIBS0005E", "Timestamp column index {} is outside the columns of the data."},
      {"TIDEWELLTSLIBS0006E",
       "The data has {} value columns but the forecaster was trained on {}."},
      {"TIDEWELLTSLIBS0007E",
       "Values of -2 or below cannot be log-transformed (ln(x + 2) is not finite): the new data "
       "does not fit the trained forecaster."},
      {"TIDEWELLTSLIBS0056E",
       "This %(name)s instance is not fitted yet. Call 'fit' with _reset_model=True before using "
       "this estimator."},
      {"TIDEWELLTSLIBS0067E",
       "The data contains missing values (NaN): impute them before forecasting."},
      {"TIDEWELLTSLIBS0004W",
       "Warning: the timestamps are not regularly spaced (spacing varies by more than 20%)."},
      {"TIDEWELLTSLIBS0068E", "Learning type {} is not supported: only forecasting is."},
      {"TIDEWELLTSLIBS0069E", "No dataset was given."},
      {"TIDEWELLTSLIBS0070E", "Holdout size {} is not valid for a dataset of {} rows."},
      {"TIDEWELLTSLIBS0071E", "The timestamps do not advance: their mean spacing is zero."},
      {"TIDEWELLTSLIBS0072E", "No valid target column was given."},
      {"TIDEWELLTSLIBS0073E", "Target column {} cannot be converted to numbers: {}"},
      {"TIDEWELLTSLIBS0074E", "Timestamp column {} cannot also be a target column."},
      {"TIDEWELLTSLIBS0075E", "The timestamp column holds duplicate timestamps."},
      {"TIDEWELLTSLIBS0076E",
       "The values of timestamp column {} cannot be parsed as dates or times."},
      {"TIDEWELLTSLIBS0077E", "The timestamp column is neither numeric nor text."},
      {"TIDEWELLTSLIBS0078E",
       "Look-back window {} is not valid: it must be a whole number from 0 to {}, the number of "
       "training rows."},
      {"TIDEWELLTSLIBS0091E",
       "test_size {} gives an empty holdout for a dataset of {} rows: the holdout needs at "
       "least one row."},
      {"TIDEWELLTSLIBS0092E",
       "Target column {} holds no value (every one of its {} values is missing): there is "
       "nothing to train on or to score."},
      {"TIDEWELLTSLIBS0093E",
       "Timestamp column {} has no timestamp (NaN) at row {}: every row needs one."},
      {"TIDEWELLTSLIBS0094E", "dataset must be a pandas DataFrame, got {}."},
      {"TIDEWELLTSLIBS0095E",
       "y holds {} at row {} of target {}: a ground-truth value must be a number, or NaN where "
       "it is missing."},
      {"TIDEWELLTSLIBS0096E",
       "y_pred holds {} at row {} of target {}: a forecast must be a finite number."},
      {"TIDEWELLTSLIBS0097E",
       "Target {} of y has no ground-truth value (every value is NaN): there is nothing to "
       "score."},
      {"TIDEWELLTSLIBS0098E",
       "y_pred has no forecast for target {} at {}, where y is {}: every point with a "
       "ground-truth value needs a forecast."},
      {"TIDEWELLTSLIBS0099E",
       "The {} of target {} is beyond the floating-point range ({}): y and y_pred reach {}; "
       "rescale them before scoring."},
      {"TIDEWELLTSLIBS0036E", "Unknown regressor type {}: use AutoRegressor or AutoEnsemble."},
      {"TIDEWELLTSLIBS0037E", "Unknown search space granularity."},
      {"TIDEWELLTS0072E", "Unknown aggregation of overlapping forecasts: use average or original."},
  };
  return texts;
}

// One line: newlines in arguments become spaces.
std::string one_line(std::string s) {
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

std::string get_message(py::args args, const std::string& message_id) {
  std::vector<std::string> values;
  for (auto a : args) values.push_back(one_line(py::str(a).cast<std::string>()));
  auto it = catalogue().find(message_id);
  std::string text;
  std::size_t next = 0;
  if (it == catalogue().end()) {
    text = "Unknown message id " + message_id + ".";
  } else {
    const std::string& tmpl = it->second;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
      if (tmpl.compare(i, 2, "{}") == 0) {
        text += next < values.size() ? values[next++] : std::string();
        ++i;
      } else {
        text += tmpl[i];
      }
    }
  }
  for (; next < values.size(); ++next) text += " " + values[next];
  return message_id + ": " + text;
}

}  // namespace

PYBIND11_MODULE(messages, m) {
  twpy::ClassBuilder cls(m, "Messages", py::tuple(),
                         "Catalogue of the library's user-facing messages, by message id.");
  cls.def_static(
      "get_message",
      [](py::args args, py::kwargs kwargs) -> std::string {
        if (!kwargs.contains("message_id")) {
          twpy::raise(PyExc_TypeError,
                      "get_message() missing required keyword argument 'message_id'");
        }
        for (auto item : kwargs) {
          if (py::str(item.first).cast<std::string>() != "message_id") {
            twpy::raise(PyExc_TypeError, "get_message() got an unexpected keyword argument '" +
                                             py::str(item.first).cast<std::string>() + "'");
          }
        }
        return get_message(args, py::str(kwargs["message_id"]).cast<std::string>());
      },
      "Text of a message id, with the positional arguments embedded in order.");
  cls.finalize();
}
