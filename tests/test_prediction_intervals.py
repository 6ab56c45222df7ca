"""Prediction intervals: the engine models' forecast_interval_at, the forecaster's
predict_interval and the interval columns of forecast_many."""

import base64
import pickle

import numpy as np
import pandas as pd
import pytest
from helpers import model_states_v1, trend_season

import tidewell_ts_libs.deps.tarn.forecasters as builders
from tidewell_ts_libs import backtest
from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.deps.tarn import _from_state
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

STATES = model_states_v1()
KINDS = {
    "hws": dict(samples_per_season=12, initial_training_seasons=4),
    "arima": dict(min_training_data=48),
    "arma": dict(min_training_data=48),
    "bats": dict(training_sample_size=48, box_cox_transform=True),
    "theta": dict(training_sample_size=48),
    "snaive": dict(training_sample_size=48),
    "auto": dict(min_training_data=48),
}


def monthly(n, seed=0):
    walk = np.cumsum(np.random.default_rng(seed).normal(size=n))
    return trend_season(np.arange(n), 100, 0.3, 8) + walk


def fitted(kind, n=60):
    m = getattr(builders, kind)(**KINDS[kind])
    m.update_model(list(range(n)), [float(v) for v in monthly(n)])
    assert m.is_initialized()
    return m


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_engine_intervals_bracket_nest_and_survive_pickling(kind):
    m = fitted(kind)
    last = m.last_time_updated
    for k in (1, 2, 6, 12):
        f = m.forecast_at(last + k)
        lo80, hi80 = m.forecast_interval_at(last + k, 80)
        lo95, hi95 = m.forecast_interval_at(last + k, 95)
        assert lo95 <= lo80 < f < hi80 <= hi95
    copy = pickle.loads(pickle.dumps(m))
    assert copy.forecast_interval_at(last + 5, 90) == m.forecast_interval_at(last + 5, 90)
    assert m.forecast_interval_at(last + 5, level=50) == m.forecast_interval_at(last + 5, 50)


@pytest.mark.parametrize("level", [0, 100, -5, 150, float("nan")])
def test_engine_rejects_levels_outside_the_open_range(level):
    with pytest.raises(ValueError, match="level"):
        fitted("hws").forecast_interval_at(70, level)


def test_engine_refuses_intervals_before_it_can_forecast():
    m = builders.hws(samples_per_season=4, initial_training_seasons=3)
    m.update_model([0, 1, 2], [1.0, 2.0, 3.0])
    with pytest.raises(ValueError):
        m.forecast_interval_at(5, 95)


@pytest.mark.parametrize("kind", sorted(STATES))
def test_states_of_the_first_format_give_intervals(kind):
    m = _from_state(base64.b64decode(STATES[kind]["state"]))
    if kind in ("hws", "arima", "arma", "auto"):
        # Their states carried a variance estimate (the latest errors, the fit's sigma2).
        lo, hi = m.forecast_interval_at(97, 95)
        assert lo < m.forecast_at(97) < hi
    # The others learn it from the values that follow.
    for t in (96, 97, 98):
        m.update_model(t, m.forecast_at(t) * 1.01 + 0.5)
    lo, hi = m.forecast_interval_at(101, 95)
    assert lo < m.forecast_at(101) < hi
    again = _from_state(m.serialize())
    assert again.forecast_interval_at(101, 95) == (lo, hi)


@pytest.mark.parametrize("algorithm", ["hw", "arima", "arma", "bats", "autoforecaster"])
@pytest.mark.parametrize("log_transform", [True, False])
def test_forecaster_bands_have_the_forecasts_shape(algorithm, log_transform):
    y = monthly(72)
    X = np.column_stack([y, y * 0.5 + 3])
    f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=6, log_transform=log_transform)
    f.fit(X, None, _reset_model=True)
    fc = f.predict()
    lo, hi = f.predict_interval()
    assert lo.shape == hi.shape == fc.shape == (6, 2)
    assert np.all(lo <= fc) and np.all(fc <= hi) and np.all(lo < hi)
    bands = f.predict_interval(prediction_horizon=3, level=[80, 95])
    assert sorted(bands) == [80, 95]
    assert np.all(bands[95][0] <= bands[80][0]) and np.all(bands[80][1] <= bands[95][1])
    assert bands[95][0].shape == f.predict(prediction_horizon=3).shape


@pytest.mark.parametrize("algorithm", ["arima", "autoforecaster"])
def test_bands_of_models_fitted_on_the_series_scale_match_with_and_without_the_log(algorithm):
    # Told that their values are ln(x + 2), these models fit x itself: their bands are the
    # series' own, whichever way the forecaster feeds them.
    y = monthly(96)
    widths = {}
    for log_transform in (True, False):
        f = QuillcastForecaster(algorithm=algorithm, log_transform=log_transform)
        f.fit(y.reshape(-1, 1), None, _reset_model=True)
        lo, hi = f.predict_interval(prediction_horizon=12)
        assert np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))
        widths[log_transform] = (hi - lo).ravel()
    np.testing.assert_allclose(widths[True], widths[False], rtol=0.25)


def test_forecaster_new_rows_update_copies_as_predict_does():
    y = monthly(80)
    f = QuillcastForecaster(algorithm="hw", prediction_horizon=4, log_transform=False)
    f.fit(y[:60].reshape(-1, 1), None, _reset_model=True)
    before = f.predict_interval(level=90)
    new = y[60:70].reshape(-1, 1)
    fc = f.predict(new)
    lo, hi = f.predict_interval(new, level=90)
    assert lo.shape == fc.shape and np.all(lo <= fc) and np.all(fc <= hi)
    # The copies moved on; the trained models did not.
    assert not np.allclose(lo, before[0])
    np.testing.assert_array_equal(f.predict_interval(level=90)[0], before[0])
    # Same as a model fed the rows by hand.
    m = pickle.loads(pickle.dumps(f.model[0]))
    m.update_model(list(range(60, 70)), [float(v) for v in y[60:70]])
    np.testing.assert_allclose(lo[:, 0], [m.forecast_interval_at(69 + k, 90)[0] for k in (1, 2, 3, 4)])
    np.testing.assert_allclose(fc[:, 0], [m.forecast_at(69 + k) for k in (1, 2, 3, 4)])


def long_frame():
    return pd.DataFrame({"unique_id": "a", "ds": np.arange(48), "y": monthly(48)})


def test_forecaster_refuses_bad_levels_and_models_without_intervals():
    f = QuillcastForecaster(algorithm="hw", prediction_horizon=2)
    f.fit(monthly(48).reshape(-1, 1), None, _reset_model=True)
    for level in (0, 100, "95", True, [80, 120]):
        with pytest.raises(ValueError, match="level"):
            f.predict_interval(level=level)
    # A fraction is a percentage mistaken: refused, not a band of under 1%.
    for level in (0.95, [80, 0.95], (0.5,)):
        with pytest.raises(ValueError, match=r"0\.(95|5) is a fraction.*percentages"):
            f.predict_interval(level=level)
        with pytest.raises(ValueError, match="percentages"):
            f.cross_validation(monthly(48).reshape(-1, 1), h=2, n_windows=1, level=level)
        for door in (forecast_many, backtest.cross_validation):
            with pytest.raises(ValueError, match="percentages"):
                door(long_frame(), algorithm="hw", level=level)
    # A level given twice is one band, in every door.
    twice = forecast_many(long_frame(), algorithm="hw", horizon=2, level=[95, 80, 95.0])
    assert [c for c in twice.forecasts.columns if c[:3] in ("lo-", "hi-")] == [
        "lo-95", "hi-95", "lo-80", "hi-80"
    ]
    narrow, wide = f.predict_interval(level=[1, 99.5]).values()
    assert (narrow[0] >= wide[0]).all() and (narrow[1] <= wide[1]).all()
    assert (wide[1] - wide[0] > 0).all()
    np.testing.assert_array_equal(f.predict_interval(level=1)[0], narrow[0])

    class PointOnly:
        def __init__(self, inner):
            self.inner = inner

        def __getattr__(self, name):
            if name == "forecast_interval_at":
                raise AttributeError(name)
            return getattr(self.inner, name)

    f.model = [PointOnly(f.model[0])]
    with pytest.raises(TypeError, match="no prediction intervals"):
        f.predict_interval()


def test_forecast_many_adds_band_columns():
    rng = np.random.default_rng(3)
    df = pd.concat(
        pd.DataFrame({"unique_id": k, "ds": np.arange(40), "y": 50 + np.cumsum(rng.normal(size=40))})
        for k in "ab"
    )
    res = forecast_many(df, algorithm="hw", horizon=3, level=(80, 95))
    fc = res.forecasts
    assert list(fc.columns[-4:]) == ["lo-80", "hi-80", "lo-95", "hi-95"]
    assert (fc["lo-95"] <= fc["lo-80"]).all() and (fc["lo-80"] <= fc["forecast"]).all()
    assert (fc["forecast"] <= fc["hi-80"]).all() and (fc["hi-80"] <= fc["hi-95"]).all()
    assert "lo-80" not in forecast_many(df, algorithm="hw", horizon=3).forecasts.columns
    with pytest.raises(ValueError, match="level"):
        forecast_many(df, horizon=3, level=(80, 100))
