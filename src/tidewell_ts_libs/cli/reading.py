"""Reading the input: the CSV (or standard input), its time column and its value columns."""

from __future__ import annotations

import os
import re
import sys

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs._cliutil import InputError


def load_frame(args) -> tuple[pd.DataFrame, str]:
    if args.csv is None:
        from tidewell_ts_libs.data import load_default

        return load_default(), "embedded default dataset"
    stdin = args.csv == "-"
    source = "standard input" if stdin else args.csv
    if not stdin and not os.path.isfile(args.csv):
        raise InputError(f"no such file: {args.csv}")
    try:
        # Series ids are names: 007 stays 007, and 01 and 1 stay two series.
        ids = getattr(args, "series_column", None)
        df = pd.read_csv(sys.stdin if stdin else args.csv, dtype={ids: str} if ids else None)
    except Exception as e:  # pandas raises many kinds for unreadable files
        raise InputError(f"cannot read {source} as CSV: {str(e).splitlines()[0]}") from e
    return df, source


_TIME_FORMATS = (
    (re.compile(r"\d{4}-\d{2}-\d{2}"), "%Y-%m-%d"),
    (re.compile(r"\d{4}-\d{2}"), "%Y-%m"),
    (re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}"), "%Y-%m-%dT%H:%M"),
    (re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}"), "%Y-%m-%d %H:%M"),
    (re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}"), "%Y-%m-%dT%H:%M:%S"),
    (re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}"), "%Y-%m-%d %H:%M:%S"),
)


def time_format(sample) -> str | None:
    """The strftime format that writes times the way ``sample`` is written (None: ISO 8601)."""
    text = str(sample).strip()
    for pattern, fmt in _TIME_FORMATS:
        if pattern.fullmatch(text):
            return fmt
    return None


def writes_every_time(times: pd.Series, fmt: str | None) -> bool:
    """Whether ``fmt`` writes every one of ``times`` without losing a part of it (a format taken
    from a midnight row written as a bare date would write every hour of that day alike)."""
    if fmt is None:
        return True
    t = times.dt
    lost = (t.microsecond != 0) | (t.nanosecond != 0)
    if "%S" not in fmt:
        lost |= t.second != 0
    if "%M" not in fmt:
        lost |= t.minute != 0
    if "%H" not in fmt:
        lost |= t.hour != 0
    if "%d" not in fmt:
        lost |= t.day != 1
    return not bool(lost.any())


# ISO 8601's basic form of calendar dates, which a CSV reader takes for integers: a year of four
# digits then the month (and the day), such as 201501 or 20150131.
_BASIC_DATES = (("%Y%m%d", 17000101, 23001231), ("%Y%m", 170001, 230012))


def basic_dates(values: pd.Series) -> tuple[pd.Series, str] | None:
    """Integers that are all dates in ISO 8601's basic form (20150131, or 201501 for months) as
    dates, with the format that writes them back; None for other numbers, which are steps (as
    integers, 20150131 and 20150201 would be 70 steps apart, and months 13 and 14 would follow
    201512)."""
    numbers = values.to_numpy()
    if not len(numbers) or not np.all(np.isfinite(numbers)) or np.any(numbers % 1 != 0):
        return None
    for fmt, low, high in _BASIC_DATES:
        if numbers.min() < low or numbers.max() > high:
            continue
        parsed = pd.to_datetime(values.astype(np.int64).astype(str), format=fmt, errors="coerce")
        if not parsed.isna().any():
            return parsed, fmt
    return None


def parse_times(values: pd.Series, name: str, ids=None) -> tuple[pd.Series, str | None]:
    """Parses a time column: numbers stay numbers (unless every one is a date in ISO 8601's basic
    form, ``basic_dates``), text must be ISO 8601 dates or times (times with an offset lose it,
    each series of ``ids`` on its own clock: ``series.on_clocks``)."""
    if pd.api.types.is_numeric_dtype(values):
        dates = basic_dates(values)
        return (values, None) if dates is None else dates
    text = values.astype(str).str.strip()  # blanks around a time are not part of it
    try:
        parsed, _ = series.iso_dates(text, ids=ids)
    except (ValueError, TypeError) as e:
        raise InputError(
            f"time column {name!r} holds values that are neither ISO dates nor integers"
        ) from e
    parsed, _ = series.naive_by_series(parsed, ids)  # each series (ids) on its own clock
    fmt = time_format(text.iloc[0])
    return parsed, fmt if writes_every_time(parsed, fmt) else None


def format_times(times, fmt: str | None) -> list:
    """Times for output, written as the input wrote them."""
    times = np.asarray(times)
    if np.issubdtype(times.dtype, np.datetime64) or times.dtype == object:
        stamps = pd.DatetimeIndex(pd.to_datetime(times))
        if fmt is not None:
            return list(stamps.strftime(fmt))
        return [t.isoformat() for t in stamps]
    if np.issubdtype(times.dtype, np.floating) and np.all(np.mod(times, 1) == 0):
        return [int(t) for t in times]
    return list(times)


def _numeric_column(values: pd.Series, name: str) -> pd.Series:
    if values.dtype == object or isinstance(values.dtype, pd.StringDtype):
        # A value of blanks only is a blank value, as an empty one is.
        values = values.where(values.astype(str).str.strip().ne(""), None)
    numbers = pd.to_numeric(values, errors="coerce")
    bad = numbers.isna() & values.notna()
    if bad.any():
        row = int(np.flatnonzero(bad.to_numpy())[0])
        raise InputError(
            f"column {name!r} has a non-numeric value {values.iloc[row]!r} at row {row + 1}"
        )
    infinite = np.isinf(numbers.to_numpy(dtype=float, na_value=np.nan))
    if infinite.any():
        row = int(np.flatnonzero(infinite)[0])
        raise InputError(
            f"column {name!r} has an infinite value ({numbers.iloc[row]:g}) at row {row + 1}"
        )
    return numbers.astype(float)


def refuse_negative(df: pd.DataFrame, time_col, targets, fmt=None, id_col=None) -> None:
    """--nonnegative on data with a negative value is bad input, refused before any work."""
    for t in targets:
        negative = (df[t] < 0).to_numpy()
        if negative.any():
            row = df.index[int(np.argmax(negative))]
            where = f"series {df.at[row, id_col]!r}, " if id_col is not None else ""
            when = format_times(df[time_col].to_numpy()[[int(np.argmax(negative))]], fmt)[0]
            raise InputError(
                f"--nonnegative: column {t!r} has a negative value, {df.at[row, t]:g} "
                f"({where}time {when})"
            )


def prepare(df: pd.DataFrame, args) -> tuple[pd.DataFrame, str, list[str], str | None]:
    """Validates the frame; returns it sorted with a parsed time column, the time column, the
    targets and the format of the input's times."""
    if df.shape[1] < 2:
        header = str(df.columns[0]) if df.shape[1] else ""
        other = next((s for s in (";", "\t", "|") if s in header), None)
        hint = f" (its header {header!r} holds {other!r}: separate the columns by commas)"
        raise InputError(
            "the CSV needs a time column and at least one value column" + (hint if other else "")
        )
    time_col = args.time_column or df.columns[0]
    if time_col not in df.columns:
        raise InputError(
            f"no column named {time_col!r} (columns: {', '.join(map(str, df.columns))})"
        )
    regressors = list(getattr(args, "regressor_columns", None) or [])
    check_regressors(df, regressors, [time_col])
    targets = args.target or [c for c in df.columns if c != time_col and c not in regressors]
    if not targets:
        raise InputError("every value column is a regressor: no column is left to forecast")
    for t in targets:
        if t not in df.columns:
            raise InputError(f"no column named {t!r} (columns: {', '.join(map(str, df.columns))})")
        if t == time_col:
            raise InputError(f"column {t!r} is the time column and cannot be a target")
        if t in regressors:
            raise InputError(f"column {t!r} is a regressor (--regressors) and cannot be a target")
    df = df[[time_col, *targets, *regressors]].copy()
    for t in [*targets, *regressors]:
        df[t] = _numeric_column(df[t], t)
    for t in targets:
        if df[t].isna().all():
            raise InputError(f"column {t!r} has no values")
    if df[time_col].isna().any():
        raise InputError(f"time column {time_col!r} has empty values")
    written = df[time_col]
    df[time_col], fmt = parse_times(df[time_col], time_col)
    # Compared as times: one time written two ways (2019-06-01T00:00:00) is a duplicate too.
    if df[time_col].duplicated().any():
        first = df[time_col][df[time_col].duplicated()].iloc[0]
        dup = dict.fromkeys(map(str, written[df[time_col] == first].iloc[:2]))
        raise InputError(
            f"time column {time_col!r} has duplicate timestamps (first: {' and '.join(dup)})"
        )
    df = df.sort_values(time_col).reset_index(drop=True)
    return df, time_col, list(targets), fmt


def check_regressors(df: pd.DataFrame, regressors: list[str], taken: list[str]) -> None:
    """The --regressors columns exist and are neither the time nor the series column."""
    for r in regressors:
        if r not in df.columns:
            raise InputError(
                f"--regressors: no column named {r!r} (columns: {', '.join(map(str, df.columns))})"
            )
        if r in taken:
            raise InputError(f"--regressors: {r!r} is the time or series column")


def load_future(path: str) -> pd.DataFrame:
    """The --future CSV, read as it is (checked against the data later)."""
    if not os.path.isfile(path):
        raise InputError(f"--future: no such file: {path}")
    try:
        return pd.read_csv(path)
    except Exception as e:  # pandas raises many kinds for unreadable files
        raise InputError(f"--future: cannot read {path} as CSV: {str(e).splitlines()[0]}") from e


def future_columns(future: pd.DataFrame, columns: list[str], path: str) -> pd.DataFrame:
    """The --future frame's ``columns`` (times parsed, regressors as finite numbers); a column
    it lacks or a value that is not a finite number raises InputError naming it."""
    for c in columns:
        if c not in future.columns:
            raise InputError(
                f"--future {path} has no column {c!r} (it needs {', '.join(map(repr, columns))})"
            )
    return future[columns].copy()


def finite_regressors(frame: pd.DataFrame, time_col: str, regressors: list[str], where: str,
                      label: str = "") -> None:
    """Every regressor value of ``frame`` is a finite number; else InputError naming the column
    and the time (and ``label``, the series)."""
    for r in regressors:
        values = _numeric_column(frame[r], r).to_numpy()
        bad = ~np.isfinite(values)
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            raise InputError(
                f"{where}{label}: regressor {r!r} has no finite value at "
                f"{frame[time_col].iloc[i]} (got {frame[r].iloc[i]!r})"
            )


def future_rows(future: pd.DataFrame, time_col: str, regressors: list[str], when, path: str,
                fmt: str | None) -> np.ndarray:
    """The regressor rows of the --future frame at the forecast times ``when``; a time it
    lacks (or holds twice) or a value that is not a finite number raises InputError."""
    frame = future_columns(future, [time_col, *regressors], path)
    if frame[time_col].isna().any():
        raise InputError(f"--future {path}: time column {time_col!r} has empty values")
    frame[time_col], _ = parse_times(frame[time_col], time_col)
    finite_regressors(frame, time_col, regressors, f"--future {path}")
    stamps = frame[time_col].to_numpy()
    when = np.asarray(when)
    if when.dtype.kind == "M":
        if stamps.dtype.kind != "M":
            raise InputError(f"--future {path}: time column {time_col!r} does not hold dates")
        stamps = stamps.astype("datetime64[ns]")
    elif stamps.dtype.kind == "M":
        raise InputError(f"--future {path}: time column {time_col!r} holds dates, the data integers")
    if pd.Series(stamps).duplicated().any():
        dup = stamps[pd.Series(stamps).duplicated().to_numpy()][0]
        raise InputError(f"--future {path}: two rows for {format_times([dup], fmt)[0]}")
    index = pd.Index(stamps)
    at = index.get_indexer(pd.Index(when.astype(stamps.dtype)))
    if (at < 0).any():
        lacking = format_times(when[at < 0], fmt)
        more = " ..." if len(lacking) > 3 else ""
        raise InputError(
            f"--future {path} has no regressor values for {', '.join(map(str, lacking[:3]))}"
            f"{more} ({len(lacking)} of the {len(when)} forecast times)"
        )
    return frame[regressors].to_numpy(dtype=float)[at]


def plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def gap_report(missing: int, blanks: int, unit: str, method: str, extra: str = "") -> str | None:
    """The one line that says what was absent and how it was filled, or None when nothing was."""
    parts = []
    if missing:
        parts.append(plural(missing, f"missing {unit}"))
    if blanks:
        parts.append(plural(blanks, "blank value"))
    if not parts:
        return None
    return f"{', '.join(parts)}, filled by {series.FILL_DESCRIPTIONS.get(method, method)} for training{extra}"
