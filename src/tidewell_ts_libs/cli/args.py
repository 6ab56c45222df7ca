"""The command's options and their checks."""

from __future__ import annotations

import argparse

from tidewell_ts_libs import series
from tidewell_ts_libs._cliutil import InputError
from tidewell_ts_libs.deps.tarn import forecaster_algorithms, model_table

# The forecaster's algorithms, from the engine's table of models.
ALGORITHMS = forecaster_algorithms()
# Ranked unless --algorithms says otherwise: every algorithm for series in general. The
# intermittent-demand and the long-season families are left to the automatic selector, which
# turns to them by itself when the demand is intermittent or the seasons are long or several;
# asked for by name, they are ranked like the others.
DEFAULT_ALGORITHMS = tuple(
    e["algorithm"]
    for e in model_table()
    if e["algorithm"] and e["candidate"] not in ("intermittent", "long_season")
)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tidewell_ts_libs",
        description="Rank the engine's statistical forecasters by rolling-origin backtests of a "
        "CSV's value columns (each window forecast --horizon steps ahead from the rows before "
        "it), refit the best on the whole series and forecast the next --horizon values with "
        "prediction intervals; write the backtest, the forecast, a plot and the best pipeline.",
    )
    p.add_argument(
        "csv",
        nargs="?",
        help="CSV file, or - for standard input (default: the embedded monthly dataset)",
    )
    p.add_argument("--time-column", help="name of the time column (default: the first column)")
    p.add_argument(
        "--target",
        action="append",
        help="value column to forecast (repeatable; default: every column but the time column)",
    )
    p.add_argument(
        "--algorithms",
        default=",".join(DEFAULT_ALGORITHMS),
        help=f"comma-separated algorithms among {', '.join(ALGORITHMS)} "
        f"(default: {', '.join(DEFAULT_ALGORITHMS)})",
    )
    p.add_argument(
        "--holdout",
        type=int,
        help="the last rows the ranking forecasts: the backtest's windows stay within them "
        "(with --one-step: a fifth of the rows, at most 24, at least the horizon)",
    )
    p.add_argument(
        "--horizon",
        type=int,
        help="steps to forecast past the last timestamp, also the steps each backtest window "
        "forecasts (default: one season, or 6 steps without a season)",
    )
    p.add_argument(
        "--windows",
        type=int,
        help="backtest windows, the last ending at the last row (default: 3, fewer when the rows "
        "before the first would not hold two horizons and three seasons)",
    )
    p.add_argument(
        "--step",
        type=int,
        help="rows between the origins of the backtest windows (default: the horizon)",
    )
    p.add_argument(
        "--one-step",
        action="store_true",
        help="rank by a sliding window fed the holdout's actual values instead of forecasts from "
        "rolling origins (optimistic: it never forecasts further than its window)",
    )
    p.add_argument(
        "--level",
        default="80,95",
        help="prediction interval levels in percent, comma-separated (default: 80,95)",
    )
    p.add_argument(
        "--quantiles",
        metavar="P,P,...",
        help="also forecast these quantiles, probabilities between 0 and 1 such as "
        "0.05,0.5,0.95 (columns q-0.05, ... in forecast.csv)",
    )
    p.add_argument(
        "--nonnegative",
        action="store_true",
        help="the data cannot go below zero (counts, sales): no forecast, bound or quantile "
        "below zero, in the backtests and the forecast",
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
        help="how blank values and absent timestamps are filled for training: "
        f"{', '.join(series.fill_methods())} (default: linear)",
    )
    p.add_argument(
        "--regressors",
        metavar="COL,...",
        help="comma-separated columns of the CSV that are regressors, not targets: every "
        "algorithm is trained with them and forecast with their values from --future",
    )
    p.add_argument(
        "--future",
        metavar="FILE.csv",
        help="the regressors' values at the forecast times (with --regressors): the time column "
        "(and the series column with --series-column) and the regressor columns",
    )
    p.add_argument(
        "--output",
        help="output folder (default: a new folder named after the input, such as "
        "sales-forecast for sales.csv)",
    )
    p.add_argument(
        "--force",
        action="store_true",
        help="write over files that exist in the output folder (never over the input)",
    )
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


def log(args, *items):
    if not args.quiet:
        print(*items, flush=True)


def check_fill(method: str) -> str:
    methods = series.fill_methods()
    if method not in methods:
        raise InputError(f"unknown --fill method {method!r}: use {', '.join(methods)}")
    return method


def parse_regressors(args) -> list[str]:
    """The --regressors columns; --regressors and --future go together."""
    names = [c.strip() for c in (args.regressors or "").split(",") if c.strip()]
    if args.regressors is not None and not names:
        raise InputError(f"--regressors takes column names such as price,promo, not {args.regressors!r}")
    if len(set(names)) != len(names):
        raise InputError(f"--regressors names a column twice: {args.regressors!r}")
    if names and args.future is None:
        raise InputError(
            "--regressors needs --future FILE.csv: the regressors' values at the forecast times"
        )
    if args.future is not None and not names:
        raise InputError("--future gives regressor values: name their columns with --regressors")
    if names and args.one_step:
        raise InputError("--one-step does not take --regressors: rank by rolling origins")
    return names


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
        levels.append(level)
    if not levels:
        raise InputError("--level needs at least one percentage")
    try:  # the forecaster's own rules (no fractions, each level once), before any work
        return list(series.check_levels(levels))
    except ValueError as e:
        raise InputError(f"--{e}") from None


def parse_quantiles(text: str | None) -> tuple[float, ...]:
    """--quantiles as increasing probabilities without repeats (none when not given)."""
    if text is None:
        return ()
    out = []
    for part in str(text).split(","):
        part = part.strip()
        try:
            q = float(part)
        except ValueError:
            raise InputError(
                f"--quantiles takes probabilities such as 0.05,0.5,0.95, not {text!r}"
            ) from None
        if not 0 < q < 1:
            raise InputError(f"--quantiles {part} is not a probability between 0 and 1")
        out.append(q)
    return tuple(sorted(set(out)))


def level_label(level: float) -> str:
    return f"{level:g}"
