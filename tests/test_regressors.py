"""Regressors: calendar regressors from timestamps, and forecast_many trained with regressors
(forecasts that use them, the future taken from X_df, and every refused input)."""

import sys

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.regressors import calendar_regressors, forecast_times

# ---------------------------------------------------------------------------------------------
# Calendar regressors


def test_known_dates_give_known_dummies_indexed_like_the_times():
    # 2024-01-01 Monday (the base day, January the base month), 2024-02-29 Thursday,
    # 2023-12-31 Sunday; a Series keeps its own index.
    times = pd.Series(pd.to_datetime(["2024-01-01", "2024-02-29", "2023-12-31"]), index=[7, 8, 9])
    reg = calendar_regressors(times, day_of_week=True, month=True)
    assert list(reg.index) == [7, 8, 9]
    assert list(reg.columns[:6]) == ["day_tue", "day_wed", "day_thu", "day_fri", "day_sat",
                                     "day_sun"]
    assert list(reg.columns[6:]) == [f"month_{m}" for m in
                                     ("feb mar apr may jun jul aug sep oct nov dec".split())]
    assert reg.loc[7].sum() == 0
    assert reg.loc[8, "day_thu"] == 1 and reg.loc[8, "month_feb"] == 1 and reg.loc[8].sum() == 2
    assert reg.loc[9, "day_sun"] == 1 and reg.loc[9, "month_dec"] == 1 and reg.loc[9].sum() == 2
    # ISO text and aware times are read too; plain times are the index. Times at one time of
    # day keep their own calendar (a Tuesday evening stays a Tuesday); hourly ones are indexed
    # in UTC, but their dummies follow the local day.
    text = calendar_regressors(["2024-01-02T23:00:00-02:00"], day_of_week=True)
    assert text.index[0] == pd.Timestamp("2024-01-02 23:00") and text.iloc[0]["day_tue"] == 1
    hourly = pd.date_range("2024-01-02 22:00", periods=3, freq="h", tz="Etc/GMT+2")
    text = calendar_regressors(hourly, day_of_week=True)
    assert text.index[0] == pd.Timestamp("2024-01-03 00:00")
    assert list(text["day_tue"]) == [1, 1, 0] and list(text["day_wed"]) == [0, 0, 1]


def test_zoned_hourly_future_continues_the_local_days_and_the_waves():
    # Tokyo's midnight is 15:00 UTC the day before; the future comes from forecast_times as
    # naive UTC times and is read in the history's zone.
    history = pd.date_range("2024-03-25", periods=24 * 4, freq="h", tz="Asia/Tokyo")
    future = forecast_times(history, 30)
    aware_future = pd.DatetimeIndex(future).tz_localize("UTC").tz_convert("Asia/Tokyo")
    kw = dict(day_of_week=True, fourier=(24, 2), holidays={pd.Timestamp("2024-03-29").date()})
    whole = calendar_regressors(history.append(aware_future), **kw)
    parts = [calendar_regressors(history, **kw), calendar_regressors(future, history=history, **kw)]
    np.testing.assert_allclose(pd.concat(parts).to_numpy(), whole.to_numpy(), atol=1e-12)
    friday = whole.index.to_series().between("2024-03-28 15:00", "2024-03-29 14:00").to_numpy()
    assert whole["day_fri"].to_numpy()[friday].all() and whole["day_fri"].sum() == 24
    np.testing.assert_array_equal(whole["holiday"], whole["day_fri"])


@pytest.mark.parametrize(
    "history",
    [
        pd.date_range("2019-01-01", periods=30, freq="MS"),  # monthly
        pd.date_range("2023-01-02", periods=40, freq="B"),  # business days
        pd.date_range("2023-01-06", periods=20, freq="W-FRI"),  # weekly
        np.arange(0, 300, 10),  # integers stepping by 10
    ],
    ids=["monthly", "business-days", "weekly", "integers"],
)
def test_fourier_terms_continue_from_the_training_span_into_the_future(history):
    future = forecast_times(history, 3)
    both = np.concatenate([np.asarray(history), np.asarray(future)])
    whole = calendar_regressors(both, fourier=[(7, 2), (12.5, 1)])
    train = calendar_regressors(history, fourier=[(7, 2), (12.5, 1)])
    ahead = calendar_regressors(future, fourier=[(7, 2), (12.5, 1)], history=history)
    np.testing.assert_allclose(train.to_numpy(), whole.to_numpy()[: len(history)], atol=1e-12)
    np.testing.assert_allclose(ahead.to_numpy(), whole.to_numpy()[len(history) :], atol=1e-12)
    # Each step turns the period-7 wave by 1/7 of a circle, across the boundary too.
    angle = np.arctan2(whole["sin_7_1"], whole["cos_7_1"]).to_numpy()
    np.testing.assert_allclose(np.cos(np.diff(angle)), np.cos(2 * np.pi / 7), atol=1e-9)


def test_a_lone_business_day_needs_its_history_for_its_step():
    history = pd.date_range("2023-01-02", periods=40, freq="B")
    future = forecast_times(history, 1)
    whole = calendar_regressors(history.append(future), fourier=(5, 2))
    with_history = calendar_regressors(future, fourier=(5, 2), history=history)
    np.testing.assert_allclose(with_history.to_numpy(), whole.to_numpy()[-1:], atol=1e-12)


def test_holidays_from_a_calendar_or_the_optional_package(monkeypatch):
    days = pd.date_range("2024-12-24", periods=3, freq="D")
    reg = calendar_regressors(days, holidays={pd.Timestamp("2024-12-25").date()})
    assert list(reg["holiday"]) == [0.0, 1.0, 0.0]
    monkeypatch.setitem(sys.modules, "holidays", None)  # the extra not installed
    with pytest.raises(ImportError, match=r"tidewell_ts_libs\[holidays\]"):
        calendar_regressors(days, holidays="US")
    monkeypatch.undo()
    pytest.importorskip("holidays")
    us = calendar_regressors(days, holidays="US")
    assert list(us["holiday"]) == [0.0, 1.0, 0.0]
    with pytest.raises(ValueError, match="country code 'XX'"):
        calendar_regressors(days, holidays="XX")


# ---------------------------------------------------------------------------------------------
# forecast_many with regressors


def driven_frame(n=72, n_series=2, seed=3):
    """Series driven by a strong regressor (a random walk the series cannot forecast alone)."""
    rng = np.random.default_rng(seed)
    months = pd.date_range("2015-01-01", periods=n, freq="MS")
    frames = []
    for i in range(n_series):
        x = np.cumsum(rng.normal(0, 3, n)) + 50
        y = 20 + 4 * x + rng.normal(0, 0.5, n)
        frames.append(pd.DataFrame({"unique_id": f"s{i}", "ds": months, "y": y, "price": x}))
    return pd.concat(frames, ignore_index=True)


def test_a_strong_regressor_beats_the_forecast_without_it():
    data = driven_frame()
    plain = forecast_many(data, algorithm="arima", horizon=8, holdout=8)
    driven = forecast_many(data, algorithm="arima", horizon=8, holdout=8, exog="price")
    assert (driven.errors.status == "ok").all(), driven.errors.message.tolist()
    assert (driven.errors.mae < plain.errors.mae / 3).all()
    assert (driven.errors.mae < 1.5).all()
    # Workers get each series' regressors with it: the same forecasts on two threads.
    threaded = forecast_many(data, algorithm="arima", horizon=8, holdout=8, exog="price",
                             n_jobs=2, backend="threading")
    np.testing.assert_array_equal(threaded.forecasts.forecast, driven.forecasts.forecast)


def test_future_regressors_from_x_df_give_the_forecast_the_holdout_gives():
    data = driven_frame()
    last = data.ds.max() - pd.DateOffset(months=5)
    held = forecast_many(data, algorithm="arima", horizon=6, holdout=6, exog=["price"])
    train, future = data[data.ds < last], data[data.ds >= last]
    x_df = future[["unique_id", "ds", "price"]].sample(frac=1, random_state=0)  # any order
    ahead = forecast_many(train, algorithm="arima", horizon=6, exog=["price"], X_df=x_df,
                          level=[80])
    np.testing.assert_allclose(ahead.forecasts.forecast, held.forecasts.forecast, rtol=1e-9)
    assert list(ahead.forecasts.time[:6]) == list(future.ds[:6])
    assert (ahead.forecasts["lo-80"] < ahead.forecasts.forecast).all()


def bad_inputs():
    data = driven_frame(n=40)
    train = data[data.ds < "2017-09-01"]
    future = data[data.ds >= "2017-09-01"][["unique_id", "ds", "price"]]
    nan_future = future.copy()
    nan_future.loc[nan_future.index[2], "price"] = np.nan
    nan_train = train.copy()
    nan_train.loc[5, "price"] = np.inf
    text_future = future.astype({"price": object})
    text_future.loc[text_future.index[0], "price"] = "cheap"
    twice = pd.concat([future, future.iloc[:1]])
    return [
        (train, {"exog": "price"}, "exog needs X_df"),
        (train, {"X_df": future}, "X_df is given without exog"),
        (train, {"exog": "cost", "X_df": future}, "no column named 'cost'"),
        (train, {"exog": "ds", "X_df": future}, "not a regressor"),
        (train, {"exog": "price", "X_df": future.drop(columns="price")}, "X_df has no column"),
        (train, {"exog": "price", "X_df": future[future.unique_id == "s0"]},
         "no rows for series 's1'"),
        (train, {"exog": "price", "X_df": future.iloc[1:]},
         r"lacks the regressors of series 's0' at 2017-09-01T00:00:00 \(1 of its 4"),
        (train, {"exog": "price", "X_df": nan_future}, "series 's0' has no finite value of"),
        (train, {"exog": "price", "X_df": text_future}, "non-numeric value 'cheap'"),
        (train, {"exog": "price", "X_df": twice}, "two rows for 2017-09-01"),
        (nan_train, {"exog": "price", "X_df": future},
         "series 's0': regressor 'price' has no finite value at 2015-06-01"),
    ]


@pytest.mark.parametrize("data, kwargs, match", bad_inputs())
def test_bad_regressors_raise_before_training_naming_the_series(data, kwargs, match):
    with pytest.raises(ValueError, match=match):
        forecast_many(data, algorithm="arima", horizon=4, **kwargs)
