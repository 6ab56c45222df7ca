"""Loading the package and forecasting one series leaves scipy.stats, pandas and scikit-learn's
model selection unloaded, and each of them still works when it is used later."""

import json
import subprocess
import sys
import textwrap

import pytest


def run_fresh(code: str) -> dict:
    """Runs code in a fresh interpreter; it prints one JSON line."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


HEAVY = ("scipy.stats", "scipy.special", "pandas", "sklearn.model_selection", "sklearn.pipeline")

FORECAST_ONE = """
import json, sys
import numpy as np
import tidewell_ts_libs
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from sklearn.base import BaseEstimator

t = np.arange(100.0)
X = (100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)).reshape(-1, 1)
est = QuillcastForecaster(algorithm="hw").fit(X, None)
point = est.predict(prediction_horizon=12)
loaded = [m for m in %r if m in sys.modules]
"""


def test_a_forecast_loads_none_of_the_heavy_modules():
    out = run_fresh(
        FORECAST_ONE % (HEAVY,)
        + """
print(json.dumps({"loaded": loaded, "shape": list(point.shape),
                  "estimator": isinstance(est, BaseEstimator)}))
"""
    )
    assert out == {"loaded": [], "shape": [12, 1], "estimator": True}


def test_the_deferred_modules_work_when_used_and_data_frames_are_still_recognised():
    out = run_fresh(
        FORECAST_ONE % (HEAVY,)
        + """
import numpy as np
import scipy, scipy.stats, sklearn.utils.fixes as fixes, sklearn.utils._array_api as array_api
import scipy.special
import pandas as pd
from tidewell_ts_libs.utils import score
frame = pd.DataFrame({"y": X[:, 0]})
again = QuillcastForecaster(algorithm="hw").fit(frame, None).predict(prediction_horizon=12)
print(json.dumps({
    "stats_module": type(scipy.stats).__name__ == "module" and scipy.stats is sys.modules["scipy.stats"],
    "norm": float(scipy.stats.norm.ppf(0.975)),
    "mode": int(np.ravel(fixes._mode(np.array([1, 2, 2]))[0])[0]),
    "special": [type(scipy.special).__name__, float(array_api.special.expit(0.0))],
    "fixes_pd": fixes.pd.DataFrame is pd.DataFrame,
    "score_pd": score.pd is pd,
    "pipeline": score.Score.get_estimator(score.sklearnPipeline([("f", est)])) is est,
    "same": bool(np.array_equal(again, point)),
}))
"""
    )
    assert out == {
        "stats_module": True,
        "norm": pytest.approx(1.959964, abs=1e-6),
        "mode": 2,
        "special": ["module", 0.5],
        "fixes_pd": True,
        "score_pd": True,
        "pipeline": True,
        "same": True,
    }


def test_scikit_learn_loaded_first_is_left_as_it_is():
    out = run_fresh(
        """
import json, sys
import pandas as pd, scipy.stats, sklearn.base
import tidewell_ts_libs
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
import sklearn.utils.fixes as fixes
print(json.dumps({"pd": fixes.pd is pd, "finders": [type(f).__module__ for f in sys.meta_path]}))
"""
    )
    assert out["pd"] and "tidewell_ts_libs" not in out["finders"]


def test_a_worker_forecasts_its_chunk_without_pandas():
    # What a worker process of forecast_many runs: arrays in, arrays out.
    out = run_fresh(
        """
import json, sys
import numpy as np
from tidewell_ts_libs import batch
t = np.arange(60, dtype=np.int64)
y = 100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)
table = batch._SeriesTable(["a", "b"], np.array([0, 60, 120]), np.tile(t, 2), np.tile(y, 2))
rows, errors = batch._run_chunk(table, batch.Options("hw", 12, holdout=6, level=(80, 95)))
# With regressors (their rows and their values at the forecast times) and quantiles.
x = np.sin(np.arange(132) / 5.0).reshape(-1, 1)
table.exog = np.vstack([x[:60], x[:60]])
table.future = np.stack([x[54:66], x[54:66]])
opts = batch.Options("arima", 12, holdout=6, quantiles=(0.1, 0.9))
xrows, xerrors = batch._run_chunk(table, opts)
print(json.dumps({"pandas": "pandas" in sys.modules, "rows": len(rows),
                  "status": [e["status"] for e in errors + xerrors], "bands": sorted(rows.extra),
                  "quantiles": sorted(xrows.extra), "crps": bool(xerrors[0]["crps"] > 0)}))
"""
    )
    assert out == {
        "pandas": False,
        "rows": 24,
        "status": ["ok"] * 4,
        "bands": ["hi-80", "hi-95", "lo-80", "lo-95"],
        "quantiles": ["q-0.1", "q-0.9"],
        "crps": True,
    }
