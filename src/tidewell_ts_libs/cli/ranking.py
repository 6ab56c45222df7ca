"""Ranking the algorithms on a holdout: training, the sliding-window backtest, the table."""

from __future__ import annotations

import contextlib
import io
import time
from dataclasses import dataclass, field

import numpy as np

from tidewell_ts_libs import series
from tidewell_ts_libs._cliutil import InputError

MIN_TRAIN_ROWS = 8


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
    mase: float = float("nan")
    extra: dict = field(default_factory=dict)


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
        if holdout >= n:
            raise InputError(
                f"too few rows: a holdout of {holdout} rows leaves none of the {n} rows for "
                f"training (at least {MIN_TRAIN_ROWS} are needed; a holdout is at least "
                "--horizon rows)"
            )
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


def run_algorithm(
    algorithm: str, settings: dict, X_train, X_test, y_test, horizon: int, season: int = 1
) -> Result:
    """Trains on X_train, forecasts the holdout over a sliding window of ``horizon`` steps and
    scores the averaged forecasts with the engine's metrics (blank holdout values do not count)."""
    from tidewell_ts_libs.utils.score import Score, compute_prediction_accuracy

    res = Result(algorithm, settings)
    start = time.perf_counter()
    est = series.forecaster(algorithm, settings, horizon)
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
        # The forecasts of each holdout row averaged over the windows that reach it.
        avg = compute_prediction_accuracy(y_test, pred, horizon)[4]
    res.forecasts = np.asarray(avg, dtype=float).reshape(len(y_test), -1)
    train = np.asarray(X_train, dtype=float).reshape(len(X_train), -1)
    scores = [
        series.score(y_test[:, j], res.forecasts[:, j], train[:, j], season)
        for j in range(res.forecasts.shape[1])
    ]
    res.seconds = time.perf_counter() - start
    res.mae = float(np.mean([s["mae"] for s in scores]))
    res.rmse = float(np.sqrt(np.mean([s["rmse"] ** 2 for s in scores])))
    res.smape = float(np.mean([s["smape"] for s in scores]))
    res.mase = float(np.mean([s["mase"] for s in scores]))
    res.extra["smape"] = np.array([s["smape"] for s in scores])  # per target
    res.estimator = est
    return res


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
