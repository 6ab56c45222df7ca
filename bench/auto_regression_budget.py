"""How closely the automatic regression search keeps to its time budgets.

For each search space and total budget, fits AutoRegression and EnsembleRegressor on a lagged-window
problem and prints the wall time of fit, the time spent starting the worker process and handing
it work (which extends the budget), the time spent past the budget beyond that overhead (which
includes the final refit, and for the ensemble the refits of its leaders), the number of
candidates tried by status, and the holdout error relative to a mean predictor.

    PYTHONPATH=src .venv/bin/python bench/auto_regression_budget.py [--rows 2000] [--budgets 2 5]
"""

import argparse
import collections
import time

import numpy as np

from tidewell_ts_libs.kelp.estimators.regression.auto_ensemble_regressor import EnsembleRegressor
from tidewell_ts_libs.kelp.joint_optimizers.auto.auto_regression import AutoRegression
from tidewell_ts_libs.kelp.joint_optimizers.utils import regression_dag as rd


def lagged(n, lags=12, seed=0):
    rng = np.random.default_rng(seed)
    s = np.zeros(n + lags)
    for t in range(2, len(s)):
        s[t] = 0.6 * s[t - 1] + 0.3 * s[t - 2] + np.sin(t / 6) + rng.normal(0, 0.3)
    X = np.stack([s[i : i + lags] for i in range(n)])
    return X, s[lags : lags + n]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=2000)
    ap.add_argument("--budgets", type=float, nargs="+", default=[2.0, 5.0])
    ap.add_argument("--per-pipeline", type=float, default=1.0)
    args = ap.parse_args()
    X, y = lagged(args.rows)
    split = int(0.8 * len(X))
    base = np.mean((y[:split].mean() - y[split:]) ** 2)
    spaces = {"tiny": rd.tiny_reg_dag, "flat": rd.flat_reg_dag, "mimo_flat": rd.mimo_flat_dag}
    print(f"{'estimator':<18}{'space':<11}{'budget':>7}{'fit s':>8}{'worker s':>9}{'over s':>8}"
          f"  {'rel. MSE':>8}  candidates")
    for cls in (AutoRegression, EnsembleRegressor):
        for space, stages in spaces.items():
            for budget in args.budgets:
                kw = {"n_estimators_for_pred_interval": 0} if cls is EnsembleRegressor else {}
                est = cls(stages=stages, total_execution_time=budget,
                          execution_time_per_pipeline=args.per_pipeline, random_state=0, **kw)
                t0 = time.perf_counter()
                est.fit(X[:split], y[:split])
                took = time.perf_counter() - t0
                mse = np.mean((est.predict(X[split:]) - y[split:]) ** 2) / base
                counts = collections.Counter(r["status"] for r in est.search_results_)
                over = max(0.0, took - budget - est.worker_overhead_)
                print(f"{cls.__name__:<18}{space:<11}{budget:>7.1f}{took:>8.2f}"
                      f"{est.worker_overhead_:>9.2f}{over:>8.2f}  {mse:>8.3f}  {dict(counts)}")


if __name__ == "__main__":
    main()
