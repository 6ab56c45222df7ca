"""Prediction intervals on all 3003 M3 series: coverage and MSIS beside the cached peers.

Every algorithm runs through ``QuillcastForecaster`` with its defaults (``fit`` on the training
values, then ``predict_interval(level=[80, 95])`` for the competition horizon). The peers'
intervals come from the cache of bench/m3_peers.py (AutoETS and AutoTheta given the true season
length); they are not rerun. Reported per frequency and overall:

- cover-80, cover-95: share of the test values inside the 80% and 95% intervals;
- MSIS: the scaled interval score at 95% (width plus 2/alpha times the misses, averaged over the
  horizon and divided by the in-sample seasonal-naive mean absolute error), mean over series.

Our intervals are cached per algorithm in bench/out/m3_intervals_<algorithm>.npz (delete one to
rerun it). With ``--dated`` the yearly, quarterly and monthly series are given dates (a
``DatetimeIndex`` from an arbitrary start), cached apart.

    nice .venv/bin/python bench/m3_intervals.py [--algorithms hw,autoforecaster] [--jobs 2] [--dated]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
OUT = os.path.join(HERE, "out")

from m3_data import KINDS, load_m3  # noqa: E402
from m3_peers import cache_path, load_cached  # noqa: E402

ALGORITHMS = ("autoforecaster", "hw", "arima", "arma", "bats")
PEERS = ("AutoETS", "AutoTheta")
# With --dated: the dates each kind is given ("other" has none).
FREQUENCIES = {"yearly": "YS", "quarterly": "QS", "monthly": "MS"}
ALPHA = 0.05


def ours_one(args):
    """(h x 5 block: forecast, lo-80, hi-80, lo-95, hi-95; seconds) for one series."""
    algorithm, x, h, freq = args
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    X = np.asarray(x, float).reshape(-1, 1)
    if freq:
        import pandas as pd

        X = pd.DataFrame({"y": X[:, 0]}, index=pd.date_range("1990-01-01", periods=len(X), freq=freq))

    t = time.process_time()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=h)
            f.fit(X, None, _reset_model=True)
            fc = np.asarray(f.predict(), float).reshape(-1)
            b = f.predict_interval(level=[80, 95])
        block = np.column_stack(
            [fc, b[80][0].reshape(-1), b[80][1].reshape(-1), b[95][0].reshape(-1),
             b[95][1].reshape(-1)]
        )
    except Exception:  # scored as the naive forecast without an interval, as the peers' cache
        block = np.column_stack([np.full(h, x[-1])] * 5)
    return block, time.process_time() - t


def run_ours(algorithm, series, jobs, every=1, dated=False):
    tag = ("" if every == 1 else f"_every{every}") + ("_dated" if dated else "")
    path = os.path.join(OUT, f"m3_intervals_{algorithm}{tag}.npz")
    if os.path.exists(path):
        z = np.load(path, allow_pickle=True)
        return list(z["forecasts"]), z["seconds"]
    work = [(algorithm, s.x, s.h, FREQUENCIES.get(s.kind) if dated else None) for s in series]
    t0 = time.time()
    if jobs > 1:
        with ProcessPoolExecutor(jobs) as ex:
            results = list(ex.map(ours_one, work, chunksize=16))
    else:
        results = [ours_one(w) for w in work]
    blocks = [r[0] for r in results]
    secs = np.array([r[1] for r in results])
    os.makedirs(OUT, exist_ok=True)
    arr = np.empty(len(blocks), dtype=object)
    arr[:] = blocks
    np.savez(path, forecasts=arr, seconds=secs)
    print(f"{algorithm}: {time.time() - t0:.0f} s wall, {secs.sum():.0f} s CPU", flush=True)
    return blocks, secs


def scores(series, blocks):
    """Per kind and overall: (cover-80, cover-95, MSIS)."""
    acc = {k: [0, 0, 0, []] for k in (*KINDS, "all")}
    for s, b in zip(series, blocks, strict=True):
        y = s.xx
        m = s.period if len(s.x) > s.period else 1
        scale = np.mean(np.abs(s.x[m:] - s.x[:-m]))
        in80 = int(np.sum((y >= b[:, 1]) & (y <= b[:, 2])))
        in95 = int(np.sum((y >= b[:, 3]) & (y <= b[:, 4])))
        lo, hi = b[:, 3], b[:, 4]
        msis = np.mean(
            (hi - lo) + 2 / ALPHA * (lo - y) * (y < lo) + 2 / ALPHA * (y - hi) * (y > hi)
        ) / scale if scale > 0 else np.nan
        for k in (s.kind, "all"):
            a = acc[k]
            a[0] += in80
            a[1] += in95
            a[2] += len(y)
            a[3].append(msis)
    return {k: (a[0] / a[2], a[1] / a[2], float(np.nanmean(a[3]))) for k, a in acc.items()}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--algorithms", default=",".join(ALGORITHMS))
    p.add_argument("--jobs", type=int, default=1)
    p.add_argument("--every", type=int, default=1, help="every N-th series only (quick looks)")
    p.add_argument("--dated", action="store_true", help="give ours the dates too")
    args = p.parse_args()
    series = load_m3()[:: args.every]
    rows = []
    missing = [name for name in PEERS if not os.path.exists(cache_path(name))]
    for name in PEERS:
        if name in missing:
            continue
        peer = load_cached(name)
        blocks = peer["forecasts"][:: args.every]
        rows.append((f"sf {name}", scores(series, blocks), peer["seconds"][:: args.every].sum()))
    for alg in args.algorithms.split(","):
        blocks, secs = run_ours(alg, series, args.jobs, args.every, args.dated)
        rows.append((alg + (", dated" if args.dated else ""), scores(series, blocks), secs.sum()))
    cols = (*KINDS, "all")
    print(f"{'model':<24}" + "".join(f"{k:>22}" for k in cols) + f"{'CPU s':>9}")
    print(f"{'':<24}" + "".join(f"{'c80  c95  MSIS':>22}" for _ in cols))
    for name, sc, cpu in rows:
        cells = "".join(
            f"{100 * sc[k][0]:>9.1f}{100 * sc[k][1]:>6.1f}{sc[k][2]:>7.2f}" for k in cols
        )
        print(f"{name:<24}{cells}{cpu:>9.0f}")
    if missing:
        print(f"peers without a cache here (bench/m3_peers.py makes it): {', '.join(missing)}")


if __name__ == "__main__":
    main()
