"""Forecast a CSV in one command: rank the engine's forecasters on a holdout, then forecast the future.

    python -m tidewell_ts_libs [CSV] [options]

The CSV's first column is the time (ISO dates or integers) unless --time-column says otherwise; the
other columns are values. Without a CSV the embedded default dataset is used. With
--series-column the CSV is in long format (one row per series and time) and every series is
forecast separately.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import re
import sys
import time
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from tidewell_ts_libs._cliutil import InputError, _atomic_write
from tidewell_ts_libs.deps.tarn import forecaster_algorithms

__all__ = ["InputError", "main", "run", "run_long_format"]

# The forecaster's algorithms, from the engine's table of models.
ALGORITHMS = forecaster_algorithms()
MIN_TRAIN_ROWS = 8
# A grid with more absent timestamps than this many times the rows present is not filled in:
# the timestamps are then taken as irregular rather than as a mostly empty regular series.
MAX_GRID_FACTOR = 10
FILL_DESCRIPTIONS = {
    "linear": "linear interpolation",
    "cubic": "cubic spline interpolation",
    "nearest": "the nearest value",
    "prev": "the previous value",
    "next": "the next value",
    "fill": "the constant 0",
}


@dataclass
class Result:
    algorithm: str
    settings: dict
    mae: float = float("nan")
    rmse: float = float("nan")
    smape: float = float("nan")
    seconds: float = 0.0
    forecasts: np.ndarray | None = None
    estimator: object = None
    error: str | None = None
    extra: dict = field(default_factory=dict)


@dataclass
class Future:
    """A forecast past the last timestamp: point values and the bands of each level."""

    algorithm: str
    times: np.ndarray
    point: np.ndarray  # (horizon, targets)
    bands: dict  # level -> (lower, upper), each (horizon, targets)
    estimator: object = None


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tidewell_ts_libs",
        description="Rank the engine's statistical forecasters on a holdout of a CSV's value "
        "columns, refit the best on the whole series and forecast the next --horizon values with "
        "prediction intervals; write the backtest, the forecast, a plot and the best pipeline.",
    )
    p.add_argument("csv", nargs="?", help="CSV file (default: the embedded monthly dataset)")
    p.add_argument("--time-column", help="name of the time column (default: the first column)")
    p.add_argument(
        "--target",
        action="append",
        help="value column to forecast (repeatable; default: every column but the time column)",
    )
    p.add_argument(
        "--algorithms",
        default=",".join(ALGORITHMS),
        help=f"comma-separated algorithms among {', '.join(ALGORITHMS)} (default: all)",
    )
    p.add_argument(
        "--holdout",
        type=int,
        help="holdout rows for ranking (default: a fifth of the rows, at most 24, at least the horizon)",
    )
    p.add_argument(
        "--horizon",
        type=int,
        help="steps to forecast past the last timestamp, also the horizon of the holdout's sliding "
        "window (default: one season, or 6 steps without a season; never longer than the holdout)",
    )
    p.add_argument(
        "--level",
        default="80,95",
        help="prediction interval levels in percent, comma-separated (default: 80,95)",
    )
    p.add_argument(
        "--all",
        action="store_true",
        help="forecast the future with every algorithm, not only the best",
    )
    p.add_argument(
        "--fill",
        default="linear",
        metavar="METHOD",
        help="how blank values and absent timestamps are filled for training: linear, cubic, "
        "nearest, prev, next or fill (the constant 0) (default: linear)",
    )
    p.add_argument("--output", default=".", help="output folder (default: the current directory)")
    p.add_argument(
        "--series-column",
        help="long format: the column naming each series; every series is forecast separately",
    )
    p.add_argument("--jobs", type=int, default=1, help="parallel workers for --series-column")
    p.add_argument(
        "--backend",
        default="loky",
        choices=("loky", "threading", "dask"),
        help="parallel backend for --series-column",
    )
    p.add_argument("--scheduler", help="Dask scheduler address (with --backend dask)")
    p.add_argument(
        "--progress",
        action="store_true",
        help="show the progress bar of --series-column even when standard error is not a terminal",
    )
    p.add_argument("--quiet", action="store_true", help="print only the result tables")
    return p


def _log(args, *items):
    if not args.quiet:
        print(*items, flush=True)


# ---------------------------------------------------------------------------------------------
# Input


def load_frame(args) -> tuple[pd.DataFrame, str]:
    if args.csv is None:
        from tidewell_ts_libs.data import load_default

        return load_default(), "embedded default dataset"
    if not os.path.isfile(args.csv):
        raise InputError(f"no such file: {args.csv}")
    try:
        df = pd.read_csv(args.csv)
    except Exception as e:  # pandas raises many kinds for unreadable files
        raise InputError(f"cannot read {args.csv} as CSV: {str(e).splitlines()[0]}") from e
    return df, args.csv


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


def parse_times(values: pd.Series, name: str) -> tuple[pd.Series, str | None]:
    """Parses a time column: numbers stay numbers, text must be ISO 8601 dates or times."""
    if pd.api.types.is_numeric_dtype(values):
        return values, None
    try:
        parsed = pd.to_datetime(values.astype(str), format="ISO8601")
    except (ValueError, TypeError) as e:
        raise InputError(
            f"time column {name!r} holds values that are neither ISO dates nor integers"
        ) from e
    return parsed, time_format(values.iloc[0])


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
    numbers = pd.to_numeric(values, errors="coerce")
    bad = numbers.isna() & values.notna()
    if bad.any():
        row = int(np.flatnonzero(bad.to_numpy())[0])
        raise InputError(
            f"column {name!r} has a non-numeric value {values.iloc[row]!r} at row {row + 1}"
        )
    return numbers.astype(float)


def prepare(df: pd.DataFrame, args) -> tuple[pd.DataFrame, str, list[str], str | None]:
    """Validates the frame; returns it sorted with a parsed time column, the time column, the
    targets and the format of the input's times."""
    if df.shape[1] < 2:
        raise InputError("the CSV needs a time column and at least one value column")
    time_col = args.time_column or df.columns[0]
    if time_col not in df.columns:
        raise InputError(
            f"no column named {time_col!r} (columns: {', '.join(map(str, df.columns))})"
        )
    targets = args.target or [c for c in df.columns if c != time_col]
    for t in targets:
        if t not in df.columns:
            raise InputError(f"no column named {t!r} (columns: {', '.join(map(str, df.columns))})")
        if t == time_col:
            raise InputError(f"column {t!r} is the time column and cannot be a target")
    df = df[[time_col, *targets]].copy()
    for t in targets:
        df[t] = _numeric_column(df[t], t)
        if df[t].isna().all():
            raise InputError(f"column {t!r} has no values")
    if df[time_col].isna().any():
        raise InputError(f"time column {time_col!r} has empty values")
    if df[time_col].duplicated().any():
        dup = df[time_col][df[time_col].duplicated()].iloc[0]
        raise InputError(f"time column {time_col!r} has duplicate timestamps (first: {dup})")
    df[time_col], fmt = parse_times(df[time_col], time_col)
    df = df.sort_values(time_col).reset_index(drop=True)
    return df, time_col, list(targets), fmt


# ---------------------------------------------------------------------------------------------
# The time grid: absent timestamps and the dates of the future


_FIXED_UNITS = (
    (pd.Timedelta(days=7), "week"),
    (pd.Timedelta(days=1), "day"),
    (pd.Timedelta(hours=1), "hour"),
    (pd.Timedelta(minutes=1), "minute"),
    (pd.Timedelta(seconds=1), "second"),
)


@dataclass
class Grid:
    """The regular time grid a series lies on: calendar months (``months`` > 0), or a fixed step."""

    unit: str
    months: int = 0
    month_end: bool = False
    step: object = None  # pd.Timedelta for dates, a number for integer times

    def at(self, origin, k: np.ndarray):
        """The grid times ``k`` steps after ``origin`` (k an integer array)."""
        if self.months:
            if self.month_end:
                origin = pd.Timestamp(origin)
                return np.array(
                    [origin + pd.offsets.MonthEnd(int(i) * self.months) for i in k],
                    dtype="datetime64[ns]",
                )
            origin = pd.Timestamp(origin)
            return np.array(
                [origin + pd.DateOffset(months=int(i) * self.months) for i in k],
                dtype="datetime64[ns]",
            )
        if isinstance(self.step, pd.Timedelta):
            return np.asarray(pd.Timestamp(origin) + self.step * k, dtype="datetime64[ns]")
        return origin + self.step * k


def _month_number(t: pd.DatetimeIndex) -> np.ndarray:
    return np.asarray(t.year * 12 + t.month - 1, dtype=np.int64)


def infer_grid(times) -> Grid | None:
    """The regular grid of a sorted series of distinct times, or None when they are irregular."""
    times = np.asarray(times)
    if len(times) < 2:
        return None
    if np.issubdtype(times.dtype, np.datetime64):
        t = pd.DatetimeIndex(times)
        if t.tz is None and len(set(t.time)) == 1:
            dm = np.diff(_month_number(t))
            month_end = bool(t.is_month_end.all())
            if (dm > 0).all() and (month_end or (t.day == t.day[0]).all()):
                k = int(np.gcd.reduce(dm))
                names = {1: "month", 3: "quarter", 12: "year"}
                return Grid(names.get(k, f"{k}-month period"), months=k, month_end=month_end)
        d = np.diff(t.as_unit("ns").asi8)
        step = int(d.min())
        if step <= 0 or (d % step).any():
            return None
        delta = pd.Timedelta(step, unit="ns")
        unit = next((name for s, name in _FIXED_UNITS if delta == s), "timestamp")
        return Grid(unit, step=delta)
    d = np.diff(times.astype(float))
    step = d.min()
    if step <= 0 or np.any(np.abs(d / step - np.round(d / step)) > 1e-9):
        return None
    if np.issubdtype(times.dtype, np.integer) or float(step).is_integer():
        step = int(step)
    return Grid("timestamp", step=step)


def grid_positions(times, grid: Grid) -> np.ndarray:
    """Step number of each time on the grid, counted from the first time."""
    times = np.asarray(times)
    if grid.months:
        m = _month_number(pd.DatetimeIndex(times))
        return (m - m[0]) // grid.months
    if isinstance(grid.step, pd.Timedelta):
        ns = pd.DatetimeIndex(times).as_unit("ns").asi8
        return (ns - ns[0]) // grid.step.value
    return np.round((times.astype(float) - float(times[0])) / grid.step).astype(np.int64)


def future_times(times, horizon: int, grid: Grid | None = None):
    """The ``horizon`` times after the last of ``times``: on the grid when there is one (calendar
    months for monthly data), else spaced by the median step."""
    times = np.asarray(times)
    grid = grid if grid is not None else infer_grid(times)
    k = np.arange(1, horizon + 1)
    if grid is not None:
        return grid.at(times[-1], k)
    if len(times) < 2:
        return k
    if np.issubdtype(times.dtype, np.datetime64):
        step = pd.Timedelta(
            int(np.median(np.diff(pd.DatetimeIndex(times).as_unit("ns").asi8))), unit="ns"
        )
        return np.asarray(pd.Timestamp(times[-1]) + step * k, dtype="datetime64[ns]")
    return times[-1] + np.median(np.diff(times)) * k


def regularise(times, values: np.ndarray) -> tuple[np.ndarray, np.ndarray, Grid | None, int]:
    """Puts absent timestamps back as blank rows; returns times, values, grid, absent count."""
    times = np.asarray(times)
    grid = infer_grid(times)
    if grid is None:
        return times, values, None, 0
    pos = grid_positions(times, grid)
    n = int(pos[-1]) + 1
    if n == len(times) or n > MAX_GRID_FACTOR * len(times):
        return times, values, (grid if n == len(times) else None), 0
    full = np.full((n, values.shape[1]), np.nan)
    full[pos] = values
    return grid.at(times[0], np.arange(n)), full, grid, n - len(times)


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def gap_report(missing: int, blanks: int, unit: str, method: str, extra: str = "") -> str | None:
    """The one line that says what was absent and how it was filled, or None when nothing was."""
    parts = []
    if missing:
        parts.append(_plural(missing, f"missing {unit}"))
    if blanks:
        parts.append(_plural(blanks, "blank value"))
    if not parts:
        return None
    return (
        f"{', '.join(parts)}, filled by {FILL_DESCRIPTIONS.get(method, method)} for training{extra}"
    )


def fill_values(values: np.ndarray, method: str) -> np.ndarray:
    """Fills blanks with the engine interpolator; rows are the steps of a regular grid."""
    if not np.isnan(values).any():
        return values
    from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator

    filled = QuillcastInterpolator(interpolator_type=method).fit_transform(values)
    return np.asarray(filled, dtype=float).reshape(values.shape)


def _fill_methods() -> tuple[str, ...]:
    from tidewell_ts_libs.utils.quillcast import Interpolators

    return tuple(
        v for k, v in vars(Interpolators).items() if not k.startswith("_") and isinstance(v, str)
    )


def check_fill(method: str) -> str:
    methods = _fill_methods()
    if method not in methods:
        raise InputError(f"unknown --fill method {method!r}: use {', '.join(methods)}")
    return method


def parse_levels(text: str) -> list[float]:
    levels = []
    for part in str(text).split(","):
        part = part.strip()
        try:
            level = float(part)
        except ValueError:
            raise InputError(f"--level takes percentages such as 80,95, not {text!r}") from None
        if not 0 < level < 100:
            raise InputError(f"--level {part} is not a percentage between 0 and 100")
        if level not in levels:
            levels.append(level)
    if not levels:
        raise InputError("--level needs at least one percentage")
    return levels


def level_label(level: float) -> str:
    return f"{level:g}"


def check_output(path: str) -> None:
    """The output folder must be a folder (or absent): refuse before any work is done."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise InputError(f"--output {path} is a file, not a folder")
    parent = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise InputError(f"cannot create the output folder {path}: {parent} is a file")


def make_output(path: str) -> None:
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        raise InputError(f"cannot create the output folder {path}: {e.strerror or e}") from e


# ---------------------------------------------------------------------------------------------
# Training and forecasting


def choose_holdout(n: int, args) -> int:
    if args.horizon is not None and args.horizon < 1:
        raise InputError("--horizon must be at least 1")
    if args.holdout is not None:
        holdout = args.holdout
    else:
        holdout = max(1, min(24, n // 5))
        if args.horizon is not None:
            holdout = max(holdout, args.horizon)
    if holdout < 1:
        raise InputError("--holdout must be at least 1")
    if n - holdout < MIN_TRAIN_ROWS:
        raise InputError(
            f"too few rows: {n} rows leave {n - holdout} for training with a holdout of {holdout} "
            f"(at least {MIN_TRAIN_ROWS} are needed)"
        )
    if args.horizon is not None and args.horizon > holdout:
        raise InputError(f"--horizon {args.horizon} is longer than the holdout ({holdout} rows)")
    return holdout


def default_horizon(season: int, holdout: int) -> int:
    """One season ahead, or 6 steps for a series without a season; at most the holdout."""
    return max(1, min(holdout, season if season > 1 else 6))


def settings_for(algorithm: str, train: np.ndarray, season: int) -> dict:
    """Forecaster settings for an algorithm, sized for the training data."""
    positive = bool(np.nanmin(train) > 0)
    settings: dict = {"log_transform": positive}
    n = train.shape[0]
    if algorithm == "hw":
        season = season if season > 1 and n >= 2 * season else 1
        settings.update(
            samples_per_season=season,
            initial_training_seasons=max(1, n // season) if season > 1 else n,
            algorithm_type="additive",
        )
    return settings


def _forecaster(algorithm: str, settings: dict, horizon: int):
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    kwargs = {k: v for k, v in settings.items() if k != "log_transform"}
    return QuillcastForecaster(
        algorithm=algorithm,
        prediction_horizon=horizon,
        log_transform=settings["log_transform"],
        **kwargs,
    )


def run_algorithm(algorithm: str, settings: dict, X_train, X_test, y_test, horizon: int) -> Result:
    from tidewell_ts_libs.utils.score import Score, compute_prediction_accuracy

    res = Result(algorithm, settings)
    start = time.perf_counter()
    est = _forecaster(algorithm, settings, horizon)
    # The engine prints notices (skipped updates and the like); keep the table readable.
    with contextlib.redirect_stdout(io.StringIO()):
        est.fit(X_train, None, _reset_model=True)
        if not getattr(est, "is_fitted_", False):
            raise RuntimeError("the model did not initialise on the training data")
        pred = est.predict(
            X_test, prediction_horizon=horizon, prediction_type=Score.PREDICT_SLIDING_WINDOW
        )
        pred = np.asarray(pred, dtype=float)
        if horizon == 1:
            pred = pred[: len(y_test)]
        # Blank holdout values are not scored: the metrics skip positions whose truth is NaN.
        mae, mse, _r2, smape, avg, _ = compute_prediction_accuracy(y_test, pred, horizon)
    res.seconds = time.perf_counter() - start
    res.mae = float(np.mean(mae))
    res.rmse = float(np.sqrt(np.mean(mse)))
    res.smape = float(np.mean(smape))
    res.extra["smape"] = np.atleast_1d(np.asarray(smape, dtype=float))  # per target
    res.forecasts = np.asarray(avg, dtype=float).reshape(len(y_test), -1)
    res.estimator = est
    return res


def _bands(est, horizon: int, levels: list[float]) -> dict:
    """The forecaster's prediction intervals, {level: (lower, upper)}; empty when it has none."""
    if not hasattr(est, "predict_interval"):
        return {}
    out = est.predict_interval(prediction_horizon=horizon, level=list(levels))
    if not isinstance(out, dict):  # a single level
        out = {levels[0]: out}
    bands = {}
    for level in levels:
        pair = out.get(level)
        if pair is None and float(level).is_integer():
            pair = out.get(int(level))
        if pair is not None:
            bands[level] = (np.asarray(pair[0], dtype=float), np.asarray(pair[1], dtype=float))
    return bands


def forecast_future(
    algorithm: str, values: np.ndarray, season: int, horizon: int, levels, times
) -> Future:
    """Refits an algorithm on the whole series and forecasts ``horizon`` steps past its end."""
    settings = settings_for(algorithm, values, season)
    est = _forecaster(algorithm, settings, horizon)
    with contextlib.redirect_stdout(io.StringIO()):
        est.fit(values, None, _reset_model=True)
        if not getattr(est, "is_fitted_", False):
            raise RuntimeError("the model did not initialise on the whole series")
        point = np.asarray(est.predict(prediction_horizon=horizon), dtype=float)
        bands = _bands(est, horizon, levels)
    point = point.reshape(horizon, -1)
    bands = {
        lv: (lo.reshape(point.shape), hi.reshape(point.shape)) for lv, (lo, hi) in bands.items()
    }
    return Future(algorithm, times, point, bands, est)


def detect_season(train: np.ndarray) -> int:
    from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils

    seasons = []
    for j in range(train.shape[1]):
        col = train[:, j]
        seasons.append(int(QuillcastUtils.get_init_samples(col[~np.isnan(col)].tolist())[1]))
    return max(1, min(seasons))


# ---------------------------------------------------------------------------------------------
# Tables


def _table(rows: list[tuple], right: set[int] = frozenset()) -> str:
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(rows[0]))]

    def line(row):
        cells = [
            str(c).rjust(w) if i in right else str(c).ljust(w)
            for i, (c, w) in enumerate(zip(row, widths, strict=True))
        ]
        return "  ".join(cells).rstrip()

    lines = [line(r) for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def format_table(results: list[Result]) -> str:
    rows = [("rank", "algorithm", "sMAPE %", "MAE", "RMSE", "seconds")]
    ok = sorted(
        (r for r in results if r.error is None), key=lambda r: np.nan_to_num(r.smape, nan=1e300)
    )
    for i, r in enumerate(ok, 1):
        rows.append(
            (
                str(i),
                r.algorithm,
                f"{r.smape:.3f}",
                f"{r.mae:.4g}",
                f"{r.rmse:.4g}",
                f"{r.seconds:.2f}",
            )
        )
    for r in results:
        if r.error is not None:
            rows.append(("-", r.algorithm, "failed", r.error, "", ""))
    return _table(rows)


def _decimals(values: np.ndarray) -> int:
    """Decimals that show about four significant digits of the largest value."""
    finite = np.abs(values[np.isfinite(values)])
    top = float(finite.max()) if finite.size else 0.0
    return int(min(4, max(0, 3 - math.floor(math.log10(top))))) if top > 0 else 2


def format_forecast(future: Future, time_col: str, targets: list[str], fmt, levels) -> str:
    times = format_times(future.times, fmt)
    header = [str(time_col)]
    for t in targets:
        header.append(str(t))
        header += [f"{level_label(lv)}% interval" for lv in levels if lv in future.bands]
    rows = [tuple(header)]
    digits = [_decimals(future.point[:, j]) for j in range(len(targets))]
    for i, when in enumerate(times):
        row = [str(when)]
        for j in range(len(targets)):
            d = digits[j]
            row.append(f"{future.point[i, j]:.{d}f}")
            for lv in levels:
                if lv in future.bands:
                    lo, hi = future.bands[lv]
                    row.append(f"{lo[i, j]:.{d}f} to {hi[i, j]:.{d}f}")
        rows.append(tuple(row))
    return _table(rows, right=set(range(1, len(header))))


def future_frame(
    futures: list[Future], time_col: str, targets: list[str], fmt, levels
) -> pd.DataFrame:
    """forecast.csv: time, algorithm, then per target the forecast and each level's bounds."""
    frames = []
    for f in futures:
        out = pd.DataFrame({time_col: format_times(f.times, fmt), "algorithm": f.algorithm})
        for j, t in enumerate(targets):
            out[t] = f.point[:, j]
            for lv in levels:
                if lv in f.bands:
                    lo, hi = f.bands[lv]
                    out[f"{t}_lo-{level_label(lv)}"] = lo[:, j]
                    out[f"{t}_hi-{level_label(lv)}"] = hi[:, j]
        frames.append(out)
    return pd.concat(frames, ignore_index=True)


# ---------------------------------------------------------------------------------------------
# Plots


def _pyplot(args):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        _log(args, "matplotlib is not installed: no plot (pip install 'tidewell_ts_libs[plot]')")
        return None
    return plt


BEST_COLOR = "tab:blue"
FUTURE_COLOR = "tab:red"
OTHER_COLORS = ("tab:green", "tab:purple", "tab:brown", "tab:olive", "tab:cyan")


def _draw_series(ax, times, actual, n_test, backtest, future, bands, label_best, others=()):
    """One panel: history, holdout, the backtest over the holdout and the future with bands."""
    n_train = len(times) - n_test
    ax.plot(times[:n_train], actual[:n_train], color="black", lw=1.3, label="history")
    if n_test:
        ax.axvspan(times[n_train], times[-1], color="0.93", zorder=0)
        ax.text(
            ax.convert_xunits(times[n_train]),
            0.98,
            " holdout",
            fontsize=7,
            color="0.4",
            va="top",
            ha="left",
            transform=ax.get_xaxis_transform(),
        )
        ax.plot(
            times[n_train - 1 :] if n_train else times,
            actual[n_train - 1 :] if n_train else actual,
            color="black",
            lw=1.3,
            ls=(0, (4, 2)),
            label="holdout (actual)",
        )
        for (name, values), color in zip(others, OTHER_COLORS, strict=False):
            ax.plot(times[n_train:], values, color=color, lw=0.9, alpha=0.45, label=name)
        if backtest is not None:
            ax.plot(times[n_train:], backtest, color=BEST_COLOR, lw=1.8, label=label_best)
    if future is not None:
        ftimes, point = future
        for i, (lv, (lo, hi)) in enumerate(sorted(bands.items(), reverse=True)):
            ax.fill_between(
                ftimes,
                lo,
                hi,
                color=FUTURE_COLOR,
                alpha=0.15 + 0.15 * i,
                lw=0,
                label=f"{level_label(lv)}% interval",
            )
        # Join the forecast to the last observation so the two read as one line.
        ax.plot(
            np.concatenate([times[-1:], ftimes]),
            np.concatenate([actual[-1:], point]),
            color=FUTURE_COLOR,
            lw=1.8,
            label="forecast",
        )
        ax.axvline(times[-1], color="0.5", lw=0.8, ls=":")
    ax.grid(True, color="0.88", lw=0.6)
    ax.margins(x=0.01)
    if np.issubdtype(np.asarray(times).dtype, np.datetime64):
        import matplotlib.dates as mdates

        locator = mdates.AutoDateLocator(maxticks=8)
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _smape_of(r: Result, j: int) -> float:
    per_target = r.extra.get("smape")
    return float(per_target[j]) if per_target is not None and len(per_target) > j else r.smape


def _legend_rank(label: str, others) -> tuple:
    """Legend order: the data, the best algorithm, its future and bands, then the others."""
    if label in {o[0] for o in others}:
        return (9, 0.0)
    if label.endswith("% interval"):
        return (5, float(label.split("%")[0]))
    return ({"history": 0, "holdout (actual)": 1, "forecast": 4}.get(label, 2), 0.0)


def plot_single(path, df, time_col, targets, holdout, results, best, futures, args, observed):
    plt = _pyplot(args)
    if plt is None:
        return False
    n = len(df)
    shown = min(n, max(120, 4 * (holdout + (futures[0].point.shape[0] if futures else 0))))
    start = n - shown
    times = df[time_col].to_numpy()[start:]
    fig, axes = plt.subplots(len(targets), 1, figsize=(11, 3.6 * len(targets)), squeeze=False)
    ok = [r for r in results if r.error is None and r is not best]
    main_future = futures[0] if futures else None
    for j, t in enumerate(targets):
        ax = axes[j][0]
        actual = observed[start:, j]
        others = [(f"{r.algorithm} ({_smape_of(r, j):.2f}%)", r.forecasts[:, j]) for r in ok]
        fut = None
        bands = {}
        if main_future is not None:
            fut = (main_future.times, main_future.point[:, j])
            bands = {lv: (lo[:, j], hi[:, j]) for lv, (lo, hi) in main_future.bands.items()}
        _draw_series(
            ax,
            times,
            actual,
            holdout,
            best.forecasts[:, j],
            fut,
            bands,
            f"{best.algorithm} backtest ({_smape_of(best, j):.2f}%)",
            others,
        )
        title = f"{t}: {best.algorithm}, {len(fut[0]) if fut else 0} steps ahead"
        if bands:
            title += " with " + " and ".join(f"{level_label(lv)}%" for lv in sorted(bands))
            title += " intervals"
        else:
            title += " (no intervals)"
        ax.set_title(title, loc="left", fontsize=10)
        handles, labels = ax.get_legend_handles_labels()
        # The best algorithm and the future first, the other algorithms (fainter) after them.
        order = sorted(range(len(labels)), key=lambda i: _legend_rank(labels[i], others))
        ax.legend(
            [handles[i] for i in order],
            [labels[i] for i in order],
            fontsize=8,
            loc="upper left",
            bbox_to_anchor=(1.01, 1.0),
            borderaxespad=0,
        )
    fig.tight_layout()
    _atomic_write(path, lambda p: fig.savefig(p, format="png", dpi=100))
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------------------------
# One or several value columns


def write_outputs(
    args, df, time_col, targets, holdout, results, best, futures, fmt, levels, observed
):
    from tidewell_ts_libs.utils.score import Score

    make_output(args.output)
    written = []
    test = df.iloc[len(df) - holdout :]
    out = pd.DataFrame({time_col: format_times(test[time_col].to_numpy(), fmt)})
    for j, t in enumerate(targets):
        out[t] = observed[len(df) - holdout :, j]
        for r in results:
            if r.error is None:
                out[f"{t}_{r.algorithm}"] = r.forecasts[:, j]
    csv_path = os.path.join(args.output, "forecasts.csv")
    _atomic_write(csv_path, lambda p: out.to_csv(p, index=False))
    written.append(csv_path)

    if futures:
        fpath = os.path.join(args.output, "forecast.csv")
        frame = future_frame(futures, time_col, targets, fmt, levels)
        _atomic_write(fpath, lambda p: frame.to_csv(p, index=False))
        written.append(fpath)

    model_path = os.path.join(args.output, "best_pipeline.pkl.gz")
    model = futures[0].estimator if futures else best.estimator

    def save(p):
        if not Score.save(model, p):
            raise OSError(f"could not save the pipeline to {model_path}")

    _atomic_write(model_path, save)
    written.append(model_path)

    png_path = os.path.join(args.output, "forecasts.png")
    if plot_single(
        png_path, df, time_col, targets, holdout, results, best, futures, args, observed
    ):
        written.append(png_path)
    return written


def _split(frame: pd.DataFrame, time_col, targets, holdout, args):
    from tidewell_ts_libs.utils.splitkit import make_holdout_split

    split_frame = frame.copy()
    if pd.api.types.is_datetime64_any_dtype(split_frame[time_col]):
        split_frame[time_col] = split_frame[time_col].astype("int64") // 10**9
    with contextlib.redirect_stdout(io.StringIO()) as notices:
        try:
            X_train, X_test, _y_train, _y_test, *_ = make_holdout_split(
                split_frame,
                target_columns=list(targets),
                feature_columns=list(targets),
                timestamp_column=time_col,
                test_size=holdout,
            )
        except Exception as e:  # the split reports bad data with catalogue messages
            raise InputError(str(e)) from e
    for line in notices.getvalue().splitlines():
        _log(args, "  " + line)
    return np.asarray(X_train, dtype=float), np.asarray(X_test, dtype=float)


def run_single(df: pd.DataFrame, source: str, args, algorithms, levels, fill: str) -> int:
    df, time_col, targets, fmt = prepare(df, args)
    times, observed, grid, missing = regularise(
        df[time_col].to_numpy(), df[targets].to_numpy(float)
    )
    blanks = int(np.isnan(df[targets].to_numpy(float)).sum())
    frame = pd.DataFrame({time_col: times})
    holdout = choose_holdout(len(frame), args)
    filled = fill_values(observed, fill)
    for j, t in enumerate(targets):
        frame[t] = filled[:, j]
        if np.isnan(observed[len(frame) - holdout :, j]).all():
            raise InputError(f"column {t!r} has no values in the holdout (the last {holdout} rows)")
    _log(
        args,
        f"Data: {source}: {len(df)} rows, targets {', '.join(map(str, targets))}; holdout {holdout} rows",
    )
    in_holdout = int(np.isnan(observed[len(frame) - holdout :]).sum())
    note = f" ({_plural(in_holdout, 'gap')} in the holdout not scored)" if in_holdout else ""
    report = gap_report(missing, blanks, grid.unit if grid else "timestamp", fill, note)
    if report:
        _log(args, report)

    X_train, X_test = _split(frame, time_col, targets, holdout, args)
    y_test = observed[len(frame) - holdout :]
    season = detect_season(X_train)
    horizon = args.horizon if args.horizon is not None else default_horizon(season, holdout)
    _log(args, f"Detected season length: {season}; horizon {horizon}")

    results = []
    for i, alg in enumerate(algorithms, 1):
        settings = settings_for(alg, X_train, season)
        shown = ", ".join(f"{k}={v}" for k, v in settings.items())
        _log(args, f"[{i}/{len(algorithms)}] {alg}: training on {len(X_train)} rows ({shown}) ...")
        try:
            r = run_algorithm(alg, settings, X_train, X_test, y_test, horizon)
            _log(args, f"      done in {r.seconds:.2f}s, sMAPE {r.smape:.3f}%")
        except Exception as e:  # one algorithm failing never stops the others
            r = Result(alg, settings, error=str(e).splitlines()[0] if str(e) else type(e).__name__)
            _log(args, f"      failed: {r.error}")
        results.append(r)

    ok = [r for r in results if r.error is None and np.isfinite(r.smape)]
    if not ok:
        print(format_table(results))
        raise InputError("no algorithm produced a forecast")
    ranked = sorted(ok, key=lambda r: r.smape)
    best = ranked[0]
    print()
    print(format_table(results))

    # The main job: the best (or every) algorithm refitted on the whole series, forecast onwards.
    future_at = future_times(times, horizon, grid)
    futures = []
    for r in ranked if args.all else [best]:
        try:
            futures.append(forecast_future(r.algorithm, filled, season, horizon, levels, future_at))
        except Exception as e:  # a refit that fails is reported, the others go on
            _log(args, f"{r.algorithm}: the refit on the whole series failed: {e}")
    if futures:
        lead = futures[0]
        print()
        last = format_times(times[-1:], fmt)[0]
        print(f"Forecast by {lead.algorithm}, {horizon} steps after {last}:")
        print(format_forecast(lead, time_col, targets, fmt, levels))
        if not lead.bands:
            print("(this forecaster gives no prediction intervals)")
    written = write_outputs(
        args, frame, time_col, targets, holdout, results, best, futures, fmt, levels, observed
    )
    print()
    print(f"Best: {best.algorithm}. Wrote {', '.join(written)}")
    return 0


# ---------------------------------------------------------------------------------------------
# Long format: many series


class Progress:
    """A one-line progress bar on a stream: series done, rate and time left.

    The work is ``passes`` passes over ``total`` series (one per algorithm ranked, one per future
    forecast); the bar shows the current pass, the time left is that of the whole run. Drawn only
    once the run has lasted ``delay`` seconds and at most every ``interval`` seconds; ``close``
    ends the line when anything was drawn.
    """

    def __init__(
        self,
        total,
        passes=1,
        label="series",
        stream=None,
        enabled=True,
        delay=1.0,
        interval=0.2,
        clock=time.monotonic,
        width=20,
    ):
        self.total, self.passes, self.label = max(0, int(total)), max(1, int(passes)), label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled, self.delay, self.interval = enabled, delay, interval
        self.clock, self.width = clock, width
        self.done = 0  # over all passes
        self.pass_no, self.pass_name, self.pass_start = 0, "", 0
        self.start = clock()
        self.last = None
        self._width_seen = 0

    def begin(self, name: str) -> None:
        """Starts the next pass."""
        self.pass_no += 1
        self.pass_name = name
        self.pass_start = self.done

    def text(self) -> str:
        elapsed = max(1e-9, self.clock() - self.start)
        rate = self.done / elapsed
        in_pass = self.done - self.pass_start
        frac = in_pass / self.total if self.total else 1.0
        filled = int(round(frac * self.width))
        bar = "#" * filled + "-" * (self.width - filled)
        left = self.total * self.passes - self.done
        if left <= 0:
            tail = f"{_duration(elapsed)} in all"
        elif rate > 0:
            tail = f"{_duration(left / rate)} left"
        else:
            tail = "time left unknown"
        stage = f"{self.pass_name} ({self.pass_no}/{self.passes}) " if self.pass_name else ""
        return f"{stage}[{bar}] {in_pass}/{self.total} {self.label}  {rate:.1f}/s  {tail}"

    def update(self, n: int = 1) -> None:
        self.done = min(self.total * self.passes, self.done + n)
        if not self.enabled:
            return
        now = self.clock()
        if now - self.start < self.delay:
            return
        finished = self.done >= self.total * self.passes
        if self.last is not None and now - self.last < self.interval and not finished:
            return
        self.last = now
        # Pad to the terminal's last line length so a shorter line leaves no remnants behind.
        line = self.text()
        self.stream.write("\r" + line.ljust(self._width_seen))
        self._width_seen = len(line)
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self.last is not None:
            self.stream.write("\n")
            self.stream.flush()


def _duration(seconds: float) -> str:
    seconds = int(math.ceil(seconds))
    m, s = divmod(seconds, 60)
    h, m = divmod(m, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


LONG_HORIZONS = {"month": 12, "quarter": 4, "year": 6, "week": 8, "day": 7, "hour": 24}


def _long_series(df, id_col, time_col, target, fill):
    """Per series (in order of first appearance): id, times on the grid, observed and filled
    values; and the totals of absent timestamps and blank values, and the grid unit."""
    items, missing, blanks, units = [], 0, 0, {}
    for sid, g in df.groupby(id_col, sort=False):
        g = g.sort_values(time_col)
        values = g[[target]].to_numpy(float)
        blanks += int(np.isnan(values).sum())
        times, observed, grid, absent = regularise(g[time_col].to_numpy(), values)
        missing += absent
        if grid is not None:
            units[grid.unit] = units.get(grid.unit, 0) + 1
        filled = observed
        if np.isnan(observed).any() and not np.isnan(observed).all():
            filled = fill_values(observed, fill)
        items.append((sid, times, observed[:, 0], filled[:, 0]))
    unit = max(units, key=units.get) if units else "timestamp"
    return items, missing, blanks, unit


def _chunked_forecasts(items, frames, alg, horizon, holdout, args, progress, client, levels):
    """forecast_many over chunks of series, so that progress can be shown between chunks."""
    from tidewell_ts_libs.batch import forecast_many

    extra = {"level": list(levels)} if levels else {}
    forecasts, metrics = [], []
    for frame, size in frames:
        res = forecast_many(
            frame,
            id_column="id",
            time_column="time",
            value_column="value",
            algorithm=alg,
            horizon=horizon,
            holdout=holdout,
            n_jobs=args.jobs,
            backend="loky" if args.backend == "dask" else args.backend,
            client=client,
            **extra,
        )
        forecasts.append(res.forecasts)
        metrics.append(res.errors)
        progress.update(size)
    return (
        pd.concat([f for f in forecasts if len(f)] or forecasts[:1], ignore_index=True),
        pd.concat(metrics, ignore_index=True),
    )


def _series_frames(items, chunk: int):
    frames = []
    for i in range(0, len(items), chunk):
        part = items[i : i + chunk]
        frames.append(
            (
                pd.concat(
                    [
                        pd.DataFrame({"id": [sid] * len(t), "time": t, "value": v})
                        for sid, t, _obs, v in part
                    ],
                    ignore_index=True,
                ),
                len(part),
            )
        )
    return frames


def _band_columns(frame: pd.DataFrame, levels) -> dict:
    """Interval columns of a forecast_many result, by level: {level: (lower, upper)} names."""
    out = {}
    for lv in levels:
        lab = level_label(lv)
        for lo, hi in ((f"lo-{lab}", f"hi-{lab}"), (f"lo_{lab}", f"hi_{lab}")):
            if lo in frame.columns and hi in frame.columns:
                out[lv] = (lo, hi)
                break
    return out


def plot_long(path, items, metrics, backtest, future, holdout, levels, args, best_alg):
    """A sample of series: the best, the worst and a few typical by sMAPE."""
    plt = _pyplot(args)
    if plt is None:
        return False
    scored = metrics[(metrics.status == "ok") & metrics.smape.notna()].sort_values("smape")
    if scored.empty:
        return False
    picks = [(scored.id.iloc[0], "best")]
    if len(scored) > 1:
        picks.append((scored.id.iloc[-1], "worst"))
    middle = scored.iloc[1:-1]
    if len(middle):
        med = middle.smape.median()
        typical = middle.iloc[np.argsort(np.abs(middle.smape.to_numpy() - med), kind="stable")[:4]]
        picks[1:1] = [(sid, "typical") for sid in typical.sort_values("smape").id]
    by_id = {sid: (t, obs) for sid, t, obs, _v in items}
    smape = dict(zip(scored.id, scored.smape, strict=True))
    ncols = 2 if len(picks) > 1 else 1
    nrows = int(math.ceil(len(picks) / ncols))
    fig, axes = plt.subplots(nrows, ncols, figsize=(7.0 * ncols, 3.0 * nrows), squeeze=False)
    bands_cols = _band_columns(future, levels)
    for ax in axes.flat[len(picks) :]:
        ax.set_visible(False)
    for ax, (sid, tag) in zip(axes.flat, picks, strict=False):
        t, obs = by_id[sid]
        n_test = min(holdout, len(t))
        shown = min(len(t), max(60, 4 * (n_test + 12)))
        t, obs = t[-shown:], obs[-shown:]
        bt = backtest[backtest.id == sid]
        back = np.full(n_test, np.nan)
        back[: min(n_test, len(bt))] = bt.forecast.to_numpy()[:n_test]
        fu = future[future.id == sid]
        fut = (fu.time.to_numpy(), fu.forecast.to_numpy()) if len(fu) else None
        bands = {lv: (fu[lo].to_numpy(), fu[hi].to_numpy()) for lv, (lo, hi) in bands_cols.items()}
        _draw_series(ax, t, obs, n_test, back, fut, bands, f"{best_alg} backtest")
        ax.set_title(f"{sid} ({tag}, sMAPE {smape[sid]:.2f}%)", loc="left", fontsize=9)
        ax.tick_params(labelsize=7)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: _legend_rank(labels[i], ()))
    handles, labels = [handles[i] for i in order], [labels[i] for i in order]
    fig.legend(
        handles,
        labels,
        loc="upper center",
        ncol=len(labels),
        fontsize=8,
        bbox_to_anchor=(0.5, 1.0),
        frameon=False,
    )
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    _atomic_write(path, lambda p: fig.savefig(p, format="png", dpi=100))
    plt.close(fig)
    return True


def run_long_format(df: pd.DataFrame, args, algorithms, levels=(80.0, 95.0), fill="linear") -> int:
    """The --series-column mode: rank the algorithms over every series, forecast the future."""
    id_col = args.series_column
    if id_col not in df.columns:
        raise InputError(f"no column named {id_col!r}")
    others = [c for c in df.columns if c != id_col]
    if not others:
        raise InputError("--series-column needs a time column and a value column")
    time_col = args.time_column or others[0]
    targets = args.target or [c for c in others if c != time_col]
    if time_col not in df.columns:
        raise InputError(f"no column named {time_col!r}")
    if len(targets) != 1 or targets[0] not in df.columns:
        raise InputError("--series-column needs exactly one value column (use --target)")
    target = targets[0]
    if df[id_col].isna().any():
        raise InputError(f"series column {id_col!r} has empty values")
    if df[time_col].isna().any():
        raise InputError(f"time column {time_col!r} has empty values")
    if df.duplicated(subset=[id_col, time_col]).any():
        raise InputError("duplicate timestamps within a series")
    if args.horizon is not None and args.horizon < 1:
        raise InputError("--horizon must be at least 1")
    data = pd.DataFrame({id_col: df[id_col], target: _numeric_column(df[target], target)})
    data[time_col], fmt = parse_times(df[time_col], time_col)

    items, missing, blanks, unit = _long_series(data, id_col, time_col, target, fill)
    horizon = args.horizon if args.horizon is not None else LONG_HORIZONS.get(unit, 6)
    holdout = args.holdout if args.holdout is not None else horizon
    if holdout < 1:
        raise InputError("--holdout must be at least 1")
    _log(
        args,
        f"Data: {len(items)} series, {len(data)} rows; horizon {horizon}, holdout {holdout} per series",
    )
    report = gap_report(missing, blanks, unit, fill)
    if report:
        _log(args, report)
    make_output(args.output)

    chunk = max(8, 16 * max(1, args.jobs), int(math.ceil(len(items) / 50)))
    frames = _series_frames(items, chunk)
    n_future = len(algorithms) if args.all else 1
    progress = Progress(
        len(items),
        passes=len(algorithms) + n_future,
        enabled=args.progress or (not args.quiet and sys.stderr.isatty()),
    )
    client = None
    if args.backend == "dask" and args.scheduler:
        try:
            from dask.distributed import Client
        except ImportError as e:
            raise InputError(
                "--backend dask needs dask.distributed: pip install 'tidewell_ts_libs[dask]'"
            ) from e
        client = Client(args.scheduler)
    summary, results = [], {}
    try:
        for alg in algorithms:
            progress.begin(alg)
            t0 = time.perf_counter()
            back, metrics = _chunked_forecasts(
                items, frames, alg, horizon, holdout, args, progress, client, ()
            )
            secs = time.perf_counter() - t0
            ok = metrics[metrics.status == "ok"]
            summary.append(
                (alg, len(ok), len(metrics) - len(ok), ok.smape.mean(), ok.mase.mean(), secs)
            )
            results[alg] = (back, metrics)
            if len(back) and "time" in back.columns:
                back = back.assign(time=format_times(back.time.to_numpy(), fmt))
            _atomic_write(
                os.path.join(args.output, f"forecasts_{alg}.csv"),
                lambda p, b=back: b.to_csv(p, index=False),
            )
            _atomic_write(
                os.path.join(args.output, f"metrics_{alg}.csv"),
                lambda p, m=metrics: m.to_csv(p, index=False),
            )
        ranked = sorted(summary, key=lambda r: np.nan_to_num(r[3], nan=1e300))
        futures = []
        for alg, *_ in ranked if args.all else ranked[:1]:
            progress.begin(f"{alg} forecast")
            fut, _m = _chunked_forecasts(
                items, frames, alg, horizon, 0, args, progress, client, levels
            )
            futures.append(fut.assign(algorithm=alg))
    finally:
        progress.close()
        if client is not None:
            client.close()

    print(f"{'algorithm':<15} {'ok':>6} {'failed':>6} {'sMAPE %':>9} {'MASE':>7} {'seconds':>8}")
    for alg, nok, nf, sm, ms, secs in ranked:
        print(f"{alg:<15} {nok:>6} {nf:>6} {sm:>9.3f} {ms:>7.3f} {secs:>8.2f}")
    best = ranked[0][0]
    future = pd.concat(futures, ignore_index=True)
    bands = _band_columns(future, levels)
    cols = ["id", "time", "algorithm", "step", "forecast"] + [c for lv in bands for c in bands[lv]]
    future_out = future[[c for c in cols if c in future.columns]]
    if len(future_out):
        future_out = future_out.assign(time=format_times(future_out.time.to_numpy(), fmt))
    future_out = future_out.rename(columns={"id": id_col, "time": time_col})
    fpath = os.path.join(args.output, "forecast.csv")
    _atomic_write(fpath, lambda p: future_out.to_csv(p, index=False))
    written = [fpath]
    png = os.path.join(args.output, "forecasts.png")
    back, metrics = results[best]
    if plot_long(png, items, metrics, back, futures[0], holdout, levels, args, best):
        written.append(png)
    n_ok = future_out[id_col].nunique() if len(future_out) else 0
    print()
    print(
        f"Best: {best}. Forecast {n_ok} of {len(items)} series {horizon} steps ahead"
        + ("" if bands else " (no intervals)")
        + f". Wrote {', '.join(written)} and forecasts_<algorithm>.csv, metrics_<algorithm>.csv"
    )
    return 0


# ---------------------------------------------------------------------------------------------


def run(args) -> int:
    algorithms = [a.strip().lower() for a in args.algorithms.split(",") if a.strip()]
    unknown = [a for a in algorithms if a not in ALGORITHMS]
    if unknown or not algorithms:
        raise InputError(
            f"unknown algorithm(s) {', '.join(unknown) or '(none)'}: use {', '.join(ALGORITHMS)}"
        )
    check_output(args.output)
    levels = parse_levels(args.level)
    fill = check_fill(args.fill)
    df, source = load_frame(args)
    if args.series_column:
        return run_long_format(df, args, algorithms, levels, fill)
    return run_single(df, source, args, algorithms, levels, fill)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return run(args)
    except InputError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # never a traceback for the person at the terminal
        print(f"error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
