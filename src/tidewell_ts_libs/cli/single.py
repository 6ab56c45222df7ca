"""One table of value columns: rank the algorithms by backtests, forecast with the best."""

from __future__ import annotations

import contextlib
import io
import os

import numpy as np
import pandas as pd

from tidewell_ts_libs import series
from tidewell_ts_libs._cliutil import InputError, _atomic_write
from tidewell_ts_libs.cli.args import log
from tidewell_ts_libs.cli.output import format_forecast, future_frame, make_output
from tidewell_ts_libs.cli.plot import plot_single
from tidewell_ts_libs.cli.ranking import (
    Plan,
    Result,
    choose_holdout,
    choose_plan,
    format_table,
    run_algorithm,
    run_windows,
    run_windows_regressors,
)
from tidewell_ts_libs.cli.reading import (
    finite_regressors,
    format_times,
    future_rows,
    gap_report,
    plural,
    prepare,
    refuse_negative,
)

# What a run writes into its output folder.
OUTPUTS = ("forecasts.csv", "forecast.csv", "best_pipeline.pkl.gz", "forecasts.png")


def backtest_rows(plan: Plan, n: int) -> tuple[np.ndarray, np.ndarray | None]:
    """The rows the backtest forecasts, in the order of its forecasts, and the row before each
    one's window (None for the one-step sliding window: one forecast per holdout row)."""
    if plan.one_step:
        return np.arange(n - plan.holdout, n), None
    rows = np.concatenate([np.arange(o, o + plan.horizon) for o in plan.origins(n)])
    cutoffs = np.repeat(np.asarray(plan.origins(n)) - 1, plan.horizon)
    return rows, cutoffs


def write_outputs(args, df, time_col, targets, plan, results, best, futures, fmt, levels, observed):
    from tidewell_ts_libs.utils.score import Score

    make_output(args.output)
    written = []
    times = df[time_col].to_numpy()
    rows, cutoffs = backtest_rows(plan, len(df))
    out = pd.DataFrame({time_col: format_times(times[rows], fmt)})
    if cutoffs is not None:
        out.insert(0, "cutoff", format_times(times[cutoffs], fmt))
    for j, t in enumerate(targets):
        out[t] = observed[rows, j]
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
    if plot_single(png_path, df, time_col, targets, plan, results, best, futures, args, observed):
        written.append(png_path)
    return written


def _split(frame: pd.DataFrame, time_col, targets, holdout, args):
    from tidewell_ts_libs.utils.splitkit import make_holdout_split

    split_frame = frame.copy()
    # The split orders and checks the rows by their timestamps: the rows' steps on the grid
    # (whatever unit the dates come in), or nanoseconds for times off any grid.
    if pd.api.types.is_datetime64_any_dtype(split_frame[time_col]):
        ns = split_frame[time_col].to_numpy().astype("datetime64[ns]").astype(np.int64)
        split_frame[time_col] = ns
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
        log(args, "  " + line)
    return np.asarray(X_train, dtype=float), np.asarray(X_test, dtype=float)


def ragged_columns(df: pd.DataFrame, targets) -> dict:
    """The value columns whose values start after, or end before, the table's (row ranges of the
    time-sorted frame): {column: (first row, last row)}, empty when every column spans it."""
    known = df[list(targets)].notna().to_numpy()
    firsts = known.argmax(axis=0)
    lasts = len(known) - 1 - known[::-1].argmax(axis=0)
    start, end = firsts.min(), lasts.max()
    return {
        t: (int(a), int(b))
        for t, a, b in zip(targets, firsts, lasts, strict=True)
        if a > start or b < end
    }


def _free_name(base: str, taken) -> str:
    name = base
    while name in taken:
        name += "_"
    return name


def run_columns_as_series(
    raw, time_col, targets, ragged, times, fmt, args, algorithms, levels, fill
):
    """A table whose columns span different times: every column is its own series (trained on
    its own span and forecast from its own end), as in the long format, rather than padded
    over the table's span and forecast from the table's end."""
    from tidewell_ts_libs.cli import long_format
    from tidewell_ts_libs.cli.output import check_targets

    t, (a, b) = next(iter(ragged.items()))
    span = format_times(times[[a, b]], fmt)
    if getattr(args, "regressor_columns", None) or args.one_step:
        raise InputError(
            f"column {t!r} has values from {span[0]} to {span[1]} only, not over the table's span;"
            " with --regressors or --one-step the columns are trained together on one span: give "
            "the data in long format (--series-column), or the columns' common span"
        )
    log(
        args,
        f"Columns span different times (column {t!r}: {span[0]} to {span[1]}): every column is "
        "forecast as its own series, on its own span, as with --series-column",
    )
    id_col = _free_name("series", [time_col, *targets])
    value_col = _free_name("value", [time_col, id_col, *targets])
    long = raw.melt(
        id_vars=[time_col], value_vars=list(targets), var_name=id_col, value_name=value_col
    )
    long = long[[id_col, time_col, value_col]]
    args.series_column, args.time_column, args.target = id_col, time_col, [value_col]
    check_targets(args.output, long_format.outputs(algorithms), args.csv, args.force)
    return long_format.run_long_format(long, args, algorithms, levels, fill)


def run_single(df: pd.DataFrame, source: str, args, algorithms, levels, fill: str) -> int:
    raw = df
    df, time_col, targets, fmt = prepare(df, args)
    ragged = ragged_columns(df, targets) if len(targets) > 1 else {}
    if ragged:
        times = df[time_col].to_numpy()
        return run_columns_as_series(
            raw, time_col, targets, ragged, times, fmt, args, algorithms, levels, fill
        )
    if getattr(args, "nonnegative", False):
        refuse_negative(df, time_col, targets, fmt)
    regressors = list(getattr(args, "regressor_columns", None) or [])
    if regressors:
        grid, grid_exog = series.on_grid_exog(
            df[time_col].to_numpy(), df[targets].to_numpy(float), df[regressors].to_numpy(float)
        )
        # Every row given within the series' span needs its regressors; absent timestamps
        # are filled as the values are.
        span = df[time_col].between(grid.times[0], grid.times[-1]) if len(grid.times) else []
        finite_regressors(df[span], time_col, regressors, "the data")
        exog = series.fill_values(grid_exog, fill)
    else:
        grid = series.on_grid(df[time_col].to_numpy(), df[targets].to_numpy(float))
    times, observed = grid.times, grid.values
    frame = pd.DataFrame({time_col: times})
    n = len(frame)
    filled = series.fill_values(observed, fill)
    if args.one_step:
        holdout = choose_holdout(n, args)
    else:
        # The horizon defaults to the season of the whole series, which the future takes.
        plan = choose_plan(n, series.detect_season(filled, grid.seasons), args)
        holdout = plan.holdout
    for j, t in enumerate(targets):
        frame[t] = filled[:, j]
        if np.isnan(observed[n - holdout :, j]).all():
            raise InputError(f"column {t!r} has no values in the holdout (the last {holdout} rows)")
    log(
        args,
        f"Data: {source}: {len(df)} rows, targets {', '.join(map(str, targets))}; holdout {holdout} rows",
    )
    in_holdout = int(np.isnan(observed[n - holdout :]).sum())
    note = f" ({plural(in_holdout, 'gap')} in the holdout not scored)" if in_holdout else ""
    report = gap_report(grid.missing, grid.blanks, grid.step, fill, note)
    if report:
        log(args, report)

    X_train, X_test = _split(frame, time_col, targets, holdout, args)
    y_test = observed[n - holdout :]
    season = series.detect_season(X_train, grid.seasons)
    if args.one_step:
        plan = choose_plan(n, season, args)
    horizon = plan.horizon
    log(args, f"Detected season length: {season}; horizon {horizon}")
    log(args, f"Backtest: {plan.describe()}")
    future_exog = {}
    if regressors:  # the regressors at the forecast times, checked before any training
        when = series.future_times(times, horizon)
        rows = future_rows(args.future_frame, time_col, regressors, when, args.future, fmt)
        future_exog = {"exog": exog, "future_exog": rows}
        log(args, f"Regressors: {', '.join(regressors)} (future values from {args.future})")

    trained = f"{len(X_train)} rows"
    if not plan.one_step and plan.windows > 1:
        first, last = plan.origins(n)[0], plan.origins(n)[-1]
        trained = f"{first} to {last} rows, at {plan.windows} origins"
    results = []
    for i, alg in enumerate(algorithms, 1):
        settings = series.settings_for(alg, X_train, season)
        if regressors:  # regressors train on the series' own scale (series.forecast)
            settings["log_transform"] = False
        if getattr(args, "nonnegative", False):
            settings["nonnegative"] = True
        shown = ", ".join(f"{k}={v}" for k, v in settings.items())
        log(args, f"[{i}/{len(algorithms)}] {alg}: training on {trained} ({shown}) ...")
        try:
            if plan.one_step:
                r = run_algorithm(alg, settings, X_train, X_test, y_test, horizon, season)
            elif regressors:
                r = run_windows_regressors(
                    alg, settings, filled, observed, plan, season, times, exog
                )
            else:
                r = run_windows(alg, settings, filled, observed, plan, season, times)
            log(args, f"      done in {r.seconds:.2f}s, sMAPE {r.smape:.3f}%")
        except Exception as e:  # one algorithm failing never stops the others
            r = Result(alg, settings, error=str(e).splitlines()[0] if str(e) else type(e).__name__)
            log(args, f"      failed: {r.error}")
        results.append(r)

    ok = [r for r in results if r.error is None and np.isfinite(r.smape)]
    if not ok:
        print(format_table(results))
        raise InputError("no algorithm produced a forecast")
    ranked = sorted(ok, key=lambda r: r.smape)
    best = ranked[0]
    print()
    print(f"Ranked by {plan.describe()}:")
    print(format_table(results))

    # The main job: the best (or every) algorithm refitted on the whole series, forecast onwards
    # on the path every series takes (forecast_many's too). Should the best one's refit fail,
    # the next in rank forecasts.
    futures = []
    for r in ranked:
        if futures and not args.all:
            break
        try:
            futures.append(
                series.forecast(
                    r.algorithm,
                    times,
                    filled,
                    horizon,
                    levels,
                    quantiles=getattr(args, "quantiles", ()),
                    nonnegative=getattr(args, "nonnegative", False),
                    **future_exog,
                )
            )
        except Exception as e:  # a refit that fails is reported, the others go on
            log(args, f"{r.algorithm}: the refit on the whole series failed: {e}")
    if not futures:
        raise InputError("no algorithm's refit on the whole series gave a forecast")
    lead = futures[0]
    print()
    last = format_times(times[-1:], fmt)[0]
    print(f"Forecast by {lead.algorithm}, {horizon} steps after {last}:")
    print(format_forecast(lead, time_col, targets, fmt, levels))
    if not lead.bands:
        print("(this forecaster gives no prediction intervals)")
    written = write_outputs(
        args, frame, time_col, targets, plan, results, best, futures, fmt, levels, observed
    )
    print()
    print(f"Best: {best.algorithm}. Wrote {', '.join(written)}")
    return 0
