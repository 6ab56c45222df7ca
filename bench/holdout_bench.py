"""Benchmarks of the holdout split and of prediction accuracy against plain pandas versions.

    PYTHONPATH=src .venv/bin/python bench/holdout_bench.py [--quick]

1. compute_prediction_accuracy, one target, ph = 24, "average": the library (overlapping forecasts
   averaged in the engine) against the coverage-table method in pandas (one row per forecast,
   padded with NaN, column means). The table has n * (n + ph - 1) cells, so the pandas method is
   run on smaller holdouts only; at n = 100,000 it would need about 80 GB.
2. make_holdout_split on 1,000,000 rows with ISO timestamp strings against the same steps in
   pandas with dateutil value by value and the statistics module.

Each case runs in a fresh process; time is the best of a few runs, memory the peak traced by
tracemalloc (Python objects and numpy/pandas buffers).
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd

PH = 24


# ---------------------------------------------------------------------------------------------
# Reference implementations in pandas


def table_accuracy(y, y_pred, ph, compute_metrics):
    """compute_prediction_accuracy, one target, "average", with the coverage table."""
    y1D = y[:, 0].reshape(-1, 1)
    y_pred1D = y_pred[:, 0].reshape(-1, 1)
    ph = min(ph, y1D.shape[0])
    rows = [[np.nan] * i + r for i, r in enumerate(y_pred1D.reshape(-1, ph).tolist())]
    width = len(rows) + ph - 1
    rows = [r + [np.nan] * (width - len(r)) for r in rows]
    avg = np.asarray(pd.DataFrame(data=rows, index=None).mean(axis=0, skipna=True)).reshape(-1, 1)
    mae, mse, r2, smape = compute_metrics(y1D, avg)
    return mae, mse, r2, smape, avg, {}


def reference_split(dataset, target, time_col, test_size):
    """The timestamp path of make_holdout_split, value by value."""
    from dateutil import parser

    df = dataset
    if df.duplicated(subset=[time_col]).any():
        raise Exception("duplicates")
    try:
        df[time_col] = df[time_col].map(lambda x: parser.parse(str(x).strip('"'), fuzzy=False))
    except Exception:
        df[time_col] = df[time_col].map(lambda x: parser.isoparse(str(x).strip('"')))
    df = df.sort_values(by=time_col)
    stamps = list(df[time_col])
    diffs = []
    for a, b in zip(stamps, stamps[1:], strict=False):
        d = b - a
        diffs.append(d.total_seconds() if type(d) is pd.Timedelta else d)
    m, s = statistics.mean(diffs), statistics.stdev(diffs)
    irregular = 100.0 * s / m > 20.0
    data_cols = [c for c in df.columns if c != time_col]
    X = df[[time_col] + data_cols][data_cols].to_numpy().astype(float).reshape(-1, len(data_cols))
    t = X.shape[0] - test_size
    return X[:t], X[t:], irregular


# ---------------------------------------------------------------------------------------------
# Data


def forecasts(n, ph, seed=0):
    rng = np.random.default_rng(seed)
    truth = np.sin(np.arange(n) / 24.0) * 10 + rng.normal(0, 1, n)
    k = n - ph + 1
    idx = np.arange(k)[:, None] + np.arange(ph)[None, :]
    stacked = truth[idx] + rng.normal(0, 0.5, (k, ph))
    return truth.reshape(-1, 1), stacked.reshape(-1, 1)


def split_frame(n):
    stamps = pd.date_range("2000-01-01", periods=n, freq="min").strftime("%Y-%m-%dT%H:%M:%S")
    rng = np.random.default_rng(1)
    frame = pd.DataFrame({"time": stamps, "load": rng.normal(size=n), "temp": rng.normal(size=n)})
    return frame.sample(frac=1, random_state=2).reset_index(drop=True)


# ---------------------------------------------------------------------------------------------
# One measurement (run in a child process)


def measure(case, method, n, repeat):
    from tidewell_ts_libs.utils import score
    from tidewell_ts_libs.utils.splitkit import make_holdout_split

    best = cpu = float("inf")
    peak = 0
    for _ in range(repeat):
        if case == "accuracy":
            y, y_pred = forecasts(n, PH)
            metrics = score.QuillcastUtils.compute_metrics
            run = (
                (lambda y=y, p=y_pred: score.compute_prediction_accuracy(y, p, PH))
                if method == "library"
                else (lambda y=y, p=y_pred, f=metrics: table_accuracy(y, p, PH, f))
            )
        else:
            frame = split_frame(n)
            run = (
                (lambda f=frame: make_holdout_split(f, "load", test_size=0.2, timestamp_column="time"))
                if method == "library"
                else (lambda f=frame: reference_split(f, "load", "time", int(n * 0.2)))
            )
        tracemalloc.start()
        t0, c0 = time.perf_counter(), time.process_time()
        run()
        best = min(best, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
        peak = max(peak, tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
    return {"seconds": best, "cpu": cpu, "peak_mb": peak / 2**20}


def child(case, method, n, repeat):
    out = subprocess.run(
        [sys.executable, __file__, "--child", case, method, str(n), str(repeat)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller sizes")
    ap.add_argument("--full", action="store_true", help="run the pandas split on 1,000,000 rows too (slow)")
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        case, method, n, repeat = args.child
        print(json.dumps(measure(case, method, int(n), int(repeat))))
        return

    print(f"compute_prediction_accuracy, one target, ph = {PH}, 'average'")
    print(f"{'holdout':>9} {'library s':>10} {'pandas s':>10} {'speed-up':>9} {'lib MB':>8} {'pandas MB':>10} {'mem ratio':>9}")
    print("  (times are CPU seconds of the call; memory the traced peak)")
    sizes = [1000, 2000] if args.quick else [1000, 2000, 4000]
    for n in sizes:
        lib = child("accuracy", "library", n, 3)
        ref = child("accuracy", "pandas", n, 1)
        last = (n, ref)
        print(
            f"{n:>9} {lib['cpu']:>10.4f} {ref['cpu']:>10.3f} {ref['cpu'] / lib['cpu']:>8.0f}x"
            f" {lib['peak_mb']:>8.2f} {ref['peak_mb']:>10.1f} {ref['peak_mb'] / lib['peak_mb']:>8.0f}x"
        )
    lib = child("accuracy", "library", 100_000, 3)
    cells = 100_000 * (100_000 + PH - 1)
    print(
        f"{100_000:>9} {lib['cpu']:>10.4f} {'-':>10} {'':>9} {lib['peak_mb']:>8.2f}"
        f"   (table method: {cells:.1e} cells, ~{cells * 8 / 2**30:.0f} GiB for the table alone)"
    )
    n0, ref = last
    grow = (100_000 / n0) ** 2  # the table method is quadratic in the holdout length
    print(
        f"  table method at 100,000 from its {n0:,}-point run, grown quadratically:"
        f" ~{ref['cpu'] * grow:,.0f} s ({ref['cpu'] * grow / lib['cpu']:,.0f}x),"
        f" ~{ref['peak_mb'] * grow / 1024:,.0f} GiB ({ref['peak_mb'] * grow / lib['peak_mb']:,.0f}x)"
    )

    n = 100_000 if args.quick else 1_000_000
    n_ref = 20_000 if args.quick else (n if args.full else 100_000)
    print("\nmake_holdout_split, ISO timestamp strings (shuffled), 2 value columns")
    lib = child("split", "library", n, 3)
    print(f"  library, {n:,} rows: {lib['seconds']:.3f} s ({lib['cpu']:.3f} s CPU), peak {lib['peak_mb']:.0f} MB")
    ref = child("split", "pandas", n_ref, 1)
    print(
        f"  pandas + dateutil per value, {n_ref:,} rows: {ref['seconds']:.2f} s"
        f" ({ref['cpu']:.2f} s CPU), peak {ref['peak_mb']:.0f} MB"
    )
    if n_ref != n:
        lib_small = child("split", "library", n_ref, 3)
        print(f"  library, {n_ref:,} rows: {lib_small['seconds']:.3f} s ({lib_small['cpu']:.3f} s CPU)")
        print(f"  speed-up at {n_ref:,} rows: {ref['cpu'] / lib_small['cpu']:.0f}x (CPU time)")
        per_row = ref["cpu"] / n_ref
        print(f"  pandas at {n:,} rows, from its time per row: ~{per_row * n:.0f} s CPU,"
              f" ~{per_row * n / lib['cpu']:.0f}x the library")
    else:
        print(f"  speed-up {ref['cpu'] / lib['cpu']:.0f}x (CPU time), memory ratio {ref['peak_mb'] / lib['peak_mb']:.1f}x")

if __name__ == "__main__":
    main()
