"""Intermittent demand: the intermittent family against the selector's regular candidates.

Simulates intermittent demand (Bernoulli occurrences with gamma sizes, and negative-binomial
counts), fits on the first part of each series and scores the next `horizon` periods:

- MASE: mean absolute error over the in-sample mean absolute one-step naive change;
- RMSSE: root mean squared error over the in-sample root mean squared naive change (the
  squared error rewards the right rate; the absolute one rewards forecasting zero);
- coverage: share of future single-period demands inside the 95% interval, and how many
  bounds fall below zero.

Compared: `intermittent` (method chosen on the data), the selector as it now answers (it gives
intermittent series to the family) and the selector restricted to its regular candidates (its
answer before the family existed).

    python bench/intermittent.py [--series 200] [--horizon 12]
"""

import argparse
import time

import numpy as np

from tidewell_ts_libs.deps.tarn import forecasters

REGULAR = "hws,arima,bats,theta,snaive"


def simulate(i, rng, n):
    if i % 2 == 0:
        p = rng.choice([0.1, 0.2, 0.35, 0.5])
        sizes = rng.gamma(rng.choice([1.0, 2.0, 4.0]), 5.0, n)
        return np.where(rng.random(n) < p, sizes, 0.0)
    mean = rng.choice([0.3, 0.6, 1.2])
    r = rng.choice([0.5, 1.0, 2.0])
    return rng.negative_binomial(r, r / (r + mean), n).astype(float)


def score(make, train, test, horizon):
    m = make(len(train))
    m.update_model(list(range(len(train))), list(train))
    last = m.last_time_updated
    fc = np.array([m.forecast_at(last + h) for h in range(1, horizon + 1)])
    bounds = np.array([m.forecast_interval_at(last + h) for h in range(1, horizon + 1)])
    scale = np.mean(np.abs(np.diff(train)))
    mase = np.mean(np.abs(test - fc)) / scale if scale > 0 else np.nan
    rmsse = np.sqrt(np.mean((test - fc) ** 2) / np.mean(np.diff(train) ** 2))
    inside = np.mean((test >= bounds[:, 0]) & (test <= bounds[:, 1]))
    negative = np.mean(bounds[:, 0] < 0)
    return mase, rmsse, inside, negative


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=200)
    ap.add_argument("--horizon", type=int, default=12)
    args = ap.parse_args()
    rng = np.random.default_rng(12)
    contenders = {
        "intermittent": lambda n: forecasters.intermittent(training_sample_size=n),
        "auto (now)": lambda n: forecasters.auto(min_training_data=n),
        "auto (regular candidates)": lambda n: forecasters.auto(
            min_training_data=n, candidates=REGULAR),
    }
    results = {k: [] for k in contenders}
    seconds = {k: 0.0 for k in contenders}
    used = 0
    for i in range(args.series):
        n = int(rng.integers(60, 121))
        y = simulate(i, rng, n + args.horizon)
        train, test = y[:n], y[n:]
        if not np.any(train) or np.mean(np.abs(np.diff(train))) == 0:
            continue
        used += 1
        for name, make in contenders.items():
            start = time.perf_counter()
            results[name].append(score(make, train, test, args.horizon))
            seconds[name] += time.perf_counter() - start
    print(f"{used} series, horizon {args.horizon}")
    print(f"{'model':28s} {'MASE mean':>9s} {'median':>7s} {'RMSSE':>6s} {'95% cover':>9s} {'lower<0':>8s} {'s':>6s}")
    for name, rows in results.items():
        a = np.array(rows)
        print(f"{name:28s} {np.nanmean(a[:, 0]):9.3f} {np.nanmedian(a[:, 0]):7.3f} "
              f"{np.mean(a[:, 1]):6.3f} {np.mean(a[:, 2]):9.3f} {np.mean(a[:, 3]):8.3f} "
              f"{seconds[name]:6.1f}")


if __name__ == "__main__":
    main()
