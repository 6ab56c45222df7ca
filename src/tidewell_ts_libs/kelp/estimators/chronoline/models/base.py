"""The chronoline forecaster: a windowed regressor that keeps the end of its training series."""

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin

from tidewell_ts_libs.sklearn._window_regression import (
    WindowModel,
    as_series,
    check_window_sizes,
    effective_horizon,
    fitted_model,
)


class KELPChronolineForecaster(RegressorMixin, BaseEstimator):
    """Forecasts a series from its own past with a regressor fitted on windows of lagged values.

    ``fit(X)`` trains ``regressor`` (linear regression by default) to map ``lookback_window``
    rows to the next ``prediction_horizon`` rows, and keeps the last ``lookback_window`` training
    rows as the history that forecasting starts from. Every column is a target; ``y`` is not used.

    - ``predict(X)``: the forecast of the steps that follow the training data, shape
      ``(horizon, n_columns)``. The rows of ``X`` stand for the forecast period; their values
      are not used.
    - ``predict(X, prediction_type="sliding_window")`` (and
      ``predict_multi_step_sliding_window(X)``): ``X`` holds new observations that follow the
      training data. For every position ``i`` from 0 to ``max(0, len(X) - horizon)`` it forecasts
      ``horizon`` steps from the history extended by the rows before ``i``; the blocks are
      stacked, ``horizon`` rows each.

    ``prediction_horizon=-1`` in a call means the trained horizon; a shorter one may be asked for.
    """

    def __init__(self, regressor=None, lookback_window=1, prediction_horizon=1):
        self.regressor = regressor
        self.lookback_window = lookback_window
        self.prediction_horizon = prediction_horizon

    def fit(self, X, y=None):
        lookback, horizon = check_window_sizes(self.lookback_window, self.prediction_horizon)
        series = as_series(X)
        self.window_model_ = WindowModel.fit(self.regressor, series, lookback, horizon)
        self.history_ = series[-lookback:].copy()
        self.n_features_in_ = series.shape[1]
        return self

    def predict(self, X=None, prediction_type="forecast", prediction_horizon=-1):
        model = fitted_model(self)
        kind = str(prediction_type).lower()
        if kind == "sliding_window":
            return self.predict_multi_step_sliding_window(X, prediction_horizon=prediction_horizon)
        if kind != "forecast":
            raise ValueError(
                f"Unknown prediction_type {prediction_type!r}: use 'forecast' or 'sliding_window'."
            )
        h = effective_horizon(model, prediction_horizon)
        return model.forecast(model.last_window(self.history_))[0, :h]

    def predict_multi_step_sliding_window(self, X, prediction_horizon=-1):
        model = fitted_model(self)
        h = effective_horizon(model, prediction_horizon)
        new = as_series(X)
        model.check_columns(new)
        series = np.vstack([self.history_, new])
        lookback = model.lookback
        # Position i forecasts from the window ending just before new row i.
        ends = np.arange(max(0, len(new) - h) + 1) + len(self.history_)
        feats = np.stack([series[e - lookback:e].reshape(-1) for e in ends])
        return model.forecast(feats)[:, :h].reshape(-1, model.n_targets)
