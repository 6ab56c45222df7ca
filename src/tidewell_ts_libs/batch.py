"""Forecasting many series at once.

``forecast_many`` takes a long-format table (series id, timestamp, value), trains one
``QuillcastForecaster`` per series and returns tidy frames of forecasts and per-series errors. The
work runs in parallel with joblib on one machine (processes or threads: the engine releases the GIL
while it fits, so threads scale too) or on a Dask cluster when a client or scheduler address is given.
A series that cannot be forecast (too short, all missing, ...) is reported in the errors frame and
never stops the others.
"""

from __future__ import annotations

import os
import time
from typing import NamedTuple

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs._parallel import WorkerDied, run_chunks  # noqa: F401
from tidewell_ts_libs.deps.tarn import forecaster_algorithms

# The forecaster's algorithms, from the engine's table of models.
ALGORITHMS = forecaster_algorithms()
MIN_POINTS = 4


class BatchResult(NamedTuple):
    forecasts: pd.DataFrame  # id, step, time, forecast[, lo-/hi-<level>][, q-<p>][, actual]
    # id, status, message, n_train, smape, mase, mae, rmse[, msis-<level>, coverage-<level>]
    # [, pinball, crps], seconds
    errors: pd.DataFrame


def forecast_one(
    series_id,
    times,
    values,
    algorithm: str,
    horizon: int,
    holdout: int,
    season=None,
    level=(),
    fill: str = "linear",
    quantiles=(),
    nonnegative: bool = False,
    exog=None,
    future_exog=None,
):
    """Forecasts one series; returns (forecast rows, error row). Never raises for bad data.

    The series is trimmed of leading and trailing missing values, put on its time grid (absent
    timestamps become blanks) and filled with ``fill`` for training; blank holdout values are
    not scored. ``level`` (coverages in percent) adds the prediction intervals as lo-<level>,
    hi-<level>; ``quantiles`` (probabilities, increasing) the quantiles as q-<p>, and with a
    holdout their mean pinball loss and the CRPS. ``exog`` (a row per time, a column per
    regressor) trains with regressors, whose values at the ``horizon`` forecast times are
    ``future_exog``.
    """
    start = time.perf_counter()
    err = {
        "id": series_id,
        "status": "ok",
        "message": "",
        "n_train": 0,
        "smape": np.nan,
        "mase": np.nan,
        "mae": np.nan,
        "rmse": np.nan,
        **{
            f"{m}-{_level_name(lv)}": np.nan
            for lv in level
            if holdout
            for m in ("msis", "coverage")
        },
        **({"pinball": np.nan, "crps": np.nan} if holdout and quantiles else {}),
        "seconds": 0.0,
    }
    try:
        if exog is None:
            grid = series.on_grid(times, values)
        else:
            grid, grid_exog = series.on_grid_exog(times, values, exog)
        if not len(grid.times):
            raise ValueError("all values are missing")
        observed = grid.values[:, 0]
        n_train = len(observed) - holdout
        if n_train < MIN_POINTS:
            raise ValueError(
                f"too short: {max(0, n_train)} training points (at least {MIN_POINTS} needed)"
            )
        train = observed[:n_train]
        filled = series.fill_values(train.reshape(-1, 1), fill)
        regressors = {}
        if exog is not None:  # absent timestamps' regressors are filled as the values are
            regressors = {
                "exog": series.fill_values(grid_exog[:n_train], fill),
                "future_exog": future_exog,
            }
        fc = series.forecast(
            algorithm,
            grid.times[:n_train],
            filled,
            horizon,
            level,
            season,
            quantiles,
            nonnegative,
            **regressors,
        )
        pred = fc.point[:, 0]
        if not np.all(np.isfinite(pred)):
            raise ValueError("the forecast is not finite")
        err["n_train"] = n_train
        rows = pd.DataFrame(
            {
                "id": series_id,
                "step": np.arange(1, horizon + 1),
                "time": fc.times,
                "forecast": pred,
            }
        )
        for lv in level:
            if lv in fc.bands:
                lo, hi = fc.bands[lv]
                rows[f"lo-{_level_name(lv)}"] = lo[:, 0]
                rows[f"hi-{_level_name(lv)}"] = hi[:, 0]
        for p, q in (fc.quantiles or {}).items():
            rows[f"q-{series.quantile_label(p)}"] = q[:, 0]
        if holdout:
            actual = observed[n_train:]
            n = min(len(actual), horizon)
            act = np.full(horizon, np.nan)
            act[:n] = actual[:n]
            rows["actual"] = act
            acc = series.score(actual[:n], pred[:n], train, fc.season)
            for key in ("smape", "mase", "mae", "rmse"):
                err[key] = acc[key]
            for lv in level:
                if lv in fc.bands:
                    lo, hi = fc.bands[lv]
                    band = series.score(
                        actual[:n], pred[:n], train, fc.season, lo[:n, 0], hi[:n, 0], lv
                    )
                    err[f"msis-{_level_name(lv)}"] = band["msis"]
                    err[f"coverage-{_level_name(lv)}"] = band["coverage"]
            if quantiles:
                own = {p: q[:n, 0] for p, q in fc.quantiles.items()}
                err["pinball"] = series.score_quantiles(actual[:n], own, train, fc.season)[
                    "mean_pinball"
                ]
                grid_q = series.quantiles_of(
                    fc.estimator, horizon, series.CRPS_GRID, fc.point.shape, future_exog
                )
                err["crps"] = series.score_quantiles(
                    actual[:n], {p: q[:n, 0] for p, q in grid_q.items()}, train, fc.season
                )["crps"]
    except Exception as e:  # one series failing never stops the others
        err["status"] = "failed"
        err["message"] = f"{type(e).__name__}: {e}".splitlines()[0]
        rows = pd.DataFrame(
            columns=["id", "step", "time", "forecast", *_band_columns(level, quantiles)]
        )
    err["seconds"] = time.perf_counter() - start
    return rows, err


def _as_dates(column: pd.Series, name: str) -> pd.Series:
    """ISO 8601 text as datetime64 (time-zone aware dates in UTC); other columns unchanged."""
    if pd.api.types.is_datetime64_any_dtype(column):
        dates = column
    elif pd.api.types.infer_dtype(column, skipna=True) in ("string", "datetime", "date"):
        dates = pd.to_datetime(column, format="ISO8601", errors="coerce")
        bad = dates.isna() & column.notna()
        if bad.all():
            return column  # labels, not dates: the series keep their order
        if bad.any():
            raise ValueError(
                f"column {name!r} holds dates and text that is not an ISO 8601 date, "
                f"such as {column[bad].iloc[0]!r}"
            )
    else:
        return column
    if getattr(dates.dt, "tz", None) is not None:
        dates = dates.dt.tz_convert("UTC").dt.tz_localize(None)
    return dates.astype("datetime64[ns]")


def _numbers(frame: pd.DataFrame, id_column: str, value_column: str) -> pd.Series:
    """The value column as floats; a value that is not a number (blank and NaN are missing
    values) raises ValueError naming its series and row."""
    column = frame[value_column]
    numbers = pd.to_numeric(column, errors="coerce")
    bad = numbers.isna() & column.notna()
    if isinstance(column.dtype, pd.StringDtype) or column.dtype == object:
        bad &= column.astype(str).str.strip().ne("")
    if bad.any():
        row = bad.index[np.flatnonzero(bad.to_numpy())[0]]
        raise ValueError(
            f"series {frame.at[row, id_column]!r}: column {value_column!r} has a non-numeric "
            f"value {column.at[row]!r} at row {row!r}"
        )
    return numbers.astype(float)


def _level_name(level) -> str:
    return f"{float(level):g}"


def _band_columns(level, quantiles=()) -> list[str]:
    bands = [f"{side}-{_level_name(lv)}" for lv in level for side in ("lo", "hi")]
    return bands + [f"q-{series.quantile_label(p)}" for p in quantiles]


def _run_chunk(
    chunk,
    algorithm,
    horizon,
    holdout,
    season,
    level=(),
    fill="linear",
    quantiles=(),
    nonnegative=False,
    stop=None,
):
    """Forecasts a chunk of series: (their forecast rows in one frame or None, error rows).

    One frame per chunk keeps what a worker sends back small; ``stop`` (a callable) ends the
    chunk early when it turns true (the caller is going away)."""
    frames, errors = [], []
    for sid, t, v, *regressors in chunk:  # (exog, future_exog) with regressors
        if stop is not None and stop():
            break
        rows, err = forecast_one(
            sid,
            t,
            v,
            algorithm,
            horizon,
            holdout,
            season,
            level,
            fill,
            quantiles,
            nonnegative,
            *regressors,
        )
        if len(rows):
            frames.append(rows)
        errors.append(err)
    return (pd.concat(frames, ignore_index=True) if frames else None), errors


# Series in one chunk at most: what a worker holds at once (its series, their forecast frames)
# stays bounded however many series there are, and Ctrl-C or a dead worker loses little.
CHUNK_MAX = 500


def _chunks(items: list, n: int) -> list[list]:
    """At least ``n`` chunks of consecutive items, none longer than ``CHUNK_MAX``."""
    size = min(CHUNK_MAX, max(1, int(np.ceil(len(items) / max(1, n)))))
    return [items[i : i + size] for i in range(0, len(items), size)]


def _series_of(frame: pd.DataFrame, id_column: str, time_column: str, value_column: str) -> list:
    """(id, times, values) of every series, ids in order of first appearance, each series sorted
    by time (stable). Times and values are slices of two arrays for the whole table, so a
    worker receives only the rows of its own series."""
    codes, ids = pd.factorize(frame[id_column], sort=False)  # missing ids get -1: dropped
    keep = codes >= 0
    if not keep.all():
        frame, codes = frame[keep], codes[keep]
    if not len(ids):
        return []
    frame = frame.assign(_code=codes)
    try:
        ordered = frame.sort_values(["_code", time_column], kind="stable", na_position="last")
    except TypeError:  # times of different kinds in different series: sort each on its own
        ordered = pd.concat(
            [g.sort_values(time_column, kind="stable") for _, g in frame.groupby("_code")]
        )
    times = ordered[time_column].to_numpy()
    values = ordered[value_column].to_numpy(dtype=float)
    sorted_codes = ordered["_code"].to_numpy()
    bounds = np.flatnonzero(np.diff(sorted_codes)) + 1
    starts = np.concatenate(([0], bounds))
    ends = np.concatenate((bounds, [len(sorted_codes)]))
    return [
        (ids[sorted_codes[a]], times[a:b], values[a:b])
        for a, b in zip(starts.tolist(), ends.tolist(), strict=True)
    ]


def _regressor_names(exog, data: pd.DataFrame, taken) -> list:
    """The regressor columns ``exog`` names, checked against the data's columns."""
    if exog is None:
        return []
    names = [exog] if isinstance(exog, str) else list(exog)
    for name in names:
        if name not in data.columns:
            raise ValueError(f"exog: no column named {name!r} in the data")
        if name in taken:
            raise ValueError(f"exog: {name!r} is the id, time or value column, not a regressor")
    if len(set(names)) != len(names):
        raise ValueError(f"exog names a column twice: {names!r}")
    return names


def _time_text(t) -> str:
    return str(pd.Timestamp(t).isoformat()) if np.asarray(t).dtype.kind == "M" else str(t)


def _future_table(X_df: pd.DataFrame, exog, id_column, time_column) -> dict:
    """X_df as {id: (sorted times, regressor rows)}; bad columns, values and duplicates raise
    ValueError naming the series."""
    if not isinstance(X_df, pd.DataFrame):
        raise TypeError(f"X_df must be a pandas DataFrame, not {type(X_df).__name__}")
    for col in (id_column, time_column, *exog):
        if col not in X_df.columns:
            raise ValueError(
                f"X_df has no column {col!r} (it needs {id_column!r}, {time_column!r} and the "
                f"regressors {', '.join(map(repr, exog))})"
            )
    frame = X_df[[id_column, time_column, *exog]].reset_index(drop=True)  # rows by position
    frame[time_column] = _as_dates(frame[time_column], time_column)
    for col in exog:
        frame[col] = _numbers(frame, id_column, col)
        bad = ~np.isfinite(frame[col].to_numpy())
        if bad.any():
            row = frame.index[np.flatnonzero(bad)[0]]
            raise ValueError(
                f"X_df: series {frame.at[row, id_column]!r} has no finite value of {col!r} at "
                f"{_time_text(frame.at[row, time_column])} (got {frame.at[row, col]!r})"
            )
    dup = frame.duplicated([id_column, time_column])
    if dup.any():
        row = frame.index[np.flatnonzero(dup.to_numpy())[0]]
        raise ValueError(
            f"X_df: series {frame.at[row, id_column]!r} has two rows for "
            f"{_time_text(frame.at[row, time_column])}"
        )
    table = {}
    for sid, g in frame.groupby(id_column, sort=False):
        g = g.sort_values(time_column, kind="stable")
        table[sid] = (g[time_column].to_numpy(), g[list(exog)].to_numpy(dtype=float))
    return table


def _with_regressors(items, frame, X_df, exog, id_column, time_column, value_column, horizon,
                     holdout) -> list:
    """The series with their regressors: (id, times, values, regressor rows, regressor rows at
    the forecast times). Forecast times within a series' rows take its own regressor values,
    later ones those of X_df. Raises ValueError naming the series and what is missing."""
    columns = [_series_of(frame, id_column, time_column, col) for col in exog]
    table = None if X_df is None else _future_table(X_df, exog, id_column, time_column)
    out = []
    for i, (sid, t, v) in enumerate(items):
        x = np.column_stack([c[i][2] for c in columns])
        grid, gx = series.on_grid_exog(t, v, x)
        n = len(grid.times)
        # Within the series' span every row given needs its regressors (absent timestamps are
        # filled); a series too short to train is left to forecast_one to report.
        span = np.isin(t, grid.times) if n else np.zeros(len(t), bool)
        bad = span[:, None] & ~np.isfinite(x)
        if bad.any():
            r, c = np.argwhere(bad)[0]
            raise ValueError(
                f"series {sid!r}: regressor {exog[c]!r} has no finite value at "
                f"{_time_text(t[r])} (got {x[r, c]!r})"
            )
        n_train = n - holdout
        if n_train < MIN_POINTS:
            out.append((sid, t, v, x, np.full((horizon, len(exog)), np.nan)))
            continue
        when = series.future_times(grid.times[:n_train], horizon)
        fut = np.full((horizon, len(exog)), np.nan)
        inside = min(horizon, n - n_train)
        fut[:inside] = gx[n_train : n_train + inside]
        need = np.flatnonzero(~np.isfinite(fut).all(axis=1))
        if len(need):
            if table is None:
                raise ValueError(
                    f"series {sid!r}: no regressor values at {_time_text(when[need[0]])}; "
                    "pass them in X_df"
                )
            if sid not in table:
                raise ValueError(f"X_df has no rows for series {sid!r}")
            times, rows = table[sid]
            if times.dtype.kind != when.dtype.kind:
                raise ValueError(
                    f"X_df: the times of series {sid!r} are not of the data's kind "
                    f"({times.dtype} against {when.dtype})"
                )
            at = np.searchsorted(times, when[need])
            found = (at < len(times)) & (times[np.minimum(at, len(times) - 1)] == when[need])
            if not found.all():
                lacking = when[need][~found]
                raise ValueError(
                    f"X_df lacks the regressors of series {sid!r} at "
                    f"{', '.join(_time_text(w) for w in lacking[:3])}"
                    f"{' ...' if len(lacking) > 3 else ''} ({len(lacking)} of its {horizon} "
                    "forecast times)"
                )
            fut[need] = rows[at]
        out.append((sid, t, v, x, fut))
    return out


def check_regressors(
    data: pd.DataFrame,
    X_df: pd.DataFrame | None,
    exog,
    horizon: int,
    holdout: int = 0,
    *,
    id_column: str = "unique_id",
    time_column: str = "ds",
    value_column: str = "y",
) -> None:
    """Runs ``forecast_many``'s checks of the regressors and ``X_df`` alone (without training):
    raises the ValueError ``forecast_many`` would raise."""
    exog = _regressor_names(exog, data, (id_column, time_column, value_column))
    frame = data[[id_column, time_column, value_column, *exog]].copy()
    frame[time_column] = _as_dates(frame[time_column], time_column)
    for col in (value_column, *exog):
        frame[col] = _numbers(frame, id_column, col)
    items = _series_of(frame, id_column, time_column, value_column)
    _with_regressors(
        items, frame, X_df, exog, id_column, time_column, value_column, horizon, holdout
    )


def forecast_many(
    data: pd.DataFrame,
    *,
    id_column: str = "unique_id",
    time_column: str = "ds",
    value_column: str = "y",
    algorithm: str = "autoforecaster",
    horizon: int = 1,
    holdout: int = 0,
    season: int | None = None,
    n_jobs: int = 1,
    backend: str = "loky",
    client=None,
    scheduler: str | None = None,
    chunks_per_worker: int = 4,
    level=(),
    fill: str = "linear",
    exog=None,
    X_df: pd.DataFrame | None = None,
    quantiles=None,
    nonnegative: bool = False,
) -> BatchResult:
    """Forecasts every series of a long-format table.

    ``holdout`` > 0 keeps the last ``holdout`` points of each series out of training and scores the
    forecast against them (sMAPE, MASE, MAE, RMSE; with ``level``, each level's MSIS and coverage in
    percent as ``msis-80``, ``coverage-80``, ...). ``season`` fixes the season length (default: detected
    per series). ``backend`` is a joblib backend ("loky" processes or "threading"); a Dask
    ``client`` or a ``scheduler`` address runs the work on that cluster instead (needs the ``dask``
    extra). Results come back in the order of first appearance of each id. ``level`` (coverages in
    percent, e.g. ``(80, 95)``) adds each level's prediction interval to the forecasts as the
    columns ``lo-80``, ``hi-80``, ... ``quantiles`` (probabilities, e.g. ``(0.05, 0.5, 0.95)``)
    adds the forecast's quantiles as ``q-0.05``, ``q-0.5``, ...; with a holdout the errors gain
    ``pinball`` (the mean pinball loss of those quantiles) and ``crps`` (the continuous ranked
    probability score: twice the mean pinball loss over the even grid 0.01, 0.03, ..., 0.99).
    ``nonnegative`` keeps every forecast, bound and quantile at or above zero (for counts and
    sales); a series with a negative training value then fails with that reason.

    Each series is trained on its own span (leading and trailing missing values are dropped), on
    its time grid: absent timestamps and blank values within it are filled with ``fill`` (the
    engine interpolator's method) for training and are not scored. A value that is not a number
    raises ValueError naming the series and the row (the data's index label).

    Ctrl-C stops the work within moments (worker processes are ended, worker threads stop at their
    next series) and raises KeyboardInterrupt. A worker process that dies (killed, out of memory)
    raises ``WorkerDied`` naming the series of the chunk it was working on; its ``series``
    attribute lists their ids.

    ``exog`` names regressor columns of ``data`` (one name or a list): each series is trained
    with them and forecast with their values at the forecast times, which come from the series'
    own rows (a holdout's times) or from ``X_df``, a frame of id, time and the regressor columns
    covering every series' forecast times past its data (``regressors.forecast_times`` gives
    them; ``regressors.calendar_regressors`` makes calendar regressors for both spans). Within a
    series' span the regressors must be known (absent timestamps are filled with ``fill``);
    a missing or non-finite regressor value, a series or time ``X_df`` lacks, ``X_df`` without
    ``exog`` and ``exog`` without ``X_df`` (when the forecasts reach past the data) raise
    ValueError naming the series and what is missing before anything is trained. Regressors
    act on the series' own scale: a series trained with them is not log-transformed.
    """
    alg = str(algorithm).lower()
    if alg not in ALGORITHMS:
        raise ValueError(f"unknown algorithm {algorithm!r}: use one of {', '.join(ALGORITHMS)}")
    if horizon < 1:
        raise ValueError("horizon must be at least 1")
    if holdout < 0:
        raise ValueError("holdout must not be negative")
    level = tuple(level) if isinstance(level, (list, tuple)) else (level,)
    for lv in level:
        if isinstance(lv, bool) or not isinstance(lv, (int, float, np.number)) or not 0 < lv < 100:
            raise ValueError(f"level must hold coverages in percent between 0 and 100, got {lv!r}")
    for col in (id_column, time_column, value_column):
        if col not in data.columns:
            raise ValueError(f"no column named {col!r} in the data")
    try:
        fill = series.check_fill(fill)
    except ValueError as e:
        raise ValueError(f"fill: {e}") from None
    exog = _regressor_names(exog, data, (id_column, time_column, value_column))
    if X_df is not None and not exog:
        raise ValueError("X_df is given without exog: name the regressor columns with exog")
    if exog and X_df is None and holdout < horizon:
        raise ValueError(
            f"exog needs X_df: the values of the regressors {', '.join(map(repr, exog))} at "
            f"each series' forecast times past its data (id, time and those columns)"
        )
    quantiles = series.check_quantiles(quantiles)
    if not isinstance(nonnegative, (bool, np.bool_)):
        raise ValueError(f"nonnegative must be True or False, got {nonnegative!r}")
    nonnegative = bool(nonnegative)

    frame = data[[id_column, time_column, value_column, *exog]]
    frame = frame.copy()
    frame[time_column] = _as_dates(frame[time_column], time_column)
    frame[value_column] = _numbers(frame, id_column, value_column)
    for col in exog:
        frame[col] = _numbers(frame, id_column, col)
    items = _series_of(frame, id_column, time_column, value_column)
    if exog:
        items = _with_regressors(
            items, frame, X_df, exog, id_column, time_column, value_column, horizon, holdout
        )
    del frame

    args = (alg, horizon, holdout, season, level, fill, quantiles, nonnegative)
    if client is not None or scheduler is not None:
        out = _run_dask(items, args, client, scheduler, chunks_per_worker)
    elif n_jobs == 1 or len(items) <= 1:
        out = [_run_chunk(p, *args) for p in _chunks(items, 1)]
    else:
        workers = n_jobs if n_jobs > 0 else (os.cpu_count() or 1)
        parts = _chunks(items, workers * chunks_per_worker)
        del items  # the parts hold the series now
        names = [[item[0] for item in p] for p in parts]
        out = run_chunks(_run_chunk, parts, args, names, n_jobs=n_jobs, backend=backend)

    frames = [rows for rows, _ in out if rows is not None]
    forecasts = (
        pd.concat(frames, ignore_index=True)
        if frames
        else pd.DataFrame(
            columns=["id", "step", "time", "forecast", *_band_columns(level, quantiles)]
        )
    )
    errors = pd.DataFrame([e for _, errs in out for e in errs])
    return BatchResult(forecasts, errors)


def _run_dask(items, args, client, scheduler, chunks_per_worker):
    try:
        from dask.distributed import Client
    except ImportError as e:  # optional extra
        raise ImportError(
            "running on a Dask cluster needs dask.distributed: pip install 'tidewell_ts_libs[dask]'"
        ) from e
    own = client is None
    if own:
        client = Client(scheduler)
    try:
        workers = max(1, len(client.scheduler_info().get("workers", {})))
        parts = _chunks(items, workers * chunks_per_worker)
        futures = client.map(_run_chunk, parts, *[[a] * len(parts) for a in args], pure=False)
        return client.gather(futures)
    finally:
        if own:
            client.close()


# Rolling-origin backtests over the same long frames (kept in their own module).
from tidewell_ts_libs.backtest import cross_validation  # noqa: E402, F401
