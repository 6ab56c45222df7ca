// QuillcastForecaster: a scikit-learn estimator that trains one model of the forecasting engine
// per target column and forecasts with it. The numbers (the log transform, training sizes,
// the forecast loop, intervals, the score) are the engine's forecasting session
// (tarn/forecaster.hpp); this module keeps the estimator's Python protocol, its parts in
// _quillcast_estimator/.
//
// Prediction works on copies of the trained models. When the models are the engine's own,
// the session feeds its own copies (nothing shared changes, so threads may share a fitted
// forecaster); any other object offering the model operations (update_model, is_initialized,
// forecast_at, last_time_updated, average_interval) is driven through Python, with the same
// printed lines and errors.
#include "_quillcast_estimator/common.hpp"

using namespace qest;  // NOLINT: the module's own namespace

PYBIND11_MODULE(quillcast_estimator, m) {
  module_ref() = py::reinterpret_borrow<py::object>(m);
  m.doc() = "QuillcastForecaster: forecasting with the statistical forecasting engine.";

  m.attr("logging") = py::module_::import("logging");
  m.attr("pickle") = py::module_::import("pickle");
  m.attr("np") = py::module_::import("numpy");
  m.attr("BaseEstimator") = twpy::import("sklearn.base", "BaseEstimator");
  m.attr("check_array") = twpy::import("sklearn.utils.validation", "check_array");
  sklearn_check_array() = m.attr("check_array");
  m.attr("check_is_fitted") = twpy::import("sklearn.utils.validation", "check_is_fitted");
  sklearn_check_is_fitted() = m.attr("check_is_fitted");
  m.attr("QuillcastUtils") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
  m.attr("Messages") = twpy::import("tidewell_ts_libs.utils.messages.messages", "Messages");
  m.attr("Score") = twpy::import("tidewell_ts_libs.utils.score", "Score");
  try {
    py::module_::import("tidewell_ts_libs.deps.tarn");
    m.attr("tidewell_ts_libs") = py::module_::import("tidewell_ts_libs");
    m.attr("QuillcastUtils") =
        twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
    m.attr("qc") = py::module_::import("tidewell_ts_libs.utils.quillcast");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    twpy::print("Exception importing tarn");
  }
  finite_keyword();

  const std::string doc = class_doc();
  twpy::ClassBuilder cls(m, "QuillcastForecaster", twpy::bases("sklearn.base", "BaseEstimator"),
                         doc.c_str());
  cls.init(
      [](py::object self, py::object algorithm, py::object ts_icol_loc,
         py::object prediction_horizon, py::object log_transform, py::object lookback_win,
         py::object target_column_indices, py::object debug, py::object exog_columns,
         py::object nonnegative, py::kwargs kwargs) {
        init(self, algorithm, ts_icol_loc, prediction_horizon, log_transform, lookback_win,
             target_column_indices, debug, exog_columns, kwargs);
        self.attr("nonnegative") = nonnegative;
      },
      py::arg("algorithm") = "hw", py::arg("ts_icol_loc") = -1, py::arg("prediction_horizon") = 1,
      py::arg("log_transform") = true, py::arg("lookback_win") = 1,
      py::arg("target_column_indices") = -1, py::arg("debug") = false, py::kw_only(),
      py::arg("exog_columns") = py::none(), py::arg("nonnegative") = false);
  cls.def("get_params", &get_params, py::arg("deep") = true,
          "Parameters of the forecaster: the constructor parameters (log_transform reports "
          "log_transformed) and the algorithm settings of all_args.");
  cls.def(
      "get_model_params", [](py::object self) { return self.attr("all_args"); },
      "The algorithm settings (all_args itself, not a copy).");
  cls.def("set_params", &set_params,
          "Sets parameters: a constructor parameter takes effect (log_transform sets "
          "log_transformed, algorithm also the \"algorithm\" setting of all_args), an algorithm "
          "keyword joins the other settings of all_args. An unknown name raises ValueError "
          "naming the valid ones.");
  cls.def(
      "name", [](py::object) { return "QuillcastForecaster"; }, "The name QuillcastForecaster.");
  cls.def(
      "set_model_fitted", [](py::object self) { self.attr("is_fitted_") = true; },
      "Marks the forecaster as trained.");
  cls.def_classmethod("get_model_id", &get_model_id, py::arg("algorithm_name"),
                      "Short identifier of an engine model from its algorithm and settings.");
  cls.def_classmethod("get_estimators", &get_estimators, py::arg("log_transform") = false,
                      py::arg("target_column_indices") = -1, py::arg("time_column_index") = -1,
                      py::arg("prediction_horizon") = -1, py::arg("lookback_win") = 1,
                      "Four ready-made forecasters (Holt-Winters additive and multiplicative, "
                      "ARIMA, BATS), all without log transform.");
  cls.def_classmethod("get_param_dist", &get_param_dist, py::arg("size") = py::none(),
                      "Parameter distributions (lists of candidate values) for a model search.");
  cls.def("get_models_copy", &get_models_copy, py::arg("verbose") = false,
          "Independent copies of the trained models, or None (printed) when there are none or "
          "copying fails.");
  cls.def("_getModel", &get_model, "A new, untrained engine model from algorithm settings.");
  cls.def("fit", &fit, py::arg("X"), py::arg("y"), py::arg("_reset_model") = false,
          "With _reset_model, or when the forecaster has no trained models yet, trains one new "
          "engine model per target column of X; otherwise brings copies of the trained models "
          "up to date with the rows of X and keeps them. A timestamp column (or the "
          "DatetimeIndex of a DataFrame) may hold dates: datetime64 or ISO 8601 text.");
  cls.def("get_train_size", &get_train_size,
          "Samples seen: the latest update of the trained models plus one.");
  cls.def(
      "get_last_updated",
      [](py::object self, py::object inmodle_array, py::object inmodel_array) {
        if (!inmodle_array.is_none() && !inmodel_array.is_none()) {
          twpy::raise(PyExc_TypeError, "give inmodel_array or inmodle_array, not both");
        }
        return get_last_updated(self, inmodel_array.is_none() ? inmodle_array : inmodel_array);
      },
      py::arg("inmodle_array") = py::none(), py::arg("inmodel_array") = py::none(),
      "Timestamp of the latest update of the given models (default: the trained ones), "
      "or -1. inmodel_array is the same argument as inmodle_array, correctly spelt.");
  cls.def("forecast_times", &forecast_times, py::arg("prediction_horizon") = -1,
          "The times of the rows that predict() forecasts from the trained models (-1: the "
          "forecaster's prediction_horizon): a pandas DatetimeIndex that follows the spacing "
          "of the training dates (calendar months for monthly data) when the forecaster was "
          "trained on dates, else a numpy array of values of the numeric time axis.");
  cls.def("get_train_interval", &get_train_interval,
          "Spacing of the trained models' time grid (the step between forecasts), or -1.");
  cls.def(
      "predict",
      [](py::object self, py::object X, py::object h, py::object ts, py::object type,
         py::object future_exog) {
        return censor_at_zero(self, predict(self, X, h, ts, type, future_exog));
      },
      py::arg("X") = py::none(), py::arg("prediction_horizon") = -1, py::arg("ts_col_loc") = -1,
      py::arg("prediction_type") = "forecast", py::arg("future_exog") = py::none(),
      "Forecast of the horizon (one row per step, one column per target), after feeding the "
      "rows of X to copies of the trained models; or a sliding-window forecast over X. A "
      "forecaster trained with regressors (exog_columns) needs future_exog: their values at "
      "the horizon's steps, an array (horizon, regressors) or a DataFrame with the training "
      "frame's regressor columns (at least horizon rows; ValueError otherwise). Sliding "
      "windows take them from the later rows of X and raise where a window runs past X. With "
      "nonnegative=True no value is below zero.");
  cls.def(
      "predict_interval",
      [](py::object self, py::object X, py::object h, py::object ts, py::object level,
         py::object future_exog) {
        return censor_at_zero(self, predict_interval(self, X, h, ts, level, future_exog));
      },
      py::arg("X") = py::none(), py::arg("prediction_horizon") = -1, py::arg("ts_col_loc") = -1,
      py::arg("level") = 95, py::arg("future_exog") = py::none(),
      "Prediction intervals of the forecasts predict gives (new rows of X first update "
      "copies, as predict does): (lower, upper), two arrays of the forecasts' shape, for a "
      "coverage `level` in percent (from 1, below 100: 95, not 0.95); a list or tuple of "
      "levels gives {level: (lower, upper)}. future_exog as for predict.");
  cls.def("predict_quantiles", &predict_quantiles, py::arg("X") = py::none(),
          py::arg("prediction_horizon") = -1,
          py::arg("quantiles") = py::make_tuple(0.05, 0.5, 0.95),
          py::arg("future_exog") = py::none(),
          "Quantiles of the forecast distribution of the forecasts predict gives (new rows of X "
          "first update copies, as predict does): {q: array of the forecasts' shape} for each "
          "probability q in (0, 1). q below 0.5 is the lower bound of predict_interval at level "
          "100 - 200 q, above 0.5 the upper bound at level 200 q - 100 (0.1 and 0.9 are the 80% "
          "band), 0.5 the median (the forecast); non-decreasing in q. Intermittent demand, "
          "whose distribution has an atom at zero, gives its own quantiles (zero below the share "
          "of periods without demand) and one-sided bands [0, quantile L / 100] for a level L. "
          "A probability outside (0, 1), NaN or "
          "no probability at all raises ValueError. future_exog as for predict.");
  cls.def("simulate", &simulate, py::arg("prediction_horizon") = -1, py::arg("n_paths") = 1000,
          py::arg("random_state") = py::none(),
          "Sample paths of the trained models over the horizon: an array (n_paths, horizon, "
          "targets) on the data's scale. Each path follows the model's own recursion (every "
          "drawn value updates the state the next step starts from), and the values at each "
          "step follow the quantiles of predict_quantiles. random_state: an integer seed (the "
          "same seed gives the same values, bit for bit, in any thread or process) or None "
          "(fresh entropy).");
  cls.def("predict_on_history_single", &predict_on_history_single, py::arg("X"),
          py::arg("prediction_horizon") = -1, py::arg("ts_col_loc") = -1,
          "Feeds the rows of X (if any) to model_update_predict and forecasts the horizon from "
          "it; without rows, forecasts from the trained models.");
  cls.def(
      "predict_sliding_window",
      [](py::object self, py::object X, py::object h, py::object ts) {
        return sliding_window(self, X, h, ts, false);
      },
      py::arg("X"), py::arg("prediction_horizon") = 1, py::arg("ts_col_loc") = -1,
      "Forecasts made before each row of X, from copies fed the rows before it.");
  cls.def(
      "predict_multi_step_sliding_window",
      [](py::object self, py::object X, py::object h, py::object ts) {
        return sliding_window(self, X, h, ts, true);
      },
      py::arg("X"), py::arg("prediction_horizon") = 1, py::arg("ts_col_loc") = -1,
      "Multi-step forecasts from every position of X whose whole horizon lies inside X.");
  cls.def("score", &score, py::arg("X"), py::arg("y") = py::none(),
          py::arg("sample_weight") = py::none(),
          "Negative mean symmetric MAPE in percent (0 is best) of one-step sliding-window "
          "forecasts over X, against y or, when y is None, the target columns of X.");
  cls.def("__getstate__", &get_state,
          "The pickled state: the attributes, evenly spaced training timestamps as a range.");
  cls.def("__setstate__", &set_state, py::arg("state"),
          "Restores a pickled state (a range of training timestamps becomes their list again).");
  cls.def("cross_validation", &cross_validation, py::arg("X"), py::kw_only(), py::arg("h"),
          py::arg("n_windows") = 1, py::arg("step") = 1, py::arg("refit") = false,
          py::arg("level") = py::none(),
          "Rolling-origin evaluation on the rows of X (laid out as for fit): n_windows origins "
          "step rows apart, the last h rows before the end; each window forecasts the h rows "
          "from its origin. refit=False trains a copy once on the rows before the first origin "
          "and feeds it the later rows (O(1) per row); refit=True trains a copy at every origin. "
          "The forecaster itself is unchanged. Returns a DataFrame with the columns cutoff (time "
          "of the last training row), time, actual, forecast and lo-<level>, hi-<level> per "
          "level; times are dates when X is dated. With several targets, a leading column "
          "`target` (the column label, or its index in X) and one row per window, step and "
          "target, target after target.");
  for (const char* name : {"predict_on_history_single", "get_models_copy", "predict"}) {
    own_methods()[name] = cls.ns()[name];
  }
  cls.finalize();
  m.def("_next_dates", &twdates::next_dates, py::arg("times"), py::arg("n"),
        "The n dates after a series of dates at its usual spacing on its calendar time axis "
        "(calendar months for monthly data): numpy datetime64[ns].");
}
