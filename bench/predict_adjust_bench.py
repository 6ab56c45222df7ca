"""Benchmark of Predict.adjust_prediction against the coverage-table method in pandas.

    PYTHONPATH=src .venv/bin/python bench/predict_adjust_bench.py [--quick]

Stacked forecasts of horizon ph = 24 for n holdout points and 3 targets are averaged into one
value per point. The pandas method builds one row per forecast padded with NaN (n * (n + ph - 1)
cells per target) and takes column means; the library averages in the engine in O(n * ph).
Times are the best of a few runs; both results are checked to agree.
"""

import argparse
import time

import numpy as np
import pandas as pd

from tidewell_ts_libs.utils.predict import Predict

PH = 24
TARGETS = 3


def table_average(y_pred, ph, targets):
    columns = []
    for i in range(targets):
        blocks = y_pred[:, i].reshape(-1, ph).tolist()
        width = len(blocks) + ph - 1
        rows = [[np.nan] * k + r + [np.nan] * (width - k - ph) for k, r in enumerate(blocks)]
        columns.append(np.asarray(pd.DataFrame(data=rows).mean(axis=0)).reshape(-1, 1))
    return np.column_stack(columns)


def best_of(fn, repeat):
    best = float("inf")
    out = None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sizes = [200, 1000] if args.quick else [200, 1000, 4000, 100_000]
    rng = np.random.default_rng(0)
    print(f"{'n':>8} {'library s':>12} {'pandas s':>12} {'speed-up':>9}")
    for n in sizes:
        k = n - PH + 1
        y = rng.normal(size=(n, TARGETS))
        y_pred = rng.normal(size=(k * PH, TARGETS))
        lib_t, lib = best_of(lambda: Predict.adjust_prediction(y, y_pred, PH), 3)  # noqa: B023
        if n <= 4000:
            pd_t, ref = best_of(lambda: table_average(y_pred, PH, TARGETS), 2)  # noqa: B023
            np.testing.assert_allclose(lib, ref, rtol=1e-12, atol=1e-12)
            print(f"{n:>8} {lib_t:>12.5f} {pd_t:>12.5f} {pd_t / lib_t:>8.1f}x")
        else:
            print(f"{n:>8} {lib_t:>12.5f} {'(too large)':>12} {'':>9}")


if __name__ == "__main__":
    main()
