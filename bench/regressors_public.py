"""Forecasts with and without a real covariate: US real consumption with real disposable income.

Data: statsmodels' `macrodata` (quarterly, 1959Q1 to 2009Q3, 203 quarters): `realcons` (real
personal consumption) forecast with `realdpi` (real disposable personal income) as regressor.
Held out by rolling origins: every 4 quarters over the last 40, each window trained afresh on the
quarters before its origin and forecast 4 quarters ahead. The regressor's values over each window
are its actual values (a known-future covariate, the setting every method gets alike).

Methods: our `arima` and `autoforecaster` with and without the regressor (forecast through
`tidewell_ts_libs.series`, the path `forecast_many` and the command line take), beside
statsforecast's AutoARIMA with and without the same regressor, run by the peers' Python in its
own process. Scores by the engine's accuracy (MAE, MASE against the in-sample naive forecast,
over all 40 held-out quarters); seconds are wall time over the 10 trainings.

    .venv/bin/python bench/regressors_public.py [--peers /work/main/bench/.venv-peers/bin/python]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

PEERS = "/work/main/bench/.venv-peers/bin/python"
H, WINDOWS, STEP = 4, 10, 4


def origins(n: int) -> list[int]:
    last = n - H
    return [last - (WINDOWS - 1 - w) * STEP for w in range(WINDOWS)]


# The relation in levels (consumption on income) and in logs (an elasticity: log consumption on
# log income, forecasts taken back with exp); scores are on the levels either way.
RELATIONS = ("levels", "logs")


def relation_values(y, x, relation):
    return (np.log(y), np.log(x)) if relation == "logs" else (y, x)


def relation_back(forecast, relation):
    return np.exp(forecast) if relation == "logs" else forecast


def peer_main(data_path: str) -> None:
    """Runs in the peers' environment: writes the data, then prints AutoARIMA's forecasts."""
    import pandas as pd
    import statsmodels.api as sm
    from statsforecast.models import AutoARIMA

    d = sm.datasets.macrodata.load_pandas().data
    ds = pd.PeriodIndex.from_fields(
        year=d.year.astype(int), quarter=d.quarter.astype(int), freq="Q"
    ).to_timestamp()
    frame = pd.DataFrame({"ds": ds, "y": d.realcons, "income": d.realdpi})
    frame.to_csv(data_path, index=False)
    out = {}
    for relation in RELATIONS:
        y, x = relation_values(frame.y.to_numpy(float), frame.income.to_numpy(float), relation)
        for name, use_x in (("AutoARIMA", False), ("AutoARIMA + income", True)):
            # Compiled before the clock starts.
            AutoARIMA(season_length=1).forecast(y=y[:60], h=H, X=x[:60, None] if use_x else None,
                                                X_future=x[60 : 60 + H, None] if use_x else None)
            fcs, start = [], time.perf_counter()
            for o in origins(len(y)):
                m = AutoARIMA(season_length=1)
                if use_x:
                    r = m.forecast(y=y[:o], h=H, X=x[:o, None], X_future=x[o : o + H, None])
                else:
                    r = m.forecast(y=y[:o], h=H)
                fcs.append(relation_back(np.asarray(r["mean"], float), relation).tolist())
            out[f"{relation}: {name}"] = {"forecasts": fcs, "seconds": time.perf_counter() - start}
    print(json.dumps(out))


def ours(y, x, times, algorithm: str, use_x: bool, relation: str):
    from tidewell_ts_libs import series

    y, x = relation_values(y, x, relation)
    fcs, start = [], time.perf_counter()
    for o in origins(len(y)):
        extra = {"exog": x[:o, None], "future_exog": x[o : o + H, None]} if use_x else {}
        fc = series.forecast(algorithm, times[:o], y[:o], H, **extra)
        fcs.append(relation_back(fc.point[:, 0], relation))
    return fcs, time.perf_counter() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--peers", default=PEERS, help="the peers' Python (statsforecast, statsmodels)")
    ap.add_argument("--peer", metavar="CSV", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peer:
        peer_main(args.peer)
        return
    import pandas as pd

    from tidewell_ts_libs import series

    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "macrodata_consumption.csv")
        done = subprocess.run(
            [args.peers, os.path.abspath(__file__), "--peer", data], capture_output=True, text=True
        )
        if done.returncode != 0:
            sys.exit(f"the peers' run failed:\n{done.stderr}")
        frame = pd.read_csv(data, parse_dates=["ds"])
    results = {k: (v["forecasts"], v["seconds"]) for k, v in json.loads(done.stdout).items()}
    y, x, times = frame.y.to_numpy(float), frame.income.to_numpy(float), frame.ds.to_numpy()
    import tidewell_ts_libs.quillcast.quillcast_estimator  # noqa: F401  (outside the clock)

    for relation in RELATIONS:
        for alg in ("arima", "autoforecaster"):
            for use_x in (False, True):
                name = f"{relation}: {alg}{' + income' if use_x else ''}"
                try:
                    results[name] = ours(y, x, times, alg, use_x, relation)
                except Exception as e:  # report a method that cannot run, keep the others
                    print(f"{name}: failed: {type(e).__name__}: {e}")
    first = origins(len(y))[0]
    actual = np.concatenate([y[o : o + H] for o in origins(len(y))])
    rows = []
    for name, (fcs, secs) in results.items():
        acc = series.score(actual, np.concatenate(fcs), y[:first], 1)
        rows.append((name, acc["mae"], acc["mase"], secs))
    print(f"US real consumption, {WINDOWS} origins x {H} quarters (last {WINDOWS * STEP} quarters)")
    print("| model of | method | MAE | MASE | seconds |")
    print("|---|---|---|---|---|")
    for name, mae, mase, secs in sorted(rows, key=lambda r: (r[0].split(":")[0], r[1])):
        relation, method = name.split(": ")
        print(f"| {relation} | {method} | {mae:.2f} | {mase:.3f} | {secs:.2f} |")


if __name__ == "__main__":
    main()
