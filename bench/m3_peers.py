"""Peer forecasts with prediction intervals on all 3003 M3 series, cached for the benchmarks.

statsforecast's AutoETS, AutoTheta and AutoARIMA, each given the true season length, forecast
the competition horizons with `level=[80, 95]`. The point forecasts, the four bounds and the
CPU seconds of every series are kept in bench/out/m3_peers_<model>.npz, which the accuracy and
interval benchmarks read, so the slow peers run once. Run with the peers' environment:

    bench/.venv-peers/bin/python bench/m3_peers.py [--models AutoETS,AutoTheta] [--every N]
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
OUT = os.path.join(HERE, "out")

from m3_data import load_m3  # noqa: E402

LEVELS = (80, 95)
COLUMNS = ("mean", "lo-80", "hi-80", "lo-95", "hi-95")


def cache_path(name, every=1):
    tag = "" if every == 1 else f"_every{every}"
    return os.path.join(OUT, f"m3_peers_{name}{tag}.npz")


def load_cached(name, every=1):
    """{"ids", "forecasts" (list of h x 5 arrays: mean, lo-80, hi-80, lo-95, hi-95), "seconds"}."""
    z = np.load(cache_path(name, every), allow_pickle=True)
    return {"ids": z["ids"], "forecasts": list(z["forecasts"]), "seconds": z["seconds"]}


def run(name, series, every):
    from statsforecast import models

    path = cache_path(name, every)
    if os.path.exists(path):
        print(f"{name}: cached in {path}")
        return
    warm = np.sin(np.arange(48.0)) + np.arange(48.0) * 0.1 + 10.0
    for m in (1, 12):
        getattr(models, name)(season_length=m).forecast(y=warm, h=6, level=list(LEVELS))
    ids, fcs, secs = [], [], []
    t0 = time.time()
    for i, s in enumerate(series):
        t = time.process_time()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r = getattr(models, name)(season_length=s.period).forecast(
                    y=s.x, h=s.h, level=list(LEVELS))
            block = np.column_stack([np.asarray(r[c], float) for c in COLUMNS])
        except Exception as exc:  # a failed peer fit is scored as the naive forecast, no interval
            print(f"{name}: series {s.id} failed ({exc}); naive forecast used", flush=True)
            block = np.full((s.h, 5), np.nan)
            block[:, 0] = s.x[-1]
        secs.append(time.process_time() - t)
        ids.append(s.id)
        fcs.append(block)
        if (i + 1) % 250 == 0:
            print(f"{name}: {i + 1}/{len(series)} series, {time.time() - t0:.0f}s", flush=True)
    os.makedirs(OUT, exist_ok=True)
    obj = np.empty(len(fcs), dtype=object)
    obj[:] = fcs
    tmp = path + ".tmp.npz"
    np.savez(tmp, ids=np.asarray(ids), forecasts=obj, seconds=np.asarray(secs))
    os.replace(tmp, path)
    print(f"{name}: {len(series)} series in {sum(secs):.0f} CPU s -> {path}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--models", default="AutoETS,AutoTheta,AutoARIMA")
    ap.add_argument("--every", type=int, default=1, help="every N-th series only")
    args = ap.parse_args()
    series = load_m3()[:: args.every]
    for name in args.models.split(","):
        run(name, series, args.every)


if __name__ == "__main__":
    main()
