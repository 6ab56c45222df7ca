"""M3 race: the engine's `arima` and `hws` against statsforecast's AutoARIMA and AutoETS and
statsmodels' damped additive Holt-Winters, every model given the true season length.

One invocation runs everything and prints one table: the engine's models run here (the
library's environment, through tidewell_ts_libs.deps.tarn), the peers run in the peer
environment (bench/.venv-peers, made by bench/setup-peers.sh) as a subprocess that writes its
forecasts to a file. Scores (sMAPE, MASE) are computed here for all models alike.

Timing: every series is fitted and forecast in a worker process (--jobs of them); the seconds
reported are the sum over series of the worker thread's CPU time for fit + forecast, so the
figure does not depend on how busy the machine is. Numba compilation is done (and timed) in the
parent before the workers fork, and reported apart.

    .venv/bin/python bench/m3_engine.py [--limit N] [--jobs 2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))

from m3_data import KINDS, PEER_PYTHON, load_m3, mase, smape  # noqa: E402

OURS = ("tarn arima", "tarn hws")
PEERS = ("sf AutoARIMA", "sf AutoETS", "sm damped HW")


# ------------------------------------------------------------------------------------------
# Models: f(x, m, h) -> h forecasts.


def _tarn_forecasts(model, x, h):
    n = len(x)
    model.update_model(list(range(n)), [float(v) for v in x])
    if not model.is_initialized():
        raise RuntimeError("model did not initialise")
    return [model.forecast_at(n - 1 + k) for k in range(1, h + 1)]


def tarn_arima(x, m, h):
    from tidewell_ts_libs.deps.tarn import forecasters

    return _tarn_forecasts(forecasters.arima(samples_per_season=m, min_training_data=len(x)), x, h)


def tarn_hws(x, m, h):
    from tidewell_ts_libs.deps.tarn import forecasters

    model = forecasters.hws(
        samples_per_season=m, initial_training_seasons=len(x) // m, algorithm_type="additive"
    )
    return _tarn_forecasts(model, x, h)


def sf_autoarima(x, m, h):
    from statsforecast.models import AutoARIMA

    return AutoARIMA(season_length=m).forecast(y=np.asarray(x, dtype=float), h=h)["mean"]


def sf_autoets(x, m, h):
    from statsforecast.models import AutoETS

    return AutoETS(season_length=m).forecast(y=np.asarray(x, dtype=float), h=h)["mean"]


def sm_damped_hw(x, m, h):
    from statsmodels.tsa.holtwinters import ExponentialSmoothing

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = ExponentialSmoothing(
            np.asarray(x, dtype=float),
            trend="add",
            damped_trend=True,
            seasonal="add" if m > 1 else None,
            seasonal_periods=m if m > 1 else None,
            initialization_method="estimated",
        ).fit()
        return fit.forecast(h)


MODELS = {
    "tarn arima": tarn_arima,
    "tarn hws": tarn_hws,
    "sf AutoARIMA": sf_autoarima,
    "sf AutoETS": sf_autoets,
    "sm damped HW": sm_damped_hw,
}


# ------------------------------------------------------------------------------------------
# Running a model over the series.


def _run_chunk(name, chunk):
    fn = MODELS[name]
    out = []
    for sid, m, h, x in chunk:
        t0 = time.thread_time()
        error = None
        try:
            f = np.asarray(fn(np.asarray(x), m, h), dtype=float)
            if f.shape != (h,) or not np.all(np.isfinite(f)):
                raise ValueError(f"bad forecast {f!r}")
        except Exception as e:  # a failure is counted and scored as the naive forecast
            error = f"{type(e).__name__}: {e}"
            f = np.full(h, float(x[-1]))
        out.append((sid, f.tolist(), time.thread_time() - t0, error))
    return out


def _warm_up(name):
    """Seconds of the first call (compilation included) and of a second, identical call."""
    rng = np.random.default_rng(0)
    x = 100 + np.cumsum(rng.normal(size=48)) + 5 * np.sin(np.arange(48) * 2 * np.pi / 12)
    times = []
    for _ in range(2):
        t0 = time.process_time()
        for m, h in ((1, 6), (4, 8), (12, 18)):
            MODELS[name](x, m, h)
        times.append(time.process_time() - t0)
    return times[0], times[1]


def run_models(names, series, jobs):
    tasks = [(s.id, s.period, s.h, s.x.tolist()) for s in series]
    chunks = [tasks[i : i + 16] for i in range(0, len(tasks), 16)]
    results = {}
    for name in names:
        first, second = _warm_up(name)
        t0 = time.perf_counter()
        rows = []
        with ProcessPoolExecutor(max_workers=jobs) as pool:
            for part in pool.map(_run_chunk, [name] * len(chunks), chunks):
                rows.extend(part)
        wall = time.perf_counter() - t0
        results[name] = {
            "forecasts": {str(sid): f for sid, f, _, _ in rows},
            "seconds": sum(dt for _, _, dt, _ in rows),
            "wall": wall,
            "compile": max(0.0, first - second),
            "errors": {str(sid): e for sid, _, _, e in rows if e},
        }
        print(f"  {name}: {results[name]['seconds']:.1f} s CPU, {wall:.1f} s wall, "
              f"{len(results[name]['errors'])} failures", file=sys.stderr, flush=True)
    return results


# ------------------------------------------------------------------------------------------
# Scoring and the table.


def score(series, results):
    table = {}
    for name, res in results.items():
        per_kind = {}
        for kind in (*KINDS, "all"):
            sel = [s for s in series if kind == "all" or s.kind == kind]
            if not sel:
                continue
            sm = [smape(s.xx, res["forecasts"][str(s.id)]) for s in sel]
            ms = [mase(s.x, s.xx, res["forecasts"][str(s.id)], s.period) for s in sel]
            per_kind[kind] = (float(np.mean(sm)), float(np.nanmean(ms)), len(sel))
        table[name] = per_kind
    return table


def render(series, results, table):
    kinds = [k for k in (*KINDS, "all") if any(k in t for t in table.values())]
    counts = {k: next(t[k][2] for t in table.values() if k in t) for k in kinds}
    head = " | ".join(f"{k} ({counts[k]})" for k in kinds)
    lines = ["sMAPE (%)", "", f"| model | {head} |", "|---" * (len(kinds) + 1) + "|"]
    for name, t in table.items():
        lines.append(f"| {name} | " + " | ".join(f"{t[k][0]:.2f}" for k in kinds) + " |")
    lines += ["", "MASE", "", f"| model | {head} |", "|---" * (len(kinds) + 1) + "|"]
    for name, t in table.items():
        lines.append(f"| {name} | " + " | ".join(f"{t[k][1]:.3f}" for k in kinds) + " |")
    lines += [
        "",
        "Fit + forecast time over all series (CPU seconds summed over series; wall seconds of",
        "the pooled run; numba compilation measured apart)",
        "",
        "| model | CPU s | ms / series | wall s | compile s | failures |",
        "|---|---|---|---|---|---|",
    ]
    for name, res in results.items():
        lines.append(
            f"| {name} | {res['seconds']:.1f} | {1000 * res['seconds'] / len(series):.2f} | "
            f"{res['wall']:.1f} | {res['compile']:.1f} | {len(res['errors'])} |"
        )
    return "\n".join(lines)


def goals(results, table):
    def sm(name):
        return table[name]["all"][0]

    def sec(name):
        return results[name]["seconds"]

    out = []
    if "tarn arima" in table and "sf AutoARIMA" in table:
        rel = 100 * (sm("tarn arima") / sm("sf AutoARIMA") - 1)
        out.append(f"arima vs AutoARIMA: sMAPE {rel:+.2f}% (goal <= +2%), "
                   f"{sec('sf AutoARIMA') / sec('tarn arima'):.1f}x faster (goal >= 10x)")
    if "tarn hws" in table and "sm damped HW" in table:
        out.append(f"hws vs damped HW: sMAPE {sm('tarn hws'):.2f} vs {sm('sm damped HW'):.2f} "
                   "(goal: no worse)")
    if "tarn hws" in table and "sf AutoETS" in table:
        out.append(f"hws vs AutoETS: {sec('sf AutoETS') / sec('tarn hws'):.1f}x faster "
                   "(goal >= 10x)")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--limit", type=int, default=0, help="first N series of each category")
    ap.add_argument("--every", type=int, default=1,
                    help="every k-th series of each category (a systematic sample)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--models", default=",".join(OURS + PEERS))
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--role", choices=("all", "peers"), default="all", help=argparse.SUPPRESS)
    ap.add_argument("--out", default=str(BENCH / "out" / "m3_engine.json"))
    args = ap.parse_args()

    kinds = tuple(k for k in args.kinds.split(",") if k)
    series = load_m3(kinds)
    if args.every > 1:
        series = [s for k in kinds for s in [t for t in series if t.kind == k][:: args.every]]
    if args.limit > 0:
        series = [s for k in kinds for s in [t for t in series if t.kind == k][: args.limit]]
    names = [n for n in args.models.split(",") if n]
    unknown = [n for n in names if n not in MODELS]
    if unknown:
        ap.error(f"unknown models {unknown}; known: {list(MODELS)}")

    if args.role == "peers":
        res = run_models([n for n in names if n in PEERS], series, args.jobs)
        Path(args.out).write_text(json.dumps(res))
        return

    results = {}
    ours = [n for n in names if n in OURS]
    peers = [n for n in names if n in PEERS]
    if ours:
        print(f"engine models on {len(series)} series ...", file=sys.stderr, flush=True)
        results.update(run_models(ours, series, args.jobs))
    if peers:
        if not PEER_PYTHON.exists():
            sys.exit(f"peer environment {PEER_PYTHON} missing: run bench/setup-peers.sh")
        out = BENCH / "out" / "m3_peers.json"
        out.parent.mkdir(parents=True, exist_ok=True)
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1",
                   MKL_NUM_THREADS="1", NUMBA_NUM_THREADS="1")
        env.pop("PYTHONPATH", None)
        print(f"peer models on {len(series)} series ...", file=sys.stderr, flush=True)
        subprocess.run(
            [str(PEER_PYTHON), str(Path(__file__).resolve()), "--role", "peers", "--jobs",
             str(args.jobs), "--models", ",".join(peers), "--kinds", ",".join(kinds),
             "--limit", str(args.limit), "--every", str(args.every), "--out", str(out)],
            check=True, env=env,
        )
        results.update(json.loads(out.read_text()))
    table = score(series, results)
    text = render(series, results, table) + "\n\n" + goals(results, table)
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(json.dumps({"table": table, "text": text}, indent=1))


if __name__ == "__main__":
    main()
