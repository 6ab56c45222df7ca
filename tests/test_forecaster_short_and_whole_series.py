"""Training sizes through the public forecaster: ARIMA fits on the whole training series, and
very short series still get a sound forecast from every algorithm."""

import math

import numpy as np
import pytest

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def column(values):
    return np.asarray(values, float).reshape(-1, 1)


@pytest.mark.parametrize("algorithm", ["arima", "arma"])
def test_arima_fits_on_the_whole_training_series(algorithm):
    rng = np.random.default_rng(4)
    n = 120
    x = 50 + np.cumsum(rng.normal(0.3, 1.0, n))
    f = QuillcastForecaster(algorithm=algorithm).fit(column(x), None, _reset_model=True)
    assert f.is_fitted_
    # The first attempt initialised: its training size is every row.
    assert f.all_args["min_training_data"] == n
    fc = np.asarray(f.predict(prediction_horizon=5), float).ravel()
    assert np.all(np.isfinite(fc))


def test_arima_on_a_trending_series_follows_the_trend_of_the_whole_series():
    # The second half of the series turns upward; a model fitted on the first half only
    # would miss it.
    t = np.arange(100.0)
    x = np.where(t < 50, 100.0, 100.0 + 2.0 * (t - 50)) + np.sin(t)
    f = QuillcastForecaster(algorithm="arima").fit(column(x), None, _reset_model=True)
    fc = np.asarray(f.predict(prediction_horizon=6), float).ravel()
    assert fc[-1] > x[-1] + 4.0


@pytest.mark.parametrize("n", [1, 2, 3, 5, 7])
@pytest.mark.parametrize("algorithm", ["autoforecaster", "hw", "arima", "arma", "bats", "mstl"])
def test_very_short_series_forecast_soundly(algorithm, n):
    x = 10.0 + np.arange(n, dtype=float)
    f = QuillcastForecaster(algorithm=algorithm).fit(column(x), None, _reset_model=True)
    assert f.is_fitted_, f.model[0].describe()
    fc = np.asarray(f.predict(prediction_horizon=4), float).ravel()
    assert fc.shape == (4,)
    assert np.all(np.isfinite(fc))
    # Nothing sound extrapolates far from a handful of values.
    assert np.all(np.abs(fc - x[-1]) <= 4.0 * max(1.0, x.max() - x.min()) + 1e-9)


@pytest.mark.parametrize("algorithm", ["autoforecaster", "hw", "arima", "arma", "bats"])
def test_one_value_gives_a_forecast_but_no_band_of_zero_width(algorithm):
    f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=3)
    f.fit(column([7.0]), None, _reset_model=True)
    assert np.ravel(f.predict()) == pytest.approx([7.0] * 3)
    # One value says nothing of the spread: no band rather than one claiming certainty.
    with pytest.raises(ValueError, match="forecast errors"):
        f.predict_interval(level=[95])
    x = 7.0 + np.cumsum(np.random.default_rng(5).normal(size=12))
    f.fit(column(x), None, _reset_model=True)
    lo, hi = (np.ravel(b) for b in f.predict_interval(level=[95])[95])
    assert np.all(hi - lo > 0.0)


def test_holt_winters_without_a_season_takes_the_one_the_data_show():
    import pandas as pd

    from tidewell_ts_libs.batch import forecast_many

    rng = np.random.default_rng(3)
    t = np.arange(120.0)
    x = 100 + 10 * np.sin(2 * np.pi * t / 12) + 0.3 * t + rng.normal(size=120)
    f = QuillcastForecaster(algorithm="hw").fit(column(x), None, _reset_model=True)
    # Not a quarter of the length (30): the season of 12, on all ten cycles.
    assert f.all_args["samples_per_season"] == 12
    assert f.all_args["initial_training_seasons"] == 10
    point = np.ravel(f.predict(prediction_horizon=6))
    res = forecast_many(pd.DataFrame({"unique_id": "a", "ds": np.arange(120), "y": x}),
                        algorithm="hw", horizon=6)
    np.testing.assert_array_equal(point, res.forecasts.forecast.to_numpy())
    # Trained again on data without a season, it finds none; a caller's season stays.
    f.fit(column(50 + np.cumsum(rng.normal(size=60))), None, _reset_model=True)
    assert f.all_args["samples_per_season"] == 1
    assert f.all_args["initial_training_seasons"] == 60
    f = QuillcastForecaster(algorithm="hw", samples_per_season=6)
    f.fit(column(x), None, _reset_model=True)
    assert f.all_args["samples_per_season"] == 6


def test_short_series_autoforecaster_is_naive_and_says_so():
    x = [3.0, 5.0, 4.0, 6.0, 5.5]
    f = QuillcastForecaster(algorithm="autoforecaster").fit(column(x), None, _reset_model=True)
    assert f.is_fitted_
    text = f.model[0].describe()
    assert "naive forecast" in text
    fc = np.asarray(f.predict(prediction_horizon=3), float).ravel()
    assert fc == pytest.approx([5.5] * 3)
    # New rows reach the naive model without a new training.
    fc = np.asarray(f.predict(column([7.0]), prediction_horizon=2), float).ravel()
    assert fc == pytest.approx([7.0, 7.0])


def test_autoforecaster_with_eight_values_searches_models():
    x = 10.0 + np.arange(8.0) + np.array([0, 1, 0, 1, 0, 1, 0, 1])
    f = QuillcastForecaster(algorithm="autoforecaster").fit(column(x), None, _reset_model=True)
    text = f.model[0].describe()
    assert "naive forecast" not in text and "theta" in text
    assert all(math.isfinite(v) for v in np.ravel(f.predict(prediction_horizon=3)))


def test_autoforecaster_fits_the_series_itself_under_the_log_transform():
    import pickle

    t = np.arange(60.0)
    x = column(200 + 4 * t + 20 * np.sin(2 * np.pi * t / 12))
    logged = QuillcastForecaster(algorithm="autoforecaster").fit(x, None, _reset_model=True)
    plain = QuillcastForecaster(algorithm="autoforecaster", log_transform=False).fit(
        x, None, _reset_model=True)
    assert logged.log_transformed and "ln(x + 2)" in logged.model[0].describe()
    a = np.ravel(logged.predict(prediction_horizon=12))
    assert a == pytest.approx(np.ravel(plain.predict(prediction_horizon=12)), rel=1e-9)
    # New rows, taken through the transform, and a pickled copy give the same forecasts.
    new = column([450.0, 470.0])
    a = np.ravel(logged.predict(new, prediction_horizon=3))
    assert a == pytest.approx(np.ravel(plain.predict(new, prediction_horizon=3)), rel=1e-9)
    copy = pickle.loads(pickle.dumps(logged))
    assert np.ravel(copy.predict(prediction_horizon=4)) == pytest.approx(
        np.ravel(logged.predict(prediction_horizon=4)))


@pytest.mark.parametrize("n", [40, 80])
def test_arima_fits_the_series_itself_under_the_log_transform(n):
    rng = np.random.default_rng(7)
    x = column(100 + np.cumsum(rng.normal(2.0, 1.0, n)))
    logged = QuillcastForecaster(algorithm="arima").fit(x, None, _reset_model=True)
    plain = QuillcastForecaster(algorithm="arima", log_transform=False).fit(
        x, None, _reset_model=True)
    assert logged.log_transformed and "ln(x + 2)" in logged.model[0].describe()
    assert np.ravel(logged.predict(prediction_horizon=6)) == pytest.approx(
        np.ravel(plain.predict(prediction_horizon=6)), rel=1e-9)
