"""Long and several seasons: ours through the public forecaster beside the peers' MSTL.

Simulated series (no hourly or half-hourly data ship with the packages at hand):

- hourly: a daily (24) and a weekly (168) cycle, 8 weeks of training;
- half-hourly: a daily (48) and a weekly (336) cycle, 4 weeks of training;
- daily: a weekly (7) and a yearly (365) cycle, 4 years of training.

Each with a slow trend, a level that wanders (random walk) and noise, several seeds. Ours:
``QuillcastForecaster(algorithm=...)`` with its defaults (``hw`` given the longest season as
``samples_per_season``; ``autoforecaster`` and ``mstl`` told nothing; with ``--dated`` also given the dates, hourly, half-hourly or daily,
as a DatetimeIndex). The peer: statsforecast's
MSTL given the seasons (its default trend model), run in its own process with
``/work/main/bench/.venv-peers/bin/python``. MASE is scaled by the in-sample seasonal naive
error at the shortest season; seconds are CPU seconds (fit + predict summed over series).

    PYTHONPATH=src .venv/bin/python bench/long_seasons.py [--seeds 5] [--algorithms mstl,hw] [--dated]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

PEER_PYTHON = "/work/main/bench/.venv-peers/bin/python"
# name: (seasons, training cycles of the longest, horizon)
SETTINGS = {
    "hourly 24/168": ((24, 168), 8, 168),
    "half-hourly 48/336": ((48, 336), 4, 336),
    "daily 7/365": ((7, 365), 4, 60),
}
# With --dated, ours are given the values with dates of these spacings (a DatetimeIndex).
FREQUENCIES = {"hourly 24/168": "h", "half-hourly 48/336": "30min", "daily 7/365": "D"}


def simulate(seasons, n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    y = 100.0 + 0.01 * t + np.cumsum(rng.normal(0.0, 0.15, n))
    for i, m in enumerate(seasons):
        # A non-sinusoidal shape per season: a few harmonics with random phases.
        for k in (1, 2, 3):
            amp = (6.0 if i == 0 else 4.0) / k
            y += amp * np.sin(2 * np.pi * k * t / m + rng.uniform(0, 2 * np.pi))
    return y + rng.normal(0.0, 1.0, n)


def make_data(seeds):
    out = []
    for name, (seasons, cycles, h) in SETTINGS.items():
        n = seasons[-1] * cycles
        for seed in range(seeds):
            y = simulate(seasons, n + h, 1000 * seed + seasons[-1])
            out.append({"setting": name, "seasons": list(seasons), "x": y[:n], "xx": y[n:]})
    return out


def mase(x, xx, fc, m):
    scale = np.mean(np.abs(x[m:] - x[:-m]))
    return float(np.mean(np.abs(xx - fc)) / scale)


def interval_scores(s, bands, alpha=0.05):
    """(share inside 80%, share inside 95%, MSIS at 95%) of one series' bands (h x 4: lo80, hi80,
    lo95, hi95), MSIS scaled by the in-sample seasonal naive error at the shortest season."""
    y, x, m = s["xx"], s["x"], s["seasons"][0]
    lo80, hi80, lo, hi = bands.T
    inside = lambda a, b: np.mean((y >= a) & (y <= b))  # noqa: E731
    score = (hi - lo) + 2 / alpha * ((lo - y) * (y < lo) + (y - hi) * (y > hi))
    return inside(lo80, hi80), inside(lo, hi), np.mean(score) / np.mean(np.abs(x[m:] - x[:-m]))


def run_ours(algorithm, data, dated=False):
    import pandas as pd

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    fcs, secs, intervals = [], [], []
    for s in data:
        kwargs = {"samples_per_season": s["seasons"][-1]} if algorithm == "hw" else {}
        x = np.asarray(s["x"], float).reshape(-1, 1)
        if dated:
            idx = pd.date_range("2019-01-01", periods=len(x), freq=FREQUENCIES[s["setting"]])
            x = pd.DataFrame({"y": x[:, 0]}, index=idx)
        h = len(s["xx"])
        t = time.process_time()
        try:
            f = QuillcastForecaster(algorithm=algorithm, **kwargs)
            f.fit(x, x, _reset_model=True)
            fc = np.asarray(f.predict(prediction_horizon=h), float).reshape(-1)
            secs.append(time.process_time() - t)
            b = f.predict_interval(prediction_horizon=h, level=[80, 95])
            bands = np.column_stack([np.ravel(b[lv][i]) for lv in (80, 95) for i in (0, 1)])
        except Exception as e:  # noqa: BLE001 - a failure is shown and scored as naive
            print(f"  {algorithm} {s['setting']}: {type(e).__name__}: {e}", file=sys.stderr)
            fc = np.full(h, s["x"][-1])
            secs.append(time.process_time() - t)
            bands = np.full((h, 4), np.nan)
        fcs.append(fc)
        intervals.append(bands)
    return fcs, secs, intervals


def peer_main(path):
    """In the peers' interpreter: MSTL forecasts of the series in `path` (npz-like json)."""
    import pandas as pd
    from statsforecast import StatsForecast
    from statsforecast.models import MSTL

    with open(path) as fh:
        data = json.load(fh)
    out = []
    for s in data:
        df = pd.DataFrame({"unique_id": 0, "ds": np.arange(len(s["x"])), "y": s["x"]})
        t = time.process_time()
        sf = StatsForecast(models=[MSTL(season_length=s["seasons"])], freq=1)
        res = sf.forecast(df=df, h=s["h"], level=[80, 95])
        secs = time.process_time() - t
        bands = [res[f"MSTL-{side}-{lv}"].tolist() for lv in (80, 95) for side in ("lo", "hi")]
        out.append({"fc": res["MSTL"].tolist(), "secs": secs, "bands": bands})
    with open(path, "w") as fh:
        json.dump(out, fh)


def run_peer(data):
    if not os.path.exists(PEER_PYTHON):
        return None
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as fh:
        json.dump(
            [
                {"x": list(map(float, s["x"])), "seasons": s["seasons"], "h": len(s["xx"])}
                for s in data
            ],
            fh,
        )
        path = fh.name
    try:
        subprocess.run([PEER_PYTHON, os.path.abspath(__file__), "--peer", path], check=True)
        with open(path) as fh:
            res = json.load(fh)
    finally:
        os.unlink(path)
    return (
        [np.asarray(r["fc"]) for r in res],
        [r["secs"] for r in res],
        [np.asarray(r["bands"]).T for r in res],
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=5)
    ap.add_argument("--algorithms", default="mstl,autoforecaster,hw")
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument(
        "--dated", action="store_true", help="ours also given the values with their dates"
    )
    ap.add_argument("--peer", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peer:
        peer_main(args.peer)
        return
    warnings.simplefilter("ignore")
    data = make_data(args.seeds)
    rows = {}
    for algorithm in args.algorithms.split(","):
        rows[algorithm] = run_ours(algorithm, data)
        if args.dated:
            rows[f"{algorithm}, dated"] = run_ours(algorithm, data, dated=True)
    if not args.no_peer:
        peer = run_peer(data)
        if peer is not None:
            rows["peers' MSTL (seasons given)"] = peer
    names = list(SETTINGS)
    print(f"{args.seeds} series per setting; MASE (mean) / CPU s per series (mean)\n")
    print("| model | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    for label, (fcs, secs, _) in rows.items():
        cells = []
        for name in names:
            idx = [i for i, s in enumerate(data) if s["setting"] == name]
            m = np.mean(
                [mase(data[i]["x"], data[i]["xx"], fcs[i], data[i]["seasons"][0]) for i in idx]
            )
            sec = np.mean([secs[i] for i in idx])
            cells.append(f"{m:.3f} / {sec:.3f}")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print("\nIntervals: share inside the 80% and 95% bands / MSIS at 95% (scaled as MASE)\n")
    print("| model | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    for label, (_, _, bands) in rows.items():
        cells = []
        for name in names:
            idx = [i for i, s in enumerate(data) if s["setting"] == name]
            c80, c95, msis = zip(*(interval_scores(data[i], bands[i]) for i in idx), strict=True)
            cells.append(
                f"{100 * np.mean(c80):.1f} / {100 * np.mean(c95):.1f} / {np.mean(msis):.2f}"
            )
        print(f"| {label} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
