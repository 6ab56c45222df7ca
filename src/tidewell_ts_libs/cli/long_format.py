"""Long format (--series-column): every series backtested by the rolling-origin cross-validation
and forecast separately, on forecast_many."""

from __future__ import annotations

import math
import os
import sys
import time

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs._cliutil import InputError, _atomic_write
from tidewell_ts_libs.cli.args import log
from tidewell_ts_libs.cli.output import band_columns, make_output
from tidewell_ts_libs.cli.plot import plot_long
from tidewell_ts_libs.cli.progress import Progress
from tidewell_ts_libs.cli.ranking import DEFAULT_WINDOWS, MIN_TRAIN_ROWS, check_counts
from tidewell_ts_libs.cli.reading import (
    _numeric_column,
    check_regressors,
    format_times,
    future_columns,
    gap_report,
    parse_times,
    refuse_negative,
)

LONG_HORIZONS = {
    "month": 12,
    "quarter": 4,
    "year": 6,
    "week": 8,
    "day": 7,
    "business day": 5,
    "hour": 24,
}


def outputs(algorithms) -> list[str]:
    """What a run writes into its output folder."""
    per_alg = [f"{kind}_{alg}.csv" for alg in algorithms for kind in ("forecasts", "metrics")]
    return [*per_alg, "forecast.csv", "forecasts.png"]


def _long_series(df, id_col, time_col, target):
    """Per series (in order of first appearance): id, times and values on its grid (trimmed of
    leading and trailing blanks, absent timestamps as blanks); and the totals of absent
    timestamps and blank values, and the commonest step."""
    items, missing, blanks, units = [], 0, 0, {}
    for sid, g in df.groupby(id_col, sort=False):
        g = g.sort_values(time_col, kind="stable")
        times, values = g[time_col].to_numpy(), g[target].to_numpy(float)
        try:
            grid = series.on_grid(times, values)
        except ValueError:  # no grid (duplicate times, ...): forecast_many reports the series
            items.append((sid, times, values))
            continue
        if not len(grid.times):  # nothing known: forecast_many reports the series
            items.append((sid, times, values))
            continue
        missing += grid.missing
        blanks += grid.blanks
        units[grid.step] = units.get(grid.step, 0) + 1
        items.append((sid, grid.times, grid.values[:, 0]))
    unit = max(units, key=units.get) if units else "timestamp"
    return items, missing, blanks, unit


def _chunked_forecasts(
    items, frames, alg, horizon, holdout, args, progress, client, levels, fill, future=None
):
    """forecast_many over chunks of series, so that progress can be shown between chunks;
    ``future`` (the regressors' future frame) forecasts with the regressors of the frames."""
    from tidewell_ts_libs.batch import forecast_many

    extra = {"level": list(levels)} if levels else {}
    if getattr(args, "quantiles", ()):
        extra["quantiles"] = args.quantiles
    if getattr(args, "nonnegative", False):
        extra["nonnegative"] = True
    forecasts, metrics = [], []
    for frame, size in frames:
        if future is not None:
            extra["exog"] = [c for c in frame.columns if c not in ("id", "time", "value")]
            extra["X_df"] = future[future.id.isin(frame.id.unique())]
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
            fill=fill,
            **extra,
        )
        forecasts.append(res.forecasts)
        metrics.append(res.errors)
        progress.update(size)
    return (
        pd.concat([f for f in forecasts if len(f)] or forecasts[:1], ignore_index=True),
        pd.concat(metrics, ignore_index=True),
    )


METRIC_COLUMNS = ["status", "message", "n_train", "n_windows", "smape", "mase", "mae", "rmse"]


def series_windows(length: int, horizon: int, step: int, args) -> int:
    """The backtest windows of a series of ``length`` rows: --windows, the windows that fit in
    --holdout, or by default up to three while the rows before the first keep three horizons
    (a horizon is a season by default: the engine finds a season in three)."""
    if args.windows is not None:
        return args.windows
    if args.holdout is not None:
        return 1 + (args.holdout - horizon) // step
    need = max(MIN_TRAIN_ROWS, 3 * horizon)
    windows = DEFAULT_WINDOWS
    while windows > 1 and length - horizon - (windows - 1) * step < need:
        windows -= 1
    return windows


def _chunked_backtests(frames, alg, horizon, step, windows_of, args, progress, client, fill):
    """Rolling-origin cross-validation over chunks of series (series with as many windows
    together), so that progress can be shown between chunks: the forecasts of every window and
    one row of measures per series."""
    from tidewell_ts_libs.backtest import cross_validation

    backend = args.backend if args.backend != "dask" else ("dask" if client else "loky")
    forecasts, metrics = [], []
    for frame, size in frames:
        counts = frame.id.map(windows_of)
        for windows in sorted(counts.unique()):
            part = frame[counts == windows]
            res = cross_validation(
                part,
                id_column="id",
                time_column="time",
                value_column="value",
                algorithm=alg,
                h=horizon,
                n_windows=int(windows),
                step=step,
                refit=True,
                fill=fill,
                nonnegative=getattr(args, "nonnegative", False),
                n_jobs=args.jobs,
                backend=backend,
            )
            forecasts.append(res.forecasts)
            metrics.append(res.errors.merge(res.metrics, on="id", how="left"))
        progress.update(size)
    metrics = pd.concat(metrics, ignore_index=True)
    metrics = metrics[["id", *METRIC_COLUMNS, "seconds"]]
    return (
        pd.concat([f for f in forecasts if len(f)] or forecasts[:1], ignore_index=True),
        metrics,
    )


def _regressor_backtests(frames, alg, horizon, step, windows_of, grids, args, progress, fill):
    """The rolling-origin backtests with regressors, per chunk of series: at every origin
    forecast_many trains afresh on the rows before it and forecasts with the regressors' values
    of the window's rows (the holdout's own); the forecasts of every window and one row of
    measures per series, as ``_chunked_backtests`` gives them."""
    from tidewell_ts_libs.batch import forecast_many

    backend = "loky" if args.backend == "dask" else args.backend
    forecasts, metrics = [], []
    for frame, size in frames:
        exog = [c for c in frame.columns if c not in ("id", "time", "value")]
        counts = frame.id.map(windows_of)
        for windows in sorted(counts.unique()):
            part = frame[counts == windows]
            windows = int(windows)
            runs = []
            for w in range(windows):
                hold = horizon + (windows - 1 - w) * step
                res = forecast_many(
                    part, id_column="id", time_column="time", value_column="value",
                    algorithm=alg, horizon=horizon, holdout=hold, exog=exog, fill=fill,
                    n_jobs=args.jobs, backend=backend,
                )
                runs.append((hold, res))
            metrics.extend(_window_metrics(runs, grids, horizon, windows, step))
            for hold, res in runs:
                fc = res.forecasts
                if not len(fc):
                    continue
                cutoff = [grids[sid][0][len(grids[sid][0]) - hold - 1] for sid in fc.id]
                forecasts.append(
                    pd.DataFrame(
                        {"id": fc.id, "cutoff": cutoff, "time": fc.time, "actual": fc.actual,
                         "forecast": fc.forecast}
                    )
                )
        progress.update(size)
    metrics = pd.DataFrame(metrics, columns=["id", *METRIC_COLUMNS, "seconds"])
    if forecasts:
        back = pd.concat(forecasts, ignore_index=True)
        order = {sid: i for i, sid in enumerate(grids)}
        back = back.sort_values(["id", "cutoff"], key=lambda c: c.map(order) if c.name == "id"
                                else c, kind="stable").reset_index(drop=True)
    else:
        back = pd.DataFrame(columns=["id", "cutoff", "time", "actual", "forecast"])
    return back, metrics


def _window_metrics(runs, grids, horizon, windows, step) -> list[dict]:
    """One row of measures per series over all its windows (the engine's metrics, scaled on
    the rows before the first origin)."""
    rows = []
    first = runs[0][1].errors
    for sid in first.id:
        times, values = grids[sid]
        n_train = len(values) - (horizon + (windows - 1) * step)
        row = {"id": sid, "status": "ok", "message": "", "n_train": n_train,
               "n_windows": windows, "smape": np.nan, "mase": np.nan, "mae": np.nan,
               "rmse": np.nan, "seconds": 0.0}
        actual, predicted = [], []
        for _hold, res in runs:
            err = res.errors[res.errors.id == sid].iloc[0]
            row["seconds"] += float(err.seconds)
            if err.status != "ok" and row["status"] == "ok":
                row["status"], row["message"] = err.status, err.message
            fc = res.forecasts[res.forecasts.id == sid]
            actual.append(fc.actual.to_numpy(dtype=float))
            predicted.append(fc.forecast.to_numpy(dtype=float))
        if row["status"] == "ok":
            insample = values[: max(0, n_train)]
            season = series.detect_season(insample) if np.isfinite(insample).sum() else 1
            acc = series.score(np.concatenate(actual), np.concatenate(predicted), insample, season)
            for key in ("smape", "mase", "mae", "rmse"):
                row[key] = acc[key]
        rows.append(row)
    return rows


def _series_frames(items, chunk: int):
    """The series in chunks of long-format frames (id, time, value), with their counts."""
    frames = []
    for i in range(0, len(items), chunk):
        part = items[i : i + chunk]
        frames.append(
            (
                pd.concat(
                    [
                        pd.DataFrame({"id": [sid] * len(t), "time": t, "value": v})
                        for sid, t, v in part
                    ],
                    ignore_index=True,
                ),
                len(part),
            )
        )
    return frames


def _future_frame(args, id_col: str, time_col: str, regressors: list[str]) -> pd.DataFrame:
    """The --future frame as forecast_many's X_df (id, time, the regressors)."""
    frame = future_columns(args.future_frame, [id_col, time_col, *regressors], args.future)
    if frame[time_col].isna().any():
        raise InputError(f"--future {args.future}: time column {time_col!r} has empty values")
    frame[time_col], _ = parse_times(frame[time_col], time_col, ids=frame[id_col])
    return frame.rename(columns={id_col: "id", time_col: "time"})


def run_long_format(df: pd.DataFrame, args, algorithms, levels=(80.0, 95.0), fill="linear") -> int:
    """The --series-column mode: rank the algorithms over every series, forecast the future."""
    id_col = args.series_column
    if id_col not in df.columns:
        raise InputError(f"no column named {id_col!r}")
    others = [c for c in df.columns if c != id_col]
    if not others:
        raise InputError("--series-column needs a time column and a value column")
    time_col = args.time_column or others[0]
    regressors = list(getattr(args, "regressor_columns", None) or [])
    check_regressors(df, regressors, [id_col, time_col])
    targets = args.target or [c for c in others if c != time_col and c not in regressors]
    if time_col not in df.columns:
        raise InputError(f"no column named {time_col!r}")
    if set(targets) & set(regressors):
        raise InputError("a column cannot be both the value column and a regressor")
    if len(targets) != 1 or targets[0] not in df.columns:
        raise InputError("--series-column needs exactly one value column (use --target)")
    target = targets[0]
    if df[id_col].isna().any():
        raise InputError(f"series column {id_col!r} has empty values")
    if df[time_col].isna().any():
        raise InputError(f"time column {time_col!r} has empty values")
    if df.duplicated(subset=[id_col, time_col]).any():
        raise InputError("duplicate timestamps within a series")
    check_counts(args)
    if args.one_step:
        raise InputError(
            "--one-step ranks one table of value columns; with --series-column every series is "
            "ranked by rolling-origin forecasts (--windows, --step)"
        )
    data = pd.DataFrame({id_col: df[id_col], target: _numeric_column(df[target], target)})
    data[time_col], fmt = parse_times(df[time_col], time_col, ids=df[id_col])
    for r in regressors:
        data[r] = _numeric_column(df[r], r)
    if getattr(args, "nonnegative", False):
        refuse_negative(data, time_col, [target], fmt, id_col)

    items, missing, blanks, unit = _long_series(data, id_col, time_col, target)
    horizon = args.horizon if args.horizon is not None else LONG_HORIZONS.get(unit, 6)
    step = args.step if args.step is not None else horizon
    if args.holdout is not None and args.holdout < horizon:
        raise InputError(f"--horizon {horizon} is longer than the holdout ({args.holdout} rows)")
    lengths = {sid: len(v) for sid, _t, v in items}
    windows_of = {sid: series_windows(n, horizon, step, args) for sid, n in lengths.items()}
    counts = sorted(set(windows_of.values())) or [1]
    shown = "-".join(map(str, dict.fromkeys([counts[0], counts[-1]])))
    spacing = f", {step} apart" if counts[-1] > 1 else ""
    log(
        args,
        f"Data: {len(items)} series, {len(data)} rows; horizon {horizon}; backtest: {shown} "
        f"rolling-origin {'forecast' if counts == [1] else 'forecasts'} of {horizon} steps"
        f"{spacing} per series",
    )
    report = gap_report(missing, blanks, unit, fill)
    if report:
        log(args, report)
    future = None
    if regressors:
        future = _future_frame(args, id_col, time_col, regressors)
        raw = data.rename(columns={id_col: "id", time_col: "time", target: "value"})
        raw = raw[["id", "time", "value", *regressors]]
        try:  # every series' regressors, and their future, before any work
            from tidewell_ts_libs.batch import check_regressors as check_future

            check_future(raw, future, regressors, horizon, 0, id_column="id",
                         time_column="time", value_column="value")
        except ValueError as e:
            raise InputError(str(e).replace("X_df", f"--future {args.future}")) from e
        log(args, f"Regressors: {', '.join(regressors)} (future values from {args.future})")
    make_output(args.output)

    chunk = max(8, 16 * max(1, args.jobs), int(math.ceil(len(items) / 50)))
    frames = _series_frames(items, chunk)
    if regressors:  # the rows as given: forecast_many puts them and their regressors on the grid
        frames = [(raw[raw.id.isin(f.id.unique())], size) for f, size in frames]
        grids = {sid: (t, v) for sid, t, v in items}
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
        # The forecaster's module is loaded before the clock starts: its import is nobody's time.
        import tidewell_ts_libs.quillcast.quillcast_estimator  # noqa: F401

        for alg in algorithms:
            progress.begin(alg)
            t0 = time.perf_counter()
            if regressors:
                back, metrics = _regressor_backtests(
                    frames, alg, horizon, step, windows_of, grids, args, progress, fill
                )
            else:
                back, metrics = _chunked_backtests(
                    frames, alg, horizon, step, windows_of, args, progress, client, fill
                )
            secs = time.perf_counter() - t0
            ok = metrics[metrics.status == "ok"]
            summary.append(
                (alg, len(ok), len(metrics) - len(ok), ok.smape.mean(), ok.mase.mean(), secs)
            )
            results[alg] = (back, metrics)
            shown_back = back[["id", "cutoff", "time", "actual", "forecast"]]
            if len(shown_back):
                shown_back = shown_back.assign(
                    cutoff=format_times(shown_back.cutoff.to_numpy(), fmt),
                    time=format_times(shown_back.time.to_numpy(), fmt),
                )
            shown_back = shown_back.rename(columns={"id": id_col, "time": time_col})
            _atomic_write(
                os.path.join(args.output, f"forecasts_{alg}.csv"),
                lambda p, b=shown_back: b.to_csv(p, index=False),
            )
            shown_metrics = metrics.rename(columns={"id": id_col})
            _atomic_write(
                os.path.join(args.output, f"metrics_{alg}.csv"),
                lambda p, m=shown_metrics: m.to_csv(p, index=False),
            )
        ranked = sorted(summary, key=lambda r: np.nan_to_num(r[3], nan=1e300))
        futures = []
        for alg, *_ in ranked if args.all else ranked[:1]:
            progress.begin(f"{alg} forecast")
            fut, _m = _chunked_forecasts(
                items, frames, alg, horizon, 0, args, progress, client, levels, fill, future
            )
            futures.append(fut.assign(algorithm=alg))
    finally:
        progress.close()
        if client is not None:
            client.close()

    kind = "rolling-origin forecasts" if counts[-1] > 1 else "a rolling-origin forecast"
    print(f"Ranked by {kind} of {horizon} steps (mean over the series):")
    print(f"{'algorithm':<15} {'ok':>6} {'failed':>6} {'sMAPE %':>9} {'MASE':>7} {'seconds':>8}")
    for alg, nok, nf, sm, ms, secs in ranked:
        print(f"{alg:<15} {nok:>6} {nf:>6} {sm:>9.3f} {ms:>7.3f} {secs:>8.2f}")
    best = ranked[0][0]
    future = pd.concat(futures, ignore_index=True)
    if not len(future):  # nothing to show for the run: a failure, never reported as success
        raise InputError(
            f"no series could be forecast: all {len(items)} failed (the reasons are in "
            f"{os.path.join(args.output, f'metrics_{best}.csv')})"
        )
    bands = band_columns(future, levels)
    cols = ["id", "time", "algorithm", "step", "forecast"] + [c for lv in bands for c in bands[lv]]
    cols += [f"q-{series.quantile_label(p)}" for p in getattr(args, "quantiles", ())]
    future_out = future[[c for c in cols if c in future.columns]]
    if len(future_out):
        future_out = future_out.assign(time=format_times(future_out.time.to_numpy(), fmt))
    future_out = future_out.rename(columns={"id": id_col, "time": time_col})
    fpath = os.path.join(args.output, "forecast.csv")
    _atomic_write(fpath, lambda p: future_out.to_csv(p, index=False))
    written = [fpath]
    png = os.path.join(args.output, "forecasts.png")
    back, metrics = results[best]
    if plot_long(png, items, metrics, back, futures[0], horizon, step, levels, args, best):
        written.append(png)
    n_ok = future_out[id_col].nunique() if len(future_out) else 0
    print()
    print(
        f"Best: {best}. Forecast {n_ok} of {len(items)} series {horizon} steps ahead"
        + ("" if bands else " (no intervals)")
        + f". Wrote {', '.join(written)} and forecasts_<algorithm>.csv, metrics_<algorithm>.csv"
    )
    return 0
