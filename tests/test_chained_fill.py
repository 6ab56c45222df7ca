import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.experimental import enable_iterative_imputer  # noqa: F401
from sklearn.impute import IterativeImputer

import tidewell_ts_libs
from tidewell_ts_libs.kelp.imputers import chained_fill
from tidewell_ts_libs.kelp.imputers.chained_fill import ChainedFill


def data(seed=0, n=60):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=n)
    X = np.column_stack([a, 2 * a + rng.normal(0, 0.1, n), -a + rng.normal(0, 0.1, n)])
    X[rng.random(X.shape) < 0.15] = np.nan
    return X


def test_module_loads_on_its_own(tmp_path):
    # Loaded first in a fresh interpreter, the module enables scikit-learn's iterative imputer.
    # The child imports the same package as this process (installed or built in place).
    code = "from tidewell_ts_libs.kelp.imputers import chained_fill as c; print(list(vars(c))[-4:])"
    root = Path(tidewell_ts_libs.__file__).resolve().parent.parent
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True,
        env={**os.environ, "PYTHONPATH": str(root)},
    )  # fmt: skip
    assert out.stdout.strip() == "['IterativeImputer', 'namedtuple', '_ImputerTriplet', 'ChainedFill']"


def test_module_names_and_class_shape():
    assert chained_fill.IterativeImputer is IterativeImputer
    assert chained_fill._ImputerTriplet._fields == ("feat_idx", "neighbor_feat_idx", "estimator")
    assert ChainedFill.__bases__ == (IterativeImputer,)
    assert type(ChainedFill) is type
    assert "__init__" not in vars(ChainedFill)
    assert ChainedFill().get_params() == IterativeImputer().get_params()
    assert clone(ChainedFill(max_iter=3)).max_iter == 3


def test_fit_keeps_steps_as_dicts_and_transforms_like_the_base():
    X = data()
    ours = ChainedFill(random_state=0).fit(X)
    assert ours.imputation_sequence_ == []
    steps = ours.new_imputation_sequence_
    ref = IterativeImputer(random_state=0).fit(X)
    assert len(steps) == len(ref.imputation_sequence_) > 0
    assert all(set(d) == {"feat_idx", "neighbor_feat_idx", "estimator"} for d in steps)
    np.testing.assert_allclose(ours.transform(X), ref.transform(X))


def test_repeated_transform_keeps_the_same_estimators():
    X = data()
    imp = ChainedFill(random_state=0).fit(X)
    first = [d["estimator"] for d in imp.new_imputation_sequence_]
    a = imp.transform(X)
    b = imp.transform(X)
    np.testing.assert_allclose(a, b)
    assert imp.imputation_sequence_ == []
    assert [d["estimator"] for d in imp.new_imputation_sequence_] == first


def test_fit_transformform_and_fit_transform_keep_the_steps_they_fit():
    X = data()
    imp = ChainedFill(random_state=0)
    out = imp.fit_transformform(X, None)
    assert not np.isnan(out).any() and imp.imputation_sequence_ == []
    with pytest.raises(TypeError):
        imp.fit_transformform(X)

    # fit_transform is the same operation: a following transform uses the steps it fitted,
    # not those of the earlier fit_transformform
    other = data(seed=1)
    first = imp.fit_transform(other)
    assert imp.imputation_sequence_ == []
    steps = [d["estimator"] for d in imp.new_imputation_sequence_]
    np.testing.assert_allclose(imp.transform(other), first)
    assert [d["estimator"] for d in imp.new_imputation_sequence_] == steps
    fresh = ChainedFill(random_state=0)
    with pytest.raises(AttributeError):
        fresh.transform(X)
    fresh.fit_transform(X)
    fresh.transform(X)


def test_failed_transform_keeps_the_fitted_steps():
    X = data()
    imp = ChainedFill(random_state=0).fit(X)
    expected = imp.transform(X)
    steps = [d["estimator"] for d in imp.new_imputation_sequence_]
    with pytest.raises(ValueError):
        imp.transform(X[:, :2])
    assert imp.imputation_sequence_ == []
    assert [d["estimator"] for d in imp.new_imputation_sequence_] == steps
    np.testing.assert_allclose(imp.transform(X), expected)


def test_transform_without_own_fit_raises_attribute_error():
    imp = ChainedFill()
    IterativeImputer.fit_transform(imp, data())
    with pytest.raises(AttributeError, match="new_imputation_sequence_"):
        imp.transform(data())


def test_refit_into_an_empty_sequence_drops_the_old_steps():
    X = data()
    imp = ChainedFill(random_state=0).fit(X)
    assert imp.new_imputation_sequence_
    # complete data with max_iter=0 builds no steps: the steps of the first fit must not be
    # used for the data of the second
    imp.set_params(max_iter=0)
    imp.fit(np.ones((5, 3)))
    assert imp.new_imputation_sequence_ == []
    np.testing.assert_allclose(imp.transform(np.array([[1.0, np.nan, 1.0]])), [[1.0, 1.0, 1.0]])
    # one column: nothing to chain, and transform still works after fit
    one = ChainedFill().fit(np.array([[1.0], [np.nan], [3.0]]))
    np.testing.assert_allclose(one.transform(np.array([[np.nan]])), [[2.0]])


def test_pickle_round_trip():
    X = data()
    imp = ChainedFill(random_state=0).fit(X)
    back = pickle.loads(pickle.dumps(imp))
    np.testing.assert_allclose(back.transform(X), imp.transform(X))
