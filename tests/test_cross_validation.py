"""Rolling-origin cross-validation: the forecaster's method, the engine binding, long frames,
and the size of a pickled forecaster."""

import pickle

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.backtest import cross_validation
from tidewell_ts_libs.deps.tarn import _tarn, forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

SETTINGS = dict(algorithm="hw", samples_per_season=12, initial_training_seasons=4)


def monthly(n, seed=0, level=50.0):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return level + 0.3 * t + 8 * np.sin(2 * np.pi * t / 12) + rng.normal(0, 1, n)


def trained(y):
    f = QuillcastForecaster(**SETTINGS)
    f.fit(np.asarray(y).reshape(-1, 1), None, _reset_model=True)
    return f


# --- QuillcastForecaster.cross_validation ----------------------------------------------------


def test_fed_forward_windows_equal_feeding_each_windows_rows_one_by_one():
    y = monthly(110)
    h, windows, step = 6, 4, 3
    cv = QuillcastForecaster(**SETTINGS).cross_validation(
        y.reshape(-1, 1), h=h, n_windows=windows, step=step, level=[80, 95]
    )
    assert list(cv.columns) == [
        "cutoff",
        "time",
        "actual",
        "forecast",
        "lo-80",
        "hi-80",
        "lo-95",
        "hi-95",
    ]
    first = len(y) - h - (windows - 1) * step
    ref = trained(y[:first])
    fed = first
    for w in range(windows):
        origin = first + w * step
        for r in range(fed, origin):  # one updating fit per row
            ref.fit(y[r : r + 1].reshape(-1, 1), None)
        fed = origin
        block = cv.iloc[w * h : (w + 1) * h]
        np.testing.assert_array_equal(block.forecast, ref.predict(prediction_horizon=h).ravel())
        bands = ref.predict_interval(prediction_horizon=h, level=[80, 95])
        for lv in (80, 95):
            np.testing.assert_array_equal(block[f"lo-{lv}"], bands[lv][0].ravel())
            np.testing.assert_array_equal(block[f"hi-{lv}"], bands[lv][1].ravel())
        assert (block.cutoff == origin - 1).all()
        np.testing.assert_array_equal(block.time, np.arange(origin, origin + h))
        np.testing.assert_array_equal(block.actual, y[origin : origin + h])


@pytest.mark.parametrize("refit", [False, True])
def test_one_window_of_h_steps_is_one_forecast_of_the_holdout(refit):
    y = monthly(90, seed=3)
    cv = QuillcastForecaster(**SETTINGS).cross_validation(
        y.reshape(-1, 1), h=8, n_windows=1, step=8, refit=refit, level=90
    )
    ref = trained(y[:-8])
    np.testing.assert_array_equal(cv.forecast, ref.predict(prediction_horizon=8).ravel())
    lo, hi = ref.predict_interval(prediction_horizon=8, level=90)
    np.testing.assert_array_equal(cv["lo-90"], lo.ravel())
    np.testing.assert_array_equal(cv["hi-90"], hi.ravel())
    np.testing.assert_array_equal(cv.actual, y[-8:])


def test_refit_trains_at_every_origin_and_leaves_the_forecaster_alone():
    y = monthly(100, seed=5)
    f = trained(y[:70])
    before = f.predict(prediction_horizon=4)
    cv = f.cross_validation(y.reshape(-1, 1), h=4, n_windows=3, step=5, refit=True)
    for w, origin in enumerate((86, 91, 96)):
        expected = trained(y[:origin]).predict(prediction_horizon=4).ravel()
        np.testing.assert_array_equal(cv.forecast[w * 4 : (w + 1) * 4], expected)
    # The forecaster keeps its own training.
    np.testing.assert_array_equal(f.predict(prediction_horizon=4), before)
    assert len(f._timestamps) == 70


def test_dated_rows_give_dates_and_several_targets_a_target_column():
    y = monthly(96)
    dates = pd.date_range("2015-01-01", periods=96, freq="MS")
    frame = pd.DataFrame({"a": y, "b": monthly(96, seed=9, level=80)}, index=dates)
    cv = QuillcastForecaster(**SETTINGS).cross_validation(frame, h=3, n_windows=2, step=2)
    assert list(cv.columns) == ["target", "cutoff", "time", "actual", "forecast"]
    assert list(cv.target) == ["a"] * 6 + ["b"] * 6
    assert cv.cutoff.iloc[0] == dates[-6] and cv.cutoff.iloc[3] == dates[-4]
    assert list(cv.time[:3]) == list(dates[-5:-2])
    np.testing.assert_array_equal(cv.actual[6:9], frame.b.to_numpy()[-5:-2])
    one = QuillcastForecaster(**SETTINGS).cross_validation(frame[["b"]], h=3, n_windows=2, step=2)
    np.testing.assert_array_equal(one.forecast, cv.forecast[6:])


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(h=0), ValueError, "h must be at least 1, got 0"),
        (dict(h=2, n_windows=-1), ValueError, "n_windows must be at least 1"),
        (dict(h=2, step=1.5), TypeError, "step must be an integer, got 1.5"),
        (dict(h=2, level=[80, 100]), ValueError, "got 100"),
        (dict(h=2, level="80"), ValueError, "got '80'"),
        (dict(h=20, n_windows=3, step=10), ValueError, "need more than 40 rows, the series has 40"),
    ],
)
def test_bad_arguments_name_the_argument_and_value(kwargs, error, text):
    with pytest.raises(error, match=text):
        QuillcastForecaster(**SETTINGS).cross_validation(monthly(40).reshape(-1, 1), **kwargs)


# --- the engine binding -------------------------------------------------------------------------


def test_binding_trains_once_without_refit_and_checks_what_train_returns():
    y = monthly(80)
    calls = []

    def train(n):
        calls.append(n)
        s = _tarn.Forecaster()
        s.train(np.arange(n), y[:n].reshape(1, -1), [forecasters.hws(samples_per_season=12)])
        return s

    out = _tarn.cross_validation(
        y.reshape(-1, 1), None, train, h=4, n_windows=3, step=2, levels=[80.0]
    )
    assert calls == [72]
    assert out["forecasts"].shape == (3, 4, 1) and out["lower"].shape == (1, 3, 4, 1)
    np.testing.assert_array_equal(out["origins"], [72, 74, 76])
    np.testing.assert_array_equal(out["times"][1], [74, 75, 76, 77])
    out = _tarn.cross_validation(
        y.reshape(-1, 1), None, train, h=4, n_windows=3, step=2, refit=True
    )
    assert calls[1:] == [72, 74, 76]
    with pytest.raises(TypeError, match="train must return a Forecaster, got list"):
        _tarn.cross_validation(y.reshape(-1, 1), None, lambda n: [], h=4)


# --- long frames --------------------------------------------------------------------------------


def long_frame():
    dates = pd.date_range("2012-01-01", periods=84, freq="MS")
    parts = [
        pd.DataFrame({"unique_id": sid, "ds": dates, "y": monthly(84, seed=k, level=60 + 20 * k)})
        for k, sid in enumerate(["x", "y"])
    ]
    short = pd.DataFrame({"unique_id": "short", "ds": dates[:5], "y": np.arange(5.0) + 1})
    return pd.concat([*parts, short], ignore_index=True)


def test_long_frame_cross_validation_scores_each_window_and_series():
    data = long_frame()
    res = cross_validation(data, algorithm="hw", h=6, n_windows=3, step=6, level=[80])
    f = res.forecasts
    assert list(f.columns) == ["id", "cutoff", "time", "actual", "forecast", "lo-80", "hi-80"]
    assert list(f.id.unique()) == ["x", "y"] and len(f) == 2 * 3 * 6
    x = f[f.id == "x"]
    y = data[data.unique_id == "x"].y.to_numpy()
    np.testing.assert_array_equal(x.actual, y[-18:])
    assert x.cutoff.iloc[0] == pd.Timestamp("2017-06-01")
    assert x.time.iloc[0] == pd.Timestamp("2017-07-01")
    assert list(res.errors.status) == ["ok", "ok", "failed"]
    assert "too short" in res.errors.message.iloc[2]
    # Every window's metrics are the engine's accuracy of its rows.
    wm = res.window_metrics[res.window_metrics.id == "x"]
    assert len(wm) == 3 and list(wm.cutoff) == list(x.cutoff.unique())
    block = x[x.cutoff == wm.cutoff.iloc[1]]
    acc = _tarn.accuracy(
        block.actual.to_numpy(),
        block.forecast.to_numpy(),
        y[:72],
        12,
        block["lo-80"].to_numpy(),
        block["hi-80"].to_numpy(),
        80,
    )
    for key in ("mae", "rmse", "smape", "mase"):
        assert wm[key].iloc[1] == pytest.approx(acc[key], rel=1e-12)
    for key in ("msis", "coverage"):
        assert wm[f"{key}-80"].iloc[1] == pytest.approx(acc[key], rel=1e-12)
    overall = res.metrics.set_index("id")
    assert overall.loc["x", "mae"] == pytest.approx(np.mean(np.abs(x.actual - x.forecast)))
    assert np.isnan(overall.loc["short", "mae"])


def test_long_frame_refit_and_threads_agree_with_the_sequential_run():
    data = long_frame()
    one = cross_validation(data, algorithm="hw", h=4, n_windows=2, refit=True)
    two = cross_validation(
        data, algorithm="hw", h=4, n_windows=2, refit=True, n_jobs=2, backend="threading"
    )
    pd.testing.assert_frame_equal(one.forecasts, two.forecasts)
    with pytest.raises(ValueError, match="n_windows must be an integer of at least 1, got 0"):
        cross_validation(data, h=4, n_windows=0)


def test_a_season_given_reaches_the_backtests_models():
    """The backtest, like forecast_many, gives every model the caller's season: its first window
    is forecast_many's forecast with the same season, which the detected one would not give."""
    from tidewell_ts_libs.batch import forecast_many

    t = np.arange(120)
    y = 50 + 10 * np.sin(2 * np.pi * t / 12) + np.random.default_rng(2).normal(size=len(t))
    data = pd.DataFrame({"unique_id": "a", "ds": t, "y": y})
    cv = {s: cross_validation(data, algorithm="arima", h=6, season=s).forecasts for s in (5, None)}
    many = forecast_many(data.iloc[:-6], algorithm="arima", horizon=6, season=5)
    np.testing.assert_allclose(cv[5].forecast, many.forecasts.forecast, rtol=1e-12)
    assert not np.allclose(cv[5].forecast, cv[None].forecast)


# --- saved size -----------------------------------------------------------------------------


def test_a_saved_forecaster_does_not_grow_with_its_training_data():
    small, large = monthly(300), monthly(30000)
    sizes = []
    for y in (small, large):
        f = trained(y)
        data = pickle.dumps(f)
        sizes.append(len(data))
        g = pickle.loads(data)
        assert g._timestamps == list(range(len(y)))
        np.testing.assert_array_equal(
            g.predict(prediction_horizon=12), f.predict(prediction_horizon=12)
        )
    assert sizes[1] <= 3 * sizes[0]
    # A state saved before (the whole list of timestamps) still loads as it is.
    f = trained(small)
    old = QuillcastForecaster.__new__(QuillcastForecaster)
    old.__setstate__(dict(vars(f)))
    assert old._timestamps == f._timestamps and isinstance(old._timestamps, list)
    np.testing.assert_array_equal(
        old.predict(prediction_horizon=12), f.predict(prediction_horizon=12)
    )
    # Irregular timestamps are kept as they are.
    X = np.column_stack([np.r_[np.arange(60), 61 + np.arange(60)], monthly(120)])
    f = QuillcastForecaster(ts_icol_loc=0, **SETTINGS)
    f.fit(X, None, _reset_model=True)
    g = pickle.loads(pickle.dumps(f))
    assert g._timestamps == f._timestamps and isinstance(g._timestamps, list)
