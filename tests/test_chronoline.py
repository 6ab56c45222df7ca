import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import BaseEstimator, clone
from sklearn.linear_model import Ridge
from sklearn.pipeline import Pipeline

import tidewell_ts_libs.kelp.estimators.utils.chronoline as cl
from tidewell_ts_libs.kelp.joint_optimizers.utils import regression_dag as rd
from tidewell_ts_libs.utils.messages.messages import Messages

BASE_OPTIONS = ["total_execution_time", "execution_time_per_pipeline", "execution_platform"]
ENSEMBLE_OPTIONS = [
    "n_leaders_for_ensemble",
    "n_estimators_for_pred_interval",
    "max_samples_for_pred_interval",
    "ensemble_type",
]
DAG_NAMES = [
    "xgb_dag", "lgbm_dag", "tiny_reg_dag", "flat_reg_dag", "multi_output_flat_dag",
    "multi_output_tiny_dag", "regression_chain_flat_dag", "regression_chain_tiny_dag",
    "mimo_flat_dag", "complete_mino_flat_dag", "xgboost_multi_dag", "lgbm_multi_dag",
]  # fmt: skip


class Recorder:
    """Stands in for a regressor class: remembers how it was constructed."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs


@pytest.fixture
def recorded(monkeypatch):
    monkeypatch.setattr(cl, "AutoRegression", type("AutoRegression", (Recorder,), {}))
    monkeypatch.setattr(cl, "EnsembleRegressor", type("EnsembleRegressor", (Recorder,), {}))


@pytest.fixture
def getter_calls(monkeypatch):
    calls = []
    for name in [
        "get_flat_dag",
        "get_multi_output_tiny_dag",
        "get_multi_output_flat_dag",
        "get_xgboost_multi_dag",
        "get_lgbm_multi_dag",
    ]:
        def fake(*args, _name=name):
            calls.append((_name, args))
            return ("stages from", _name, args)

        monkeypatch.setattr(rd, name, fake)
    return calls


def test_module_binds_its_names_in_order():
    names = [
        "np", "pd", "math", "datetime", "f_regression", "mutual_info_regression",
        "cross_val_score", "RandomForestRegressor", "Parallel", "delayed", "cpu_count", "fft",
        "arange", "signal", "column_or_1d", "mean_absolute_error", "r2_score",
        "mean_squared_error", "AutoRegression", "EnsembleRegressor", *DAG_NAMES,
        "KerasRegressor", "BaseEstimator", "Messages",
        "MODEL_TYPES_SUPPORTED_FOR_DEEP_LEARNING", "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR",
        "prepare_regressor", "get_optimized_n_jobs", "check_model_type_is_dl",
        "check_object_is_estimator",
    ]  # fmt: skip
    keys = list(vars(cl))
    assert [k for k in keys if k in names] == names
    assert cl.arange(3).tolist() == [0, 1, 2]
    assert cl.MODEL_TYPES_SUPPORTED_FOR_DEEP_LEARNING == [cl.KerasRegressor]
    assert cl.MODEL_TYPES_SUPPORTED_AS_ESTIMATOR == [cl.KerasRegressor, BaseEstimator]
    for name in DAG_NAMES:
        assert getattr(cl, name) is getattr(rd, name)


def test_function_signatures():
    sig = inspect.signature(cl.prepare_regressor)
    assert list(sig.parameters) == [
        "dag_granularity", "total_execution_time", "execution_time_per_pipeline", "r_type",
        "execution_platform", "n_leaders_for_ensemble", "n_estimators_for_pred_interval",
        "max_samples_for_pred_interval", "ensemble_type", "n_jobs",
    ]  # fmt: skip
    defaults = [p.default for p in sig.parameters.values()][4:]
    assert defaults == ["spark_node_random_search", 1, 5, 1.0, "voting", -1]
    assert str(inspect.signature(cl.get_optimized_n_jobs)) == "(n_jobs=-1, no_outputs=1)"
    assert str(inspect.signature(cl.check_model_type_is_dl)) == "(model)"
    assert str(inspect.signature(cl.check_object_is_estimator)) == "(model)"


@pytest.mark.parametrize(
    "cpus, args, expected",
    [
        (8, (), 1),
        (8, (-1, 100), 7),
        (1, (), 1),
        (1, (-1, 100), 1),
        (8, (0, 5), 1),
        (8, (-3, 5), 1),
        (8, (4, 2), 2),
        (8, (2, 4), 2),
    ],
)
def test_get_optimized_n_jobs(monkeypatch, cpus, args, expected):
    monkeypatch.setattr(cl, "cpu_count", lambda: cpus)
    assert cl.get_optimized_n_jobs(*args) == expected


def test_get_optimized_n_jobs_prefers_no_outputs_on_a_tie_and_rejects_text():
    tie = cl.get_optimized_n_jobs(3, 3.0)
    assert tie == 3 and isinstance(tie, float)
    with pytest.raises(TypeError):
        cl.get_optimized_n_jobs("4", 2)


def test_prepare_regressor_default_passes_exactly_the_three_options(recorded):
    name, est = cl.prepare_regressor("default", 10, 2, "AutoRegressor")
    assert name == "AutoRegressor" and type(est).__name__ == "AutoRegression"
    assert list(est.kwargs.items()) == [
        ("total_execution_time", 10),
        ("execution_time_per_pipeline", 2),
        ("execution_platform", "spark_node_random_search"),
    ]


def test_prepare_regressor_tiny_ensemble(recorded):
    name, est = cl.prepare_regressor("tiny", 10, 2, "AutoEnsemble")
    assert name == "AutoEnsemble" and type(est).__name__ == "EnsembleRegressor"
    assert list(est.kwargs) == ["stages", *BASE_OPTIONS, *ENSEMBLE_OPTIONS]
    assert est.kwargs["stages"] is cl.tiny_reg_dag
    assert [est.kwargs[k] for k in ENSEMBLE_OPTIONS] == [1, 5, 1.0, "voting"]


@pytest.mark.parametrize(
    "granularity, module_name",
    [
        ("tiny", "tiny_reg_dag"),
        ("regression_chain_flat", "regression_chain_flat_dag"),
        ("regression_chain_tiny", "regression_chain_tiny_dag"),
        ("MIMO_flat", "mimo_flat_dag"),
        ("MINO_complete_flat", "complete_mino_flat_dag"),
        ("xgboost", "xgb_dag"),
        ("lgbm", "lgbm_dag"),
    ],
)
def test_prepare_regressor_hands_the_module_objects(recorded, monkeypatch, granularity, module_name):
    marker = [[("ridge", Ridge())]]
    monkeypatch.setattr(cl, module_name, marker)  # read from the module at each call
    for _ in range(2):
        _, est = cl.prepare_regressor(granularity, 5, 1, "AutoRegressor", n_jobs=3)
        assert est.kwargs["stages"] is marker
        assert "n_jobs" not in est.kwargs


@pytest.mark.parametrize(
    "granularity, getter, n_jobs, passed",
    [
        ("flat", "get_flat_dag", 4, ()),
        ("multioutput_tiny", "get_multi_output_tiny_dag", 4, (4,)),
        ("multioutput_flat", "get_multi_output_flat_dag", -1, (-1,)),
        ("multi_xgboost", "get_xgboost_multi_dag", 0, (1,)),
        ("multi_lgbm", "get_lgbm_multi_dag", 2, (2,)),
    ],
)
def test_prepare_regressor_calls_the_getters(recorded, getter_calls, granularity, getter, n_jobs, passed):
    _, est = cl.prepare_regressor(granularity, 5, 1, "AutoEnsemble", n_jobs=n_jobs)
    assert getter_calls == [(getter, passed)]
    assert est.kwargs["stages"] == ("stages from", getter, passed)
    assert list(est.kwargs) == ["stages", *BASE_OPTIONS, *ENSEMBLE_OPTIONS]


def test_prepare_regressor_positional_order(recorded):
    _, est = cl.prepare_regressor("default", 7, 3, "AutoEnsemble", "local", 4, 6, 0.5, "voting", 2)
    assert list(est.kwargs.items()) == [
        ("total_execution_time", 7),
        ("execution_time_per_pipeline", 3),
        ("execution_platform", "local"),
        ("n_leaders_for_ensemble", 4),
        ("n_estimators_for_pred_interval", 6),
        ("max_samples_for_pred_interval", 0.5),
        ("ensemble_type", "voting"),
    ]


@pytest.mark.parametrize(
    "granularity, r_type, message",
    [
        ("default", "AutoForest", ("AutoForest", "TIDEWELLTSLIBS0036E")),
        ("no-such-space", "autoregressor", ("autoregressor", "TIDEWELLTSLIBS0036E")),
        ("Default", "AutoRegressor", (None, "TIDEWELLTSLIBS0037E")),
        ("mimo_flat", "AutoEnsemble", (None, "TIDEWELLTSLIBS0037E")),
        (None, "AutoRegressor", (None, "TIDEWELLTSLIBS0037E")),
    ],
)
def test_prepare_regressor_unknown_names(getter_calls, granularity, r_type, message):
    arg, message_id = message
    args = () if arg is None else (arg,)
    with pytest.raises(Exception) as info:
        cl.prepare_regressor(granularity, 5, 1, r_type)
    assert type(info.value) is Exception
    assert info.value.args == (Messages.get_message(*args, message_id=message_id),)
    assert getter_calls == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("default", 5, 1), {}),
        ((), {"dag_granularity": "default", "total_execution_time": 5, "r_type": "AutoRegressor"}),
        (("default", 5, 1, "AutoRegressor", "local", 1, 5, 1.0, "voting", -1, "extra"), {}),
        (("default", 5, 1, "AutoRegressor"), {"stages": []}),
    ],
)
def test_prepare_regressor_argument_count(recorded, args, kwargs):
    with pytest.raises(TypeError):
        cl.prepare_regressor(*args, **kwargs)


def test_getter_errors_propagate(monkeypatch):
    def broken(n_jobs):
        raise ImportError("needs the boost extra")

    monkeypatch.setattr(rd, "get_xgboost_multi_dag", broken)
    with pytest.raises(ImportError, match="boost extra"):
        cl.prepare_regressor("multi_xgboost", 5, 1, "AutoRegressor")


@pytest.mark.parametrize(
    "model, is_dl, is_estimator",
    [
        (Ridge(), False, True),
        (Pipeline([("r", Ridge())]), False, True),
        (cl.AutoRegression(), False, True),
        ("Ridge", False, False),
        (Ridge, False, False),
    ],
)
def test_model_classification(model, is_dl, is_estimator):
    assert cl.check_model_type_is_dl(model) is is_dl
    assert cl.check_object_is_estimator(model) is is_estimator


def test_keras_regressor_is_dl_and_an_estimator():
    keras = object.__new__(cl.KerasRegressor)
    assert cl.check_model_type_is_dl(keras) is True
    assert cl.check_object_is_estimator(keras) is True


def test_model_lists_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(cl, "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR", [])
    monkeypatch.setattr(cl, "MODEL_TYPES_SUPPORTED_FOR_DEEP_LEARNING", [Ridge])
    assert cl.check_object_is_estimator(Ridge()) is False
    assert cl.check_model_type_is_dl(Ridge()) is True


@pytest.mark.skipif(
    cl._KERAS_REGRESSOR_SOURCE != "tidewell_ts_libs", reason="a real Keras wrapper is installed"
)
def test_fallback_keras_regressor():
    reg = cl.KerasRegressor(build_fn=None, epochs=3, batch_size=8)
    assert reg.get_params() == {"model": None, "build_fn": None, "epochs": 3, "batch_size": 8}
    copy = clone(reg)
    assert copy.get_params() == reg.get_params() and copy is not reg
    reg.set_params(epochs=10)
    restored = pickle.loads(pickle.dumps(reg))
    assert type(restored) is cl.KerasRegressor and restored.epochs == 10
    assert restored.get_params()["epochs"] == 10
    for call in (lambda: reg.fit([[1.0]], [1.0]), lambda: reg.predict([[1.0]])):
        with pytest.raises(ImportError, match=r"tidewell_ts_libs\[dl\]"):
            call()


# --- end to end: a lagged-window regression problem --------------------------------------------


def lagged_problem(n=260, lags=6, seed=0):
    rng = np.random.default_rng(seed)
    s = np.zeros(n + lags)
    for t in range(2, len(s)):
        s[t] = 0.6 * s[t - 1] + 0.3 * s[t - 2] + np.sin(t / 4) + rng.normal(0, 0.3)
    X = np.stack([s[i : i + lags] for i in range(n)])
    y = s[lags : lags + n]
    return X, y


@pytest.mark.parametrize("r_type", ["AutoRegressor", "AutoEnsemble"])
def test_prepared_regressor_beats_the_mean(capsys, r_type):
    X, y = lagged_problem()
    split = 200
    step = cl.prepare_regressor("tiny", 1.5, 10.0, r_type, n_leaders_for_ensemble=2)
    assert type(step) is tuple and step[0] == r_type
    est = Pipeline([step])  # the pair is a named pipeline step
    est.fit(X[:split], y[:split])
    out = capsys.readouterr().out
    assert out.count("running the search locally") == 1
    mse = np.mean((est.predict(X[split:]) - y[split:]) ** 2)
    mean_mse = np.mean((y[:split].mean() - y[split:]) ** 2)
    assert mse < 0.5 * mean_mse
