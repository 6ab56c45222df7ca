"""Series per processor second of forecast_many on many short series, one process against two
workers (threads, and loky processes).

20,000 monthly series of 60 points (trend, a yearly season, noise), Holt-Winters (``hw``), 80%
and 95% intervals, horizon 12, season detected per series. Each run is a fresh process; the
library is imported and warmed on a few series before the clock starts. Processor seconds are
the caller's plus, for loky, its worker processes' (read with psutil before and after); loky
runs twice in the same process, the first with fresh workers (their start and imports count),
the second with the workers joblib keeps.

    nice .venv/bin/python bench/batch_throughput.py [--series 20000] [--runs threads,loky]
    PYTHONPATH=<dir> .venv/bin/python bench/batch_throughput.py --module <other version of batch>
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import subprocess
import sys
import time

import numpy as np


def table(n_series: int, length: int = 60):
    import pandas as pd

    rng = np.random.default_rng(0)
    t = np.tile(np.arange(length), n_series)
    sid = np.repeat(np.arange(n_series), length)
    y = 100 + (sid % 50) + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12) + rng.normal(size=t.size)
    months = pd.date_range("2015-01-01", periods=length, freq="MS").to_numpy()
    return pd.DataFrame({"unique_id": sid, "ds": months[t], "y": y})


def worker_seconds() -> float:
    """Processor seconds of this process's children (the loky workers) so far."""
    import psutil

    total = 0.0
    for p in psutil.Process().children(recursive=True):
        try:
            c = p.cpu_times()
            total += c.user + c.system
        except psutil.Error:
            pass
    return total


def one_run(n_series: int, n_jobs: int, backend: str, module: str, repeat: int) -> list[dict]:
    forecast_many = importlib.import_module(module).forecast_many
    df = table(n_series)
    kw = dict(algorithm="hw", horizon=12, level=(80, 95))
    forecast_many(df[df.unique_id < 4], **kw)  # imports and first calls outside the clock
    out = []
    for _ in range(repeat):
        w0, c0, k0 = time.perf_counter(), time.process_time(), worker_seconds()
        res = forecast_many(df, n_jobs=n_jobs, backend=backend, **kw)
        wall = time.perf_counter() - w0
        cpu = time.process_time() - c0 + worker_seconds() - k0
        ok = int((res.errors.status == "ok").sum())
        out.append({"wall": wall, "cpu": cpu, "ok": ok, "series": n_series})
    return out


RUNS = {
    "one": (1, "loky", 1),
    "threads": (2, "threading", 1),
    "loky": (2, "loky", 2),
}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=20_000)
    ap.add_argument("--runs", default="one,threads,loky")
    ap.add_argument("--module", default="tidewell_ts_libs.batch")
    ap.add_argument("--one", nargs=2, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.one:
        n_jobs, backend, repeat = RUNS[a.one[1]]
        print(json.dumps(one_run(int(a.one[0]), n_jobs, backend, a.module, repeat)))
        return
    print(f"{a.series} series of 60 months, hw, level (80, 95), horizon 12; {a.module}")
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores\n")
    print("| run | workers | wall s | CPU s | series / CPU s | series / wall s | ok |")
    print("|---|---|---|---|---|---|---|")
    rates = {}
    for name in a.runs.split(","):
        cmd = [sys.executable, __file__, "--module", a.module, "--one", str(a.series), name]
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stderr[-2000:], file=sys.stderr)
            continue
        for k, r in enumerate(json.loads(done.stdout.strip().splitlines()[-1])):
            label = name + (" (fresh workers)" if name == "loky" and k == 0 else "")
            label += " (kept workers)" if name == "loky" and k == 1 else ""
            rates[label] = r
            print(
                f"| {label} | {RUNS[name][0]} | {r['wall']:.2f} | {r['cpu']:.2f} | "
                f"{r['series'] / r['cpu']:.0f} | {r['series'] / r['wall']:.0f} | {r['ok']} |"
            )
    if "one" in rates:
        base = rates["one"]
        for label, r in rates.items():
            if label != "one":
                print(
                    f"\n{label}: wall speedup {base['wall'] / r['wall']:.2f}x, "
                    f"CPU {r['cpu'] / base['cpu']:.2f}x of one process",
                    end="",
                )
        print()
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
