"""Sliding-window prediction throughput of QuillcastForecaster.

For each algorithm: train on a seasonal series with 5 targets, then forecast over 10,000 new
rows with predict_sliding_window (horizon 1) and predict_multi_step_sliding_window (horizon
12). The same work is then done by a plain Python loop over the same engine objects (copy the
models once, feed each row, forecast the horizon, log transform in and out), and the rows per
second of both and their ratio are printed. The two results are checked to agree.

Usage: PYTHONPATH=src .venv/bin/python bench/sliding_window.py [--rows N] [--algorithms hw,arima]
"""

import argparse
import math
import pickle
import sys
import time

import numpy as np

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

TARGETS = 5
TRAIN = 240
SETTINGS = {
    "hw": {"samples_per_season": 12},
    "arima": {},
    "arma": {},
    "bats": {},
    "autoforecaster": {},
}


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    cols = [100 + 0.05 * t + 10 * np.sin(2 * np.pi * (t + 3 * k) / 12) + rng.normal(0, 1, n)
            for k in range(TARGETS)]
    return np.column_stack(cols)


def python_loop(f, X, h, multi):
    """The sliding window written in plain Python over the engine objects."""
    copies = [pickle.loads(pickle.dumps(m)) for m in f.model]
    interval = f.get_train_interval()
    n = len(X)
    feed = n - h if multi else n - 1
    log = f.log_transformed
    rows = []

    def block():
        last = -1
        for m in copies:
            if m.is_initialized():
                last = m.last_time_updated
        time_ = last
        for _ in range(h):
            time_ += interval
            row = [m.forecast_at(time_) for m in copies]
            rows.append([math.expm1(v) - 1 for v in row] if log else row)

    block()
    for r in range(feed):
        last = -1
        for m in copies:
            if m.is_initialized():
                last = m.last_time_updated
        t = last + 1
        values = X[r]
        for c, m in enumerate(copies):
            v = float(values[c])
            m.update_model(t, math.log1p(1 + v) if log else v)
        block()
    return np.asarray(rows)


def measure(fn, repeat):
    best = math.inf
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=10_000)
    p.add_argument("--algorithms", default=",".join(SETTINGS))
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()

    data = make_data(TRAIN + args.rows)
    train, new = data[:TRAIN], data[TRAIN:]
    print(f"sliding windows over {args.rows} rows, {TARGETS} targets, trained on {TRAIN} rows; "
          f"best of {args.repeat}")
    print(f"{'algorithm':<15}{'h':>3}{'library rows/s':>16}{'python rows/s':>15}{'ratio':>8}")
    for alg in args.algorithms.split(","):
        f = QuillcastForecaster(algorithm=alg, **SETTINGS.get(alg, {}))
        try:
            f.fit(train, None, _reset_model=True)
        except Exception as e:  # a builder that does not exist yet
            print(f"{alg:<15} skipped: {e}")
            continue
        if not getattr(f, "is_fitted_", False):
            print(f"{alg:<15} skipped: models did not initialise on {TRAIN} rows")
            continue
        for h, multi in ((1, False), (12, True)):
            if multi:
                def lib(f=f, h=h):
                    return f.predict_multi_step_sliding_window(new, prediction_horizon=h)
            else:
                def lib(f=f, h=h):
                    return f.predict_sliding_window(new, prediction_horizon=h)
            t_lib, a = measure(lib, args.repeat)
            t_py, b = measure(lambda f=f, h=h, multi=multi: python_loop(f, new, h, multi),
                              max(1, args.repeat - 1))
            if a.shape != b.shape or not np.allclose(a, b, rtol=1e-9, atol=1e-9):
                print(f"{alg}: results differ", file=sys.stderr)
                sys.exit(1)
            rows = args.rows
            print(f"{alg:<15}{h:>3}{rows / t_lib:>16,.0f}{rows / t_py:>15,.0f}"
                  f"{t_py / t_lib:>8.1f}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
