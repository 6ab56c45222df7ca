"""Cost of a rolling-origin backtest: one training fed forward against a training per origin.

    .venv/bin/python bench/cross_validation_bench.py [--algorithm hw] [--series 100]

100 monthly series of 144 points (trend, a yearly season, noise), 12 windows one month apart,
a horizon of 12 months, intervals at 80 and 95 percent, one worker. Reports the seconds of
``tidewell_ts_libs.backtest.cross_validation`` with refit=False and refit=True, their ratio,
and checks that the first window of both runs forecasts the same.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from tidewell_ts_libs.backtest import cross_validation


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
    ap.add_argument("--algorithm", default="hw")
    ap.add_argument("--series", type=int, default=100)
    ap.add_argument("--windows", type=int, default=12)
    ap.add_argument("--h", type=int, default=12)
    args = ap.parse_args()
    data = frame(args.series)
    seconds = {}
    results = {}
    for refit in (False, True):
        start = time.perf_counter()
        results[refit] = cross_validation(
            data,
            algorithm=args.algorithm,
            h=args.h,
            n_windows=args.windows,
            step=1,
            refit=refit,
            level=[80, 95],
        )
        seconds[refit] = time.perf_counter() - start
    for refit, res in results.items():
        failed = int((res.errors.status != "ok").sum())
        print(
            f"refit={refit!s:5}  {seconds[refit]:8.2f} s  failed series: {failed}  "
            f"mean sMAPE {res.metrics.smape.mean():.3f}"
        )
    print(f"ratio refit=True / refit=False: {seconds[True] / seconds[False]:.1f}x")
    first = [r.forecasts.groupby("id").head(args.h).forecast.to_numpy() for r in results.values()]
    print("first windows equal:", bool(np.allclose(first[0], first[1], rtol=1e-12, atol=0)))


if __name__ == "__main__":
    main()
