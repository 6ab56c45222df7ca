"""The time grid every series is put on: its step, absent timestamps and future dates."""

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.cli.reading import format_times, gap_report, time_format
from tidewell_ts_libs.deps.tarn import _tarn
from tidewell_ts_libs.series import future_times, on_grid


def dates(*texts):
    return pd.to_datetime(list(texts)).to_numpy()


@pytest.mark.parametrize(
    "times, unit, after",
    [
        (dates("2020-11-01", "2020-12-01", "2021-01-01"), "month", ["2021-02-01", "2021-03-01"]),
        (dates("2019-12-31", "2020-01-31", "2020-02-29"), "month", ["2020-03-31", "2020-04-30"]),
        (dates("2020-01-15", "2020-02-15", "2020-04-15"), "month", ["2020-05-15", "2020-06-15"]),
        (dates("2020-01-01", "2020-04-01", "2020-10-01"), "quarter", ["2021-01-01", "2021-04-01"]),
        (dates("2018-01-01", "2019-01-01", "2020-01-01"), "year", ["2021-01-01", "2022-01-01"]),
        (dates("2024-02-27", "2024-02-28", "2024-03-01"), "day", ["2024-03-02", "2024-03-03"]),
        (dates("2024-01-01", "2024-01-08", "2024-01-22"), "week", ["2024-01-29", "2024-02-05"]),
    ],
    ids=["month-start", "month-end", "mid-month-gap", "quarter-gap", "year", "leap-day", "week"],
)
def test_calendar_grids_and_their_future(times, unit, after):
    grid = _tarn.time_grid(times)
    assert grid["regular"] and grid["name"] == unit
    got = pd.DatetimeIndex(future_times(times, 2)).strftime("%Y-%m-%d")
    assert list(got) == after


def test_absent_timestamps_come_back_as_blank_rows_and_blank_ends_are_trimmed():
    times = dates("2020-12-31", "2021-01-01", "2021-01-02", "2021-01-05", "2021-01-06")
    values = np.array([np.nan, 1.0, 2.0, 5.0, np.nan])
    grid = on_grid(times, values)
    assert grid.missing == 2 and grid.step == "day" and grid.blanks == 0
    assert list(pd.DatetimeIndex(grid.times).day) == [1, 2, 3, 4, 5]
    np.testing.assert_array_equal(grid.values[:, 0], [1, 2, np.nan, np.nan, 5])

    grid = on_grid(np.array([0, 3, 9, 12]), np.ones((4, 1)))
    assert grid.missing == 1 and list(grid.times) == [0, 3, 6, 9, 12]
    assert list(future_times(np.array([0, 3, 9, 12]), 2)) == [15, 18]


def test_irregular_or_mostly_empty_times_are_left_as_they_are():
    times = dates("2021-01-01 00:00", "2021-01-01 00:07", "2021-01-01 00:10")
    assert not _tarn.time_grid(times)["regular"]
    grid = on_grid(times, np.ones((3, 1)))
    assert grid.missing == 0 and grid.values.shape == (3, 1)
    # Spaced by the median step (the later of two) when there is no grid.
    assert pd.Timestamp(future_times(times, 1)[0]) == pd.Timestamp("2021-01-01 00:17")
    # Two observations years apart on an hourly step: no grid of ten thousand blanks.
    sparse = dates("2020-01-01 00:00", "2020-01-01 01:00", "2021-06-01 00:00")
    grid = on_grid(sparse, np.ones((3, 1)))
    assert grid.missing == 0 and grid.values.shape == (3, 1)


@pytest.mark.parametrize("freq, name", [("5min", "timestamp"), ("30min", "timestamp"), ("h", "hour")])
def test_the_unit_of_the_dates_does_not_change_the_grid(freq, name):
    # pandas 2 reads dates as nanoseconds, pandas 3 as microseconds: the same grid either way.
    times = pd.date_range("2024-03-01", periods=40, freq=freq).to_numpy().astype("datetime64[ns]")
    times = np.delete(times, [5, 6, 20])
    ns, us = _tarn.time_grid(times), _tarn.time_grid(times.astype("datetime64[us]"))
    assert ns["regular"] and ns["name"] == name
    np.testing.assert_array_equal(ns["positions"], us["positions"])
    assert ns["positions"][-1] == 39
    np.testing.assert_array_equal(
        future_times(times, 3), future_times(times.astype("datetime64[s]"), 3)
    )


def test_business_days_skip_weekends_when_placed_and_continued():
    days = pd.bdate_range("2024-01-01", periods=15).to_numpy()
    gapped = np.delete(days, [6])  # a Tuesday
    grid = on_grid(gapped, np.arange(14.0))
    assert grid.step == "business day" and grid.missing == 1 and len(grid.times) == 15
    np.testing.assert_array_equal(grid.times, days.astype("datetime64[ns]"))
    after = pd.DatetimeIndex(future_times(days, 3))
    assert list(after.strftime("%a %d")) == ["Mon 22", "Tue 23", "Wed 24"]


@pytest.mark.parametrize(
    "text, fmt",
    [
        ("1949-01-01", "%Y-%m-%d"),
        ("1949-01", "%Y-%m"),
        ("2020-01-01 10:30", "%Y-%m-%d %H:%M"),
        ("2020-01-01T10:30:05", "%Y-%m-%dT%H:%M:%S"),
        ("2020-01-01T10:30:05+01:00", None),
    ],
)
def test_output_times_are_written_as_the_input_writes_them(text, fmt):
    assert time_format(text) == fmt
    parsed = pd.to_datetime([text], format="ISO8601").to_numpy()
    written = format_times(parsed, fmt)[0]
    if fmt is not None:
        assert written == text
    assert format_times(np.array([3.0, 4.0]), None) == [3, 4]


def test_gap_report_wording():
    assert gap_report(0, 0, "day", "linear") is None
    assert gap_report(1, 0, "month", "cubic") == (
        "1 missing month, filled by cubic spline interpolation for training"
    )
    assert gap_report(0, 3, "timestamp", "next") == (
        "3 blank values, filled by the next value for training"
    )
