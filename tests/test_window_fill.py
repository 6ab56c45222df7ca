import inspect

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.impute import KNNImputer

from tidewell_ts_libs.kelp.imputers import window_fill
from tidewell_ts_libs.kelp.imputers.base import FlattenImputer
from tidewell_ts_libs.kelp.imputers.chained_fill import ChainedFill
from tidewell_ts_libs.kelp.imputers.interpolators import PreMLImputer
from tidewell_ts_libs.kelp.imputers.window_fill import FlattenIterativeImputer, FlattenKNNImputer


def seasonal(n=240, seed=0, share=0.15):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    y = 10 * np.sin(2 * np.pi * t / 12) + 0.05 * t + rng.normal(0, 0.2, n)
    X = np.column_stack([t, y])
    Xm = X.copy()
    hole = rng.random(n) < share
    hole[:3] = False
    Xm[hole, 1] = np.nan
    return X, Xm, hole


def test_module_load_order():
    names = [n for n in vars(window_fill) if not n.startswith("__")]
    expected = [
        "check_array", "SimpleImputer", "_BaseImputer", "clone", "np", "RandomForestRegressor",
        "TSImputer", "FlattenImputer", "enable_iterative_imputer", "PreMLImputer", "KNNImputer",
        "ChainedFill", "FlattenIterativeImputer", "FlattenKNNImputer",
    ]  # fmt: skip
    assert [n for n in names if n in expected] == expected


@pytest.mark.parametrize(
    "cls, title", [(FlattenIterativeImputer, "Flatten Iterative Imputer."), (FlattenKNNImputer, "Flatten KNNImputer.")]
)
def test_docstring_and_signature(cls, title):
    assert cls.__doc__ == (
        f"\n    {title}\n    Parameters:\n"
        "        time_column (int): time column.\n"
        "        missing_values (obj): missing value to be imputed.\n"
        "        enable_fillna (boolean): fill the backword and forward.\n"
        "        order (int): lookback window.\n"
        "        base_imputer(obj): base imputer object.\n"
        "        model_imputer(obj): model imputer object.\n    "
    )
    assert cls.__bases__ == (FlattenImputer,)
    params = inspect.signature(cls.__init__).parameters
    assert list(params) == [
        "self", "time_column", "missing_values", "enable_fillna", "order", "base_imputer", "model_imputer",
    ]  # fmt: skip
    assert params["order"].default == -1 and params["time_column"].default == -1


def test_defaults_are_shared_per_class():
    a, b = FlattenKNNImputer(), FlattenKNNImputer()
    assert a.model_imputer is b.model_imputer and a.base_imputer is b.base_imputer
    assert type(a.model_imputer) is KNNImputer and type(a.base_imputer) is PreMLImputer
    it = FlattenIterativeImputer()
    assert type(it.model_imputer) is ChainedFill and it.order == -1
    assert it.model_imputer.get_params() == ChainedFill().get_params()
    assert it.base_imputer is not a.base_imputer


def test_given_objects_are_handed_over_unchanged():
    model = KNNImputer(n_neighbors=3)
    imp = FlattenKNNImputer(order=5, model_imputer=model)
    assert imp.model_imputer is model and imp.order == 5
    c = clone(imp)
    assert c.model_imputer is not model and c.model_imputer.n_neighbors == 3


@pytest.mark.parametrize("cls", [FlattenIterativeImputer, FlattenKNNImputer])
def test_imputes_along_time_and_leaves_the_shared_defaults_unfitted(cls):
    X, Xm, hole = seasonal()
    imp = cls(time_column=0, order=6)
    out = imp.fit(Xm).transform(Xm)
    assert not np.isnan(out).any()
    np.testing.assert_array_equal(out[:, 0], X[:, 0])
    np.testing.assert_array_equal(out[~hole, 1], X[~hole, 1])
    rmse = np.sqrt(np.mean((out[hole, 1] - X[hole, 1]) ** 2))
    assert rmse < 3.0  # the series swings by +-10 (filling with its mean: about 7)
    # the fitted copies live on the imputer; the shared defaults stay unfitted
    assert imp.model_imputer_ is not imp.model_imputer
    assert not hasattr(imp.model_imputer, "n_features_in_")
    assert not hasattr(imp.base_imputer, "n_features_in_")


def test_fitting_one_imputer_does_not_change_another():
    X, Xm, _ = seasonal(seed=1)
    _, other, _ = seasonal(n=300, seed=2, share=0.3)
    a, b = FlattenIterativeImputer(time_column=0, order=4), FlattenIterativeImputer(time_column=0, order=4)
    before = a.fit(Xm).transform(Xm)
    b.fit(other)
    np.testing.assert_allclose(a.transform(Xm), before)
    np.testing.assert_allclose(a.transform(Xm[:200]), clone(a).fit(Xm).transform(Xm[:200]))
