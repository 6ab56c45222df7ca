"""Peak memory of forecasting many short series at once.

Each run forecasts N series of 24 monthly points (horizon 1) with ``forecast_many`` on 2 workers,
in a fresh process, and reports the peak resident memory of the calling process, the peak of the
largest worker process and of the whole process tree (both sampled every 20 ms; pages shared
between processes count in each), next to the sizes of the input table and the output frames.

    .venv/bin/python bench/many_series_memory.py [--sizes 10000 100000] [--backends loky threading]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import threading
import time

MB = 1024 * 1024


def frame(n_series: int, length: int = 24):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(0)
    t = np.tile(np.arange(length), n_series)
    level = np.repeat(rng.uniform(50, 150, n_series), length)
    y = level + 5 * np.sin(2 * np.pi * t / 12) + rng.normal(size=t.size)
    ids = np.repeat(np.array([f"series-{i:06d}" for i in range(n_series)], dtype=object), length)
    return pd.DataFrame({"unique_id": ids, "ds": t, "y": y})


def tree_rss(pid: int) -> tuple[int, int]:
    """(resident memory of the process and all its descendants, of the largest descendant)."""
    import psutil

    try:
        p = psutil.Process(pid)
        procs = [p, *p.children(recursive=True)]
    except psutil.Error:
        return 0, 0
    total = largest = 0
    for q in procs:
        try:
            rss = q.memory_info().rss
        except psutil.Error:
            continue
        total += rss
        if q.pid != pid:
            largest = max(largest, rss)
    return total, largest


def one_run(n_series: int, backend: str, algorithm: str, module: str) -> dict:
    import importlib

    forecast_many = importlib.import_module(module).forecast_many

    df = frame(n_series)
    input_mb = df.memory_usage(deep=True).sum() / MB
    base_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    peak = [0, 0]
    done = threading.Event()

    def sample():
        while not done.is_set():
            total, largest = tree_rss(os.getpid())
            peak[0], peak[1] = max(peak[0], total), max(peak[1], largest)
            time.sleep(0.02)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    t0 = time.perf_counter()
    res = forecast_many(df, algorithm=algorithm, horizon=1, season=12, n_jobs=2, backend=backend)
    seconds = time.perf_counter() - t0
    done.set()
    sampler.join()
    out_mb = (
        res.forecasts.memory_usage(deep=True).sum() + res.errors.memory_usage(deep=True).sum()
    ) / MB
    return {
        "series": n_series,
        "backend": backend,
        "ok": int((res.errors.status == "ok").sum()),
        "seconds": round(seconds, 1),
        "input_mb": round(input_mb, 1),
        "output_mb": round(out_mb, 1),
        "before_mb": round(base_mb),
        "caller_peak_mb": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024),
        # Sampled: the high-water mark of a child also counts its parent's pages shared
        # between fork and exec.
        "worker_peak_mb": round(peak[1] / MB),
        "tree_peak_mb": round(peak[0] / MB),
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    ap.add_argument("--backends", nargs="+", default=["loky", "threading"])
    ap.add_argument("--algorithm", default="hw")
    ap.add_argument(
        "--module",
        default="tidewell_ts_libs.batch",
        help="module whose forecast_many to run (another version on PYTHONPATH, to compare)",
    )
    ap.add_argument("--one", nargs=2, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.one:
        print(json.dumps(one_run(int(a.one[0]), a.one[1], a.algorithm, a.module)))
        return
    cols = ["series", "backend", "ok", "seconds", "input_mb", "output_mb", "before_mb"]
    cols += ["caller_peak_mb", "worker_peak_mb", "tree_peak_mb"]
    print("  ".join(cols))
    for n in a.sizes:
        for backend in a.backends:
            cmd = [sys.executable, __file__, "--one", str(n), backend, "--algorithm", a.algorithm]
            cmd += ["--module", a.module]
            row = json.loads(subprocess.run(cmd, check=True, capture_output=True).stdout)
            print("  ".join(str(row[c]) for c in cols), flush=True)


if __name__ == "__main__":
    main()
