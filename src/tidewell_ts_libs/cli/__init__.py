"""Forecast a CSV in one command: rank the engine's forecasters by backtests, then forecast the future.

    python -m tidewell_ts_libs [CSV] [options]

The CSV's first column is the time (ISO dates or integers) unless --time-column says otherwise; the
other columns are values. Without a CSV the embedded default dataset is used; ``-`` reads the CSV
from standard input. With --series-column the CSV is in long format (one row per series and time)
and every series is forecast separately; so is every column of a table whose columns start or end
at different times (each on its own span).

One concern per module: ``args`` (options), ``reading`` (the input), ``ranking`` (the backtest
plan, the rolling-origin and one-step backtests, the table), ``single`` and ``long_format`` (the
two modes), ``output`` (the output folder and the forecast tables), ``plot`` and ``progress``. Every series, in either mode, is
trained and forecast on ``tidewell_ts_libs.series``, as ``forecast_many`` does.
"""

from __future__ import annotations

import contextlib
import sys
import warnings

from tidewell_ts_libs._cliutil import InputError, replacing
from tidewell_ts_libs.cli.args import (
    ALGORITHMS,
    _parser,
    check_fill,
    parse_levels,
    parse_quantiles,
    parse_regressors,
)
from tidewell_ts_libs.cli.long_format import outputs as long_outputs
from tidewell_ts_libs.cli.long_format import run_long_format
from tidewell_ts_libs.cli.output import check_output, check_targets, default_output
from tidewell_ts_libs.cli.progress import Progress
from tidewell_ts_libs.cli.reading import load_frame, load_future
from tidewell_ts_libs.cli.single import OUTPUTS, run_single

__all__ = ["ALGORITHMS", "InputError", "Progress", "main", "run", "run_long_format"]


def run(args) -> int:
    algorithms = [a.strip().lower() for a in args.algorithms.split(",") if a.strip()]
    unknown = [a for a in algorithms if a not in ALGORITHMS]
    if unknown or not algorithms:
        raise InputError(
            f"unknown algorithm(s) {', '.join(unknown) or '(none)'}: use {', '.join(ALGORITHMS)}"
        )
    if args.jobs < 1:
        raise InputError(f"--jobs must be at least 1, got {args.jobs}")
    if args.output is None:
        args.output = default_output(args.csv)
    check_output(args.output)
    names = long_outputs(algorithms) if args.series_column else list(OUTPUTS)
    check_targets(args.output, names, args.csv, args.force)
    args.regressor_columns = parse_regressors(args)
    if args.future is not None:
        check_targets(args.output, names, args.future, True)  # never write over --future
    levels = parse_levels(args.level)
    args.quantiles = parse_quantiles(getattr(args, "quantiles", None))
    fill = check_fill(args.fill)
    args.future_frame = load_future(args.future) if args.future is not None else None
    df, source = load_frame(args)
    with replacing(args.force):
        if args.series_column:
            return run_long_format(df, args, algorithms, levels, fill)
        return run_single(df, source, args, algorithms, levels, fill)


@contextlib.contextmanager
def _warnings_as_lines(quiet: bool):
    """The library's warnings as one line each ("warning: ..."), each text once; none when
    ``quiet`` (--quiet prints only the result tables)."""
    seen = set()

    def show(message, category, filename, lineno, file=None, line=None):
        text = str(message)
        if text not in seen:
            seen.add(text)
            print(f"warning: {text}", file=sys.stderr, flush=True)

    with warnings.catch_warnings():
        if quiet:
            warnings.simplefilter("ignore")
        else:
            warnings.showwarning = show
        yield


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    with _warnings_as_lines(args.quiet):
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
