"""Series per second when forecasting many series at once, on the M3 data.

Ours: tidewell_ts_libs.batch.forecast_many with 1 and 2 workers on each backend (joblib processes,
joblib threads, a Dask LocalCluster). Peer: statsforecast's own parallel run (n_jobs) of AutoETS on
the same series, run in the peer environment (bench/.venv-peers, see setup-peers.sh).

    .venv/bin/python bench/many_series.py [--algorithm hw] [--limit N]

Each M3 category is forecast with its competition horizon and its true season length; the table
reports series per second over all categories, and the accuracy (sMAPE) as a sanity check.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from m3_data import KINDS, PEER_PYTHON, load_m3, smape  # noqa: E402


def long_frames(limit: int | None):
    series = load_m3()
    if limit:
        series = series[:: max(1, len(series) // limit)][:limit]
    out = {}
    for kind in KINDS:
        rows = [s for s in series if s.kind == kind]
        if not rows:
            continue
        df = pd.concat(
            [pd.DataFrame({"unique_id": s.id, "ds": np.arange(len(s.x)), "y": s.x}) for s in rows],
            ignore_index=True,
        )
        out[kind] = (df, rows)
    return out


def score(forecasts: pd.DataFrame, rows) -> float:
    actual = {s.id: s.xx for s in rows}
    vals = []
    for sid, g in forecasts.groupby("id"):
        vals.append(smape(actual[sid], g.sort_values("step")["forecast"].to_numpy()))
    return float(np.mean(vals)) if vals else float("nan")


def run_ours(frames, algorithm: str, backend: str, workers: int) -> dict:
    from tidewell_ts_libs.batch import forecast_many

    client = cluster = None
    if backend == "dask":
        from dask.distributed import Client, LocalCluster

        cluster = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
    total, failed, smapes, n = 0.0, 0, [], 0
    try:
        for _kind, (df, rows) in frames.items():
            t0 = time.perf_counter()
            res = forecast_many(
                df,
                algorithm=algorithm,
                horizon=rows[0].h,
                season=rows[0].period,
                n_jobs=workers,
                backend="loky" if backend == "dask" else backend,
                client=client,
            )
            total += time.perf_counter() - t0
            failed += int((res.errors.status != "ok").sum())
            smapes.append(score(res.forecasts, rows) * len(rows))
            n += len(rows)
    finally:
        if client is not None:
            client.close()
            cluster.close()
    return {"seconds": total, "series": n, "failed": failed, "smape": sum(smapes) / n}


PEER_CODE = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np, pandas as pd
from m3_data import KINDS, load_m3, smape
from statsforecast import StatsForecast
from statsforecast.models import AutoETS
limit, workers = int(sys.argv[2]), int(sys.argv[3])
series = load_m3()
if limit:
    series = series[:: max(1, len(series) // limit)][:limit]
# Compile numba once, outside the timing.
warm = pd.DataFrame({"unique_id": 0, "ds": np.arange(30), "y": np.arange(30.0) % 7 + 10})
StatsForecast(models=[AutoETS(season_length=4)], freq=1, n_jobs=1).forecast(df=warm, h=2)
total, sm, n = 0.0, 0.0, 0
for kind in KINDS:
    rows = [s for s in series if s.kind == kind]
    if not rows:
        continue
    df = pd.concat([pd.DataFrame({"unique_id": s.id, "ds": np.arange(len(s.x)), "y": s.x}) for s in rows])
    t0 = time.perf_counter()
    fc = StatsForecast(models=[AutoETS(season_length=rows[0].period)], freq=1, n_jobs=workers).forecast(
        df=df, h=rows[0].h)
    total += time.perf_counter() - t0
    fc = fc.reset_index() if "unique_id" not in fc.columns else fc
    for s in rows:
        sm += smape(s.xx, fc[fc.unique_id == s.id]["AutoETS"].to_numpy())
    n += len(rows)
print(json.dumps({"seconds": total, "series": n, "failed": 0, "smape": sm / n}))
"""


def run_peer(limit: int, workers: int) -> dict | None:
    if not PEER_PYTHON.exists():
        return None
    out = subprocess.run(
        [
            str(PEER_PYTHON),
            "-c",
            PEER_CODE,
            str(Path(__file__).resolve().parent),
            str(limit or 0),
            str(workers),
        ],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        print(out.stderr[-2000:], file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--algorithm", default="hw")
    ap.add_argument("--limit", type=int, default=0, help="use about this many series (0: all)")
    ap.add_argument("--backends", default="loky,threading,dask")
    args = ap.parse_args()
    frames = long_frames(args.limit)
    results = []
    for workers in (1, 2):
        peer = run_peer(args.limit, workers)
        if peer:
            results.append(("statsforecast AutoETS", workers, peer))
        for backend in args.backends.split(","):
            results.append(
                (
                    f"ours {args.algorithm} ({backend})",
                    workers,
                    run_ours(frames, args.algorithm, backend, workers),
                )
            )
    base = {w: r for name, w, r in results if name.startswith("statsforecast")}
    print(
        "| run | workers | series | failed | seconds | series/s | vs AutoETS same workers | sMAPE |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for name, w, r in results:
        rate = r["series"] / r["seconds"]
        ratio = (rate / (base[w]["series"] / base[w]["seconds"])) if w in base else float("nan")
        print(
            f"| {name} | {w} | {r['series']} | {r['failed']} | {r['seconds']:.2f} | {rate:.1f} | "
            f"{ratio:.1f}x | {r['smape']:.2f} |"
        )


if __name__ == "__main__":
    main()
