"""Regression on windows of lagged values: the common core of the windowed forecasters.

A series is a 2-D array, rows in time order, one column per target. A window is the
``lookback_window`` rows ending at some row ``r``; its features are those rows flattened (row
after row). The regressor learns to map the window ending at ``r`` to the ``prediction_horizon``
rows that follow it, flattened the same way, so one prediction is a forecast array of shape
``(prediction_horizon, n_targets)``: one row per step, one column per target.
"""

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
from sklearn.base import clone, is_regressor
from sklearn.linear_model import LinearRegression
from sklearn.multioutput import MultiOutputRegressor
from sklearn.utils import get_tags
from sklearn.utils.validation import check_array, check_is_fitted


def check_window_sizes(lookback_window, prediction_horizon):
    """Validates the two window sizes and returns them as ints."""
    for name, value in (("lookback_window", lookback_window),
                        ("prediction_horizon", prediction_horizon)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
            raise ValueError(f"{name} must be an integer of at least 1, got {value!r}")
    return int(lookback_window), int(prediction_horizon)


def as_series(X, *, name="X"):
    """The data as a float 2-D array without missing values."""
    return check_array(X, dtype=np.float64, ensure_2d=True, ensure_all_finite=True,
                       input_name=name)


def windows(series, lookback):
    """Features of every complete window: row i is the window ending at row i + lookback - 1."""
    n, d = series.shape
    if n < lookback:
        return np.empty((0, lookback * d))
    view = sliding_window_view(series, lookback, axis=0)  # (n - lookback + 1, d, lookback)
    return view.transpose(0, 2, 1).reshape(n - lookback + 1, lookback * d)


class WindowModel:
    """A fitted regressor from a window of ``lookback`` rows to the next ``horizon`` rows."""

    def __init__(self, regressor, lookback, horizon, n_targets):
        self.regressor = regressor
        self.lookback = lookback
        self.horizon = horizon
        self.n_targets = n_targets

    @classmethod
    def fit(cls, regressor, series, lookback, horizon):
        n, d = series.shape
        n_pairs = n - lookback - horizon + 1
        if n_pairs < 1:
            raise ValueError(
                f"Too few rows to train: {n} rows, but a window of {lookback} rows followed by "
                f"a horizon of {horizon} rows needs at least {lookback + horizon}."
            )
        features = windows(series, lookback)[:n_pairs]
        targets = windows(series[lookback:], horizon)[:n_pairs]
        model = LinearRegression() if regressor is None else clone(regressor)
        if regressor is not None and not is_regressor(model):
            raise ValueError(f"regressor must be a scikit-learn regressor, got {regressor!r}")
        if targets.shape[1] == 1:
            model.fit(features, targets[:, 0])
        else:
            if not get_tags(model).target_tags.multi_output:
                model = MultiOutputRegressor(model)
            model.fit(features, targets)
        return cls(model, lookback, horizon, d)

    def forecast(self, features):
        """Forecasts for rows of window features: shape (len(features), horizon, n_targets)."""
        if len(features) == 0:
            return np.empty((0, self.horizon, self.n_targets))
        out = np.asarray(self.regressor.predict(features), dtype=np.float64)
        return out.reshape(len(features), self.horizon, self.n_targets)

    def check_columns(self, series):
        if series.shape[1] != self.n_targets:
            raise ValueError(
                f"X has {series.shape[1]} columns but the model was trained on {self.n_targets}."
            )

    def last_window(self, series):
        """Features of the window formed by the last ``lookback`` rows."""
        if len(series) < self.lookback:
            raise ValueError(
                f"At least {self.lookback} rows are needed to forecast, got {len(series)}."
            )
        return series[-self.lookback:].reshape(1, -1)


def effective_horizon(model, prediction_horizon):
    """The horizon of one call: -1 means the trained horizon; longer ones cannot be given."""
    if prediction_horizon == -1:
        return model.horizon
    if (isinstance(prediction_horizon, bool) or not isinstance(prediction_horizon, (int, np.integer))
            or not 1 <= prediction_horizon <= model.horizon):
        raise ValueError(
            f"prediction_horizon must be -1 or between 1 and the trained horizon "
            f"{model.horizon}, got {prediction_horizon!r}"
        )
    return int(prediction_horizon)


def fitted_model(estimator):
    check_is_fitted(estimator, "window_model_")
    return estimator.window_model_
