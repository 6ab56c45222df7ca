"""Dated data: timestamps given as dates (datetime64, ISO 8601 text, a DatetimeIndex) lie on a
calendar time axis, and forecasts come with the dates that follow the data's own spacing."""

import pickle

import numpy as np
import pandas as pd
import pytest
from helpers import season_trend

from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def monthly(n=48, start="2015-01-01"):
    return pd.DataFrame(
        {
            "ds": pd.date_range(start, periods=n, freq="MS"),
            "y": season_trend(np.arange(float(n)), 100, 20, 1),
        }
    )


def forecaster(**kw):
    return QuillcastForecaster(ts_icol_loc=[0], samples_per_season=12, prediction_horizon=3, **kw)


def test_every_form_of_dates_trains_the_same_models():
    df = monthly()
    ref = forecaster().fit(df, None)
    assert ref._timestamps[:2] == [540, 541]  # calendar months since 1970-01
    assert ref.get_train_interval() == 1.0
    as_text = df.assign(ds=df.ds.dt.strftime("%Y-%m-%d"))
    as_objects = np.empty((len(df), 2), dtype=object)
    # Python datetimes (numpy turns nanosecond datetime64 values into plain integers here)
    as_objects[:, 0] = [t.to_pydatetime() for t in df.ds]
    as_objects[:, 1] = df.y.to_numpy()
    with_zone = df.assign(ds=df.ds.dt.tz_localize("UTC"))
    for data in (as_text, as_objects, with_zone):
        f = forecaster().fit(data, None)
        np.testing.assert_allclose(f.predict(), ref.predict())
    indexed = QuillcastForecaster(samples_per_season=12, prediction_horizon=3)
    indexed.fit(df.set_index("ds"), None)
    np.testing.assert_allclose(indexed.predict(), ref.predict())
    assert indexed.n_features_in_ == 1 and indexed.n_features_ == 1
    # target columns count the columns of the frame
    two = df.set_index("ds").assign(z=-df.y.to_numpy())
    chosen = QuillcastForecaster(
        samples_per_season=12, prediction_horizon=3, target_column_indices=[0]
    )
    np.testing.assert_allclose(chosen.fit(two, None).predict(), ref.predict())
    new = two[-2:].set_index(two.index[-2:] + pd.DateOffset(years=1))
    np.testing.assert_allclose(chosen.predict(new), indexed.predict(new[["y"]]))
    # numbers in the timestamp column keep the numeric axis
    numeric = forecaster().fit(np.column_stack([np.arange(48.0), df.y]), None)
    assert not hasattr(numeric, "time_axis_") and numeric.forecast_times().tolist() == [48, 49, 50]


def test_forecast_times_follow_calendar_months_and_days():
    f = forecaster().fit(monthly(), None)
    pred = f.predict()
    assert isinstance(pred, np.ndarray) and pred.shape == (3, 1)
    assert list(f.forecast_times().strftime("%Y-%m-%d")) == [
        "2019-01-01",
        "2019-02-01",
        "2019-03-01",
    ]
    ends = pd.DataFrame(
        {"ds": pd.date_range("2023-01-31", periods=24, freq="ME"), "y": np.arange(24.0) + 5}
    )
    g = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=6).fit(ends, None)
    assert list(g.forecast_times(2).strftime("%Y-%m-%d")) == ["2025-01-31", "2025-02-28"]
    days = pd.DataFrame(
        {"ds": pd.date_range("2020-02-20", periods=30, freq="D"), "y": np.arange(30.0) + 5}
    )
    d = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=7).fit(days, None)
    assert list(d.forecast_times(2).strftime("%Y-%m-%d")) == ["2020-03-21", "2020-03-22"]
    # after an updating fit the times continue from the new rows
    d.fit(pd.DataFrame({"ds": [pd.Timestamp("2020-03-21")], "y": [40.0]}), None)
    assert list(d.forecast_times(1).strftime("%Y-%m-%d")) == ["2020-03-22"]
    # the axis is kept with the forecaster
    assert pickle.loads(pickle.dumps(f)).forecast_times().equals(f.forecast_times())


def test_new_dated_rows_update_the_forecast():
    df = monthly(60)
    f = forecaster().fit(df[:48], None)
    by_numbers = forecaster().fit(np.column_stack([np.arange(48.0), df.y[:48]]), None)
    new = df[48:50]
    expected = by_numbers.predict(np.column_stack([[48.0, 49.0], new.y]), prediction_horizon=2)
    np.testing.assert_allclose(f.predict(new, prediction_horizon=2), expected)
    np.testing.assert_allclose(f.predict(new.assign(ds=new.ds.astype(str))), f.predict(new))
    window = f.predict(df[48:], prediction_type="sliding_window", prediction_horizon=1)
    numbers = np.column_stack([np.arange(48.0, 60.0), df.y[48:]])
    np.testing.assert_allclose(
        window, by_numbers.predict(numbers, prediction_type="sliding_window", prediction_horizon=1)
    )
    assert f.score(df[48:], df.y[48:].to_numpy()) < 0

    indexed = QuillcastForecaster(samples_per_season=12).fit(df[:48].set_index("ds"), None)
    np.testing.assert_allclose(indexed.predict(new.set_index("ds"), prediction_horizon=2), expected)


def test_dates_that_do_not_fit_are_refused_clearly():
    f = forecaster().fit(monthly(), None)
    with pytest.raises(ValueError, match="2019-01-15.*time axis.*month"):
        f.predict(pd.DataFrame({"ds": [pd.Timestamp("2019-01-15")], "y": [1.0]}))
    numeric = forecaster().fit(np.column_stack([np.arange(48.0), monthly().y]), None)
    with pytest.raises(ValueError, match="trained on numeric timestamps"):
        numeric.predict(monthly(2, start="2019-01-01"))
    # The other way round: numbers were read as nanoseconds since 1970 and corrupted the models.
    before = f.predict()
    with pytest.raises(ValueError, match="not dates, but the forecaster was trained on dates"):
        f.fit(pd.DataFrame({"ds": [48, 49], "y": [1.0, 2.0]}), None)
    np.testing.assert_array_equal(f.predict(), before)
    bad = pd.DataFrame({"ds": ["2015-01-01", "the second"], "y": [1.0, 2.0]})
    with pytest.raises(ValueError, match="not dates"):
        forecaster().fit(bad, None)
    unordered = monthly(12).iloc[::-1]
    with pytest.raises(ValueError, match="not strictly increasing"):
        forecaster().fit(unordered, None)
    with pytest.raises(ValueError, match="could not convert"):
        forecaster().fit(monthly(12).assign(y="many"), None)


def long_table(**ds_kwargs):
    t = np.arange(36.0)
    frames = []
    for k, sid in enumerate(["a", "b"]):
        ds = pd.date_range("2015-01-01", periods=36, freq="MS")
        frames.append(
            pd.DataFrame(
                {"unique_id": sid, "ds": ds, "y": 50 + 10 * np.sin(2 * np.pi * t / 12) + t + k}
            )
        )
    return pd.concat(frames, ignore_index=True)


def test_forecast_many_gives_dated_forecasts_for_text_and_datetime64():
    table = long_table()
    dated = forecast_many(table, algorithm="hw", horizon=3)
    text = forecast_many(
        table.assign(ds=table.ds.dt.strftime("%Y-%m-%d")), algorithm="hw", horizon=3
    )
    pd.testing.assert_frame_equal(dated.forecasts, text.forecasts)
    # Periods are dated by their first days (they gave steps 1, 2, 3 and no calendar).
    periods = forecast_many(
        table.assign(ds=table.ds.dt.to_period("M")), algorithm="hw", horizon=3
    )
    pd.testing.assert_frame_equal(dated.forecasts, periods.forecasts)
    assert dated.forecasts.time.dtype.kind == "M"
    assert list(dated.forecasts.time.dt.strftime("%Y-%m-%d")[:3]) == [
        "2018-01-01",
        "2018-02-01",
        "2018-03-01",
    ]
    # labels that are no dates keep their order and give step numbers
    labels = table.assign(ds=table.groupby("unique_id").cumcount().map(lambda i: f"w{i:02d}"))
    assert list(forecast_many(labels, algorithm="hw", horizon=2).forecasts.time[:2]) == [1, 2]
    # Text that is not ISO keeps the rows' order (sorted, "10/01/2019" came before
    # "12/01/2018" and the series was trained scrambled); numbers written as text are numbers;
    # blanks around a date do not hide it, nor does a categorical column.
    us = table.assign(ds=table.ds.dt.strftime("%m/%d/%Y"))
    steps = table.assign(ds=table.groupby("unique_id").cumcount().add(1).astype(str))
    for other in (us, steps.sample(frac=1, random_state=0)):
        np.testing.assert_allclose(
            forecast_many(other, algorithm="hw", horizon=3).forecasts.forecast,
            dated.forecasts.forecast,
        )
    spaced = table.assign(ds=table.ds.dt.strftime(" %Y-%m-%d "))
    coded = table.assign(ds=table.ds.dt.strftime("%Y-%m-%d").astype("category"))
    for other in (spaced, coded):
        pd.testing.assert_frame_equal(forecast_many(other, algorithm="hw", horizon=3).forecasts,
                                      dated.forecasts)
    # A missing time fails its series, as a missing date does (it was trained on, times NaN).
    gap = steps.assign(ds=pd.to_numeric(steps.ds).astype("Int64"))
    gap.loc[gap.index[-1], "ds"] = pd.NA
    result = forecast_many(gap, algorithm="hw", horizon=3)
    assert result.errors.set_index("id").loc[gap.unique_id.iloc[-1], "message"].endswith(
        "a time is missing"
    )
    mixed = table.assign(ds=table.ds.dt.strftime("%Y-%m-%d"))
    mixed.loc[5, "ds"] = "June"
    with pytest.raises(ValueError, match="'June'"):
        forecast_many(mixed, algorithm="hw", horizon=2)


def business_days(n=60, start="2021-01-04"):
    t = np.arange(float(n))
    return pd.DataFrame(
        {"ds": pd.bdate_range(start, periods=n), "y": 50 + 0.2 * t + 8 * np.sin(2 * np.pi * t / 5)}
    )


def test_business_days_step_by_weekdays():
    df = business_days()  # Monday 2021-01-04 to Friday 2021-03-26
    f = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=5, prediction_horizon=3)
    f.fit(df, None)
    assert np.diff(f._timestamps).tolist() == [1] * 59 and f.get_train_interval() == 1.0
    # The weekdays are consecutive steps: the models see the series as plain rows.
    rows = QuillcastForecaster(samples_per_season=5, prediction_horizon=3)
    rows.fit(df[["y"]].to_numpy(), None)
    np.testing.assert_array_equal(f.predict(), rows.predict())
    assert list(f.forecast_times().strftime("%a %Y-%m-%d")) == [
        "Mon 2021-03-29",
        "Tue 2021-03-30",
        "Wed 2021-03-31",
    ]
    # New rows continue over the weekend; a Saturday is not on the axis.
    new = pd.DataFrame({"ds": pd.to_datetime(["2021-03-29", "2021-03-30"]), "y": [60.0, 61.0]})
    expected = rows.predict(new[["y"]].to_numpy(), prediction_horizon=2)
    np.testing.assert_array_equal(f.predict(new, prediction_horizon=2), expected)
    saturday = pd.DataFrame({"ds": [pd.Timestamp("2021-03-27")], "y": [1.0]})
    with pytest.raises(ValueError, match="2021-03-27.*one step: a business day"):
        f.predict(saturday)
    # The axis is kept with the forecaster; an axis saved before business days had their own
    # counts every day, as it did then.
    again = pickle.loads(pickle.dumps(f))
    assert again.forecast_times().equals(f.forecast_times())
    days = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=7).fit(
        pd.DataFrame({"ds": pd.date_range("2021-01-04", periods=30), "y": np.arange(30.0)}), None
    )
    assert days.time_axis_["business_days"] is False
    old = pickle.loads(pickle.dumps(days))
    del old.time_axis_["business_days"]
    assert old.forecast_times().equals(days.forecast_times())
    broken = pickle.loads(pickle.dumps(f))
    broken.time_axis_ = dict(f.time_axis_, unit="month")
    with pytest.raises(ValueError, match="time_axis_.*business days"):
        broken.forecast_times()


def test_an_index_of_neither_dates_nor_row_numbers_is_refused():
    df = monthly(36)
    ref = QuillcastForecaster(samples_per_season=12).fit(df.set_index("ds"), None).predict()
    # Dates as ISO text in the index (as read_csv gives them) are dates.
    text = df.assign(ds=df.ds.dt.strftime("%Y-%m-%d")).set_index("ds")
    f = QuillcastForecaster(samples_per_season=12).fit(text, None)
    np.testing.assert_array_equal(f.predict(), ref)
    assert list(f.forecast_times(1).strftime("%Y-%m-%d")) == ["2018-01-01"]
    # Integer indexes number the rows, as they always did.
    shifted = df[["y"]].set_index(df.index + 100)
    for frame in (shifted, df[["y"]]):
        plain = QuillcastForecaster(samples_per_season=12).fit(frame, None)
        np.testing.assert_array_equal(plain.predict(), ref)
    labels = [f"w{i:02d}" for i in range(36)]
    for index in (labels, np.arange(36) + 0.5):
        bad = df[["y"]].set_index(pd.Index(index))
        with pytest.raises(ValueError, match=r"index of X .*neither dates nor row numbers"):
            QuillcastForecaster(samples_per_season=12).fit(bad, None)
        with pytest.raises(ValueError, match=r"index of X "):
            plain.predict(bad[:2])
    with pytest.raises(ValueError, match=r"'w00', 'w01', 'w02', \.\.\."):
        plain.predict(df[["y"]].set_index(pd.Index(labels)))
    # A timestamp column makes the index irrelevant.
    by_column = forecaster().fit(df.set_index(pd.Index(labels)), None)
    np.testing.assert_array_equal(by_column.predict(), forecaster().fit(df, None).predict())


# --- dates with a time zone --------------------------------------------------------------------


@pytest.mark.parametrize("freq", ["MS", "D", "W-MON"])
def test_zoned_calendar_dates_keep_their_own_calendar(freq):
    """Months and days in a zone with summer time fall at 22:00 or 23:00 UTC; read in UTC they
    were irregular and gave forecasts dated at drifting hours. They keep their own calendar."""
    zoned = pd.date_range("2019-01-01", periods=48, freq=freq, tz="Europe/Berlin")
    y = season_trend(np.arange(48.0), 100, 20, 1)
    local = zoned.tz_localize(None)
    want = pd.date_range(local[-1], periods=4, freq=freq)[1:]
    est = QuillcastForecaster(algorithm="hw", prediction_horizon=3)
    est.fit(pd.DataFrame({"y": y}, index=zoned), None)
    np.testing.assert_array_equal(pd.DatetimeIndex(est.forecast_times(3)), want)
    for ds in (zoned, pd.Series([t.isoformat() for t in zoned])):
        res = forecast_many(pd.DataFrame({"unique_id": "a", "ds": ds, "y": y}), horizon=3)
        np.testing.assert_array_equal(pd.DatetimeIndex(res.forecasts.time), want)
    text = pd.DataFrame({"ds": [t.isoformat() for t in zoned], "y": y})
    est = QuillcastForecaster(algorithm="hw", ts_icol_loc=[0], prediction_horizon=3).fit(text, None)
    np.testing.assert_array_equal(pd.DatetimeIndex(est.forecast_times(3)), want)
    # The same data without a zone give the same forecasts.
    plain = forecast_many(pd.DataFrame({"unique_id": "a", "ds": local, "y": y}), horizon=3)
    np.testing.assert_array_equal(plain.forecasts.forecast, res.forecasts.forecast)


def test_zoned_hours_stay_in_utc_through_the_change_of_clocks_and_later_rows():
    """Hourly data across the night the clocks go back (a repeated local hour) are read in UTC,
    at training and for every later row, even a single one at midnight."""
    zoned = pd.date_range("2023-10-27", periods=24 * 6, freq="h", tz="Europe/Berlin")
    y = 100 + 10 * np.sin(np.arange(len(zoned)) * 2 * np.pi / 24)
    utc = zoned.tz_convert("UTC").tz_localize(None)
    est = QuillcastForecaster(algorithm="hw", samples_per_season=24, prediction_horizon=2)
    est.fit(pd.DataFrame({"y": y[:-3]}, index=zoned[:-3]), None)
    np.testing.assert_array_equal(pd.DatetimeIndex(est.forecast_times(2)), utc[-3:-1])
    est.fit(pd.DataFrame({"y": y[-3:-2]}, index=zoned[-3:-2]), None)
    np.testing.assert_array_equal(pd.DatetimeIndex(est.forecast_times(2)), utc[-2:])
    # forecast_many with the regressors' future in a table of its own: one zoned hour.
    x = np.cos(np.arange(len(zoned)))
    data = pd.DataFrame({"unique_id": "a", "ds": zoned[:-1], "y": y[:-1] + x[:-1], "x": x[:-1]})
    future = pd.DataFrame({"unique_id": "a", "ds": zoned[-1:], "x": x[-1:]})
    res = forecast_many(data, horizon=1, algorithm="arima", exog=["x"], X_df=future)
    assert list(res.errors.status) == ["ok"], res.errors.message.iloc[0]
    assert res.forecasts.time.iloc[0] == utc[-1]


def test_each_zoned_series_keeps_its_own_clock_in_a_table_of_several():
    # A month stays a month and an hour an hour, whatever other series share the table (one
    # hourly series put every monthly one on UTC: dates drifting off the months), with the
    # regressors' future read on each series' clock too, and as ISO text with offsets.
    months = pd.date_range("2019-01-01", periods=36, freq="MS", tz="Europe/Berlin")
    hours = pd.date_range("2023-03-20", periods=72, freq="h", tz="Europe/Berlin")
    table = pd.concat([
        pd.DataFrame({"unique_id": "m", "ds": months, "y": 100 + np.arange(36.0), "x": 1.0}),
        pd.DataFrame({"unique_id": "h", "ds": hours, "y": 50 + np.sin(np.arange(72.0)), "x": 1.0}),
    ], ignore_index=True)
    future = pd.DataFrame({
        "unique_id": ["m"] * 3 + ["h"] * 3,
        "ds": [*pd.date_range("2022-01-01", periods=3, freq="MS", tz="Europe/Berlin"),
               *pd.date_range(hours[-1], periods=4, freq="h")[1:]],
        "x": 1.0,
    })
    alone = {
        sid: forecast_many(table[table.unique_id == sid], algorithm="arima", horizon=3).forecasts
        for sid in ("m", "h")
    }
    as_text = table.assign(ds=[t.isoformat() for t in table.ds])
    for data in (table, as_text):
        both = forecast_many(data, algorithm="arima", horizon=3).forecasts
        for sid, own in alone.items():
            np.testing.assert_array_equal(both[both.id == sid].time, own.time)
        with_x = forecast_many(data, algorithm="arima", horizon=3, exog=["x"], X_df=future)
        assert (with_x.errors.status == "ok").all(), with_x.errors.message.tolist()
        np.testing.assert_array_equal(with_x.forecasts.time, both.time)
    assert list(alone["m"].time.dt.strftime("%Y-%m-%d")) == ["2022-01-01", "2022-02-01", "2022-03-01"]


def test_absent_timestamps_leave_the_forecasts_on_the_grid():
    # Rows absent from training (an outage, a month never reported) are steps the models span:
    # the forecasts fall on the following steps, not at multiples of the rows' mean spacing.
    t = np.r_[0:40, 60:100].astype(float)
    est = QuillcastForecaster(algorithm="arima", ts_icol_loc=[0], prediction_horizon=4,
                              log_transform=False)
    est.fit(np.column_stack([t, 10 + 0.5 * t]), None)
    np.testing.assert_array_equal(est.forecast_times(), [100, 101, 102, 103])
    np.testing.assert_allclose(est.predict().ravel(), est.model[0].forecast_path(4))
    assert est.get_train_interval() == 1
    months = pd.date_range("2010-01-01", periods=121, freq="MS").delete(60)
    est = QuillcastForecaster(prediction_horizon=60).fit(
        pd.DataFrame({"y": 100 + np.arange(120.0)}, index=months), None)
    assert list(est.forecast_times()) == list(pd.date_range("2020-02-01", periods=60, freq="MS"))
    # A year without data before an update: the next months follow the update's month.
    est.fit(pd.DataFrame({"y": [240.0]}, index=[pd.Timestamp("2021-02-01")]), None)
    assert list(est.forecast_times()[:3]) == list(pd.date_range("2021-03-01", periods=3, freq="MS"))


@pytest.mark.parametrize("kind", ["30th", "business month end", "business month start"])
def test_months_dated_on_a_late_or_a_business_day_step_by_months(kind):
    # Monthly data on the 30th (February's last day in February), on each month's last or first
    # business day: the forecasts continue the months (they drifted by 30 days, or skipped and
    # repeated months), through the forecaster, a saved copy and forecast_many alike.
    if kind == "30th":
        dates = pd.DatetimeIndex([pd.Timestamp("2020-03-30") + pd.DateOffset(months=i)
                                  for i in range(42)])
    else:
        dates = pd.date_range("2019-01-01", periods=42, freq="BME" if kind.endswith("end") else "BMS")
    future = {
        "30th": ["2023-09-30", "2023-10-30", "2023-11-30", "2023-12-30", "2024-01-30",
                 "2024-02-29"],
        "business month end": ["2022-07-29", "2022-08-31", "2022-09-30", "2022-10-31",
                               "2022-11-30", "2022-12-30"],
        "business month start": ["2022-07-01", "2022-08-01", "2022-09-01", "2022-10-03",
                                 "2022-11-01", "2022-12-01"],
    }[kind]
    y = season_trend(np.arange(42.0), 100, 10, 0.5)
    est = QuillcastForecaster(prediction_horizon=6).fit(pd.DataFrame({"y": y}, index=dates), None)
    assert list(est.forecast_times().strftime("%Y-%m-%d")) == future
    copy = pickle.loads(pickle.dumps(est))
    assert list(copy.forecast_times().strftime("%Y-%m-%d")) == future
    table = pd.DataFrame({"unique_id": "a", "ds": dates, "y": y})
    got = forecast_many(table, algorithm="hw", horizon=6).forecasts
    assert list(got.time.dt.strftime("%Y-%m-%d")) == future
    np.testing.assert_allclose(got.forecast, est.predict().ravel())
