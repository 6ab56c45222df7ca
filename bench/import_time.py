"""Start-up time: importing the package and forecasting one small series in a fresh process.

Each run is a new interpreter that imports ``tidewell_ts_libs`` and the forecaster, then fits
``QuillcastForecaster(algorithm="hw")`` on 100 points and forecasts 12 steps. Reported: the
median over the runs of the interpreter's whole wall time (start to exit, as a user waits for
it), of the import and of the forecast measured inside it, and of the processor seconds; and
which of the heavy modules the run loaded.

    .venv/bin/python bench/import_time.py [--runs 10] [--preload]

``--batch`` imports ``tidewell_ts_libs`` and runs one ``forecast_many`` (hw, 80/95 bands) of a
small series of 60 months instead of the forecaster (pandas counts: the batch takes a frame;
the import column then holds numpy, pandas and the package):
    .venv/bin/python bench/import_time.py --batch
    PYTHONPATH=<dir> .venv/bin/python bench/import_time.py --batch --module <other batch>

``--against DIR`` alternates the runs with runs of another build of the package found in DIR
(put first on the import path; e.g. a copy of the installed package with another
``__init__.py``) and reports both, so that a busy machine weighs on both alike:
    .venv/bin/python bench/import_time.py --against /tmp/before

``--preload`` imports scipy.stats, pandas and sklearn.pipeline first, inside the timed part:
what loading a forecaster cost when they were imported with it. ``--stages`` reports the same
medians for the steps one after another (an empty interpreter, numpy, scikit-learn's base class
loaded after this package, the whole forecast): what is left is the floor of each.
    .venv/bin/python -X importtime -c "import tidewell_ts_libs.quillcast.quillcast_estimator"
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

CODE = r"""
import json, sys, time
t0 = time.perf_counter()
if PRELOAD:
    import scipy.stats, pandas, sklearn.pipeline
import numpy as np
import tidewell_ts_libs
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
t1 = time.perf_counter()
t = np.arange(100.0)
X = (100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)).reshape(-1, 1)
QuillcastForecaster(algorithm="hw").fit(X, None).predict(prediction_horizon=12)
t2 = time.perf_counter()
heavy = ("scipy.stats", "scipy.special", "pandas", "sklearn.model_selection", "sklearn.pipeline")
print(json.dumps({"import": t1 - t0, "forecast": t2 - t1,
                  "loaded": [m for m in heavy if m in sys.modules]}))
"""


BATCH = r"""
import json, sys, time
t0 = time.perf_counter()
if PRELOAD:
    import scipy.stats, pandas, sklearn.pipeline
import numpy as np
import pandas as pd
import tidewell_ts_libs
forecast_many = __import__(MODULE, fromlist=["forecast_many"]).forecast_many
t1 = time.perf_counter()
t = np.arange(60)
df = pd.DataFrame({"unique_id": "a", "ds": pd.date_range("2015-01-01", periods=60, freq="MS"),
                   "y": 100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)})
forecast_many(df, algorithm="hw", horizon=12, level=(80, 95))
t2 = time.perf_counter()
heavy = ("scipy.stats", "scipy.special", "sklearn", "sklearn.model_selection", "sklearn.pipeline")
print(json.dumps({"import": t1 - t0, "forecast": t2 - t1,
                  "loaded": [m for m in heavy if m in sys.modules]}))
"""


STAGES = {
    "empty interpreter": "pass",
    "import numpy": "import numpy",
    "numpy, this package, sklearn.base": "import numpy, tidewell_ts_libs, sklearn.base",
    "sklearn.base without this package": "import numpy, sklearn.base",
}


def timed(code: str) -> tuple[float, float]:
    """Wall and processor seconds of a fresh interpreter running code."""
    before = os.times()
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    wall = time.perf_counter() - start
    after = os.times()
    cpu = (after.children_user - before.children_user) + (
        after.children_system - before.children_system
    )
    return wall, cpu


def stages(runs: int) -> None:
    codes = dict(STAGES)
    codes["whole forecast"] = "PRELOAD = False\n" + CODE
    timed(codes["whole forecast"])  # warm the file cache
    print(f"{runs} fresh processes each, load average {os.getloadavg()[0]:.1f}")
    print("| stage | process wall s | process CPU s |")
    print("|---|---|---|")
    for name, code in codes.items():
        got = [timed(code) for _ in range(runs)]
        wall = statistics.median(w for w, _ in got)
        cpu = statistics.median(c for _, c in got)
        print(f"| {name} | {wall:.3f} | {cpu:.3f} |")


def one(
    preload: bool, batch: bool = False, module: str = "tidewell_ts_libs.batch", path: str = ""
) -> dict:
    env = None
    if path:
        env = dict(
            os.environ,
            PYTHONPATH=os.pathsep.join(filter(None, [path, os.environ.get("PYTHONPATH")])),
        )
    before = os.times()
    start = time.perf_counter()
    code = f"PRELOAD = {preload}\nMODULE = {module!r}\n" + (BATCH if batch else CODE)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env
    )
    wall = time.perf_counter() - start
    after = os.times()
    out = json.loads(done.stdout.strip().splitlines()[-1])
    out["wall"] = wall
    out["cpu"] = (after.children_user - before.children_user) + (
        after.children_system - before.children_system
    )
    return out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--preload", action="store_true")
    ap.add_argument("--stages", action="store_true")
    ap.add_argument("--batch", action="store_true")
    ap.add_argument("--module", default="tidewell_ts_libs.batch", help="with --batch")
    ap.add_argument(
        "--against", default="", help="directory holding another build to alternate with"
    )
    a = ap.parse_args()
    if a.stages:
        stages(a.runs)
        return
    builds = {"installed": ""}
    if a.against:
        builds[a.against] = a.against
    for path in builds.values():
        one(a.preload, a.batch, a.module, path)  # warm the file cache
    runs = {name: [] for name in builds}
    for _ in range(a.runs):
        for name, path in builds.items():
            runs[name].append(one(a.preload, a.batch, a.module, path))
    print(f"{a.runs} fresh processes, load average {os.getloadavg()[0]:.1f} on {os.cpu_count()}")
    print(
        "| build | process wall s | process CPU s | import s | forecast s | heavy modules loaded |"
    )
    print("|---|---|---|---|---|---|")
    for name, got in runs.items():
        med = {
            k: statistics.median(r[k] for r in got) for k in ("wall", "cpu", "import", "forecast")
        }
        print(
            f"| {name} | {med['wall']:.3f} | {med['cpu']:.3f} | {med['import']:.3f} | "
            f"{med['forecast']:.4f} | {', '.join(got[-1]['loaded']) or 'none'} |"
        )


if __name__ == "__main__":
    main()
