"""The chronoline estimator: a windowed regressor that reads its history from the input rows."""

from sklearn.base import BaseEstimator, RegressorMixin

from tidewell_ts_libs.sklearn._window_regression import (
    WindowModel,
    as_series,
    check_window_sizes,
    effective_horizon,
    fitted_model,
    windows,
)


class KELPChronolineEstimator(RegressorMixin, BaseEstimator):
    """Forecasts from windows of lagged values given with each call; keeps no history.

    ``fit(X)`` trains ``regressor`` (linear regression by default) to map ``lookback_window``
    rows to the next ``prediction_horizon`` rows. Every column is a target; ``y`` is not used.

    - ``predict(X)``: ``X`` holds ``lookback_window`` history rows, optionally followed by rows
      of the forecast period (their values are not used); returns the forecast of the steps
      that follow the history, shape ``(horizon, n_columns)``.
    - ``predict(X, prediction_type="sliding_window")`` (and
      ``predict_multi_step_sliding_window(X)``): one forecast block of ``horizon`` rows for every
      window of ``X`` whose forecast lies inside ``X`` (windows ending at rows
      ``lookback_window - 1`` to ``len(X) - horizon - 1``), stacked in order. When no such window
      exists, the block of the first window.

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
        self.n_features_in_ = series.shape[1]
        return self

    def _series(self, X):
        model = fitted_model(self)
        series = as_series(X)
        model.check_columns(series)
        if len(series) < model.lookback:
            raise ValueError(
                f"X needs at least lookback_window={model.lookback} rows, got {len(series)}."
            )
        return model, series

    def predict(self, X, prediction_type="forecast", prediction_horizon=-1):
        kind = str(prediction_type).lower()
        if kind == "sliding_window":
            return self.predict_multi_step_sliding_window(X, prediction_horizon=prediction_horizon)
        if kind != "forecast":
            raise ValueError(
                f"Unknown prediction_type {prediction_type!r}: use 'forecast' or 'sliding_window'."
            )
        model, series = self._series(X)
        h = effective_horizon(model, prediction_horizon)
        return model.forecast(series[: model.lookback].reshape(1, -1))[0, :h]

    def predict_multi_step_sliding_window(self, X, prediction_horizon=-1):
        model, series = self._series(X)
        h = effective_horizon(model, prediction_horizon)
        n_blocks = max(1, len(series) - model.lookback - h + 1)
        feats = windows(series, model.lookback)[:n_blocks]
        return model.forecast(feats)[:, :h].reshape(-1, model.n_targets)
