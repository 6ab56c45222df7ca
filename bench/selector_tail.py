"""The automatic selector's cost per M3 series: median, 95th and 99th percentiles, maximum.

Every series (of the chosen categories) is fitted as bench/m3_public.py fits it, with
``QuillcastForecaster(algorithm=...)`` and its defaults, and forecast at the competition
horizon; CPU milliseconds per series (fit + predict) are summarised, with the slowest series.

    .venv/bin/python bench/selector_tail.py [--kinds monthly,quarterly] [--algorithm arima]
        [--repeat 3]

With several categories each is summarised on its own, then all together. ``--repeat k`` fits
every series k times and keeps its cheapest run, which steadies the figures on a loaded machine.
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from m3_data import KINDS, load_m3  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kinds", default="monthly")
    ap.add_argument("--algorithm", default="autoforecaster")
    ap.add_argument("--every", type=int, default=1)
    ap.add_argument("--slowest", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=1, help="runs per series; the cheapest counts")
    args = ap.parse_args()
    if args.repeat < 1:
        ap.error(f"--repeat must be at least 1, got {args.repeat}")
    warnings.simplefilter("ignore")
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    kinds = tuple(k for k in args.kinds.split(",") if k in KINDS)
    data = load_m3(kinds)[:: args.every]
    ms = []
    for s in data:
        x = np.asarray(s.x, float).reshape(-1, 1)
        best = np.inf
        for _ in range(args.repeat):
            t0 = time.process_time()
            f = QuillcastForecaster(algorithm=args.algorithm)
            f.fit(x, x, _reset_model=True)
            f.predict(prediction_horizon=s.h)
            best = min(best, (time.process_time() - t0) * 1e3)
        ms.append(best)
    a = np.asarray(ms)
    groups = [(k, np.asarray([s.kind == k for s in data])) for k in kinds] if len(kinds) > 1 else []
    for name, sel in groups + [("/".join(kinds), np.ones(len(a), bool))]:
        b = a[sel]
        med, p95, p99 = np.percentile(b, [50, 95, 99])
        print(f"{args.algorithm} on {len(b)} {name} series: median {med:.2f} ms, "
              f"p95 {p95:.2f}, p99 {p99:.2f} (p99/median {p99 / med:.2f}), max {b.max():.1f}, "
              f"total {b.sum() / 1e3:.2f} s")
    for i in np.argsort(a)[::-1][: args.slowest]:
        print(f"  {data[i].id}: {a[i]:.1f} ms, n={len(data[i].x)}")


if __name__ == "__main__":
    main()
