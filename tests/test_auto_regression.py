import copy
import os
import pickle
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.dummy import DummyRegressor
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.multioutput import MultiOutputRegressor
from sklearn.preprocessing import StandardScaler

from tidewell_ts_libs.kelp.estimators.regression.auto_ensemble_regressor import EnsembleRegressor
from tidewell_ts_libs.kelp.joint_optimizers.auto.auto_regression import AutoRegression
from tidewell_ts_libs.kelp.joint_optimizers.utils import regression_dag as rd


class Sleepy(RegressorMixin, BaseEstimator):
    """Ridge that sleeps in fit; `fail` makes fit raise; `crash_unless_pid` ends any process
    but the given one (a crash in a worker, a plain error in the test process)."""

    def __init__(self, seconds=0.0, fail=False, crash_unless_pid=None):
        self.seconds = seconds
        self.fail = fail
        self.crash_unless_pid = crash_unless_pid

    def fit(self, X, y):
        if self.fail:
            raise ArithmeticError("this candidate cannot fit")
        if self.crash_unless_pid is not None:
            if os.getpid() != self.crash_unless_pid:
                os._exit(3)
            raise RuntimeError("this candidate would have crashed the caller")
        time.sleep(self.seconds)
        self.model_ = Ridge().fit(X, y)
        return self

    def predict(self, X):
        return self.model_.predict(X)


def data(n=120, targets=1, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    coef = rng.normal(size=(4, targets))
    y = X @ coef + 0.1 * rng.normal(size=(n, targets))
    return X, (y[:, 0] if targets == 1 else y)


def fast(**kw):
    return dict(total_execution_time=5, execution_time_per_pipeline=2, random_state=0, **kw)


@pytest.mark.parametrize("cls", [AutoRegression, EnsembleRegressor])
def test_picks_the_better_candidate_and_refits(cls):
    X, y = data()
    stages = [[("none", "passthrough"), ("scale", StandardScaler())],
              [("dummy", DummyRegressor()), ("linear", LinearRegression())]]  # fmt: skip
    est = cls(stages=stages, **fast(n_leaders_for_ensemble=1) if cls is EnsembleRegressor else fast())
    est.fit(X, y)
    assert len(est.search_results_) == 4
    assert all(r["status"] == "ok" for r in est.search_results_)
    assert est.leaderboard_[0]["name"].endswith("linear")
    assert est.leaderboard_[-1]["name"].endswith("dummy")
    assert est.leaderboard_[0]["score"] >= est.leaderboard_[-1]["score"]
    assert np.mean((est.predict(X) - y) ** 2) < 0.05
    # the shared stage objects are never fitted themselves
    assert not hasattr(stages[1][1][1], "coef_")


def test_default_space_and_clone_pickle():
    X, y = data()
    est = AutoRegression(total_execution_time=1, execution_time_per_pipeline=1, random_state=0)
    est.fit(X, y)
    assert est.best_pipeline_name_ and est.n_features_in_ == 4 and est.worker_overhead_ >= 0
    restored = pickle.loads(pickle.dumps(est))
    np.testing.assert_allclose(restored.predict(X), est.predict(X))
    fresh = clone(est)
    assert fresh.get_params() == est.get_params() and not hasattr(fresh, "best_estimator_")


def test_slow_candidates_are_skipped():
    X, y = data()
    stages = [[("slow", Sleepy(seconds=1.0)), ("quick", Sleepy()), ("broken", Sleepy(fail=True))]]
    est = AutoRegression(stages=stages, total_execution_time=5, execution_time_per_pipeline=0.6)
    est.fit(X, y)
    status = {r["name"]: r["status"] for r in est.search_results_}
    assert status == {"slow": "timeout", "quick": "ok", "broken": "error"}
    assert est.best_pipeline_name_ == "quick"
    broken = next(r for r in est.search_results_ if r["name"] == "broken")
    assert "ArithmeticError" in broken["error"]


class CrashOnArrival(Ridge):
    """A regressor whose unpickling ends any process but the given one."""

    def __init__(self, alpha=1.0, crash_unless_pid=None):
        super().__init__(alpha=alpha)
        self.crash_unless_pid = crash_unless_pid

    def __setstate__(self, state):
        super().__setstate__(state)
        if os.getpid() != self.crash_unless_pid:
            os._exit(3)


class LockedRidge(Ridge):
    """A regressor that cannot be pickled."""

    def fit(self, X, y):
        self.lock_ = threading.Lock()
        return super().fit(X, y)

    def __reduce__(self):
        raise TypeError("cannot pickle a LockedRidge")


def test_unpicklable_candidates_run_in_process():
    X, y = data()
    est = AutoRegression(stages=[[("locked", LockedRidge())]], **fast()).fit(X, y)
    assert est.best_pipeline_name_ == "locked"


def test_runaway_and_crashing_candidates_are_stopped():
    X, y = data()
    stages = [[
        ("runaway", Sleepy(seconds=600)),
        ("crash", Sleepy(crash_unless_pid=os.getpid())),
        ("crash_on_arrival", CrashOnArrival(crash_unless_pid=os.getpid())),
        ("quick", Sleepy()),
    ]]  # fmt: skip
    start = time.monotonic()
    est = AutoRegression(stages=stages, total_execution_time=60, execution_time_per_pipeline=1)
    est.fit(X, y)
    assert time.monotonic() - start < 300  # the ten-minute fit was not waited for
    results = {r["name"]: r for r in est.search_results_}
    assert results["runaway"]["status"] == "timeout" and results["runaway"]["seconds"] < 30
    for name in ("crash", "crash_on_arrival"):
        assert results[name]["status"] == "error" and "died" in results[name]["error"]
    assert est.best_pipeline_name_ == "quick"


def test_searches_in_threads_share_the_worker():
    problems = [data(seed=seed) for seed in range(3)]
    stages = [[("dummy", DummyRegressor()), ("linear", LinearRegression()), ("ridge", Ridge())]]

    def search(problem):
        return AutoRegression(stages=stages, **fast()).fit(*problem)

    with ThreadPoolExecutor(3) as pool:
        fitted = list(pool.map(search, problems))
    for est, (X, y) in zip(fitted, problems, strict=True):
        assert all(r["status"] == "ok" for r in est.search_results_)
        assert np.mean((est.predict(X) - y) ** 2) < 0.05


def test_search_stops_when_the_total_budget_is_spent():
    X, y = data()
    stages = [[(f"c{i}", Sleepy(seconds=0.03)) for i in range(40)]]
    est = AutoRegression(stages=stages, total_execution_time=0.3, execution_time_per_pipeline=5)
    est.fit(X, y)
    # each candidate needs three folds of at least 0.03 s
    assert 1 <= len(est.search_results_) <= 5


@pytest.mark.parametrize(
    "stages, match",
    [
        ([[("slow", Sleepy(seconds=1.0))]], "1 timeout"),
        ([[("a", Sleepy(fail=True)), ("b", Sleepy(fail=True))]], "this candidate cannot fit"),
    ],
)
def test_no_completed_candidate_is_an_error(stages, match):
    X, y = data()
    est = AutoRegression(stages=stages, total_execution_time=5, execution_time_per_pipeline=0.6)
    with pytest.raises(RuntimeError, match=match):
        est.fit(X, y)
    assert not hasattr(est, "best_estimator_")


@pytest.mark.parametrize(
    "params, match",
    [
        ({"total_execution_time": 0}, "total_execution_time"),
        ({"total_execution_time": float("nan")}, "total_execution_time"),
        ({"execution_time_per_pipeline": True}, "execution_time_per_pipeline"),
        ({"execution_time_per_pipeline": "2"}, "execution_time_per_pipeline"),
        ({"cv": 1}, "cv"),
        ({"execution_platform": "cluster"}, "execution_platform"),
        ({"execution_platform": None}, "execution_platform"),
        ({"stages": []}, "empty"),
        ({"stages": 5}, "list of stages"),
        ({"stages": [("ridge", Ridge())]}, "stage 0"),
        ({"stages": [[("ridge", "not an estimator")]]}, "not an estimator"),
        ({"stages": [[("a__b", Ridge())]]}, "__"),
        ({"stages": [[("scale", StandardScaler())], [("scale", StandardScaler())]]}, "no predict"),
        ({"stages": [[("scale", StandardScaler())], [("none", "passthrough")]]}, "passthrough"),
        ({"stages": [[("ridge", Ridge())], [("ridge", Ridge())]]}, "transformer"),
        ({"stages": [[]]}, "no candidates"),
    ],
)
def test_bad_options(params, match):
    X, y = data()
    base = fast()
    base.update(params)
    with pytest.raises(ValueError, match=match):
        AutoRegression(**base).fit(X, y)


@pytest.mark.parametrize(
    "params, match",
    [
        ({"n_leaders_for_ensemble": 0}, "n_leaders_for_ensemble"),
        ({"n_estimators_for_pred_interval": -1}, "n_estimators_for_pred_interval"),
        ({"max_samples_for_pred_interval": 0.0}, "max_samples_for_pred_interval"),
        ({"max_samples_for_pred_interval": 1000}, "max_samples_for_pred_interval"),
        ({"ensemble_type": "stacking"}, "ensemble_type"),
    ],
)
def test_bad_ensemble_options(params, match):
    X, y = data()
    with pytest.raises(ValueError, match=match):
        EnsembleRegressor(stages=[[("r", Ridge())]], **fast(**params)).fit(X, y)


def test_too_few_rows_and_predict_checks():
    X, y = data()
    with pytest.raises(ValueError, match="at least 3 samples"):
        AutoRegression(**fast()).fit(X[:2], y[:2])
    est = AutoRegression(stages=[[("r", Ridge())]], **fast())
    with pytest.raises(NotFittedError):
        est.predict(X)
    est.fit(X, y)
    with pytest.raises(ValueError, match="features"):
        est.predict(X[:, :3])


@pytest.mark.parametrize(
    "platform, notices", [("local", 0), ("spark_node_random_search", 1), ("dask_random_search", 1)]
)
def test_execution_platform_notice(capsys, platform, notices):
    X, y = data()
    AutoRegression(stages=[[("r", Ridge()), ("l", LinearRegression())]], **fast(execution_platform=platform)).fit(X, y)  # fmt: skip
    out = capsys.readouterr().out
    assert out.count("running the search locally") == notices


def test_ensemble_votes_and_intervals():
    X, y = data(targets=2)
    stages = [[("ridge", Ridge()), ("strong_ridge", Ridge(alpha=50.0)), ("dummy", DummyRegressor())]]
    est = EnsembleRegressor(
        stages=stages, **fast(n_leaders_for_ensemble=2, n_estimators_for_pred_interval=4, max_samples_for_pred_interval=0.8)
    )  # fmt: skip
    est.fit(X, y)
    assert [d["name"] for d in est.leaders_] == ["ridge", "strong_ridge"]
    expected = np.mean([m.predict(X) for m in est.estimators_], axis=0)
    np.testing.assert_allclose(est.predict(X), expected)
    assert est.predict(X).shape == (len(X), 2)
    lower, upper = est.predict_interval(X[:10], alpha=0.2)
    assert lower.shape == upper.shape == (10, 2) and np.all(lower <= upper)
    assert len(est.interval_estimators_) == 4
    with pytest.raises(ValueError, match="alpha"):
        est.predict_interval(X, alpha=1.5)


def test_ensemble_with_more_leaders_than_candidates_and_no_intervals():
    X, y = data()
    est = EnsembleRegressor(stages=[[("r", Ridge())]], **fast(n_leaders_for_ensemble=5, n_estimators_for_pred_interval=0))
    est.fit(X, y)
    assert len(est.estimators_) == 1 and est.interval_estimators_ == []
    with pytest.raises(ValueError, match="n_estimators_for_pred_interval"):
        est.predict_interval(X)


def test_multi_output_spaces():
    X, y = data(targets=3)
    for stages in (rd.get_multi_output_tiny_dag(2), rd.regression_chain_tiny_dag):
        est = AutoRegression(stages=stages, total_execution_time=1, execution_time_per_pipeline=1, random_state=0)
        assert est.fit(X, y).predict(X).shape == (len(X), 3)


@pytest.mark.parametrize("getter", [rd.get_multi_output_tiny_dag, rd.get_multi_output_flat_dag])
def test_getters_pass_n_jobs_to_the_per_target_wrappers(getter):
    stages = getter(3)
    wrappers = [est for name, est in stages[-1]]
    assert wrappers and all(isinstance(w, MultiOutputRegressor) and w.n_jobs == 3 for w in wrappers)
    assert getter(3) is not getter(3)


@pytest.mark.parametrize("name", [
    "tiny_reg_dag", "flat_reg_dag", "multi_output_flat_dag", "multi_output_tiny_dag",
    "regression_chain_flat_dag", "regression_chain_tiny_dag", "mimo_flat_dag", "complete_mino_flat_dag",
])  # fmt: skip
def test_stage_objects_are_lists_of_candidates(name):
    stages = getattr(rd, name)
    assert isinstance(stages, list) and stages
    for stage in stages:
        names = [c[0] for c in stage]
        assert len(names) == len(set(names))
        for cand_name, est in stage:
            assert isinstance(cand_name, str) and (est == "passthrough" or hasattr(est, "fit"))
    assert all(hasattr(est, "predict") for _, est in stages[-1])


@pytest.mark.parametrize(
    "name, package, getter",
    [
        ("xgb_dag", "xgboost", None),
        ("xgboost_multi_dag", "xgboost", "get_xgboost_multi_dag"),
        ("lgbm_dag", "lightgbm", None),
        ("lgbm_multi_dag", "lightgbm", "get_lgbm_multi_dag"),
    ],
)
def test_boost_spaces_without_the_extra(name, package, getter):
    stages = getattr(rd, name)
    if not isinstance(stages, rd.UnavailableStages):
        pytest.skip(f"{package} is installed")
    for use in (iter, len, lambda s: s[0]):
        with pytest.raises(ImportError, match=r"tidewell_ts_libs\[boost\]"):
            use(stages)
    # it can still be copied, pickled and handed to an estimator
    assert repr(copy.deepcopy(stages)) == repr(stages)
    assert repr(pickle.loads(pickle.dumps(stages))) == repr(stages)
    est = AutoRegression(stages=stages, **fast())
    assert clone(est).get_params()["stages"] is not None
    with pytest.raises(ImportError, match=package):
        est.fit(*data())
    if getter:
        with pytest.raises(ImportError, match=r"tidewell_ts_libs\[boost\]"):
            getattr(rd, getter)(2)
