"""Weekly data (a year of 365.25 / 7 = 52.18 weeks): ours through the public forecaster beside
seasonal naive and the peers' AutoETS, AutoTheta and MSTL.

Series:

- simulated: a yearly cycle of 52.18 weeks (three harmonics with random phases), a slow trend,
  a wandering level and noise, of 100, 200, 400, 800 and 1600 weeks (``--seeds`` each);
- public, not from a forecasting competition: the weekly CO2 concentration at Mauna Loa
  (statsmodels' ``co2``, 1958-2001, gaps filled linearly), cut at several origins into
  series of 150 to 2000 weeks.

Horizon 52 weeks. Ours: ``QuillcastForecaster(algorithm="autoforecaster")`` with its defaults,
given the values alone (``undated``) and with their weekly dates as a DatetimeIndex (``dated``).
The peers (statsforecast, in their own process with ``/work/main/bench/.venv-peers/bin/python``)
are given season 52. MASE is scaled by the in-sample seasonal naive error at lag 52; sMAPE in
percent; seconds are CPU seconds per series (fit + predict). The season our selector uses and
the families it keeps are counted per cell with ``--describe``.

    PYTHONPATH=src .venv/bin/python bench/weekly_seasons.py [--seeds 3] [--describe]
"""

import argparse
import collections
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

PEER_PYTHON = "/work/main/bench/.venv-peers/bin/python"
YEAR = 365.25 / 7.0
H = 52
LENGTHS = (100, 200, 400, 800, 1600)
CO2_LENGTHS = (150, 300, 600, 1000, 2000)


def simulate(n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    y = 100.0 + 0.01 * t + np.cumsum(rng.normal(0.0, 0.3, n))
    for k in (1, 2, 3):
        y += (6.0 / k) * np.sin(2 * np.pi * k * t / YEAR + rng.uniform(0, 2 * np.pi))
    return y + rng.normal(0.0, 1.0, n)


def co2_series():
    """The weekly CO2 values and their first date, loaded in the peers' interpreter (which has
    statsmodels and its bundled data)."""
    code = (
        "import json, statsmodels.datasets as d\n"
        "s = d.co2.load_pandas().data['co2'].interpolate(limit_direction='both')\n"
        "print(json.dumps({'start': str(s.index[0].date()), 'y': s.tolist()}))\n"
    )
    out = subprocess.run([PEER_PYTHON, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def make_data(seeds):
    import pandas as pd

    data = []
    for n in LENGTHS:
        for seed in range(seeds):
            y = simulate(n + H, 7919 * seed + n)
            start = pd.Timestamp("2000-01-02") + pd.Timedelta(weeks=seed)
            data.append({"cell": f"simulated {n}", "x": y[:n], "xx": y[n:], "start": start})
    if os.path.exists(PEER_PYTHON):
        co2 = co2_series()
        y = np.asarray(co2["y"], float)
        first = pd.Timestamp(co2["start"])
        for n in CO2_LENGTHS:
            # Origins spread over the record: the series ends 0, 2 and 4 years before the last
            # forecast window (as far as the record allows).
            for back in (0, 104, 208):
                end = len(y) - H - back
                if end - n < 0:
                    continue
                data.append(
                    {
                        "cell": f"co2 {n}",
                        "x": y[end - n : end],
                        "xx": y[end : end + H],
                        "start": first + pd.Timedelta(weeks=end - n),
                    }
                )
    return data


def mase(x, xx, fc, m=52):
    scale = np.mean(np.abs(x[m:] - x[:-m]))
    return float(np.mean(np.abs(xx - fc)) / scale)


def smape(xx, fc):
    return float(np.mean(200.0 * np.abs(xx - fc) / (np.abs(xx) + np.abs(fc))))


def run_ours(data, dated, describe):
    import pandas as pd

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    fcs, secs, notes = [], [], []
    for s in data:
        x = np.asarray(s["x"], float)
        if dated:
            idx = pd.date_range(s["start"], periods=len(x), freq="7D")
            X = pd.DataFrame({"y": x}, index=idx)
        else:
            X = x.reshape(-1, 1)
        t = time.process_time()
        note = ""
        try:
            f = QuillcastForecaster(algorithm="autoforecaster")
            f.fit(X, X, _reset_model=True)
            fc = np.asarray(f.predict(prediction_horizon=H), float).reshape(-1)
            if describe:
                note = f.model[0].describe()
        except Exception as e:  # noqa: BLE001 - a failure is shown and scored as naive
            print(f"  ours {s['cell']}: {type(e).__name__}: {e}", file=sys.stderr)
            fc = np.full(H, x[-1])
        secs.append(time.process_time() - t)
        fcs.append(fc)
        notes.append(note)
    return fcs, secs, notes


def summary(note):
    """The selector's season and its families, from its description."""
    m = re.search(r"season(?:_length)?=(\d+)", note)
    fams = sorted(set(re.findall(r"\b(hws|arima|bats|theta|ces|snaive|mstl)[( ]", note)))
    seasons = re.search(r"mstl\([^)]*\): seasons=([\d,none]+)", note)
    out = f"m={m.group(1) if m else '?'} {'+'.join(fams)}"
    return out + (f" mstl:{seasons.group(1)}" if seasons else "")


def peer_main(path):
    """In the peers' interpreter: AutoETS, AutoTheta and MSTL forecasts of the series in `path`."""
    import pandas as pd
    from statsforecast import StatsForecast
    from statsforecast.models import MSTL, AutoETS, AutoTheta

    with open(path) as fh:
        data = json.load(fh)
    models = {
        "AutoETS": lambda: AutoETS(season_length=52),
        "AutoTheta": lambda: AutoTheta(season_length=52),
        "MSTL": lambda: MSTL(season_length=52),
    }
    out = {k: {"fc": [], "secs": []} for k in models}
    for s in data:
        df = pd.DataFrame({"unique_id": 0, "ds": np.arange(len(s["x"])), "y": s["x"]})
        for name, make in models.items():
            t = time.process_time()
            try:
                fc = StatsForecast(models=[make()], freq=1).forecast(df=df, h=H)
                fc = fc[[c for c in fc.columns if c not in ("unique_id", "ds")][0]].to_numpy()
            except Exception:  # noqa: BLE001 - scored as naive, as ours
                fc = np.full(H, s["x"][-1])
            out[name]["fc"].append([float(v) for v in fc])
            out[name]["secs"].append(time.process_time() - t)
    with open(path, "w") as fh:
        json.dump(out, fh)


def run_peers(data):
    if not os.path.exists(PEER_PYTHON):
        return {}
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as fh:
        json.dump([{"x": list(map(float, s["x"]))} for s in data], fh)
        path = fh.name
    try:
        subprocess.run([PEER_PYTHON, os.path.abspath(__file__), "--peer", path], check=True)
        with open(path) as fh:
            res = json.load(fh)
    finally:
        os.unlink(path)
    return {f"peers' {k} (m=52)": (np.asarray(v["fc"]), v["secs"]) for k, v in res.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=3)
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument("--describe", action="store_true")
    ap.add_argument("--peer", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peer:
        peer_main(args.peer)
        return
    warnings.simplefilter("ignore")
    data = make_data(args.seeds)
    rows = {}
    notes = {}
    for dated in (False, True):
        label = "ours, dated" if dated else "ours, undated"
        fcs, secs, nt = run_ours(data, dated, args.describe)
        rows[label] = (fcs, secs)
        notes[label] = nt
    rows["seasonal naive (52)"] = (
        [np.tile(s["x"][-52:], 2)[:H] for s in data],
        [0.0] * len(data),
    )
    if not args.no_peer:
        rows.update(run_peers(data))
    cells = list(dict.fromkeys(s["cell"] for s in data))
    print("MASE (mean) / sMAPE (mean) / CPU s per series; horizon 52\n")
    print(
        "| model | "
        + " | ".join(f"{c} ({sum(s['cell'] == c for s in data)})" for c in cells)
        + " | all |"
    )
    print("|---|" + "---|" * (len(cells) + 1))
    for label, (fcs, secs) in rows.items():
        out = []
        for c in cells + [None]:
            idx = [i for i, s in enumerate(data) if c is None or s["cell"] == c]
            m = np.mean([mase(data[i]["x"], data[i]["xx"], fcs[i]) for i in idx])
            sm = np.mean([smape(data[i]["xx"], fcs[i]) for i in idx])
            sec = np.mean([secs[i] for i in idx])
            out.append(f"{m:.3f} / {sm:.2f} / {sec:.2f}")
        print(f"| {label} | " + " | ".join(out) + " |")
    if args.describe:
        for label, nt in notes.items():
            print(f"\n{label}: season and families per cell")
            for c in cells:
                counts = collections.Counter(
                    summary(nt[i]) for i, s in enumerate(data) if s["cell"] == c
                )
                print(f"  {c}: " + "; ".join(f"{k} x{v}" for k, v in counts.most_common()))


if __name__ == "__main__":
    main()
