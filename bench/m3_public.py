"""M3 through the public forecaster, as a user calls it, beside the cached peers.

Every series is fitted with ``QuillcastForecaster(algorithm=...)`` and its defaults (log
transform on, sizes from QuillcastUtils) on its training part with
``fit(X, y, _reset_model=True)`` and forecast with ``predict(prediction_horizon=h)`` at the
competition horizons (yearly 6, quarterly 8, monthly 18, other 8):

- ``autoforecaster``: told nothing about the season;
- ``hw``: given the true season (``samples_per_season``: yearly 1, quarterly 4, monthly 12,
  other 1);
- ``arima``: the defaults (the engine finds the season itself).

The peers (statsforecast's AutoETS, AutoTheta, AutoARIMA, given the true season) are read from
their cache in bench/out/m3_peers_<model>.npz (bench/m3_peers.py); they are not rerun here.
sMAPE and MASE per frequency and overall, with the mean of the peers' forecasts as one more
row. Seconds are CPU seconds of this process (fit + predict summed over series).

    PYTHONPATH=src .venv/bin/python bench/m3_public.py [--every 3] [--algorithms autoforecaster]

``--no-log`` adds a row per algorithm with ``log_transform=False``, to see what the transform
costs. ``--set key=value`` (repeatable) passes a setting to every algorithm of the run, e.g.
``--set combination=median`` for the autoforecaster.

sMAPE is shown as the mean over series (per frequency) and, in the column "points", as the
mean over all forecast points of all series (the convention of the M3 and M4 publications,
where series with longer horizons weigh more).
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from m3_data import KINDS, load_m3, mase, smape  # noqa: E402

PEERS = ("AutoETS", "AutoTheta", "AutoARIMA")


def load_peers(n_series):
    """{name: list of mean forecasts in M3 order} for the peers whose cache is complete."""
    import m3_peers

    out = {}
    for name in PEERS:
        try:
            cached = m3_peers.load_cached(name)
        except (OSError, FileNotFoundError):
            continue
        if len(cached["ids"]) != n_series:
            continue
        out[name] = [np.asarray(f, float)[:, 0] for f in cached["forecasts"]]
    return out


def forecaster_for(algorithm, series, log, settings=None):
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    kwargs = dict(settings or {})
    if algorithm == "hw":
        kwargs["samples_per_season"] = series.period
    return QuillcastForecaster(algorithm=algorithm, log_transform=log, **kwargs)


# With --dated: the dates each kind is given (from an arbitrary start; "other" has none).
FREQUENCIES = {"yearly": "YS", "quarterly": "QS", "monthly": "MS"}


def run_ours(algorithm, data, log, settings=None, dated=False):
    """Forecasts (one array per series) and the CPU seconds of the whole run."""
    import pandas as pd

    fcs = []
    failures = 0
    total = 0.0
    for s in data:
        x = np.asarray(s.x, float).reshape(-1, 1)
        if dated and s.kind in FREQUENCIES:
            idx = pd.date_range("1990-01-01", periods=len(x), freq=FREQUENCIES[s.kind])
            x = pd.DataFrame({"y": x[:, 0]}, index=idx)
        t = time.process_time()
        try:
            f = forecaster_for(algorithm, s, log, settings)
            f.fit(x, x, _reset_model=True)
            fc = np.asarray(f.predict(prediction_horizon=s.h), float).reshape(-1)
        except Exception as e:  # noqa: BLE001 - a failure is counted and shown
            failures += 1
            print(f"  {algorithm} series {s.id}: {type(e).__name__}: {e}", file=sys.stderr)
            fc = np.full(s.h, s.x[-1])
        total += time.process_time() - t
        if not np.all(np.isfinite(fc)):
            failures += 1
            fc = np.where(np.isfinite(fc), fc, s.x[-1])
        fcs.append(fc)
    return fcs, total, failures


def scores(data, fcs):
    """{kind or "all": (sMAPE, MASE)}, and "points": the sMAPE over all forecast points."""
    per = {k: ([], []) for k in KINDS}
    points = []
    for s, fc in zip(data, fcs, strict=True):
        per[s.kind][0].append(smape(s.xx, fc))
        per[s.kind][1].append(mase(s.x, s.xx, fc, s.period))
        points += [smape([a], [f]) for a, f in zip(s.xx, fc, strict=True)]
    out = {}
    every_s, every_m = [], []
    for k in KINDS:
        sm, ms = per[k]
        every_s += sm
        every_m += ms
        out[k] = (float(np.mean(sm)), float(np.nanmean(ms))) if sm else (np.nan, np.nan)
    out["all"] = (float(np.mean(every_s)), float(np.nanmean(every_m)))
    out["points"] = float(np.mean(points))
    return out


def setting(text):
    """A ``key=value`` setting: the value as an int or float where it reads as one."""
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"--set takes key=value, not '{text}'")
    for kind in (int, float):
        try:
            return key, kind(value)
        except ValueError:
            pass
    return key, value


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--every", type=int, default=1, help="every k-th series of M3 (default 1)")
    ap.add_argument("--algorithms", default="autoforecaster,hw,arima")
    ap.add_argument("--no-log", action="store_true", help="also run without the log transform")
    ap.add_argument(
        "--dated",
        action="store_true",
        help="also give ours yearly, quarterly and monthly dates (a DatetimeIndex)",
    )
    ap.add_argument("--set", type=setting, action="append", default=[], metavar="KEY=VALUE",
                    help="a setting passed to every algorithm (repeatable)")
    args = ap.parse_args()
    settings = dict(args.set)
    warnings.simplefilter("ignore")

    every = load_m3()
    peers = load_peers(len(every))
    idx = list(range(0, len(every), args.every))
    data = [every[i] for i in idx]
    counts = {k: sum(s.kind == k for s in data) for k in KINDS}

    rows = []
    for name, fcs in peers.items():
        rows.append((f"{name} (season given)", scores(data, [fcs[i] for i in idx]), None, 0))
    if peers:
        mean = [np.mean([peers[n][i] for n in peers], axis=0) for i in idx]
        label = "mean of " + ", ".join(peers)
        rows.append((label, scores(data, mean), None, 0))
    for algorithm in args.algorithms.split(","):
        for log in (True, False) if args.no_log else (True,):
            fcs, secs, failures = run_ours(algorithm, data, log, settings)
            label = algorithm + (" (season given)" if algorithm == "hw" else "")
            if not log:
                label += ", log_transform=False"
            label += "".join(f", {k}={v}" for k, v in settings.items())
            rows.append((label, scores(data, fcs), secs, failures))
            print(f"{label}: sMAPE {rows[-1][1]['all'][0]:.2f} in {secs:.1f} s", file=sys.stderr)
            if args.dated:
                fcs, secs, failures = run_ours(algorithm, data, log, settings, dated=True)
                rows.append((label + ", dated", scores(data, fcs), secs, failures))

    head = " | ".join(f"{k} ({counts[k]})" for k in KINDS)
    print(f"M3, {len(data)} series (every {args.every}), through QuillcastForecaster\n")
    print(f"| model | {head} | all ({len(data)}) | points | MASE all | CPU s | failures |")
    print("|---|" + "---|" * (len(KINDS) + 5))
    for label, sc, secs, failures in rows:
        cells = " | ".join(f"{sc[k][0]:.2f} / {sc[k][1]:.3f}" for k in KINDS)
        cpu = "cached" if secs is None else f"{secs:.1f}"
        print(f"| {label} | {cells} | {sc['all'][0]:.2f} | {sc['points']:.2f} | {sc['all'][1]:.3f} "
              f"| {cpu} | {failures} |")
    print("\ncells: sMAPE / MASE; points: sMAPE over all forecast points")
    missing = [p for p in PEERS if p not in peers]
    if missing:
        print(f"peers without a complete cache here: {', '.join(missing)}")


if __name__ == "__main__":
    main()
