"""The M3 race: the engine's `auto` (told nothing about the season length), `bats`, `theta`
and `snaive` against statsforecast's AutoETS, AutoARIMA, AutoTheta and AutoTBATS (given the
true season length) and the mean of those four, on all 3003 M3 series with the competition
horizons (yearly 6, quarterly 8, monthly 18, other 8).

Run with the peers' environment and the built tree on the path:
    PYTHONPATH=src bench/.venv-peers/bin/python bench/m3_race.py [--limit N]

statsforecast's models are slow on 3003 series; their forecasts and per-series CPU times are
cached per model in bench/out/ (fill the cache in the background first:
    --peers-only --peers AutoETS,AutoTheta
    --peers-only --every 30 --peers AutoETS,AutoARIMA,AutoTheta,AutoTBATS).
Two tables: all series for AutoETS, AutoTheta and the engine; every 30th series, where all four
peers ran, for the full comparison. sMAPE and MASE per frequency and overall; fit + forecast
seconds are CPU time (the machine is shared, so wall time says little), with the peers' numba
compilation measured on a warm-up series and reported apart.
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

from m3_data import HORIZON, KINDS, PERIOD, load_m3, mase, smape  # noqa: E402

FREQS = list(KINDS)
PEERS = ["AutoETS", "AutoARIMA", "AutoTheta", "AutoTBATS"]


def load_series(limit, every):
    """[(frequency, history, future)] in M3 order; the first `limit` (0: all), every `every`th."""
    data = [(s.kind, s.x, s.xx) for s in load_m3()]
    if limit:
        data = data[:limit]
    return data[::every]


# --- peers -------------------------------------------------------------------------------


def peer_model(name, m):
    from statsforecast import models

    return getattr(models, name)(season_length=m)


def peer_forecast(name, x, h, m):
    fc = peer_model(name, m).forecast(y=x, h=h)["mean"]
    return np.asarray(fc, float)


def run_peer(name, data, tag):
    """Forecasts and per-series CPU seconds of one peer model, cached in bench/out/."""
    path = os.path.join(OUT, f"m3_peer_{name}_{tag}.npz")
    if os.path.exists(path):
        z = np.load(path, allow_pickle=True)
        times = z["times"] if "times" in z.files else None
        return list(z["forecasts"]), float(z["seconds"]), float(z["warmup"]), times
    os.makedirs(OUT, exist_ok=True)
    # Numba compiles on first use: time a warm-up series apart.
    t = time.process_time()
    warm = np.sin(np.arange(48.0)) + np.arange(48.0) * 0.1 + 10.0
    peer_forecast(name, warm, 6, 12)
    peer_forecast(name, warm, 6, 1)
    warmup = time.process_time() - t
    fcs, times = [], []
    for i, (kind, x, _) in enumerate(data):
        t = time.process_time()
        try:
            f = peer_forecast(name, x, HORIZON[kind], PERIOD[kind])
        except Exception as exc:  # a failing peer fit counts as a naive forecast
            print(f"{name}: series {i} failed ({exc}); naive forecast used", flush=True)
            f = np.repeat(x[-1], HORIZON[kind])
        times.append(time.process_time() - t)
        fcs.append(f)
        if (i + 1) % 100 == 0:
            print(f"{name}: {i + 1}/{len(data)} series, {sum(times):.1f}s", flush=True)
    times = np.array(times)
    np.savez(
        path, forecasts=np.array(fcs, dtype=object), seconds=times.sum(), warmup=warmup, times=times
    )
    return fcs, float(times.sum()), warmup, times


# --- the engine --------------------------------------------------------------------------


def engine_builders():
    from tidewell_ts_libs.deps.tarn import forecasters

    return {
        # Told nothing about the season length: the models find it themselves.
        "tarn auto": lambda x: forecasters.auto(min_training_data=len(x)),
        "tarn bats": lambda x: forecasters.bats(
            training_sample_size=len(x), box_cox_transform=True
        ),
        "tarn theta": lambda x: forecasters.theta(training_sample_size=len(x)),
        "tarn snaive": lambda x: forecasters.snaive(training_sample_size=len(x)),
    }


def run_engine(build, data):
    fcs, times = [], []
    for kind, x, _ in data:
        h = HORIZON[kind]
        t = time.process_time()
        model = build(x)
        model.update_model(list(range(len(x))), x.tolist())
        f = np.array([model.forecast_at(len(x) - 1 + i) for i in range(1, h + 1)])
        times.append(time.process_time() - t)
        fcs.append(f)
    return fcs, np.array(times)


# --- table -------------------------------------------------------------------------------


def scores(data, fcs):
    rows = {f: ([], []) for f in FREQS + ["all"]}
    for (kind, x, xx), f in zip(data, fcs, strict=True):
        s, q = smape(xx, f), mase(x, xx, f, PERIOD[kind])
        for key in (kind, "all"):
            rows[key][0].append(s)
            rows[key][1].append(q)
    return {
        k: (np.mean(v[0]) if v[0] else np.nan, np.nanmean(v[1]) if v[1] else np.nan)
        for k, v in rows.items()
    }


def print_table(title, data, rows):
    """rows: name -> (forecasts, seconds text). Returns name -> scores."""
    counts = {f: sum(1 for k, _, _ in data if k == f) for f in FREQS}
    print(f"\n{title}: {len(data)} series (" + ", ".join(f"{f} {counts[f]}" for f in FREQS) + ")")
    print(
        "| method | "
        + " | ".join(f"{f} sMAPE" for f in FREQS)
        + " | sMAPE | MASE | fit + forecast CPU s |"
    )
    print("|" + "---|" * (len(FREQS) + 4))
    table = {}
    for name, (fcs, sec) in rows.items():
        sc = scores(data, fcs)
        table[name] = sc
        cells = " | ".join(f"{sc[f][0]:.2f}" for f in FREQS)
        print(f"| {name} | {cells} | {sc['all'][0]:.2f} | {sc['all'][1]:.3f} | {sec} |", flush=True)
    print(
        "MASE per frequency ("
        + ", ".join(FREQS)
        + "): "
        + "; ".join(
            f"{name} " + "/".join(f"{table[name][f][1]:.2f}" for f in FREQS) for name in table
        )
    )
    return table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit", type=int, default=0, help="first N series only")
    ap.add_argument("--peers-only", action="store_true", help="fill the peer cache and stop")
    ap.add_argument("--peers", default=",".join(PEERS))
    ap.add_argument("--every", type=int, default=1, help="with --peers-only: every Nth series")
    ap.add_argument(
        "--sample-every",
        type=int,
        default=30,
        help="statsforecast's AutoARIMA and AutoTBATS run on every Nth series only (they need "
        "seconds per series on a shared machine)",
    )
    args = ap.parse_args()
    warnings.filterwarnings("ignore")
    if args.peers_only:
        data = load_series(args.limit, args.every)
        for name in [p for p in args.peers.split(",") if p]:
            run_peer(name, data, f"{args.limit or 'all'}_{args.every}")
        return

    data = load_series(args.limit, 1)
    lim = args.limit or "all"
    k = args.sample_every
    idx = list(range(0, len(data), k))
    sub = [data[i] for i in idx]
    full_peers = {n: run_peer(n, data, f"{lim}_1") for n in ["AutoETS", "AutoTheta"]}
    sub_peers = {n: run_peer(n, sub, f"{lim}_{k}") for n in PEERS}
    ours = {name: run_engine(build, data) for name, build in engine_builders().items()}

    def sec_text(total, warm=None):
        return f"{total:.1f}" + (f" (+{warm:.1f} numba)" if warm is not None else "")

    rows = {n: (full_peers[n][0], sec_text(full_peers[n][1], full_peers[n][2])) for n in full_peers}
    for name, (fcs, times) in ours.items():
        rows[name] = (fcs, sec_text(times.sum()))
    full = print_table("All M3 series", data, rows)

    rows = {n: (sub_peers[n][0], sec_text(sub_peers[n][1], sub_peers[n][2])) for n in PEERS}
    rows["mean of the four"] = (
        [np.mean([sub_peers[n][0][j] for n in PEERS], axis=0) for j in range(len(sub))],
        sec_text(sum(sub_peers[n][1] for n in PEERS)),
    )
    for name, (fcs, times) in ours.items():
        rows[name] = ([fcs[i] for i in idx], sec_text(times[idx].sum()))
    part = print_table(f"Every {k}th M3 series (all four peers)", sub, rows)

    best = min(PEERS, key=lambda n: part[n]["all"][0])
    print(
        f"\nauto sMAPE on every {k}th series {part['tarn auto']['all'][0]:.2f} vs the best single "
        f"peer there ({best}) {part[best]['all'][0]:.2f}; on all series auto "
        f"{full['tarn auto']['all'][0]:.2f}, AutoETS {full['AutoETS']['all'][0]:.2f}, "
        f"AutoTheta {full['AutoTheta']['all'][0]:.2f}"
    )
    auto_sub = ours["tarn auto"][1][idx].sum()
    ratio = (sub_peers["AutoETS"][1] + sub_peers["AutoARIMA"][1]) / max(auto_sub, 1e-9)
    print(f"AutoETS + AutoARIMA CPU seconds / tarn auto CPU seconds (every {k}th): {ratio:.1f}x")
    rel = part["tarn bats"]["all"][0] / part["AutoTBATS"]["all"][0] - 1.0
    print(f"tarn bats sMAPE relative to AutoTBATS (every {k}th): {100 * rel:+.1f}%")


if __name__ == "__main__":
    main()
