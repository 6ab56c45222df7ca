"""What the command writes: the output folder, the forecast table and forecast.csv."""

from __future__ import annotations

import math
import os

import numpy as np
import pandas as pd

from tidewell_ts_libs._cliutil import InputError
from tidewell_ts_libs.cli.args import level_label
from tidewell_ts_libs.cli.ranking import _table
from tidewell_ts_libs.cli.reading import format_times
from tidewell_ts_libs.series import quantile_label


def default_output(csv: str | None) -> str:
    """The folder written when --output is not given: named after the input, never the current
    folder itself (``sales.csv`` writes into ``sales-forecast``)."""
    if csv is None:
        stem = "passengers"
    elif csv == "-":
        stem = "stdin"
    else:
        stem = os.path.splitext(os.path.basename(os.path.normpath(csv)))[0] or "input"
    return f"{stem}-forecast"


def check_output(path: str) -> None:
    """The output folder must be a folder (or absent): refuse before any work is done."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise InputError(f"--output {path} is a file, not a folder")
    parent = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise InputError(f"cannot create the output folder {path}: {parent} is a file")


def check_targets(folder: str, names: list[str], csv: str | None, force: bool) -> None:
    """Refuses, before any work, to write over the input, or over a file that exists and that
    this run did not create unless ``force``."""
    source = os.path.realpath(csv) if csv not in (None, "-") else None
    for name in names:
        path = os.path.join(folder, name)
        if source is not None and os.path.realpath(path) == source:
            raise InputError(f"refusing to write {path}: it is the input file")
        if os.path.lexists(path) and not force:
            raise InputError(
                f"refusing to write over {path}, which exists (give --force to replace it, or "
                "another --output)"
            )


def make_output(path: str) -> None:
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        raise InputError(f"cannot create the output folder {path}: {e.strerror or e}") from e


def _number_format(values: np.ndarray) -> str:
    """The format that shows about four significant digits of the largest value: decimals, or
    the exponent for values too large or too small for them to read (1.57e+305, 3.2e-11)."""
    finite = np.abs(values[np.isfinite(values)])
    top = float(finite.max()) if finite.size else 0.0
    if top > 0 and not 1e-3 <= top < 1e15:
        return ".4g"
    return f".{int(min(4, max(0, 3 - math.floor(math.log10(top))))) if top > 0 else 2}f"


def format_forecast(future, time_col: str, targets: list[str], fmt, levels) -> str:
    times = format_times(future.times, fmt)
    header = [str(time_col)]
    for t in targets:
        header.append(str(t))
        header += [f"{level_label(lv)}% interval" for lv in levels if lv in future.bands]
        header += [f"q-{quantile_label(p)}" for p in future.quantiles or {}]
    rows = [tuple(header)]
    digits = [_number_format(future.point[:, j]) for j in range(len(targets))]
    for i, when in enumerate(times):
        row = [str(when)]
        for j in range(len(targets)):
            d = digits[j]
            row.append(f"{future.point[i, j]:{d}}")
            for lv in levels:
                if lv in future.bands:
                    lo, hi = future.bands[lv]
                    row.append(f"{lo[i, j]:{d}} to {hi[i, j]:{d}}")
            for q in (future.quantiles or {}).values():
                row.append(f"{q[i, j]:{d}}")
        rows.append(tuple(row))
    return _table(rows, right=set(range(1, len(header))))


def future_frame(futures: list, time_col: str, targets: list[str], fmt, levels) -> pd.DataFrame:
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
            for p, q in (f.quantiles or {}).items():
                out[f"{t}_q-{quantile_label(p)}"] = q[:, j]
        frames.append(out)
    return pd.concat(frames, ignore_index=True)


def band_columns(frame: pd.DataFrame, levels) -> dict:
    """Interval columns of a forecast_many result, by level: {level: (lower, upper)} names."""
    out = {}
    for lv in levels:
        lab = level_label(lv)
        for lo, hi in ((f"lo-{lab}", f"hi-{lab}"), (f"lo_{lab}", f"hi_{lab}")):
            if lo in frame.columns and hi in frame.columns:
                out[lv] = (lo, hi)
                break
    return out
