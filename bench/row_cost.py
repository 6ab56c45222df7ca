"""Cost of one new observation, per model, after training on n points.

For every forecaster algorithm (and the engine's other table entries through their builders),
trained on a seasonal series of n points (one target), it measures in microseconds per row:

- ``engine``: the engine update alone (one ``update_model`` call over 20,000 new values, so the
  binding's cost is spread over them);
- ``copy``: one copy of the trained engine model (``copy.copy``);
- ``sliding``: ``predict_sliding_window`` over 2,000 new rows (horizon 1), per row;
- ``predict(X=rows)``: one ``predict(X=rows)`` call with 2,000 new rows (the trained models are
  copied once, fed the rows and forecast one step), per row;
- ``predict(X=row)``: one ``predict(X=row)`` call with a single new row, per call (the binding's
  fixed cost per call included);
- ``sliding(X=row)``: ``predict_sliding_window`` with a single new row (horizon 1), per call.

    .venv/bin/python bench/row_cost.py [--n 1000,1000000] [--algorithms hw,arima]
"""

import argparse
import copy
import math
import sys
import time
import warnings

import numpy as np

from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

SEASON = 12
ALGORITHMS = ("hw", "arima", "arma", "bats", "autoforecaster", "intermittent")
ENGINE_ONLY = ("theta", "snaive")


def series(n, seed=0, intermittent=False):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    if intermittent:
        return np.where(rng.random(n) < 0.3, rng.poisson(4.0, n) + 1.0, 0.0)
    return 100 + 10 * np.sin(2 * np.pi * t / SEASON) + rng.normal(0, 1, n) + 0.001 * t


def best_of(fn, repeat=3):
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def engine_costs(model, new):
    """(update us per value, copy us) of a trained engine model."""
    t0 = model.last_time_updated
    ts = list(range(t0 + 1, t0 + 1 + len(new)))
    vals = [float(v) for v in new]

    def feed():
        c = copy.copy(model)
        c.update_model(ts, vals)

    t_copy = best_of(lambda: copy.copy(model), 5)
    t_feed = best_of(feed, 3)
    return (t_feed - t_copy) / len(new) * 1e6, t_copy * 1e6


def run_forecaster(alg, n, extra):
    y = series(n + 22000, intermittent=alg == "intermittent")
    train = y[:n].reshape(-1, 1)
    kwargs = {"samples_per_season": SEASON} if alg == "hw" else {}
    f = QuillcastForecaster(algorithm=alg, **kwargs)
    t0 = time.perf_counter()
    f.fit(train, None, _reset_model=True)
    fit_s = time.perf_counter() - t0
    m = f.model[0]
    fed = y[n:n + 20000]
    if f.log_transformed and alg != "intermittent":
        fed = np.log(fed + 2.0)  # the forecaster feeds its models ln(x + 2)
    upd, cp = engine_costs(m, fed)
    new = y[n + 20000:n + 22000].reshape(-1, 1)
    sliding = best_of(lambda: f.predict_sliding_window(new, prediction_horizon=1)) / len(new)
    batch = best_of(lambda: f.predict(X=new, prediction_horizon=1)) / len(new)
    rows = [new[i:i + 1] for i in range(200)]

    def singles():
        for r in rows:
            f.predict(X=r, prediction_horizon=1)

    single = best_of(singles) / len(rows)

    def slides():
        for r in rows:
            f.predict_sliding_window(r, prediction_horizon=1)

    slide = best_of(slides) / len(rows)
    return fit_s, upd, cp, sliding * 1e6, batch * 1e6, single * 1e6, slide * 1e6


def run_engine(kind, n):
    y = series(n + 20000)
    m = getattr(forecasters, kind)(training_sample_size=n, season_length=SEASON)
    t0 = time.perf_counter()
    m.update_model(list(range(n)), [float(v) for v in y[:n]])
    fit_s = time.perf_counter() - t0
    upd, cp = engine_costs(m, y[n:])
    return fit_s, upd, cp, math.nan, math.nan, math.nan, math.nan


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", default="1000,1000000")
    ap.add_argument("--algorithms", default=",".join(ALGORITHMS + ENGINE_ONLY))
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    print("| model | n | fit s | engine update us | copy us | sliding us/row | predict(X=rows) "
          "us/row | predict(X=row) us/call | sliding(X=row) us/call |")
    print("|---|---|---|---|---|---|---|---|---|")
    for n in (int(v) for v in args.n.split(",")):
        for alg in args.algorithms.split(","):
            try:
                out = run_engine(alg, n) if alg in ENGINE_ONLY else run_forecaster(alg, n, {})
            except Exception as e:  # noqa: BLE001 - reported, the others still run
                print(f"| {alg} | {n} | failed: {type(e).__name__}: {e} |")
                continue
            fit_s, upd, cp, sl, batch, single, slide = out
            print(f"| {alg} | {n:,} | {fit_s:.2f} | {upd:.2f} | {cp:.1f} | {sl:.2f} | {batch:.2f} "
                  f"| {single:.1f} | {slide:.1f} |")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
