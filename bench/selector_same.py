"""Selector forecasts on simulated series that are not intermittent, saved for a comparison.

Writes the selector's 1..12-step forecasts and 95% intervals on a few hundred simulated series
(trends, seasons, noise, occasional zeros well below the intermittent threshold) to a file;
running it under two builds and comparing the files shows whether their answers are the same.

    python bench/selector_same.py OUT.npy [--series 300]
"""

import argparse

import numpy as np

from tidewell_ts_libs.deps.tarn import forecasters


def simulated(i, rng):
    n = int(rng.integers(24, 120))
    t = np.arange(n)
    kind = i % 4
    if kind == 0:  # level with noise
        y = 50 + rng.normal(0, 5, n)
    elif kind == 1:  # trend
        y = 10 + 0.5 * t + rng.normal(0, 2, n)
    elif kind == 2:  # season of 12
        y = 100 + 20 * np.sin(2 * np.pi * t / 12) + rng.normal(0, 4, n)
    else:  # random walk, with some zeros
        y = np.abs(np.cumsum(rng.normal(0, 1, n)) + 20)
        y[rng.random(n) < 0.1] = 0.0
    return y


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--series", type=int, default=300)
    args = ap.parse_args()
    rng = np.random.default_rng(20261209)
    rows = []
    for i in range(args.series):
        y = simulated(i, rng)
        m = forecasters.auto(min_training_data=len(y))
        m.update_model(list(range(len(y))), list(y))
        last = m.last_time_updated
        row = [m.forecast_at(last + h) for h in range(1, 13)]
        for h in range(1, 13):
            row.extend(m.forecast_interval_at(last + h))
        rows.append(row)
    np.save(args.out, np.array(rows))


if __name__ == "__main__":
    main()
