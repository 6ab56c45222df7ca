"""A regressor fitted on windows of lagged values of the series it forecasts."""

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin

from tidewell_ts_libs.sklearn._window_regression import (
    WindowModel,
    as_series,
    check_window_sizes,
    fitted_model,
    windows,
)


class TidewellWindowTransformedTargetRegressor(RegressorMixin, BaseEstimator):
    """Fits ``regressor`` (any scikit-learn regressor; linear regression by default) to map the
    last ``lookback_window`` rows of a series to its next ``prediction_horizon`` rows.

    Every column of ``X`` is both a feature and a target. ``y`` is accepted for the estimator
    protocol and not used: the targets are the later rows of ``X`` itself.

    ``predict(X)`` forecasts the ``prediction_horizon`` rows that follow ``X`` (shape
    ``(prediction_horizon, n_columns)``). ``predict(X, prediction_type="rowwise_2d")`` gives one
    row per row position ``r`` of ``X``: the forecast made from the window ending at ``r``,
    flattened step after step (``prediction_horizon * n_columns`` values); positions without a
    complete window are NaN.
    """

    def __init__(self, regressor=None, lookback_window=1, prediction_horizon=1):
        self.regressor = regressor
        self.lookback_window = lookback_window
        self.prediction_horizon = prediction_horizon

    @property
    def pred_win(self):
        return self.prediction_horizon

    def fit(self, X, y=None):
        lookback, horizon = check_window_sizes(self.lookback_window, self.prediction_horizon)
        series = as_series(X)
        self.window_model_ = WindowModel.fit(self.regressor, series, lookback, horizon)
        self.n_features_in_ = series.shape[1]
        return self

    def predict(self, X, prediction_type="forecast"):
        model = fitted_model(self)
        series = as_series(X)
        model.check_columns(series)
        if prediction_type == "rowwise_2d":
            out = np.full((len(series), model.horizon * model.n_targets), np.nan)
            feats = windows(series, model.lookback)
            out[model.lookback - 1:] = model.forecast(feats).reshape(len(feats), out.shape[1])
            return out
        if prediction_type != "forecast":
            raise ValueError(
                f"Unknown prediction_type {prediction_type!r}: use 'forecast' or 'rowwise_2d'."
            )
        return model.forecast(model.last_window(series))[0]
