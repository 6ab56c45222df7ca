"""Rolling-origin cross-validation of many series at once.

``cross_validation`` takes a long-format table like ``forecast_many`` (series id, timestamp,
value) and evaluates an algorithm on every series at ``n_windows`` origins ``step`` steps apart,
the last one ``h`` steps before the end of the series: each window forecasts the ``h`` steps
from its origin. Without ``refit`` each series is trained once, on the steps before its first
origin, and the later steps are fed to the trained model (O(1) per step): a backtest costs one
training per series. With ``refit`` a fresh training runs at every origin.

Each series goes through the same preparation as in ``forecast_many``: it is trimmed of leading
and trailing missing values and put on its time grid; blanks are filled with ``fill`` for the
models (the actual values stay blank and are not scored). The forecaster's settings come from
the steps before the first origin.
"""

from __future__ import annotations

import os
import time
from typing import NamedTuple

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs._parallel import quiet_stdout, run_chunks
from tidewell_ts_libs.deps.tarn import forecaster_algorithms

MIN_POINTS = 4
METRICS = ("mae", "rmse", "smape", "mase")


class CrossValidationResult(NamedTuple):
    forecasts: pd.DataFrame  # id, cutoff, time, actual, forecast, lo-<level>, hi-<level>, ...
    # id, cutoff, mae, rmse, smape, mase[, msis-<level>, coverage-<level>, ...]
    window_metrics: pd.DataFrame
    # id, n_windows and the same measures over all the windows of a series
    metrics: pd.DataFrame
    errors: pd.DataFrame  # id, status, message, n_train, seconds


def _level_name(level) -> str:
    return f"{float(level):g}"


def _forecast_columns(levels) -> list[str]:
    bands = [f"{side}-{_level_name(lv)}" for lv in levels for side in ("lo", "hi")]
    return ["id", "cutoff", "time", "actual", "forecast", *bands]


def _metric_columns(levels) -> list[str]:
    bands = [f"{m}-{_level_name(lv)}" for lv in levels for m in ("msis", "coverage")]
    return [*METRICS, *bands]


def _accuracy(actual, forecast, bands, insample, season: int, levels) -> dict:
    """The engine's accuracy of a block of forecasts, with each level's msis and coverage."""
    acc = series.score(actual, forecast, insample, season)
    out = {k: acc[k] for k in METRICS}
    for lv, (lower, upper) in zip(levels, bands, strict=True):
        band = series.score(actual, forecast, insample, season, lower, upper, float(lv))
        out[f"msis-{_level_name(lv)}"] = band["msis"]
        out[f"coverage-{_level_name(lv)}"] = band["coverage"]
    return out


def _rows_of(column, X) -> np.ndarray:
    """The rows of the series that a column of the backtest's times names: row numbers, or the
    rows' dates when ``X`` trained with them (``series.dated_rows``)."""
    if not isinstance(X, pd.DataFrame):
        return column.to_numpy(dtype=np.int64)
    at = X.index.get_indexer(pd.DatetimeIndex(column))
    if (at < 0).any():
        raise ValueError("the backtest's forecasts are dated off the series' rows")
    return at


def cross_validate_one(
    series_id, times, values, algorithm, h, n_windows, step, refit, levels, season, fill,
    nonnegative=False,
):
    """Cross-validates one series: (forecast rows, metric rows per window, overall metrics,
    error row). Never raises for bad data."""
    start = time.perf_counter()
    err = {"id": series_id, "status": "ok", "message": "", "n_train": 0, "seconds": 0.0}
    overall = {"id": series_id, "n_windows": 0, **{k: np.nan for k in _metric_columns(levels)}}
    windows = []
    try:
        grid = series.on_grid(times, values)
        if not len(grid.times):
            raise ValueError("all values are missing")
        observed = grid.values[:, 0]
        n_train = len(observed) - h - (n_windows - 1) * step
        if n_train < MIN_POINTS:
            raise ValueError(
                f"too short: {max(0, n_train)} training points before the first origin "
                f"(at least {MIN_POINTS} needed)"
            )
        filled = series.fill_values(observed.reshape(-1, 1), fill)
        train = filled[:n_train]
        season_used = series.detect_season(train, grid.seasons) if season is None else max(1, int(season))
        settings = series.settings_for(algorithm, train, season_used, given=season is not None)
        est = series.forecaster(algorithm, settings, h, nonnegative)
        X = series.dated_rows(grid.times, filled)
        # The engine prints notices (skipped updates and the like); keep the output readable.
        with quiet_stdout():  # safe on threads, unlike a swap of sys.stdout
            cv = est.cross_validation(
                X, h=h, n_windows=n_windows, step=step, refit=refit, level=list(levels) or None
            )
        rows_at, cutoff_at = (_rows_of(cv[c], X) for c in ("time", "cutoff"))
        actual = observed[rows_at]
        forecast = cv["forecast"].to_numpy(dtype=float)
        names = [_level_name(lv) for lv in levels]
        bands = [(cv[f"lo-{n}"].to_numpy(), cv[f"hi-{n}"].to_numpy()) for n in names]
        columns = {
            "id": np.full(len(cv), series_id, dtype=object),
            "cutoff": grid.times[cutoff_at],
            "time": grid.times[rows_at],
            "actual": actual,
            "forecast": forecast,
        }
        for n in names:
            columns[f"lo-{n}"] = cv[f"lo-{n}"].to_numpy()
            columns[f"hi-{n}"] = cv[f"hi-{n}"].to_numpy()
        rows = pd.DataFrame(columns)
        # The rows come window after window, h rows each.
        for w in range(n_windows):
            part = slice(w * h, (w + 1) * h)
            cutoff = int(cutoff_at[w * h])
            windows.append(
                {
                    "id": series_id,
                    "cutoff": grid.times[cutoff],
                    **_accuracy(
                        actual[part],
                        forecast[part],
                        [(lo[part], hi[part]) for lo, hi in bands],
                        observed[: cutoff + 1],  # the scale of observed values only
                        season_used,
                        levels,
                    ),
                }
            )
        overall.update(_accuracy(actual, forecast, bands, observed[:n_train], season_used, levels))
        overall["n_windows"] = n_windows
        err["n_train"] = n_train
    except Exception as e:  # one series failing never stops the others
        err["status"] = "failed"
        err["message"] = f"{type(e).__name__}: {e}".splitlines()[0]
        rows = pd.DataFrame(columns=_forecast_columns(levels))
        windows = []
    err["seconds"] = time.perf_counter() - start
    return rows, windows, overall, err


def _run_chunk(chunk, *args, stop=None):
    """Cross-validates a chunk of series: (their forecast rows in one frame or None, window
    metric rows, overall metric rows, error rows).

    One frame per chunk keeps what a worker sends back small; ``stop`` (a callable) ends the
    chunk early when it turns true (the caller is going away)."""
    frames, windows, overall, errors = [], [], [], []
    for sid, t, v in chunk:
        if stop is not None and stop():
            break
        rows, ws, o, err = cross_validate_one(sid, t, v, *args)
        if len(rows):
            frames.append(rows)
        windows.extend(ws)
        overall.append(o)
        errors.append(err)
    return (pd.concat(frames, ignore_index=True) if frames else None), windows, overall, errors


def _positive(name: str, value) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be an integer of at least 1, got {value!r}")
    return int(value)


def cross_validation(
    data: pd.DataFrame,
    *,
    algorithm: str = "autoforecaster",
    h: int = 1,
    n_windows: int = 1,
    step: int | None = None,
    refit: bool = False,
    level=(),
    season: int | None = None,
    fill: str = "linear",
    n_jobs: int = 1,
    backend: str = "loky",
    chunks_per_worker: int = 4,
    nonnegative: bool = False,
    id_column: str = "unique_id",
    time_column: str = "ds",
    value_column: str = "y",
) -> CrossValidationResult:
    """Rolling-origin cross-validation of every series of a long-format table.

    ``n_windows`` origins ``step`` steps apart (default ``h``), the last ``h`` steps before the
    end of each series; every window forecasts the ``h`` steps from its origin. ``refit=False``
    trains once per series and feeds the later steps to the model; ``refit=True`` trains again
    at every origin. ``level`` (coverages in percent) adds the bounds ``lo-80``, ``hi-80``, ...
    ``nonnegative`` keeps every forecast and bound at or above zero.

    Returns ``forecasts`` (id, cutoff: the last time before the window, time, actual, forecast
    and the bounds), ``window_metrics`` (per series and window) and ``metrics`` (per series,
    over all its windows): MAE, RMSE, sMAPE, MASE and each level's MSIS and coverage (percent) as
    ``msis-80``, ``coverage-80``, ..., by the engine's metrics (MASE and MSIS scaled on the steps
    before the window, or before the first window for a series' overall measures), and
    ``errors`` (one row per series: status, message). A series that cannot be evaluated is
    reported there and never stops the others.

    ``n_jobs``, ``backend`` and ``chunks_per_worker`` run the series in parallel with joblib,
    in chunks of consecutive series, as ``forecast_many`` does. Ctrl-C stops the work within
    moments (worker processes are ended, worker threads stop at their next series) and raises
    KeyboardInterrupt. A worker process that dies (killed, out of memory) raises ``WorkerDied``
    naming the series of the chunk it was working on; no results are kept.
    """
    from tidewell_ts_libs.batch import _as_dates, _chunks, _numbers, _series_of

    series.check_table(data)
    alg = str(algorithm).lower()
    algorithms = forecaster_algorithms()
    if alg not in algorithms:
        raise ValueError(f"unknown algorithm {algorithm!r}: use one of {', '.join(algorithms)}")
    h = _positive("h", h)
    n_windows = _positive("n_windows", n_windows)
    step = h if step is None else _positive("step", step)
    levels = series.check_levels(level)
    series.check_fill(fill)
    season = series.check_season(season)
    for col in (id_column, time_column, value_column):
        if col not in data.columns:
            raise ValueError(f"no column named {col!r} in the data")

    frame = data[[id_column, time_column, value_column]].copy()
    frame[time_column], _ = _as_dates(frame[time_column], time_column, ids=frame[id_column])
    frame[value_column] = _numbers(frame, id_column, value_column)
    items = _series_of(frame, id_column, time_column, value_column)
    del frame

    args = (alg, h, n_windows, step, bool(refit), levels, season, fill, bool(nonnegative))
    workers = n_jobs if n_jobs > 0 else (os.cpu_count() or 1)
    parts = _chunks(items, 1 if n_jobs == 1 else workers * chunks_per_worker)
    del items  # the parts hold the series now
    names = [[sid for sid, _, _ in p] for p in parts]
    out = run_chunks(_run_chunk, parts, args, names, n_jobs=n_jobs, backend=backend)

    frames = [rows for rows, _, _, _ in out if rows is not None]
    forecasts = (
        pd.concat(frames, ignore_index=True)
        if frames
        else pd.DataFrame(columns=_forecast_columns(levels))
    )
    window_rows = [w for _, ws, _, _ in out for w in ws]
    window_metrics = pd.DataFrame(window_rows, columns=["id", "cutoff", *_metric_columns(levels)])
    metrics = pd.DataFrame(
        [o for _, _, overall, _ in out for o in overall],
        columns=["id", "n_windows", *_metric_columns(levels)],
    )
    errors = pd.DataFrame([e for _, _, _, errs in out for e in errs])
    return CrossValidationResult(forecasts, window_metrics, metrics, errors)
