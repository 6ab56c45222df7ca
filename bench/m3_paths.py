"""Sample paths on the M3 monthly series: do they carry the dependence a lead-time total needs?

For each series the forecaster is fitted on the training values and forecasts the 18 held-out
months. Reported:

- per-step coverage: share of held-out values inside predict_quantiles' 0.1 to 0.9 band;
- total from paths: share of series whose 18-month total lies inside the 10% to 90% range of
  the totals of 1,000 simulated paths;
- total from independent steps: the same with every step's values shuffled across paths (the
  marginals kept, the dependence over time lost), which is what quantiles alone would give.

    python bench/m3_paths.py [--algorithm hw] [--every 5]
"""

import argparse
import time

import numpy as np
from m3_data import load_m3

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--algorithm", default="hw")
    ap.add_argument("--every", type=int, default=5, help="take every n-th monthly series")
    ap.add_argument("--paths", type=int, default=1000)
    args = ap.parse_args()
    series = load_m3(("monthly",))[:: args.every]
    rng = np.random.default_rng(0)
    per_step, dependent, independent = [], [], []
    start = time.perf_counter()
    for s in series:
        f = QuillcastForecaster(algorithm=args.algorithm, prediction_horizon=s.h)
        if args.algorithm == "hw":
            f.set_params(samples_per_season=s.period)
        f.fit(np.asarray(s.x, float).reshape(-1, 1), None, _reset_model=True)
        actual = np.asarray(s.xx, float)
        q = f.predict_quantiles(quantiles=[0.1, 0.9])
        per_step.append(np.mean((actual >= q[0.1][:, 0]) & (actual <= q[0.9][:, 0])))
        paths = f.simulate(n_paths=args.paths, random_state=1)[:, :, 0]
        lo, hi = np.quantile(paths.sum(axis=1), [0.1, 0.9])
        dependent.append(lo <= actual.sum() <= hi)
        shuffled = np.column_stack([rng.permutation(paths[:, k]) for k in range(s.h)])
        lo, hi = np.quantile(shuffled.sum(axis=1), [0.1, 0.9])
        independent.append(lo <= actual.sum() <= hi)
    print(
        f"{args.algorithm}: {len(series)} M3 monthly series, {time.perf_counter() - start:.0f}s\n"
        f"  per-step 80% coverage           {np.mean(per_step):.3f}\n"
        f"  80% range of the 18-month total from paths             {np.mean(dependent):.3f}\n"
        f"  80% range of the 18-month total from independent steps {np.mean(independent):.3f}"
    )


if __name__ == "__main__":
    main()
