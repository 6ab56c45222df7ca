"""The command line's time axis: the grid a series lies on, absent timestamps and future dates."""

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.cli import (
    format_times,
    future_times,
    gap_report,
    infer_grid,
    regularise,
    time_format,
)


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
    grid = infer_grid(times)
    assert grid is not None and grid.unit == unit
    got = pd.DatetimeIndex(future_times(times, 2, grid)).strftime("%Y-%m-%d")
    assert list(got) == after


def test_absent_timestamps_come_back_as_blank_rows():
    times = dates("2021-01-01", "2021-01-02", "2021-01-05", "2021-01-06")
    values = np.array([[1.0], [2.0], [5.0], [np.nan]])
    full_times, full, grid, missing = regularise(times, values)
    assert missing == 2 and grid.unit == "day"
    assert list(pd.DatetimeIndex(full_times).day) == [1, 2, 3, 4, 5, 6]
    np.testing.assert_array_equal(full[:, 0], [1, 2, np.nan, np.nan, 5, np.nan])

    t, v, grid, missing = regularise(np.array([0, 3, 9, 12]), np.ones((4, 1)))
    assert grid.step == 3 and missing == 1 and list(t) == [0, 3, 6, 9, 12]


def test_irregular_or_mostly_empty_times_are_left_as_they_are():
    times = dates("2021-01-01 00:00", "2021-01-01 00:07", "2021-01-01 00:10")
    assert infer_grid(times) is None
    _, v, grid, missing = regularise(times, np.ones((3, 1)))
    assert grid is None and missing == 0 and v.shape == (3, 1)
    # Spaced by the median step when there is no grid.
    assert pd.Timestamp(future_times(times, 1)[0]) == pd.Timestamp("2021-01-01 00:15")
    # Two observations years apart on an hourly step: no grid of ten thousand blanks.
    sparse = dates("2020-01-01 00:00", "2020-01-01 01:00", "2021-06-01 00:00")
    _, v, grid, missing = regularise(sparse, np.ones((3, 1)))
    assert missing == 0 and v.shape == (3, 1)


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
