"""Loading the package and forecasting one series leaves scipy.stats, pandas, scikit-learn's
model selection, the data-frame layer and numpy's extra submodules unloaded, and each of them
still works when it is used later."""

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
# What scikit-learn's modules take functions or classes of only to call them later.
CALLED_LATER = (
    "scipy.linalg",
    "scipy.sparse.linalg",
    "scipy.sparse.csgraph",
    "psutil",
    "joblib.externals.loky",
    "joblib.executor",
    "joblib.pool",
    "multiprocessing.pool",
    "threadpoolctl",
)
# What scikit-learn's modules and the array-API layers import only to keep at hand.
KEPT_AT_HAND = (
    "narwhals",
    "numpy.testing",
    "numpy.f2py",
    "numpy.ma",
    "numpy.char",
    "numpy.strings",
    "numpy.rec",
    "numpy.core",
    "asyncio",
    "pydoc",
    "html",
)

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
        FORECAST_ONE % (HEAVY + KEPT_AT_HAND + CALLED_LATER,)
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


def test_a_forecast_leaves_json_unloaded():
    # Printed by hand: the check itself must not load json.
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            FORECAST_ONE.replace("import json, sys", "import sys") % (("json",),) + "print(loaded)",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip().splitlines()[-1] == "[]"


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


def test_what_was_kept_at_hand_works_and_takes_its_place_when_first_used():
    out = run_fresh(
        FORECAST_ONE % (KEPT_AT_HAND,)
        + """
import numpy as np
import scipy.sparse
import joblib.memory, sklearn.utils.validation as validation, sklearn.utils._indexing as indexing
import scipy._lib.array_api_compat.numpy as scipy_xp, scipy._lib._docscrape as docscrape
import sklearn.externals.array_api_compat.numpy as sklearn_xp
import sklearn.utils._repr_html.estimator as repr_html, joblib._store_backends as store
import pandas as pd
frame = pd.DataFrame({"y": X[:, 0]})
try:
    QuillcastForecaster(algorithm="hw").fit(scipy.sparse.csr_matrix(X), None)
    sparse = "accepted"
except TypeError as e:
    sparse = "refused" if "parse" in str(e) else str(e)
again = QuillcastForecaster(algorithm="hw").fit(frame, None).predict(prediction_horizon=12)
names = validation._get_feature_names(frame)
print(json.dumps({
    "before": loaded,
    "sparse": sparse,
    "same": bool(np.array_equal(again, point)),
    "names": [str(n) for n in names],
    "first_rows": indexing._safe_indexing(frame, [0]).shape[0],
    "narwhals": [validation.nw is sys.modules["narwhals.stable.v2"],
                 indexing.nw is sys.modules["narwhals.stable.v2"]],
    "rng": float(scipy_xp.random.default_rng(0).random() < 1),
    "numpy": [scipy_xp.random is np.random, sklearn_xp.random is np.random,
              callable(sklearn_xp.testing.assert_equal), sklearn_xp.testing is np.testing,
              scipy_xp.testing is np.testing, sklearn_xp.f2py.__name__],
    "asyncio": [joblib.memory.asyncio.iscoroutine(1), joblib.memory.asyncio is sys.modules["asyncio"]],
    "pydoc": [docscrape.pydoc.getdoc(QuillcastForecaster) != "", docscrape.pydoc is sys.modules["pydoc"]],
    "text": [str(scipy_xp.char.upper("ab")), str(sklearn_xp.strings.lower("AB")),
             int(scipy_xp.rec.fromarrays([np.arange(2)]).shape[0]), scipy_xp.core.__name__,
             scipy_xp.char is sys.modules["numpy.char"], sklearn_xp.rec is sys.modules["numpy.rec"]],
    "html": ["QuillcastForecaster" in est._repr_html_(), repr_html.html is sys.modules["html"]],
    "json": [store.json.loads("[1]"), store.json is sys.modules["json"]],
}))
"""
    )
    assert out == {
        "before": [],
        "sparse": "refused",
        "same": True,
        "names": ["y"],
        "first_rows": 1,
        "narwhals": [True, True],
        "rng": 1.0,
        "numpy": [True, True, True, True, True, "numpy.f2py"],
        "asyncio": [False, True],
        "pydoc": [True, True],
        "text": ["AB", "ab", 2, "numpy.core", True, True],
        "html": [True, True],
        "json": [[1], True],
    }


HOSTS = {
    # Reads what it imports while it loads: gets the real module.
    "host_reads.py": "import dep_read.sub as sub\nVALUE = sub.VALUE\n",
    # Only binds it: a stand-in until first used.
    "host_binds.py": "import dep_bind.sub as sub\n\ndef value():\n    return sub.VALUE\n",
    # An optional import of what is not installed fails as it would.
    "host_optional.py": "try:\n    import not_installed_xyz as m\nexcept ImportError:\n    m = None\n",
    # A module that fails while loading leaves no stand-in behind.
    "host_fails.py": "import dep_fail\nraise RuntimeError('broken host')\n",
    "dep_read/__init__.py": "",
    "dep_read/sub.py": "VALUE = 1\n",
    "dep_bind/__init__.py": "",
    "dep_bind/sub.py": "VALUE = 2\n",
    "dep_fail.py": "VALUE = 3\n",
    # Takes a class and a function only to call them later: stand-ins until then.
    "host_calls.py": "import dep_call\nfrom dep_call import Maker\ntwice = dep_call.twice\n",
    # Calls what it took while it loads: gets the real function.
    "host_calls_now.py": "from dep_now import value\nVALUE = value()\n",
    "dep_call/__init__.py": "class Maker:\n    pass\n\ndef twice(x):\n    return 2 * x\n",
    "dep_now.py": "def value():\n    return 4\n",
    # Binds what someone else then imports: the real module takes its place at once.
    "host_keeps.py": "import dep_keep\n",
    "dep_keep.py": "VALUE = 5\n",
}


def test_stand_ins_change_only_when_a_module_loads(tmp_path):
    """The mechanism on modules of its own: a module that reads what it imports gets the real
    module; one that only binds it gets it on first use, and then the real module is in place."""
    for name, text in HOSTS.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(text)
    out = run_fresh(
        f"""
import json, sys
sys.path.insert(0, {str(tmp_path)!r})
import tidewell_ts_libs as tw
later = {{"host_reads": ("dep_read", "dep_read.sub"), "host_binds": ("dep_bind", "dep_bind.sub"),
         "host_optional": ("not_installed_xyz",), "host_fails": ("dep_fail",),
         "host_calls": ("dep_call",), "host_calls_now": ("dep_now",), "host_keeps": ("dep_keep",)}}
tw._LATER.update(later)
tw._CALLED_LATER.update({{"dep_call": ("Maker", "twice"), "dep_now": ("value",)}})
tw._finder.pending |= set(later)
if tw._finder not in sys.meta_path:
    sys.meta_path.insert(0, tw._finder)
import host_reads, host_binds, host_optional
try:
    import host_fails
    fails = "loaded"
except RuntimeError as e:
    fails = str(e)
bound = [m in sys.modules for m in ("dep_bind", "dep_bind.sub")]
value = host_binds.value()
import host_calls, host_calls_now
calls_before = ["dep_call" in sys.modules, type(host_calls.Maker).__name__]
maker_is_class = isinstance(host_calls.Maker(), host_calls.Maker)  # the first use: a call
real = sys.modules["dep_call"]
import host_keeps
keeps_before = type(host_keeps.dep_keep).__name__
import dep_keep
print(json.dumps({{
    "reads": [host_reads.VALUE, host_reads.sub is sys.modules["dep_read.sub"]],
    "binds_before": bound,
    "binds_after": [value, host_binds.sub is sys.modules["dep_bind.sub"],
                    hasattr(sys.modules["dep_bind"], "__file__")],
    "optional": host_optional.m is None,
    "fails": [fails, "dep_fail" in sys.modules, "host_fails" in sys.modules],
    "finder_left": tw._finder in sys.meta_path and bool(tw._finder.pending - set(tw._LATER)),
    "calls": [calls_before, maker_is_class, host_calls.Maker is real.Maker,
              host_calls.twice is real.twice, host_calls.twice(3), isinstance(real, type(sys))],
    "calls_now": [host_calls_now.VALUE, host_calls_now.value is sys.modules["dep_now"].value],
    "keeps": [keeps_before, host_keeps.dep_keep is dep_keep],
}}))
"""
    )
    assert out == {
        "reads": [1, True],
        "binds_before": [False, False],
        "binds_after": [2, True, True],
        "optional": True,
        "fails": ["broken host", False, False],
        "finder_left": False,
        "calls": [[False, "_CallOnFirstUse"], True, True, True, 6, True],
        "calls_now": [4, True],
        "keeps": ["_OnFirstUse", True],
    }


# What runs first decides which path imports the deferred module; the rest follow.
FIRST_USES = {
    "solver": "Ridge(solver='sparse_cg', tol=1e-10).fit(scipy.sparse.csr_matrix(A), b)",
    "operator": "sparsefuncs._implicit_column_offset(scipy.sparse.csr_matrix(A), A.mean(0))",
    "import": "import scipy.sparse.linalg, scipy.linalg, scipy.sparse.csgraph, psutil; "
    "import threadpoolctl",
    "threads": "joblib.Parallel(2, backend='threading')(joblib.delayed(abs)(-1) for _ in 'ab')",
    "processes": "joblib.Parallel(n_jobs=2)(joblib.delayed(abs)(-1) for _ in 'ab')",
}


@pytest.mark.parametrize("first", list(FIRST_USES))
def test_what_is_called_later_works_from_any_path_and_takes_its_place(first):
    out = run_fresh(
        FORECAST_ONE % (CALLED_LATER,)
        + f"""
import os, pickle
import joblib, numpy as np, pandas as pd, scipy.sparse
from sklearn.linear_model import Ridge
from sklearn.model_selection import GridSearchCV, TimeSeriesSplit
import sklearn.utils.fixes as fixes, sklearn.utils.sparsefuncs as sparsefuncs
import sklearn.utils.extmath as extmath
from joblib.externals.loky import process_executor
from joblib.externals.loky.backend import utils as loky_utils
from tidewell_ts_libs.batch import forecast_many
rng = np.random.default_rng(0)
A = rng.normal(size=(30, 4))
b = A @ np.arange(1.0, 5.0)
{FIRST_USES[first]}
ridge = Ridge(solver="sparse_cg", tol=1e-10).fit(scipy.sparse.csr_matrix(A), b).coef_
exact = Ridge(solver="cholesky").fit(A, b).coef_
op = sparsefuncs._implicit_column_offset(scipy.sparse.csr_matrix(A), A.mean(0))
centred = op @ np.eye(4)
singular = extmath.randomized_svd(A, 2, random_state=0)[1]
graph = scipy.sparse.csr_matrix(np.array([[0, 1.0], [1.0, 0]]))
import sklearn.utils.parallel as sk_parallel, sklearn.utils._show_versions as sk_versions
controller = sk_parallel._get_threadpool_controller()
import scipy.sparse.linalg as spl, scipy.linalg, scipy.sparse.csgraph as csgraph, psutil
import threadpoolctl
search = GridSearchCV(QuillcastForecaster(algorithm="hw"), {{"log_transform": [True, False]}},
                      cv=TimeSeriesSplit(2, test_size=12), n_jobs=2).fit(X, X[:, 0])
t = np.arange(60)
df = pd.DataFrame({{"unique_id": np.repeat(["a", "b"], 60),
                   "ds": np.tile(pd.date_range("2015-01-01", periods=60, freq="MS"), 2),
                   "y": np.tile(100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12), 2)}})
one = forecast_many(df, algorithm="hw", horizon=6)
two = forecast_many(df, algorithm="hw", horizon=6, n_jobs=2, backend="loky")
from sklearn.pipeline import Pipeline
pipe = pickle.loads(pickle.dumps(Pipeline([("f", QuillcastForecaster(algorithm="hw"))]).fit(X)))
errors = []
for backend in ("loky", "threading", "multiprocessing"):
    try:
        joblib.Parallel(n_jobs=2, backend=backend)(joblib.delayed(int)(v) for v in ("1", "x"))
    except ValueError as e:
        errors.append("invalid literal" in str(e))
from joblib import _parallel_backends as backends
from joblib.externals.loky import process_executor as pe
wrapped = joblib.wrap_non_picklable_objects(lambda v: v + 1)
print(json.dumps({{
    "before": loaded,
    "ridge": bool(np.allclose(ridge, exact, atol=1e-6)),
    "operator": [bool(np.allclose(centred, A - A.mean(0))), isinstance(op, spl.LinearOperator)],
    "svd": bool(np.allclose(singular, np.linalg.svd(A)[1][:2], rtol=1e-6)),
    "laplacian": fixes.laplacian(graph).toarray().tolist(),
    "memory": process_executor._get_memory_usage(os.getpid()) > 0,
    "placed": [fixes._sparse_linalg_cg is spl.cg, sparsefuncs.LinearOperator is spl.LinearOperator,
               extmath.linalg is scipy.linalg, fixes.laplacian is csgraph.laplacian,
               process_executor.Process is psutil.Process, loky_utils.psutil is psutil,
               isinstance(controller, threadpoolctl.ThreadpoolController),
               sk_versions.threadpool_info is threadpoolctl.threadpool_info],
    "search": sorted(search.cv_results_["params"][i]["log_transform"] for i in range(2)),
    "pickled": [np.array_equal(pickle.loads(pickle.dumps(est)).predict(prediction_horizon=12),
                               point),
                np.array_equal(pipe[-1].predict(prediction_horizon=12), point)],
    "parallel": one.forecasts.equals(two.forecasts),
    "errors": errors,
    "joblib": [joblib.Parallel(n_jobs=2)(joblib.delayed(wrapped)(v) for v in (1, 2)),
               backends.cpu_count is sys.modules["joblib.externals.loky"].cpu_count,
               backends.ShutdownExecutorError is pe.ShutdownExecutorError,
               issubclass(backends.ShutdownExecutorError, Exception),
               backends.get_memmapping_executor
               is sys.modules["joblib.executor"].get_memmapping_executor,
               backends.MemmappingPool is sys.modules["joblib.pool"].MemmappingPool,
               backends.ThreadPool is sys.modules["multiprocessing.pool"].ThreadPool],
}}))
"""
    )
    assert out == {
        "before": [],
        "ridge": True,
        "operator": [True, True],
        "svd": True,
        "laplacian": [[1.0, -1.0], [-1.0, 1.0]],
        "memory": True,
        "placed": [True] * 8,
        "search": [False, True],
        "pickled": [True, True],
        "parallel": True,
        "errors": [True, True, True],
        "joblib": [[2, 3], True, True, True, True, True, True],
    }
