"""Long and several seasons through the forecaster: the mstl algorithm, and a season hw
cannot carry said aloud."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def hourly(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    day = 5 * np.sin(2 * np.pi * t / 24) + 2 * np.cos(4 * np.pi * t / 24)
    week = np.where(t % 168 < 120, 3.0, -7.5)
    return 200 + 0.01 * t + day + week + rng.normal(0, 0.7, n)


def test_mstl_forecasts_both_seasons_and_survives_pickling():
    n, h = 168 * 6, 168
    y = hourly(n + h)
    x = y[:n].reshape(-1, 1)
    f = QuillcastForecaster(algorithm="mstl")
    f.fit(x, x, _reset_model=True)
    fc = np.asarray(f.predict(prediction_horizon=h), float).reshape(-1)
    assert "seasons=24,168" in f.model[0].describe()
    # Far better than the daily seasonal naive, which misses the weekend.
    naive = np.tile(y[n - 24 : n], h // 24)
    err = np.mean(np.abs(fc - y[n:]))
    assert err < 1.5 and err < 0.5 * np.mean(np.abs(naive - y[n:]))
    again = pickle.loads(pickle.dumps(f))
    np.testing.assert_allclose(
        np.asarray(again.predict(prediction_horizon=h), float).reshape(-1), fc
    )


def test_seasons_are_a_setting_and_bad_ones_are_refused():
    y = hourly(168 * 4).reshape(-1, 1)
    f = QuillcastForecaster(algorithm="mstl", seasons="24")
    f.fit(y, y, _reset_model=True)
    assert "seasons=24;" in f.model[0].describe()
    with pytest.raises(Exception, match="seasons"):
        QuillcastForecaster(algorithm="mstl", seasons="24,day").fit(y, y, _reset_model=True)


def test_a_season_hw_cannot_carry_is_a_warning():
    rng = np.random.default_rng(3)
    t = np.arange(365 * 3, dtype=float)
    y = (50 + np.sin(2 * np.pi * t / 365) + rng.normal(0, 3, t.size)).reshape(-1, 1)
    f = QuillcastForecaster(algorithm="hw", samples_per_season=365)
    with pytest.warns(UserWarning, match="season of 365 not fitted"):
        f.fit(y, y, _reset_model=True)
    # A season it fits raises no warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        g = QuillcastForecaster(algorithm="hw", samples_per_season=24)
        x = hourly(24 * 20).reshape(-1, 1)
        g.fit(x, x, _reset_model=True)


@pytest.mark.parametrize("algorithm", ["hw", "arima", "bats"])
def test_seasons_a_model_carrying_one_leaves_out_are_a_warning(algorithm):
    x = hourly(168 * 6).reshape(-1, 1)
    said = r"seasons of 24 and 168 steps; \w+ carries one season .*: mstl or autoforecaster"
    with pytest.warns(UserWarning, match=said):
        QuillcastForecaster(algorithm=algorithm).fit(x, None, _reset_model=True)
    frame = pd.DataFrame({"unique_id": "a", "ds": np.arange(len(x)), "y": x[:, 0]})
    with pytest.warns(UserWarning, match="series 'a': \\w+: the data show " + said):
        forecast_many(frame, algorithm=algorithm, horizon=3)
    # The algorithms that carry them all say nothing.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for other in ("mstl", "autoforecaster"):
            QuillcastForecaster(algorithm=other).fit(x, None, _reset_model=True)
            forecast_many(frame, algorithm=other, horizon=3)


def test_a_detected_season_the_model_declines_is_no_warning():
    # Season 12 is detected here, and Holt-Winters' AICc prefers the forms without it: an
    # ordinary choice of form, not a setting of the caller's left out.
    rng = np.random.default_rng(7)
    t = np.arange(48.0)
    y = 21 + 0.2 * t + 3 * np.sin(2 * np.pi * t / 12) + rng.normal(0, 2.3, t.size)
    frame = pd.DataFrame({"unique_id": "a", "ds": t.astype(int), "y": y})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        QuillcastForecaster(algorithm="hw").fit(y.reshape(-1, 1), None, _reset_model=True)
        forecast_many(frame, algorithm="hw", horizon=6)
    # Given by the caller, the same season left out is said.
    with pytest.warns(UserWarning, match="season of 12 not fitted"):
        forecast_many(frame, algorithm="hw", horizon=6, season=12)
    with pytest.warns(UserWarning, match="season of 12 not fitted"):
        QuillcastForecaster(algorithm="hw", samples_per_season=12).fit(
            y.reshape(-1, 1), None, _reset_model=True
        )


def daily_with_year(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    y = 100 + 0.01 * t + np.cumsum(rng.normal(0, 0.15, n)) + rng.normal(0, 1, n)
    for k in (1, 2, 3):
        y += 6 / k * np.sin(2 * np.pi * k * t / 7 + rng.uniform(0, 6.3))
        y += 4 / k * np.sin(2 * np.pi * k * t / 365 + rng.uniform(0, 6.3))
    return y


def test_dated_rows_give_the_calendar_seasons_and_survive_pickling():
    n, h = 365 * 4, 60
    y = daily_with_year(n + h, seed=1)
    frame = pd.DataFrame({"y": y[:n]}, index=pd.date_range("2015-01-01", periods=n, freq="D"))
    f = QuillcastForecaster(algorithm="autoforecaster")
    f.fit(frame, frame, _reset_model=True)
    text = f.model[0].describe()
    assert "seasons=7,365;" in text, text
    fc = np.asarray(f.predict(prediction_horizon=h), float).reshape(-1)
    assert np.mean(np.abs(fc - y[n:])) < 0.8 * np.mean(np.abs(y[n - 365 : n - 365 + h] - y[n:]))
    again = pickle.loads(pickle.dumps(f))
    np.testing.assert_allclose(
        np.asarray(again.predict(prediction_horizon=h), float).reshape(-1), fc
    )
    # The same values without dates keep the seasons the data alone show.
    g = QuillcastForecaster(algorithm="mstl")
    g.fit(y[:n].reshape(-1, 1), y[:n].reshape(-1, 1), _reset_model=True)
    assert "seasons=7," in g.model[0].describe()
    # Weekly dates: a year of 52 weeks for the single-season families (the values alone peak at
    # 53 here).
    rng = np.random.default_rng(2)
    t = np.arange(520, dtype=float)
    w = 50 + 5 * np.sin(2 * np.pi * t / (365.25 / 7)) + rng.normal(0, 1, t.size)
    weeks = pd.DataFrame({"y": w}, index=pd.date_range("2010-01-03", periods=t.size, freq="7D"))
    f = QuillcastForecaster(algorithm="autoforecaster")
    f.fit(weeks, weeks, _reset_model=True)
    assert "season=52 " in f.model[0].describe()


def test_batch_forecasts_pass_the_calendar_of_their_dates():
    from tidewell_ts_libs import series
    from tidewell_ts_libs.deps.tarn import _tarn

    rng = np.random.default_rng(2)
    t = np.arange(520, dtype=float)
    w = 50 + 5 * np.sin(2 * np.pi * t / (365.25 / 7)) + rng.normal(0, 1, t.size)
    weeks = pd.date_range("2010-01-03", periods=t.size, freq="7D")
    grid = series.on_grid(weeks.values, w)
    assert grid.step == "week" and grid.seasons == pytest.approx((365.25 / 7,))
    assert series.on_grid(np.arange(t.size), w).seasons == ()
    days = _tarn.time_grid(pd.date_range("2020-01-06", periods=30, freq="B").values)
    assert days["calendar_seasons"] == pytest.approx([5.0, 365.25 * 5 / 7])
    # A cycle of 52.6 weeks: the values alone put it at 53 weeks; the calendar's year (52.18
    # weeks, within 2 %) makes it 52.
    w53 = 50 + 5 * np.sin(2 * np.pi * t / 52.6) + rng.normal(0, 1, t.size)
    assert list(_tarn.forecast_series("hw", [w53], 52)["season"]) == [53]
    out = _tarn.forecast_series("hw", [w53], 52, calendar=[list(grid.seasons)])
    assert list(out["season"]) == [52]
    with pytest.raises(ValueError, match="calendar must hold one list"):
        _tarn.forecast_series("hw", [w], 52, calendar=[])
    frame = pd.DataFrame({"unique_id": "a", "ds": weeks, "y": w})
    res = forecast_many(frame, algorithm="autoforecaster", horizon=52, holdout=52)
    assert (res.errors.status == "ok").all()
