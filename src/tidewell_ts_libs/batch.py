"""Forecasting many series at once.

``forecast_many`` takes a long-format table (series id, timestamp, value), forecasts each series
as ``QuillcastForecaster`` would with the settings the batch gives it (the engine's
``forecast_series``: the same season rule, settings, models, training and bands, one call for a
batch of series) and returns tidy frames of forecasts and per-series errors. The work runs in
parallel with joblib on one machine (processes or threads: the engine call holds no GIL, so
threads scale too) or on a Dask cluster when a client or scheduler address is given. Neither
this module nor its workers load scikit-learn.
A series that cannot be forecast (too short, all missing, ...) is reported in the errors frame and
never stops the others.

The table is converted once (times to datetime64[ns] or numbers, values to float64) and sorted
once by series and time; each series is a slice of those arrays. A worker receives its chunk
of series as three arrays (five with regressors: their rows and their values at the forecast
times) and returns its forecast rows as arrays; the frames are built once, at the end. Only the
calling side uses pandas: a worker process never imports it.
"""

from __future__ import annotations

import os
import time
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from tidewell_ts_libs import series
from tidewell_ts_libs._parallel import WorkerDied, run_chunks  # noqa: F401
from tidewell_ts_libs.deps.tarn import _tarn, forecaster_algorithms

if TYPE_CHECKING:
    import pandas as pd

# The forecaster's algorithms, from the engine's table of models.
ALGORITHMS = forecaster_algorithms()
MIN_POINTS = 4


class BatchResult(NamedTuple):
    forecasts: pd.DataFrame  # id, step, time, forecast[, lo-/hi-<level>][, q-<p>][, actual]
    # id, status, message, n_train, smape, mase, mae, rmse[, msis-<level>, coverage-<level>]
    # [, pinball, crps], seconds
    errors: pd.DataFrame


@dataclass(frozen=True)
class Options:
    """What every series of a batch is forecast with (one object, shipped to the workers)."""

    algorithm: str
    horizon: int
    holdout: int = 0
    season: int | None = None
    level: tuple = ()
    fill: str = "linear"
    quantiles: tuple = ()  # probabilities, increasing
    nonnegative: bool = False


class _Rows:
    """The forecast rows of a chunk of series, gathered column by column: the series' positions
    in the batch, their times (one array when the series agree on the kind of time) and the
    values of each column."""

    __slots__ = ("codes", "times", "point", "extra", "actual")

    def __init__(self, codes, times, point, extra, actual):
        self.codes = codes  # int64, the series' position in the batch (order of first appearance)
        self.times = times  # an array, or a list of arrays of differing kinds
        self.point = point
        self.extra = extra  # {name: values} of the columns of _extra_columns
        self.actual = actual  # None without a holdout

    def __len__(self):
        return len(self.codes)


def _extra_columns(opts: Options) -> list[str]:
    """The forecast columns after ``forecast`` (before ``actual``), in order: each level's
    bounds, then the quantiles. A series that lacks one of them gets NaN there."""
    return _band_columns(opts.level, opts.quantiles)


class _Prepared(NamedTuple):
    """A series made ready for the engine: its grid times, observed values, training values
    (filled) and, with regressors, their filled training rows and their future values."""

    times: np.ndarray
    observed: np.ndarray
    n_train: int
    filled: np.ndarray
    exog: np.ndarray | None
    future: np.ndarray | None
    season: int  # 0: detected by the engine
    calendar: tuple = ()  # the seasons its dates' calendar implies, for the engine to test


def _prepare(times, values, opts: Options, exog=None, future_exog=None) -> _Prepared:
    """Trims a series, puts it on its grid and fills its training part (and its regressors);
    raises for bad data."""
    if exog is None:
        grid = series.on_grid(times, values)
    else:
        grid, grid_exog = series.on_grid_exog(times, values, exog)
    if not len(grid.times):
        raise ValueError("all values are missing")
    observed = grid.values[:, 0]
    n_train = len(observed) - opts.holdout
    if n_train < MIN_POINTS:
        raise ValueError(
            f"too short: {max(0, n_train)} training points (at least {MIN_POINTS} needed)"
        )
    filled = series.fill_values(observed[:n_train].reshape(-1, 1), opts.fill)[:, 0]
    x = fut = None
    if exog is not None:  # absent timestamps' regressors are filled as the values are
        x = series.fill_values(grid_exog[:n_train], opts.fill)
        fut = np.asarray(future_exog, dtype=float).reshape(opts.horizon, x.shape[1])
    season = 0 if opts.season is None else max(1, int(opts.season))
    return _Prepared(grid.times, observed, n_train, filled, x, fut, season, grid.seasons)


def _engine_forecasts(opts: Options, batch: list, probs: list) -> dict:
    """The engine's forecasts of prepared series that share a season setting and whether they
    have regressors: one call for all of them, without the GIL."""
    with_exog = batch[0].exog is not None
    return _tarn.forecast_series(
        opts.algorithm,
        [p.filled for p in batch],
        opts.horizon,
        season=batch[0].season,
        levels=[float(lv) for lv in opts.level],
        probs=probs,
        nonnegative=opts.nonnegative,
        exog=[p.exog for p in batch] if with_exog else None,
        future=[p.future for p in batch] if with_exog else None,
        calendar=[list(p.calendar) for p in batch],
    )


def _finish_series(prep: _Prepared, out: dict, i: int, opts: Options, err: dict):
    """Forecast i of an engine call as ``_run_chunk`` keeps it: (forecast times, point,
    {name: values} of the columns of ``_extra_columns``, actual or None); fills ``err`` (n_train
    and the scores). Raises for a forecast the engine could not make."""
    # A season the caller asked for and the model left out is worth a warning; a detected one
    # that the model's own criterion declines is an ordinary choice of form, said nowhere.
    if opts.season is not None:
        for note in out["notes"][i]:
            warnings.warn(note, UserWarning, stacklevel=2)
    # Seasons the data show that the model cannot carry are worth a warning either way.
    for text in out["warnings"][i]:
        warnings.warn(f"series {err.get('id')!r}: {text}", UserWarning, stacklevel=2)
    failed = out["errors"][i]
    if failed is not None:
        kind, text = failed
        raise _EngineError(kind, text)
    pred = out["point"][i]
    if not np.all(np.isfinite(pred)):
        raise ValueError("the forecast is not finite")
    horizon, holdout, n_train = opts.horizon, opts.holdout, prep.n_train
    extra = {}
    for j, lv in enumerate(opts.level):
        extra[f"lo-{_level_name(lv)}"] = out["lower"][i, j]
        extra[f"hi-{_level_name(lv)}"] = out["upper"][i, j]
    nq = len(opts.quantiles)
    for j, p in enumerate(opts.quantiles):
        extra[f"q-{series.quantile_label(p)}"] = out["quantiles"][i, j]
    err["n_train"] = n_train
    times = series.future_times(prep.times[:n_train], horizon)
    if not holdout:
        return times, pred, extra, None
    season = int(out["season"][i])
    train = prep.observed[:n_train]
    actual = prep.observed[n_train:]
    n = min(len(actual), horizon)
    act = np.full(horizon, np.nan)
    act[:n] = actual[:n]
    acc = series.score(actual[:n], pred[:n], train, season)
    for key in ("smape", "mase", "mae", "rmse"):
        err[key] = acc[key]
    for j, lv in enumerate(opts.level):
        lo, hi = out["lower"][i, j], out["upper"][i, j]
        band = series.score(actual[:n], pred[:n], train, season, lo[:n], hi[:n], lv)
        err[f"msis-{_level_name(lv)}"] = band["msis"]
        err[f"coverage-{_level_name(lv)}"] = band["coverage"]
    if nq:
        qs = out["quantiles"][i]
        own = {p: qs[j, :n] for j, p in enumerate(opts.quantiles)}
        err["pinball"] = series.score_quantiles(actual[:n], own, train, season)["mean_pinball"]
        grid = {p: qs[nq + j, :n] for j, p in enumerate(series.CRPS_GRID)}
        err["crps"] = series.score_quantiles(actual[:n], grid, train, season)["crps"]
    return times, pred, extra, act


class _EngineError(Exception):
    """A series the engine could not forecast, reported under the name of its kind."""

    def __init__(self, kind: str, text: str):
        super().__init__(text)
        self.kind = kind


def _error_row(opts: Options) -> dict:
    """A series' error row before its forecast: every column in order, nothing measured."""
    return {
        "id": None,
        "status": "ok",
        "message": "",
        "n_train": 0,
        "smape": np.nan,
        "mase": np.nan,
        "mae": np.nan,
        "rmse": np.nan,
        **{
            f"{m}-{_level_name(lv)}": np.nan
            for lv in opts.level
            if opts.holdout
            for m in ("msis", "coverage")
        },
        **({"pinball": np.nan, "crps": np.nan} if opts.holdout and opts.quantiles else {}),
        "seconds": 0.0,
    }


def _failed(err: dict, e: Exception) -> None:
    kind = e.kind if isinstance(e, _EngineError) else type(e).__name__
    err["status"] = "failed"
    err["message"] = f"{kind}: {e}".splitlines()[0]


# Series the engine forecasts in one call: few enough that Ctrl-C and ``stop`` are seen soon.
ENGINE_BATCH = 32


def _run_chunk(chunk, opts: Options, stop=None):
    """Forecasts a chunk of series: (their forecast rows as a ``_Rows`` or None, error rows).

    Each series is put on its grid and filled here; the engine then forecasts a batch of them
    in one call without the GIL (threads scale). Rows leave as a few arrays per chunk, so what
    a worker sends back stays small and the caller builds one frame at the end; ``stop`` (a
    callable) ends the chunk early when it turns true (the caller is going away)."""
    blank = _error_row(opts)
    h = opts.horizon
    first = getattr(chunk, "first", 0)
    codes, times, points, actuals, errors = [], [], [], [], []
    names = _extra_columns(opts)
    extras = {name: [] for name in names}
    probs = list(opts.quantiles)
    if opts.holdout and opts.quantiles:  # CRPS is scored on its own grid of quantiles
        probs += list(series.CRPS_GRID)
    pending = []  # (position in the chunk, error row, prepared series, seconds so far)

    def run_pending():
        # One engine call per kind of series (season setting, regressors) among the pending.
        groups = {}
        for item in pending:
            groups.setdefault((item[2].season, item[2].exog is not None), []).append(item)
        for group in groups.values():
            out = _engine_forecasts(opts, [p for _, _, p, _ in group], probs)
            for i, (k, err, prep, spent) in enumerate(group):
                start = time.perf_counter()
                try:
                    ft, pred, extra, act = _finish_series(prep, out, i, opts, err)
                except Exception as e:  # one series failing never stops the others
                    _failed(err, e)
                else:
                    codes.append(first + k)
                    times.append(ft)
                    points.append(pred)
                    for name in names:
                        extras[name].append(extra.get(name, blanks))
                    if act is not None:
                        actuals.append(act)
                err["seconds"] = spent + float(out["seconds"][i]) + time.perf_counter() - start
        pending.clear()

    blanks = np.full(h, np.nan)
    for k, (sid, t, v, *regressors) in enumerate(chunk):  # (exog, future_exog) with regressors
        if stop is not None and stop():
            break
        start = time.perf_counter()
        err = blank.copy()
        err["id"] = sid
        errors.append(err)
        try:
            prep = _prepare(t, v, opts, *regressors)
        except Exception as e:  # one series failing never stops the others
            _failed(err, e)
            err["seconds"] = time.perf_counter() - start
            continue
        pending.append((k, err, prep, time.perf_counter() - start))
        if len(pending) >= ENGINE_BATCH:
            run_pending()
    if pending:
        run_pending()
    if not codes:
        return None, errors
    order = np.argsort(codes, kind="stable")  # the series in chunk order
    if not np.all(order[:-1] < order[1:]):
        codes = [codes[j] for j in order]
        times = [times[j] for j in order]
        points = [points[j] for j in order]
        extras = {name: [col[j] for j in order] for name, col in extras.items()}
        if actuals:
            actuals = [actuals[j] for j in order]
    rows = _Rows(
        np.repeat(np.asarray(codes, dtype=np.int64), h),
        _join_times(times),
        np.concatenate(points),
        {name: np.concatenate(extras[name]) for name in names},
        np.concatenate(actuals) if opts.holdout else None,
    )
    return rows, errors


def _join_times(times: list):
    """The times of several series as one array when they are of one kind, else the list."""
    kinds = {t.dtype for t in times}
    return np.concatenate(times) if len(kinds) == 1 else list(times)


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
    quantiles = () if quantiles is None else tuple(quantiles)
    opts = Options(
        algorithm, horizon, holdout, season, tuple(level), fill, quantiles, bool(nonnegative)
    )
    n = len(times)
    x = fut = None
    if exog is not None:
        x = np.asarray(exog, dtype=float).reshape(n, -1)
        if future_exog is not None:
            fut = np.asarray(future_exog, dtype=float)[np.newaxis]
    table = _SeriesTable([series_id], np.array([0, n]), np.asarray(times), values, 0, x, fut)
    rows, errors = _run_chunk(table, opts)
    return _forecast_frame([rows], [series_id], opts), errors[0]


def _as_dates(column: pd.Series, name: str, clock=None, ids=None) -> tuple[pd.Series, object]:
    """ISO 8601 text and periods as datetime64 (time-zone aware dates without their zone, on
    ``clock`` or the one they show: ``series.naive_dates``; periods by their starts), text that
    is all numbers as numbers; other columns unchanged (text that is neither: labels, which keep
    the rows' order). Zoned dates of the series of ``ids`` are each read on their series' own
    clock, or on ``clock`` ("wall", "utc" or {id: clock}). Returns the column and the clock of
    its zoned dates (None without a zone; {id: clock} where the series differ)."""
    import pandas as pd

    if isinstance(column.dtype, pd.CategoricalDtype):  # the categories' own values
        column = pd.Series(np.asarray(column, dtype=object), index=column.index)
    if pd.api.types.is_datetime64_any_dtype(column):
        dates = column
    elif isinstance(column.dtype, pd.PeriodDtype):  # periods: dated by their first instants
        dates = column.dt.to_timestamp(how="start")
    elif (kind := pd.api.types.infer_dtype(column, skipna=True)) in ("string", "datetime", "date"):
        if kind == "string":  # blanks around a date or number are not part of it
            column = column.str.strip()
        dates, written = series.iso_dates(column, clock, errors="coerce", ids=ids)
        clock = clock or written
        bad = dates.isna() & column.notna()
        if bad.all():
            numbers = pd.to_numeric(column, errors="coerce")
            if not (numbers.isna() & column.notna()).any():
                return numbers, None  # steps written as text: "10" comes after "9"
            return column, None  # labels, not dates: the series keep their order
        if bad.any():
            raise ValueError(
                f"column {name!r} holds dates and text that is not an ISO 8601 date, "
                f"such as {column[bad].iloc[0]!r}"
            )
    else:
        return column, None
    dates, clock = series.naive_by_series(pd.Series(dates), ids, clock)
    return pd.Series(dates).astype("datetime64[ns]"), clock


def _numbers(frame: pd.DataFrame, id_column: str, value_column: str) -> pd.Series:
    """The value column as floats; a value that is not a number (blank and NaN are missing
    values) raises ValueError naming its series and row."""
    import pandas as pd

    column = frame[value_column]
    numbers = pd.to_numeric(column, errors="coerce")
    bad = numbers.isna() & column.notna()
    if isinstance(column.dtype, pd.StringDtype) or column.dtype == object:
        bad &= column.astype(str).str.strip().ne("")
    if bad.any():
        i = int(np.flatnonzero(bad.to_numpy())[0])  # by position: index labels may repeat
        label = bad.index[i]
        label = label.item() if isinstance(label, np.generic) else label
        raise ValueError(
            f"series {frame[id_column].iloc[i]!r}: column {value_column!r} has a non-numeric "
            f"value {column.iloc[i]!r} at row {label!r}"
        )
    return numbers.astype(float)


def _whole(name: str, value) -> int:
    """A count given as a whole number (2 or 2.0); anything else raises ValueError naming it."""
    if series.is_whole(value):
        return int(value)
    raise ValueError(f"{name} must be a whole number, got {value!r}")


def _level_name(level) -> str:
    return f"{float(level):g}"


def _band_columns(level, quantiles=()) -> list[str]:
    bands = [f"{side}-{_level_name(lv)}" for lv in level for side in ("lo", "hi")]
    return bands + [f"q-{series.quantile_label(p)}" for p in quantiles]


# Series in one chunk at most: what a worker holds at once (its series, their forecast rows)
# stays bounded however many series there are, and Ctrl-C or a dead worker loses little.
CHUNK_MAX = 500


def _chunks(items, n: int) -> list:
    """At least ``n`` chunks of consecutive items, none longer than ``CHUNK_MAX``."""
    size = min(CHUNK_MAX, max(1, int(np.ceil(len(items) / max(1, n)))))
    return [items[i : i + size] for i in range(0, len(items), size)]


class _SeriesTable:
    """Series sliced from one table sorted by series and time.

    Series k is ``ids[k]`` with the rows ``bounds[k]:bounds[k + 1]`` of ``times`` and ``values``;
    ``first`` is the position of series 0 in the whole batch. Iterating gives (id, times,
    values), views of the table's arrays. A slice is the table of those series, its arrays views
    too: a worker process receives only the rows of its own series, as three arrays.

    With regressors, ``exog`` holds their rows (a column per regressor, the rows of ``times``)
    and ``future`` their values at each series' forecast times (series, step, regressor; None
    until they are known), and iterating gives (id, times, values, exog rows, future rows)."""

    __slots__ = ("ids", "bounds", "times", "values", "first", "exog", "future")

    def __init__(
        self,
        ids: list,
        bounds: np.ndarray,
        times: np.ndarray,
        values,
        first: int = 0,
        exog: np.ndarray | None = None,
        future: np.ndarray | None = None,
    ):
        self.ids = ids
        self.bounds = bounds
        self.times = times
        self.values = values
        self.first = first
        self.exog = exog
        self.future = future

    def __len__(self) -> int:
        return len(self.ids)

    def __iter__(self):
        b, times, values, exog, future = (
            self.bounds.tolist(),
            self.times,
            self.values,
            self.exog,
            self.future,
        )
        for k, sid in enumerate(self.ids):
            lo, hi = b[k], b[k + 1]
            if exog is None:
                yield sid, times[lo:hi], values[lo:hi]
            else:
                yield sid, times[lo:hi], values[lo:hi], exog[lo:hi], (
                    None if future is None else future[k]
                )

    def __getitem__(self, key):
        if not isinstance(key, slice):
            k = range(len(self.ids))[key]
            a, b = int(self.bounds[k]), int(self.bounds[k + 1])
            one = self.ids[k], self.times[a:b], self.values[a:b]
            if self.exog is None:
                return one
            return (*one, self.exog[a:b], None if self.future is None else self.future[k])
        lo, hi, step = key.indices(len(self.ids))
        if step != 1:
            raise ValueError("series are sliced in steps of one")
        hi = max(lo, hi)
        a, b = int(self.bounds[lo]), int(self.bounds[hi])
        return _SeriesTable(
            self.ids[lo:hi],
            self.bounds[lo : hi + 1] - a,
            self.times[a:b],
            self.values[a:b],
            self.first + lo,
            None if self.exog is None else self.exog[a:b],
            None if self.future is None else self.future[lo:hi],
        )

    def __getstate__(self):
        return {k: getattr(self, k) for k in self.__slots__}

    def __setstate__(self, state):
        for k, v in state.items():
            setattr(self, k, v)


def _row_order(codes: np.ndarray, times: np.ndarray) -> np.ndarray | None:
    """The order of the rows by series, then by time (stable, missing times last); None when
    they are in that order already. Dates and numbers are sorted by time; other times (labels,
    mixed kinds) keep the rows' order within their series."""
    if times.dtype.kind in "iufM":
        key = times
        if times.dtype.kind == "M":
            key = times.view(np.int64)
            nat = np.isnat(times)
            if nat.any():  # NaT is the smallest int64: put it last, as a missing time
                key = np.where(nat, np.iinfo(np.int64).max, key)
        sorted_ids = bool(np.all(codes[1:] >= codes[:-1]))
        if sorted_ids and not (times.dtype.kind == "f" and np.isnan(times).any()):
            same = codes[1:] == codes[:-1]
            if not np.any(same & (key[1:] < key[:-1])):
                return None  # the common case: one pass, no sort
        order = np.argsort(key, kind="stable")
        return order[np.argsort(codes[order], kind="stable")]
    # Labels (text that is neither dates nor numbers) say nothing of the order of time: the
    # rows keep the order they came in (sorted, "10/01/2019" would come before "12/01/2018").
    if bool(np.all(codes[1:] >= codes[:-1])):
        return None
    return np.argsort(codes, kind="stable")


def _series_of(
    frame: pd.DataFrame, id_column: str, time_column: str, value_column: str, exog=()
) -> _SeriesTable:
    """Every series of a long table: ids in order of first appearance, each series sorted by
    time (stable). The columns are converted once (times as they come: datetime64[ns], numbers
    or labels; values and the regressor columns ``exog`` as float64), sorted once, and the
    series are slices of them."""
    import pandas as pd

    codes, ids = pd.factorize(frame[id_column], sort=False)  # missing ids get -1: dropped
    times = frame[time_column].to_numpy()
    values = frame[value_column].to_numpy(dtype=float)
    x = frame[list(exog)].to_numpy(dtype=float) if len(exog) else None
    keep = codes >= 0
    if not keep.all():
        codes, times, values = codes[keep], times[keep], values[keep]
        x = None if x is None else x[keep]
    if not len(ids):
        x = None if x is None else x[:0]
        return _SeriesTable([], np.zeros(1, dtype=np.int64), times[:0], values[:0], 0, x)
    order = _row_order(codes, times)
    if order is not None:
        codes, times, values = codes[order], times[order], values[order]
        x = None if x is None else x[order]
    bounds = np.zeros(len(ids) + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=len(ids)), out=bounds[1:])
    return _SeriesTable(list(ids), bounds, times, values, 0, x)


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
    import pandas as pd

    return str(pd.Timestamp(t).isoformat()) if np.asarray(t).dtype.kind == "M" else str(t)


def _future_table(X_df: pd.DataFrame, exog, id_column, time_column, clock=None) -> dict:
    """X_df as {id: (sorted times, regressor rows)}; bad columns, values and duplicates raise
    ValueError naming the series."""
    import pandas as pd

    if not isinstance(X_df, pd.DataFrame):
        raise TypeError(f"X_df must be a pandas DataFrame, not {type(X_df).__name__}")
    for col in (id_column, time_column, *exog):
        if col not in X_df.columns:
            raise ValueError(
                f"X_df has no column {col!r} (it needs {id_column!r}, {time_column!r} and the "
                f"regressors {', '.join(map(repr, exog))})"
            )
    frame = X_df[[id_column, time_column, *exog]].reset_index(drop=True)  # rows by position
    # Zoned future dates are read on the clock of the series' own dates.
    frame[time_column], _ = _as_dates(frame[time_column], time_column, clock, frame[id_column])
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


def _with_regressors(
    items: _SeriesTable, X_df, exog, id_column, time_column, horizon, holdout, clock=None
) -> _SeriesTable:
    """Sets the regressors' values at every series' forecast times (``items.future``): forecast
    times within a series' rows take its own regressor values, later ones those of X_df.
    Raises ValueError naming the series and what is missing."""
    table = None if X_df is None else _future_table(X_df, exog, id_column, time_column, clock)
    future = np.full((len(items), horizon, len(exog)), np.nan)
    for i, (sid, t, v, x, _) in enumerate(items):
        grid, gx = series.on_grid_exog(t, v, x)
        n = len(grid.times)
        # Within the series' span every row given needs its regressors (absent timestamps are
        # filled); a series too short to train is left to its forecast to report.
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
            continue
        when = series.future_times(grid.times[:n_train], horizon)
        fut = future[i]  # a view: filled in place
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
    items.future = future
    return items


def _regressor_table(
    data, X_df, exog, horizon, holdout, id_column, time_column, value_column
) -> _SeriesTable:
    """The series of ``data`` with the regressor columns ``exog`` (checked names) and their
    values at the forecast times; raises ValueError for bad values or missing regressors."""
    frame = data[[id_column, time_column, value_column, *exog]].copy()
    frame[time_column], clock = _as_dates(frame[time_column], time_column, ids=frame[id_column])
    for col in (value_column, *exog):
        frame[col] = _numbers(frame, id_column, col)
    items = _series_of(frame, id_column, time_column, value_column, exog)
    del frame
    if exog:
        items = _with_regressors(
            items, X_df, exog, id_column, time_column, horizon, holdout, clock
        )
    return items


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
    _regressor_table(data, X_df, exog, horizon, holdout, id_column, time_column, value_column)


def _forecast_frame(parts: list, ids: list, opts: Options) -> pd.DataFrame:
    """The forecast rows of every chunk as one frame, built once."""
    import pandas as pd

    parts = [p for p in parts if p is not None and len(p)]
    if not parts:
        return pd.DataFrame(columns=["id", "step", "time", "forecast", *_extra_columns(opts)])
    codes = np.concatenate([p.codes for p in parts])
    times = []
    for p in parts:
        times.extend(p.times if isinstance(p.times, list) else [p.times])
    if len({t.dtype for t in times}) == 1:
        time_column = np.concatenate(times)
    else:  # series with different kinds of time: as a concatenation of their frames gives
        time_column = pd.concat([pd.Series(t) for t in times], ignore_index=True)
    columns = {
        # The ids keep the kind a frame of each id would give them (numbers, text, mixed).
        "id": pd.Series(ids).take(codes).reset_index(drop=True),
        "step": np.tile(np.arange(1, opts.horizon + 1), len(codes) // opts.horizon),
        "time": time_column,
        "forecast": np.concatenate([p.point for p in parts]),
    }
    for name in _extra_columns(opts):
        columns[name] = np.concatenate([p.extra[name] for p in parts])
    if opts.holdout:
        columns["actual"] = np.concatenate([p.actual for p in parts])
    return pd.DataFrame(columns)


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
    import pandas as pd

    series.check_table(data)
    alg = str(algorithm).lower()
    if alg not in ALGORITHMS:
        raise ValueError(f"unknown algorithm {algorithm!r}: use one of {', '.join(ALGORITHMS)}")
    horizon, holdout = _whole("horizon", horizon), _whole("holdout", holdout)
    if horizon < 1:
        raise ValueError("horizon must be at least 1")
    if holdout < 0:
        raise ValueError("holdout must not be negative")
    season = series.check_season(season)
    level = series.check_levels(level)
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

    # Rows without an id belong to no series: left out, and said so.
    unnamed = int(data[id_column].isna().sum())
    if unnamed:
        warnings.warn(
            f"{unnamed} row{'s' if unnamed != 1 else ''} without an id (column {id_column!r}) "
            f"left out",
            UserWarning,
            stacklevel=2,
        )
    items = _regressor_table(
        data, X_df, exog, horizon, holdout, id_column, time_column, value_column
    )
    ids = items.ids

    opts = Options(alg, horizon, holdout, season, level, fill, quantiles, bool(nonnegative))
    if client is not None or scheduler is not None:
        out = _run_dask(items, opts, client, scheduler, chunks_per_worker)
    elif n_jobs == 1 or len(items) <= 1:
        out = [_run_chunk(p, opts) for p in _chunks(items, 1)]
    else:
        workers = n_jobs if n_jobs > 0 else (os.cpu_count() or 1)
        parts = _chunks(items, workers * chunks_per_worker)
        del items  # the parts hold the series now
        names = [p.ids for p in parts]
        out = run_chunks(_run_chunk, parts, (opts,), names, n_jobs=n_jobs, backend=backend)

    forecasts = _forecast_frame([rows for rows, _ in out], ids, opts)
    # Every column even when there is no series (an empty table, or none with an id).
    errors = pd.DataFrame(
        [e for _, errs in out for e in errs], columns=list(_error_row(opts))
    )
    return BatchResult(forecasts, errors)


def _run_dask(items, opts: Options, client, scheduler, chunks_per_worker):
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
        futures = client.map(_run_chunk, parts, [opts] * len(parts), pure=False)
        return client.gather(futures)
    finally:
        if own:
            client.close()


def __getattr__(name: str):
    # Rolling-origin backtests over the same long frames, kept in their own module and loaded
    # when first asked for here (a worker process that only forecasts never loads them).
    if name == "cross_validation":
        from tidewell_ts_libs.backtest import cross_validation

        return cross_validation
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
