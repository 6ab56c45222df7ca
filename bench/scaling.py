"""Fit + forecast time against the length of the series, per model, through the forecaster.

One target, a series with a daily season of 24 steps, noise and a slow trend; for each algorithm
and each n, ``fit`` on n points then ``predict(prediction_horizon=24)``; CPU seconds of the
process (best of ``--repeat``; CPU rather than wall time, as the machine is shared; run with
OPENBLAS_NUM_THREADS=1 so that idle BLAS threads do not count) and the log-log slope between
successive sizes and over the whole range. A model whose time passes ``--budget`` seconds at
some n is not run at larger n.

    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/scaling.py [--n 1e3,1e4,1e5,1e6,1e7] [--algorithms hw]
"""

import argparse
import math
import sys
import time
import warnings

import numpy as np

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

SEASON = 24
ALGORITHMS = ("hw", "arima", "arma", "bats", "autoforecaster", "intermittent")


def series(n, intermittent=False, seed=1):
    rng = np.random.default_rng(seed)
    if intermittent:
        return np.where(rng.random(n) < 0.3, rng.poisson(4.0, n) + 1.0, 0.0)
    t = np.arange(n, dtype=float)
    return 200 + 20 * np.sin(2 * np.pi * t / SEASON) + 0.3 * np.cumsum(rng.normal(0, 1, n)) * 0.1 \
        + rng.normal(0, 2, n)


def one_run(alg, y):
    kwargs = {"samples_per_season": SEASON} if alg == "hw" else {}
    x = y.reshape(-1, 1)
    t0 = time.process_time()
    f = QuillcastForecaster(algorithm=alg, **kwargs)
    f.fit(x, None, _reset_model=True)
    fc = np.asarray(f.predict(prediction_horizon=SEASON), float)
    took = time.process_time() - t0
    if not np.all(np.isfinite(fc)):
        raise RuntimeError("forecast not finite")
    return took


def slope(n0, t0, n1, t1):
    return math.log(t1 / t0) / math.log(n1 / n0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", default="1e3,1e4,1e5,1e6")
    ap.add_argument("--algorithms", default=",".join(ALGORITHMS))
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--budget", type=float, default=30.0)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    sizes = [int(float(v)) for v in args.n.split(",")]
    print(f"| model | {' | '.join(f'{n:.0e} s' for n in sizes)} | slope per step | slope all |")
    print("|---|" + "---|" * (len(sizes) + 2))
    for alg in args.algorithms.split(","):
        times = []
        for n in sizes:
            if times and times[-1] > args.budget:
                break
            y = series(n, intermittent=alg == "intermittent")
            best = min(one_run(alg, y) for _ in range(args.repeat))
            times.append(best)
            print(f"  {alg} n={n}: {best:.3f} s", file=sys.stderr)
        cells = [f"{t:.3f}" for t in times] + ["-"] * (len(sizes) - len(times))
        steps = [slope(sizes[i], times[i], sizes[i + 1], times[i + 1])
                 for i in range(len(times) - 1)]
        overall = slope(sizes[0], times[0], sizes[len(times) - 1], times[-1]) \
            if len(times) > 1 else math.nan
        print(f"| {alg} | {' | '.join(cells)} | {', '.join(f'{s:.2f}' for s in steps)} "
              f"| {overall:.2f} |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
