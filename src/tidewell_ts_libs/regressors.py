"""Regressors computed from timestamps: calendar dummies, Fourier terms and holidays.

``calendar_regressors`` gives the same columns for the training span and for the future
(``forecast_times``), so they can be passed to a forecaster as regressors (``exog``/``X_df`` of
``forecast_many``, ``future_exog`` of ``QuillcastForecaster.predict``). The dummies and the
Fourier terms come from the engine's calendar (``tarn/calendar_features.hpp``).
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs.deps.tarn import _tarn

__all__ = ["calendar_regressors", "forecast_times"]


class _Times(NamedTuple):
    values: np.ndarray  # datetime64[ns] on the series' clock, or int64
    clock: str | None  # the clock a zone was read on (None without a zone)
    zone: object  # the time zone of zoned dates (None otherwise)
    local: np.ndarray  # the same times on their own wall clock: their local days


def _as_time_array(times, name: str, clock: str | None = None, zone=None) -> _Times:
    """Times as datetime64[ns] (text read as ISO 8601, aware times without their zone, on
    ``clock`` or the one they show: ``series.naive_dates``) or int64, with their clock, their
    zone, and the local days that day-of-week, month and holiday regressors belong to (an hour
    after midnight in Tokyo is on the next day, whichever clock numbers the steps). Naive times
    of a zoned series (its forecast times) are on the series' ``clock``, in its ``zone``."""
    dates, written, wall = _parsed(times, name, clock)
    if not isinstance(dates, pd.DatetimeIndex):
        return _Times(dates, None, None, dates)
    if dates.tz is not None:
        zone = dates.tz
        wall = series.naive_dates(dates, "wall")
    elif wall is None and clock == "utc" and zone is not None:
        wall = dates.tz_localize("UTC").tz_convert(zone).tz_localize(None)
    clock = clock or written or series.zone_clock(dates)
    dates = series.naive_dates(dates, clock)
    if dates.isna().any():
        raise ValueError(f"{name} has a missing time at position {int(np.argmax(dates.isna()))}")
    t = dates.to_numpy(dtype="datetime64[ns]")
    return _Times(t, clock, zone, t if wall is None else wall.to_numpy(dtype="datetime64[ns]"))


def _parsed(times, name: str, clock: str | None = None):
    """Times as a DatetimeIndex (text read as ISO 8601, one zone kept; several zones' offsets
    dropped on ``clock`` or the one they show: ``series.iso_dates``) or an int64 array, the
    clock of text with several zones' offsets (else None), and for such text the times on
    their own wall clock (else None)."""
    if isinstance(times, (pd.Series, pd.Index)):
        values = times
    else:
        values = pd.Series(np.asarray(times) if not isinstance(times, list) else times)
    if pd.api.types.is_bool_dtype(values):
        raise TypeError(f"{name} must be dates or integers, not booleans")
    if pd.api.types.is_integer_dtype(values):
        return np.asarray(values, dtype=np.int64), None, None
    if pd.api.types.is_float_dtype(values):
        arr = np.asarray(values, dtype=float)
        if not np.all(np.isfinite(arr)) or np.any(arr != np.floor(arr)):
            raise ValueError(f"{name} must be dates or whole numbers, got {values.iloc[0]!r}...")
        return arr.astype(np.int64), None, None
    written = wall = None
    if not pd.api.types.is_datetime64_any_dtype(values):
        text = pd.Series(values)
        try:
            values, written = series.iso_dates(text, clock)
            if written is not None:
                wall = pd.DatetimeIndex(
                    values if written == "wall" else series.iso_dates(text, "wall")[0]
                )
        except (ValueError, TypeError) as e:
            raise ValueError(f"{name} holds values that are neither dates nor integers") from e
    return pd.DatetimeIndex(values), written, wall


def _fourier_pairs(fourier) -> list[tuple[float, int]]:
    if fourier is None:
        return []
    pairs = list(fourier)
    if len(pairs) == 2 and not isinstance(pairs[0], (tuple, list, np.ndarray)):
        pairs = [tuple(pairs)]  # one (period, order) pair
    return [tuple(p) if isinstance(p, (list, np.ndarray)) else p for p in pairs]


def _holiday_calendar(holidays, times: np.ndarray):
    """A holiday calendar: the object given (anything that answers ``date in calendar``), or a
    country code's calendar from the ``holidays`` package for the years of ``times``."""
    if not isinstance(holidays, str):
        if not hasattr(holidays, "__contains__"):
            raise TypeError(
                "holidays must be a country code such as 'US' or a holiday calendar, not "
                f"{type(holidays).__name__}"
            )
        return holidays
    try:
        import holidays as package
    except ImportError as e:
        raise ImportError(
            "holiday regressors need the holidays package: pip install 'tidewell_ts_libs[holidays]'"
        ) from e
    years = sorted(set(pd.DatetimeIndex(times).year.tolist()))
    try:
        return package.country_holidays(holidays, years=years)
    except (NotImplementedError, KeyError) as e:
        raise ValueError(f"holidays: no holiday calendar for the country code {holidays!r}") from e


def calendar_regressors(
    times,
    *,
    day_of_week: bool = False,
    month: bool = False,
    fourier=(),
    holidays=None,
    history=None,
) -> pd.DataFrame:
    """Regressors of ``times`` (dates, or integers for Fourier terms), one row per time.

    - ``day_of_week``: ``day_tue`` ... ``day_sun``, 1 on that day. Monday is the base level
      and has no column, so the dummies are not collinear with a level or an intercept; on
      business days ``day_sat`` and ``day_sun`` are all zero: leave them out before training.
    - ``month``: ``month_feb`` ... ``month_dec`` (January is the base).
    - ``fourier``: a (period, order) pair or a list of them: ``sin_<P>_<k>`` and
      ``cos_<P>_<k>`` of 2 pi k t / P for k = 1..order (at most P / 2; the sine of k = P / 2
      is zero and left out), P in steps of the series' grid (12 for yearly seasons of monthly
      data, 7 or 365.25 for daily data, 52.18 for weekly data). t counts the grid's steps since
      1970-01-01 (integer times: the time over the step), so the terms of a later span continue
      those of an earlier one.
    - ``holidays``: a country code (needs the ``holidays`` extra) or a holiday calendar (any
      object answering ``date in calendar``): ``holiday``, 1 on a holiday.

    ``history``: the times of the series whose grid numbers the steps (default: ``times``).
    Pass the training times when ``times`` is a short future span: a single time, or a few
    weekdays, does not show its series' grid by itself.

    Zoned times: the dummies and holidays follow their local days, the Fourier terms the
    steps of the grid (in UTC for hourly data). Naive times after a zoned history (its
    ``forecast_times``) are read as the history's times are, in its zone.

    The frame is indexed like the times: by the index of a Series given, else by the times.
    """
    index = times.index if isinstance(times, pd.Series) else None
    # Zoned times are read on the clock of the series whose grid numbers the steps.
    past = _Times(None, None, None, None) if history is None else _as_time_array(history, "history")
    ref = past.values
    now = _as_time_array(times, "times", past.clock, past.zone)
    t, local = now.values, now.local
    if ref is not None and (ref.dtype.kind == "M") != (t.dtype.kind == "M"):
        raise TypeError("times and history must both be dates or both be integers")
    pairs = _fourier_pairs(fourier)
    # The dummies belong to the local day; the Fourier terms count the grid's steps.
    names, values = _tarn.calendar_features(
        local, grid_times=None, day_of_week=bool(day_of_week), month=bool(month), fourier=[]
    )
    if pairs:
        waves, terms = _tarn.calendar_features(
            t, grid_times=ref, day_of_week=False, month=False, fourier=pairs
        )
        names, values = list(names) + list(waves), np.hstack([values, terms])
    if index is None:
        index = pd.DatetimeIndex(t) if t.dtype.kind == "M" else pd.Index(t)
    out = pd.DataFrame(values, columns=list(names), index=index)
    if holidays is not None:
        if t.dtype.kind != "M":
            raise ValueError("holiday regressors need dates, not integer times")
        calendar = _holiday_calendar(holidays, local)
        days = pd.DatetimeIndex(local).date
        out["holiday"] = np.fromiter((d in calendar for d in days), dtype=float, count=len(days))
    return out


def forecast_times(history, horizon: int) -> pd.Index:
    """The ``horizon`` times after the series ``history`` on its grid, from the engine's
    calendar (what the forecasts of ``forecast_many`` and the command line are dated)."""
    if isinstance(horizon, bool) or not isinstance(horizon, (int, np.integer)) or horizon < 0:
        raise ValueError(f"horizon must be a whole number of steps, not {horizon!r}")
    t = _as_time_array(history, "history").values
    if not len(t):
        raise ValueError("history has no times")
    nxt = _tarn.next_times(t, int(horizon))
    return pd.DatetimeIndex(nxt) if t.dtype.kind == "M" else pd.Index(nxt)
