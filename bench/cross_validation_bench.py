"""Cost of a rolling-origin backtest: one training fed forward against a training per origin.

    .venv/bin/python bench/cross_validation_bench.py [--algorithm hw] [--series 100]

100 monthly series of 144 points (trend, a yearly season, noise), 12 windows one month apart,
a horizon of 12 months, intervals at 80 and 95 percent, one worker, after a warm-up run.
Reports the seconds of ``tidewell_ts_libs.backtest.cross_validation`` with refit=False and
refit=True, and of the backtest written without it (``forecast_many`` on the data cut at each
origin, 12 calls), the ratios, and checks that the first window of all three is the same.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from tidewell_ts_libs.backtest import cross_validation
from tidewell_ts_libs.batch import forecast_many


def frame(n_series: int, n: int = 144) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    dates = pd.date_range("2010-01-01", periods=n, freq="MS")
    parts = []
    for k in range(n_series):
        t = np.arange(n)
        y = (
            100
            + rng.uniform(-0.2, 0.5) * t
            + rng.uniform(3, 15) * np.sin(2 * np.pi * t / 12 + k)
            + rng.normal(0, 2, n)
        )
        parts.append(pd.DataFrame({"unique_id": f"s{k}", "ds": dates, "y": y}))
    return pd.concat(parts, ignore_index=True)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--algorithm", default="autoforecaster")
    ap.add_argument("--series", type=int, default=100)
    ap.add_argument("--windows", type=int, default=12)
    ap.add_argument("--h", type=int, default=12)
    args = ap.parse_args()
    data = frame(args.series)
    kw = dict(algorithm=args.algorithm, h=args.h, n_windows=args.windows, step=1, level=[80, 95])
    cross_validation(frame(3), **kw)  # warm-up: imports and first calls
    seconds, results = {}, {}
    for refit in (False, True):
        start = time.perf_counter()
        results[refit] = cross_validation(data, refit=refit, **kw)
        seconds[refit] = time.perf_counter() - start
    for refit, res in results.items():
        failed = int((res.errors.status != "ok").sum())
        print(
            f"cross_validation refit={refit!s:5}  {seconds[refit]:8.2f} s  failed series: "
            f"{failed}  mean sMAPE {res.metrics.smape.mean():.3f}"
        )
    # The same backtest without it: the data cut at every origin, one forecast_many each.
    start = time.perf_counter()
    n = data.groupby("unique_id").size().iloc[0]
    first_window = None
    for w in range(args.windows):
        origin = n - args.h - (args.windows - 1 - w)
        cut = data.groupby("unique_id", sort=False).head(origin)
        res = forecast_many(cut, algorithm=args.algorithm, horizon=args.h, level=[80, 95])
        if first_window is None:
            first_window = res.forecasts.forecast.to_numpy()
    loop = time.perf_counter() - start
    print(f"forecast_many at every origin      {loop:8.2f} s")
    print(f"ratio cross_validation refit=True / refit=False: {seconds[True] / seconds[False]:.1f}x")
    print(f"ratio forecast_many loop / refit=False: {loop / seconds[False]:.1f}x")
    first = [r.forecasts.groupby("id").head(args.h).forecast.to_numpy() for r in results.values()]
    same = all(np.allclose(f, first_window, rtol=1e-9, atol=0) for f in first)
    print("first windows equal:", same)


if __name__ == "__main__":
    main()
