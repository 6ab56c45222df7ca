"""Ranking the algorithms: the backtest plan, the rolling-origin forecasts (or the one-step
sliding window), the table."""

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


DEFAULT_WINDOWS = 3


@dataclass
class Plan:
    """How the algorithms are backtested: ``windows`` forecasts of ``horizon`` steps from origins
    ``step`` rows apart, the last ``horizon`` rows before the end (or the one-step sliding window
    over the last ``holdout`` rows)."""

    horizon: int
    holdout: int  # the rows the backtest forecasts: horizon + (windows - 1) * step
    windows: int = 1
    step: int = 1
    one_step: bool = False

    def origins(self, n: int) -> list[int]:
        """The first forecast row of each window."""
        last = n - self.horizon
        return [last - (self.windows - 1 - w) * self.step for w in range(self.windows)]

    def describe(self) -> str:
        if self.one_step:
            return (
                f"one-step sliding window over the last {self.holdout} rows "
                f"(windows of {self.horizon} steps fed the actual values)"
            )
        spacing = f", {self.step} apart" if self.windows > 1 else ""
        return (
            f"{plural_of(self.windows, 'rolling-origin forecast')} of {self.horizon} steps"
            f"{spacing}, over the last {self.holdout} rows"
        )


def plural_of(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def check_counts(args) -> None:
    """--horizon, --windows, --step and --holdout, when given, are at least 1."""
    for name in ("--horizon", "--windows", "--step", "--holdout"):
        value = getattr(args, name[2:])
        if value is not None and value < 1:
            raise InputError(f"{name} must be at least 1, got {value}")


def choose_plan(n: int, season: int, args) -> Plan:
    """The backtest of ``n`` rows. By default ``DEFAULT_WINDOWS`` windows of one season (6 steps
    without a season) spaced by the horizon, fewer when the rows before the first origin would
    not hold two horizons and three seasons (the engine finds a season in three);
    ``--holdout`` keeps the windows within its rows."""
    check_counts(args)
    if args.one_step:
        if args.windows is not None or args.step is not None:
            raise InputError("--windows and --step set rolling-origin windows, not --one-step")
        holdout = choose_holdout(n, args)
        horizon = args.horizon if args.horizon is not None else default_horizon(season, holdout)
        return Plan(horizon, holdout, one_step=True)
    horizon = args.horizon
    if horizon is None:
        horizon = season if season > 1 else 6
        horizon = max(1, min(horizon, (n - MIN_TRAIN_ROWS) // 2))
        if args.holdout is not None:
            horizon = min(horizon, args.holdout)
    if args.holdout is not None and horizon > args.holdout:
        raise InputError(f"--horizon {horizon} is longer than the holdout ({args.holdout} rows)")
    step = args.step if args.step is not None else horizon
    if args.windows is not None:
        windows = args.windows
    elif args.holdout is not None:
        windows = 1 + (args.holdout - horizon) // step
    else:
        windows = DEFAULT_WINDOWS
        need = max(MIN_TRAIN_ROWS, 2 * horizon, 3 * season)
        while windows > 1 and n - horizon - (windows - 1) * step < need:
            windows -= 1
    holdout = horizon + (windows - 1) * step
    if n - holdout < MIN_TRAIN_ROWS:
        spacing = f", {step} apart" if windows > 1 else ""
        backtest = (
            f"the backtest ({plural_of(windows, 'window')} of {horizon} steps{spacing}, "
            f"{holdout} rows)"
        )
        if holdout >= n:
            raise InputError(
                f"too few rows: {backtest} leaves none of the {n} rows for training (at least "
                f"{MIN_TRAIN_ROWS} are needed)"
            )
        raise InputError(
            f"too few rows: {backtest} leaves {n - holdout} of the {n} rows for training (at "
            f"least {MIN_TRAIN_ROWS} are needed; fewer --windows or a shorter --horizon or --step)"
        )
    return Plan(horizon, holdout, windows, step)


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
    _summarise(res, scores, start)
    res.estimator = est
    return res


def run_windows(
    algorithm: str,
    settings: dict,
    filled: np.ndarray,
    observed: np.ndarray,
    plan: Plan,
    season: int = 1,
    times=None,
) -> Result:
    """Backtests an algorithm by the forecaster's rolling-origin cross-validation: a fresh
    training on the rows before every window's origin, each window forecast ``plan.horizon``
    steps ahead; the windows' forecasts (stacked, window after window) are scored together
    with the engine's metrics, scaled on the rows before the first origin (blank actual values
    do not count). Dated rows (``times`` of dates) train with their dates, as the forecast
    after the ranking does: the calendar's seasons come with them."""
    # The forecaster's module is loaded before the clock starts: its import is nobody's time.
    import tidewell_ts_libs.quillcast.quillcast_estimator  # noqa: F401

    res = Result(algorithm, settings)
    start = time.perf_counter()
    n, cols = observed.shape
    est = series.forecaster(algorithm, settings, plan.horizon)
    X = series.dated_rows(times, filled)
    dated = X is not filled
    with contextlib.redirect_stdout(io.StringIO()):
        cv = est.cross_validation(
            X, h=plan.horizon, n_windows=plan.windows, step=plan.step, refit=True
        )
    # The frame's rows: target after target, each window after window, `horizon` steps each.
    rows = np.concatenate([np.arange(o, o + plan.horizon) for o in plan.origins(n)])
    got = cv["time"].to_numpy().reshape(cols, -1)[0]
    if dated:
        placed = np.array_equal(
            got.astype("datetime64[ns]"), X.index[rows].to_numpy().astype("datetime64[ns]")
        )
    else:
        placed = np.array_equal(got, rows)
    if not placed:
        raise RuntimeError("the backtest's windows are not at the planned origins")
    res.forecasts = cv["forecast"].to_numpy(dtype=float).reshape(cols, -1).T
    res.estimator = est
    return _score_windows(res, filled, observed, plan, season, rows, start)


def _summarise(res: Result, scores: list, start: float) -> None:
    """Fills the result's scores from each target's: means over the targets, and the RMSE of
    all their errors (scaled by the largest, so that errors near the largest double do not
    overflow when squared)."""
    res.seconds = time.perf_counter() - start
    res.mae = float(np.mean([s["mae"] for s in scores]))
    rmse = np.array([s["rmse"] for s in scores], dtype=float)
    top = float(np.max(rmse)) if len(rmse) else 0.0
    res.rmse = top * float(np.sqrt(np.mean(np.square(rmse / top)))) if 0 < top < np.inf else top
    res.smape = float(np.mean([s["smape"] for s in scores]))
    res.mase = float(np.mean([s["mase"] for s in scores]))
    res.extra["smape"] = np.array([s["smape"] for s in scores])  # per target


def _score_windows(res, filled, observed, plan, season, rows, start) -> Result:
    """Scores the windows' stacked forecasts with the engine's metrics, scaled on the rows
    before the first origin (blank actual values do not count)."""
    n, cols = observed.shape
    actual = observed[rows]
    train = filled[: n - plan.holdout]
    scores = [
        series.score(actual[:, j], res.forecasts[:, j], train[:, j], season) for j in range(cols)
    ]
    _summarise(res, scores, start)
    res.extra["rows"] = rows
    return res


def run_windows_regressors(
    algorithm: str,
    settings: dict,
    filled: np.ndarray,
    observed: np.ndarray,
    plan: Plan,
    season: int,
    times: np.ndarray,
    exog: np.ndarray,
) -> Result:
    """``run_windows`` with regressors: a fresh training with them on the rows before every
    window's origin, each window forecast with the regressors' values over its rows."""
    import tidewell_ts_libs.quillcast.quillcast_estimator  # noqa: F401

    res = Result(algorithm, settings)
    start = time.perf_counter()
    n = len(observed)
    origins = plan.origins(n)
    point = []
    for o in origins:
        fc = series.forecast(
            algorithm,
            times[:o],
            filled[:o],
            plan.horizon,
            season=season,
            name_season=False,  # the season found on the whole series, for Holt-Winters
            exog=exog[:o],
            future_exog=exog[o : o + plan.horizon],
        )
        point.append(fc.point)
        res.estimator = fc.estimator
    res.forecasts = np.vstack(point)
    rows = np.concatenate([np.arange(o, o + plan.horizon) for o in origins])
    return _score_windows(res, filled, observed, plan, season, rows, start)


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
