"""Forecast a CSV in one command: split a holdout, train the engine's forecasters, score and save.

    python -m tidewell_ts_libs [CSV] [options]

The CSV's first column is the time (ISO dates or integers) unless --time-column says otherwise; the
other columns are values. Without a CSV the embedded default dataset is used.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

ALGORITHMS = ("hw", "arima", "arma", "bats", "autoforecaster")
MIN_TRAIN_ROWS = 8


class InputError(Exception):
    """Bad input: reported as one line, with a non-zero exit status."""


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


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tidewell_ts_libs",
        description="Forecast the value columns of a CSV with the engine's statistical forecasters, "
        "score each on a holdout, save the best pipeline and write the forecasts.",
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
        "--holdout", type=int, help="holdout rows (default: a fifth of the rows, at most 24)"
    )
    p.add_argument("--horizon", type=int, default=1, help="forecast horizon of the sliding window")
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
    p.add_argument("--quiet", action="store_true", help="print only the result table")
    return p


def _log(args, *items):
    if not args.quiet:
        print(*items, flush=True)


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


def prepare(df: pd.DataFrame, args) -> tuple[pd.DataFrame, str, list[str]]:
    """Validates the frame; returns it with a parsed time column, the time column and the targets."""
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
        values = pd.to_numeric(df[t], errors="coerce")
        bad = values.isna() & df[t].notna()
        if bad.any():
            row = int(np.flatnonzero(bad.to_numpy())[0])
            raise InputError(
                f"column {t!r} has a non-numeric value {df[t].iloc[row]!r} at row {row + 1}"
            )
        if values.isna().all():
            raise InputError(f"column {t!r} has no values")
        df[t] = values.astype(float)
    if df[time_col].isna().any():
        raise InputError(f"time column {time_col!r} has empty values")
    if df[time_col].duplicated().any():
        dup = df[time_col][df[time_col].duplicated()].iloc[0]
        raise InputError(f"time column {time_col!r} has duplicate timestamps (first: {dup})")
    if not pd.api.types.is_numeric_dtype(df[time_col]):
        try:
            parsed = pd.to_datetime(df[time_col].astype(str), format="ISO8601")
        except (ValueError, TypeError) as e:
            raise InputError(
                f"time column {time_col!r} holds values that are neither ISO dates nor integers"
            ) from e
        df[time_col] = parsed
    df = df.sort_values(time_col).reset_index(drop=True)
    return df, time_col, list(targets)


def choose_holdout(n: int, args) -> int:
    holdout = args.holdout if args.holdout is not None else max(1, min(24, n // 5))
    if holdout < 1:
        raise InputError("--holdout must be at least 1")
    if n - holdout < MIN_TRAIN_ROWS:
        raise InputError(
            f"too few rows: {n} rows leave {n - holdout} for training with a holdout of {holdout} "
            f"(at least {MIN_TRAIN_ROWS} are needed)"
        )
    if args.horizon < 1:
        raise InputError("--horizon must be at least 1")
    if args.horizon > holdout:
        raise InputError(f"--horizon {args.horizon} is longer than the holdout ({holdout} rows)")
    return holdout


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


def run_algorithm(algorithm: str, settings: dict, X_train, X_test, y_test, horizon: int) -> Result:
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
    from tidewell_ts_libs.utils.score import Score, compute_prediction_accuracy

    res = Result(algorithm, settings)
    start = time.perf_counter()
    kwargs = {k: v for k, v in settings.items() if k != "log_transform"}
    est = QuillcastForecaster(
        algorithm=algorithm,
        prediction_horizon=horizon,
        log_transform=settings["log_transform"],
        **kwargs,
    )
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
        mae, mse, _r2, smape, avg, _ = compute_prediction_accuracy(y_test, pred, horizon)
    res.seconds = time.perf_counter() - start
    res.mae = float(np.mean(mae))
    res.rmse = float(np.sqrt(np.mean(mse)))
    res.smape = float(np.mean(smape))
    res.forecasts = np.asarray(avg, dtype=float).reshape(len(y_test), -1)
    res.estimator = est
    return res


def detect_season(train: np.ndarray) -> int:
    from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils

    seasons = []
    for j in range(train.shape[1]):
        col = train[:, j]
        seasons.append(int(QuillcastUtils.get_init_samples(col[~np.isnan(col)].tolist())[1]))
    return max(1, min(seasons))


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
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [
        "  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip() for row in rows
    ]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def _atomic_write(path: str, write) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def write_outputs(args, df, time_col, targets, holdout, results, best) -> list[str]:
    from tidewell_ts_libs.utils.score import Score

    os.makedirs(args.output, exist_ok=True)
    written = []
    test = df.iloc[len(df) - holdout :]
    out = pd.DataFrame({time_col: test[time_col].to_numpy()})
    for j, t in enumerate(targets):
        out[t] = test[t].to_numpy()
        for r in results:
            if r.error is None:
                out[f"{t}_{r.algorithm}"] = r.forecasts[:, j]
    csv_path = os.path.join(args.output, "forecasts.csv")
    _atomic_write(csv_path, lambda p: out.to_csv(p, index=False))
    written.append(csv_path)

    model_path = os.path.join(args.output, "best_pipeline.pkl.gz")

    def save(p):
        if not Score.save(best.estimator, p):
            raise OSError(f"could not save the pipeline to {model_path}")

    _atomic_write(model_path, save)
    written.append(model_path)

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        _log(args, "matplotlib is not installed: no plot (pip install 'tidewell_ts_libs[plot]')")
        return written
    fig, axes = plt.subplots(len(targets), 1, figsize=(10, 3.2 * len(targets)), squeeze=False)
    for j, t in enumerate(targets):
        ax = axes[j][0]
        ax.plot(
            df[time_col].iloc[: len(df) - holdout],
            df[t].iloc[: len(df) - holdout],
            color="black",
            label="history",
        )
        ax.plot(test[time_col], test[t], color="gray", linestyle="--", label="holdout")
        for r in results:
            if r.error is None:
                ax.plot(test[time_col], r.forecasts[:, j], label=f"{r.algorithm} ({r.smape:.2f}%)")
        ax.set_title(str(t))
        ax.legend(fontsize=8)
    fig.tight_layout()
    png_path = os.path.join(args.output, "forecasts.png")
    _atomic_write(png_path, lambda p: fig.savefig(p, format="png", dpi=100))
    plt.close(fig)
    written.append(png_path)
    return written


def run(args) -> int:
    algorithms = [a.strip().lower() for a in args.algorithms.split(",") if a.strip()]
    unknown = [a for a in algorithms if a not in ALGORITHMS]
    if unknown or not algorithms:
        raise InputError(
            f"unknown algorithm(s) {', '.join(unknown) or '(none)'}: use {', '.join(ALGORITHMS)}"
        )
    df, source = load_frame(args)
    if args.series_column:
        from tidewell_ts_libs.batch import run_long_format

        return run_long_format(df, args, algorithms)
    df, time_col, targets = prepare(df, args)
    holdout = choose_holdout(len(df), args)
    _log(
        args,
        f"Data: {source}: {len(df)} rows, targets {', '.join(map(str, targets))}; holdout {holdout} rows",
    )

    from tidewell_ts_libs.utils.splitkit import make_holdout_split

    split_frame = df.copy()
    if pd.api.types.is_datetime64_any_dtype(split_frame[time_col]):
        split_frame[time_col] = split_frame[time_col].astype("int64") // 10**9
    with contextlib.redirect_stdout(io.StringIO()) as notices:
        try:
            X_train, X_test, _y_train, y_test, *_ = make_holdout_split(
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
    if np.isnan(X_test).any():
        raise InputError("the holdout rows have missing values: fill them before scoring")
    season = detect_season(X_train)
    _log(args, f"Detected season length: {season}")

    results = []
    for i, alg in enumerate(algorithms, 1):
        settings = settings_for(alg, X_train, season)
        shown = ", ".join(f"{k}={v}" for k, v in settings.items())
        _log(args, f"[{i}/{len(algorithms)}] {alg}: training on {len(X_train)} rows ({shown}) ...")
        try:
            r = run_algorithm(alg, settings, X_train, X_test, y_test, args.horizon)
            _log(args, f"      done in {r.seconds:.2f}s, sMAPE {r.smape:.3f}%")
        except Exception as e:  # one algorithm failing never stops the others
            r = Result(alg, settings, error=str(e).splitlines()[0] if str(e) else type(e).__name__)
            _log(args, f"      failed: {r.error}")
        results.append(r)

    ok = [r for r in results if r.error is None and np.isfinite(r.smape)]
    if not ok:
        print(format_table(results))
        raise InputError("no algorithm produced a forecast")
    best = min(ok, key=lambda r: r.smape)
    print()
    print(format_table(results))
    written = write_outputs(args, df, time_col, targets, holdout, results, best)
    print()
    print(f"Best: {best.algorithm}. Wrote {', '.join(written)}")
    return 0


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
