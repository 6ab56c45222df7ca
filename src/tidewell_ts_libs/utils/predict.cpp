// Prediction adjustment: forecasts of a fitted pipeline over a holdout, averaged into one value
// per time point, with the time points whose ground truth is missing (imputed) left out; and a
// scikit-learn scorer built on it.
//
// Module-level names (logging, logger, np, pd, Pipeline, KELPChronolineForecaster,
// KELPChronolineEstimator, tslibs_quillcast_estimator, TidewellWindowTransformedTargetRegressor,
// _BaseScorer, Score, Predict) are bound when the module loads and read back from the module at
// every call, so callers and tests can replace them.
#include <string>
#include <utility>

#include "overlap_average.hpp"
#include "pyclass.hpp"

namespace py = pybind11;

namespace {

using twpy::mod_attr;
using twpy::self_module;

py::object np() {
  return mod_attr("np");
}

bool is_instance(py::handle obj, const char* class_name) {
  return py::isinstance(obj, mod_attr(class_name));
}

py::object builtin(const char* name) {
  return twpy::import("builtins", name);
}

using twpy::rich_compare;

py::object negate(py::handle a) {
  PyObject* r = PyNumber_Negative(a.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object slice(py::object start, py::object stop) {
  return builtin("slice")(start, stop);
}

std::string type_name(py::handle obj) {
  py::object t = py::type::of(obj);
  return py::str(t.attr("__module__")).cast<std::string>() + "." +
         py::str(t.attr("__qualname__")).cast<std::string>();
}

// `a, b = value` with Python's errors for anything that is not a pair.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
  if (!py::isinstance<py::iterable>(value)) {
    twpy::raise(PyExc_TypeError,
                "cannot unpack non-iterable " +
                    py::str(py::type::of(value).attr("__name__")).cast<std::string>() + " object");
  }
  py::list items;
  for (py::handle item : value) {
    items.append(item);
    if (items.size() > 2) twpy::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (items.size() < 2) {
    twpy::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                      std::to_string(items.size()) + ")");
  }
  return {items[0], items[1]};
}

// The estimator reports one of the engine-backed or kelp forecaster kinds.
bool is_engine_or_kelp(py::handle estimator) {
  auto named = [&](const char* want) {
    if (!py::hasattr(estimator, "name")) return false;
    py::object name = estimator.attr("name");
    if (!PyCallable_Check(name.ptr())) return false;
    return rich_compare(name(), py::str(want), Py_EQ);
  };
  return named("QuillcastForecaster") || named("QuillcastChronolineJointOptimizer") ||
         is_instance(estimator, "tslibs_quillcast_estimator") ||
         is_instance(estimator, "KELPChronolineForecaster");
}

[[noreturn]] void no_forecasts(py::handle m, py::handle estimator, py::handle prediction_horizon,
                               bool unknown_kind) {
  std::string text;
  if (unknown_kind) {
    twpy::print(py::str("Unknown Pipeline Type") + py::str(m));
    text = "Cannot obtain forecasts: the final estimator is a " + type_name(estimator) +
           ", which is none of the supported kinds (QuillcastForecaster, "
           "KELPChronolineForecaster, KELPChronolineEstimator, "
           "TidewellWindowTransformedTargetRegressor, or a scikit-learn Pipeline).";
  } else {
    text = "Cannot obtain forecasts: the prediction horizon " +
           py::repr(prediction_horizon).cast<std::string>() + " of the final estimator (a " +
           type_name(estimator) + ") is below 1.";
  }
  twpy::raise(PyExc_ValueError, text);
}

// ---------------------------------------------------------------------------------------------
// Predict

py::object compute_on_one_series(py::object, py::object y_pred1D, py::object ph) {
  return twpy::average_stacked_forecasts(y_pred1D, ph);
}

py::object trim_pred_vals(py::object, py::object predicted_vals, py::object holdout_size,
                          py::object prediction_horizon, py::object num_dims) {
  if (rich_compare(prediction_horizon, holdout_size, Py_LE)) return predicted_vals;
  py::list pr_vals;
  py::object itr = py::int_(0);
  for (py::handle _ : builtin("range")(num_dims)) {
    (void)_;
    pr_vals.attr("extend")(predicted_vals[slice(itr, itr + holdout_size)]);
    itr = itr + prediction_horizon;
  }
  return np().attr("reshape")(np().attr("array")(pr_vals), py::make_tuple(-1));
}

// The column count of a two-dimensional array argument; ValueError naming it otherwise.
py::ssize_t columns_of(py::object a, const char* name) {
  py::tuple shape(a.attr("shape"));
  if (shape.size() != 2) {
    twpy::raise(PyExc_ValueError, std::string(name) +
                                      " must be a two-dimensional array (samples x targets), got "
                                      "shape " +
                                      py::repr(shape).cast<std::string>());
  }
  return shape[1].cast<py::ssize_t>();
}

py::object adjust_by_mask(py::object, py::object y_test, py::object y_predict) {
  py::object numpy = np();
  y_test = numpy.attr("asarray")(y_test);
  y_predict = numpy.attr("asarray")(y_predict);
  columns_of(y_test, "y_test");
  py::object imputation_mask = numpy.attr("isnan")(y_test);
  const auto number_targets = py::tuple(y_test.attr("shape"))[1].cast<py::ssize_t>();
  py::object all = builtin("slice")(py::none());
  py::object none_pair = py::make_tuple(py::none(), py::none());

  if (number_targets == 1) {
    py::tuple kept = numpy.attr("where")(imputation_mask.attr("__eq__")(0));
    if (py::len(y_test) != py::len(y_predict) || py::len(kept[0]) == 0) return none_pair;
    // A flat forecast column is indexed by the kept rows alone.
    py::object predict_index = kept;
    if (numpy.attr("ndim")(y_predict).cast<int>() == 1) predict_index = kept[0];
    py::list y_test_list, y_predict_list;
    y_test_list.append(numpy.attr("reshape")(y_test[kept], py::make_tuple(-1, 1)));
    y_predict_list.append(numpy.attr("reshape")(y_predict[predict_index], py::make_tuple(-1, 1)));
    return py::make_tuple(y_test_list, y_predict_list);
  }

  if (py::len(y_test) != py::len(y_predict)) {
    y_predict = y_predict.attr("reshape")(-1, number_targets);
  }
  py::list y_test_list, y_predict_list;
  for (py::ssize_t i = 0; i < number_targets; ++i) {
    py::tuple column = py::make_tuple(all, i);
    py::tuple kept = numpy.attr("where")(imputation_mask[column].attr("__eq__")(0));
    py::object current_y_test = y_test[column];
    py::object current_y_predict = y_predict[column];
    if (py::len(current_y_test) != py::len(current_y_predict) || py::len(kept[0]) == 0) {
      return none_pair;
    }
    y_test_list.append(current_y_test[kept]);
    y_predict_list.append(current_y_predict[kept]);
  }
  return py::make_tuple(y_test_list, y_predict_list);
}

py::object adjust_prediction(py::object cls, py::object y, py::object y_pred, py::object ph) {
  py::object numpy = np();
  const bool is_list = py::isinstance<py::list>(y);
  py::ssize_t number_targets;
  if (is_list) {
    number_targets = static_cast<py::ssize_t>(py::len(y));
  } else {
    y = numpy.attr("asarray")(y);
    y_pred = numpy.attr("asarray")(y_pred);
    number_targets = columns_of(y, "y");
    columns_of(y_pred, "y_pred");
  }
  py::object all = builtin("slice")(py::none());
  py::object compute = cls.attr("_Predict__compute_on_one_series");
  py::object y_pred_avg = py::none();
  py::list per_target;
  for (py::ssize_t i = 0; i < number_targets; ++i) {
    py::object y1D, y_pred1D;
    if (is_list) {
      y1D = numpy.attr("asarray")(y[py::int_(i)]).attr("reshape")(-1, 1);
      y_pred1D = numpy.attr("asarray")(y_pred[py::int_(i)]).attr("reshape")(-1, 1);
    } else {
      y1D = y[py::make_tuple(all, i)].attr("reshape")(-1, 1);
      y_pred1D = y_pred[py::make_tuple(all, i)].attr("reshape")(-1, 1);
    }
    // The horizon never exceeds the length of the ground truth.
    py::object length = py::tuple(y1D.attr("shape"))[0];
    py::object update_ph = rich_compare(ph, length, Py_GT) ? length : ph;
    py::object avg = compute(y_pred1D, update_ph);
    if (is_list) {
      per_target.append(avg);
    } else if (i == 0) {
      y_pred_avg = avg;
    } else {
      y_pred_avg = numpy.attr("column_stack")(py::make_tuple(y_pred_avg, avg));
    }
  }
  if (is_list && number_targets > 0) return per_target;
  return y_pred_avg;
}

// The values of a list of arrays, one after the other, as one flat array.
py::object flatten_all(py::list parts) {
  py::object numpy = np();
  if (parts.empty()) return numpy.attr("array")(py::list());
  py::list flat;
  for (py::handle part : parts) flat.append(numpy.attr("ravel")(part));
  return numpy.attr("concatenate")(flat);
}

// One step-major block of forecasts (step after step, every target in each step) cut to the
// holdout length per target. _trim_pred_vals cuts target-major blocks, so the block is turned
// round for it and back afterwards; with one target the two layouts coincide.
py::object trim_forecast_block(py::object cls, py::object y_pred, py::object ho_size,
                               py::object prediction_horizon, py::ssize_t dDim) {
  py::object numpy = np();
  if (dDim <= 1) {
    return cls.attr("_trim_pred_vals")(y_pred, ho_size, prediction_horizon, dDim);
  }
  py::object target_major =
      numpy.attr("asarray")(y_pred).attr("reshape")(-1, dDim).attr("T").attr("flatten")();
  py::object trimmed = cls.attr("_trim_pred_vals")(target_major, ho_size, prediction_horizon, dDim);
  return numpy.attr("asarray")(trimmed).attr("reshape")(dDim, -1).attr("T").attr("flatten")();
}

py::object predict_and_adjust(py::object cls, py::object m, py::object X_test, py::object y_test) {
  py::tuple shape(y_test.attr("shape"));
  if (shape.size() != 2) {
    twpy::raise(PyExc_ValueError, shape.size() > 2
                                      ? std::string("too many values to unpack (expected 2)")
                                      : "not enough values to unpack (expected 2, got " +
                                            std::to_string(shape.size()) + ")");
  }
  py::object ho_size = shape[0];
  const auto dDim = shape[1].cast<py::ssize_t>();
  py::object Score = mod_attr("Score");
  py::object prediction_horizon = Score.attr("get_prediction_win")(m);
  const auto lookback_window =
      static_cast<py::ssize_t>(py::len(X_test)) - static_cast<py::ssize_t>(py::len(y_test));
  py::object estimator = Score.attr("get_estimator")(m);
  bool non_tidewell_core_pl = is_engine_or_kelp(estimator);
  // A pipeline of this library's own kind ending in a forecaster forecasts as that forecaster
  // (its predict hands the keywords on): taken for a window regressor, its forecasts came
  // back empty or from the wrong rows.
  if (!non_tidewell_core_pl && is_instance(m, "Pipeline")) {
    py::object last = m[py::int_(-1)];
    if (is_engine_or_kelp(last)) {
      estimator = last;
      non_tidewell_core_pl = true;
    }
  }

  py::object sliding = Score.attr("PREDICT_SLIDING_WINDOW");
  // Looked up only when a row of the tables applies, so an unknown kind fails with its own error.
  auto predict = [&m](auto&&... args) {
    return m.attr("predict")(std::forward<decltype(args)>(args)...);
  };
  py::object holdout_rows = X_test[slice(py::int_(lookback_window), py::none())];
  auto rowwise = [&]() {
    return predict(py::arg("X") = X_test, py::arg("prediction_type") = "rowwise_2d");
  };
  const bool window_regressor =
      is_instance(estimator, "TidewellWindowTransformedTargetRegressor") ||
      is_instance(m, "Pipeline");
  const bool kelp_estimator = is_instance(estimator, "KELPChronolineEstimator");
  py::object lb_minus_1 = py::int_(lookback_window - 1);

  py::object y_pred;
  if (rich_compare(prediction_horizon, py::int_(1), Py_EQ)) {
    if (non_tidewell_core_pl) {
      y_pred = predict(holdout_rows, py::arg("prediction_type") = sliding);
    } else if (kelp_estimator) {
      y_pred = predict(X_test, py::arg("prediction_type") = sliding);
    } else if (window_regressor) {
      y_pred = rowwise()[slice(lb_minus_1, negate(prediction_horizon))];
    } else {
      no_forecasts(m, estimator, prediction_horizon, true);
    }
  } else if (rich_compare(prediction_horizon, py::int_(1), Py_GT)) {
    const bool short_holdout = rich_compare(ho_size, prediction_horizon, Py_LT);
    const bool kelp_forecaster = is_instance(estimator, "KELPChronolineForecaster");
    if (non_tidewell_core_pl && short_holdout && kelp_forecaster) {
      y_pred = predict(holdout_rows).attr("flatten")();
    } else if (non_tidewell_core_pl && kelp_forecaster) {
      y_pred = predict(holdout_rows, py::arg("prediction_type") = sliding).attr("flatten")();
    } else if (non_tidewell_core_pl) {
      y_pred = predict(holdout_rows, py::arg("prediction_horizon") = prediction_horizon,
                       py::arg("prediction_type") = sliding);
      y_pred = np().attr("array")(y_pred).attr("flatten")();
    } else if (kelp_estimator && short_holdout) {
      y_pred = predict(X_test).attr("flatten")();
    } else if (kelp_estimator) {
      y_pred = predict(X_test, py::arg("prediction_type") = sliding).attr("flatten")();
    } else if (window_regressor && short_holdout) {
      y_pred = rowwise()[lb_minus_1].attr("flatten")();
    } else if (window_regressor) {
      y_pred = rowwise()[slice(lb_minus_1, negate(prediction_horizon))].attr("flatten")();
    } else if (is_instance(m, "KELPChronolineEstimator") && short_holdout) {
      y_pred = predict(X_test).attr("flatten")();
    } else if (is_instance(m, "KELPChronolineEstimator")) {
      y_pred = m.attr("predict_multi_step_sliding_window")(X_test).attr("flatten")();
    } else {
      no_forecasts(m, estimator, prediction_horizon, true);
    }
  } else {
    no_forecasts(m, estimator, prediction_horizon, false);
  }

  if (rich_compare(ho_size, prediction_horizon, Py_LT)) {
    y_pred = trim_forecast_block(cls, y_pred, ho_size, prediction_horizon, dDim);
  }

  py::object numpy = np();
  y_test = numpy.attr("asarray")(y_test);
  y_pred = numpy.attr("asarray")(y_pred);
  // One averaged forecast per ground-truth time point.
  py::object y_pred_score = cls.attr("adjust_prediction")(y_test, y_pred.attr("reshape")(-1, dDim),
                                                          py::arg("ph") = prediction_horizon);

  if (numpy.attr("isnan")(y_test).attr("sum")().cast<double>() != 0) {
    // Imputed time points are left out of the comparison. The mask applies to the averaged
    // forecasts, which line up with the ground truth whatever the horizon.
    auto lists =
        unpack_pair(cls.attr("_adjust_y_test_y_pred_by_imputation_mask")(y_test, y_pred_score));
    if (lists.first.is_none() || lists.second.is_none()) {
      return py::make_tuple(y_test, y_pred_score);
    }
    return py::make_tuple(flatten_all(lists.first), flatten_all(lists.second));
  }
  return py::make_tuple(y_test, y_pred_score);
}

// ---------------------------------------------------------------------------------------------
// _PredictScorer

py::object predict_scorer_score(py::object self, py::object /*method_caller*/, py::object estimator,
                                py::object X, py::object y_true, py::object /*sample_weight*/,
                                py::kwargs /*kwargs*/) {
  auto pair = unpack_pair(
      mod_attr("Predict").attr("predict_and_adjust_by_imputation_mask")(estimator, X, y_true));
  py::object sign = self.attr("_sign");
  py::dict kwargs = self.attr("_kwargs");
  py::object value = self.attr("_score_func")(pair.first, pair.second, **kwargs);
  return sign * value;
}

}  // namespace

PYBIND11_MODULE(predict, m) {
  self_module() = m;

  py::object logging = twpy::import("logging");
  m.attr("logging") = logging;
  py::object logger = logging.attr("getLogger")(m.attr("__name__"));
  m.attr("logger") = logger;
  logger.attr("setLevel")("WARNING");
  m.attr("np") = twpy::import("numpy");
  m.attr("pd") = twpy::import("pandas");
  m.attr("Pipeline") = twpy::import("sklearn.pipeline", "Pipeline");
  m.attr("KELPChronolineForecaster") = twpy::import(
      "tidewell_ts_libs.kelp.estimators.chronoline.models.base", "KELPChronolineForecaster");
  m.attr("KELPChronolineEstimator") =
      twpy::import("tidewell_ts_libs.kelp.estimators.chronoline.models.kelp_estimators",
                   "KELPChronolineEstimator");
  m.attr("tslibs_quillcast_estimator") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_estimator", "QuillcastForecaster");
  m.attr("TidewellWindowTransformedTargetRegressor") =
      twpy::import("tidewell_ts_libs.sklearn.mvp_windowed_transformed_target_estimators",
                   "TidewellWindowTransformedTargetRegressor");
  m.attr("_BaseScorer") = twpy::import("sklearn.metrics._scorer", "_BaseScorer");
  m.attr("Score") = twpy::import("tidewell_ts_libs.utils.score", "Score");

  twpy::ClassBuilder scorer(
      m, "_PredictScorer", py::make_tuple(m.attr("_BaseScorer")),
      "Scorer for scikit-learn's model selection that compares a pipeline's forecasts over a "
      "holdout with the ground truth after Predict's adjustment (averaged multi-step forecasts, "
      "imputed time points left out). Built like any _BaseScorer: "
      "_PredictScorer(score_func, sign, kwargs).");
  scorer.def("_score", &predict_scorer_score, py::arg("method_caller"), py::arg("estimator"),
             py::arg("X"), py::arg("y_true"), py::arg("sample_weight") = py::none(),
             "Score of the adjusted forecasts of `estimator` over the holdout `X` against "
             "`y_true`; `method_caller` and `sample_weight` are not used.");
  scorer.finalize();

  twpy::ClassBuilder cls(
      m, "Predict", py::tuple(),
      "Forecasts of a fitted pipeline over a holdout, paired with the ground truth: asked for in "
      "the way that suits the pipeline's final estimator, trimmed, averaged into one value per "
      "time point, without the time points whose ground truth is missing.");
  cls.def_classmethod("predict_and_adjust_by_imputation_mask", &predict_and_adjust, py::arg("m"),
                      py::arg("X_test"), py::arg("y_test"),
                      "(truth, forecasts) of the fitted pipeline `m` over the holdout: `X_test` "
                      "holds the lookback rows and the holdout rows, `y_test` the ground truth "
                      "of the holdout, one column per target.");
  cls.def_classmethod("adjust_prediction", &adjust_prediction, py::arg("y"), py::arg("y_pred"),
                      py::arg("ph"),
                      "Averages stacked forecasts (array columns or list items, one per target) "
                      "into one value per ground-truth time point.");
  cls.def_classmethod("_Predict__compute_on_one_series", &compute_on_one_series,
                      py::arg("y_pred1D"), py::arg("ph"),
                      "Mean of the overlapping forecasts of one target at every position, as a "
                      "column.");
  py::object compute = cls.ns()["_Predict__compute_on_one_series"].attr("__func__");
  compute.attr("__name__") = "__compute_on_one_series";
  compute.attr("__qualname__") = "Predict.__compute_on_one_series";
  cls.def_classmethod("_trim_pred_vals", &trim_pred_vals, py::arg("predicted_vals"),
                      py::arg("holdout_size"), py::arg("prediction_horizon"), py::arg("num_dims"),
                      "Cuts each target's block of forecasts to the holdout length.");
  cls.def_classmethod("_adjust_y_test_y_pred_by_imputation_mask", &adjust_by_mask,
                      py::arg("y_test"), py::arg("y_predict"),
                      "Per target, the ground truth and forecasts at the positions whose ground "
                      "truth is present, or (None, None).");
  cls.finalize();
}
