import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.ensemble import RandomForestRegressor
from sklearn.impute import KNNImputer

from tidewell_ts_libs.kelp.imputers.chained_fill import ChainedFill
from tidewell_ts_libs.kelp.imputers.interpolators import PreMLImputer
from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator
from tidewell_ts_libs.transforms import imputers as cat
from tidewell_ts_libs.transforms.imputers import IMPUTER_DISPLAY_NAMES, TidewellTSImputer

DEFAULT_ORDER = [
    "previous", "fill", "next", "pca", "kernel_pca", "truncated_svd", "incremental_pca",
    "flatten_iterative", "flatten_knn", "predictive", "polynomial", "spline", "cubic", "akima",
    "linear", "barycentric", "quadratic",
]  # fmt: skip
KELP = DEFAULT_ORDER[3:]



pytestmark = pytest.mark.usefixtures("one_blas_thread")


def names(objs):
    return [type(o).__name__ for o in objs]


def test_module_names_in_load_order():
    keys = [k for k in vars(cat) if not k.startswith("__")]
    head = [
        "PredictiveImputer", "PreMLImputer", "QuillcastInterpolator", "PCAImputer", "KernelPCAImputer",
        "TruncatedSVDImputer", "NMFImputer", "IncrementalPCAImputer", "FlattenIterativeImputer",
        "FlattenKNNImputer", "PolynomialImputer", "SplineImputer", "CubicImputer", "QuadraticImputer",
        "AkimaImputer", "LinearImputer", "BaryCentricImputer", "RandomForestRegressor", "KNNImputer",
        "ChainedFill", "np", "List", "copy", "IMPUTER_DISPLAY_NAMES", "TidewellTSImputer",
        "previous", "fill", "next", "pca", "kernel_pca", "truncated_svd", "incremental_pca",
        "flatten_iterative", "flatten_knn", "predictive", "polynomial", "spline", "cubic", "quadratic",
        "akima", "linear", "barycentric",
    ]  # fmt: skip
    assert keys == head
    assert list(IMPUTER_DISPLAY_NAMES) == [
        "previous", "fill", "next", "flatten_iterative", "cubic", "linear", "kernel_pca", "pca",
        "truncated_svd", "incremental_pca", "flatten_knn", "akima", "barycentric", "polynomial",
        "predictive", "quadratic", "spline",
    ]  # fmt: skip
    assert IMPUTER_DISPLAY_NAMES["kernel_pca"] == "KernelPCA"
    assert TidewellTSImputer.__bases__ == (object,)


def test_default_list_order_and_clone_round_trip():
    objs = TidewellTSImputer.get_default_imputer_list()
    assert names(objs) == DEFAULT_ORDER
    for o in objs:
        c = clone(o)
        assert type(c) is type(o) and c.get_params(deep=False).keys() == o.get_params(deep=False).keys()
        back = pickle.loads(pickle.dumps(o))
        assert type(back) is type(o)
    with pytest.raises(TypeError):
        TidewellTSImputer.get_default_imputer_list({"ts_icol_loc": 0})


def test_fill_keys_reach_only_fill_and_caller_dict_is_kept():
    params = {"imputer_fill_type": "value", "imputer_fill_value": 1.5, "ts_ocol_loc": 2}
    objs = TidewellTSImputer.get_default_imputer_list(**params)
    assert params == {"imputer_fill_type": "value", "imputer_fill_value": 1.5, "ts_ocol_loc": 2}
    by_name = dict(zip(names(objs), objs, strict=True))
    assert by_name["fill"].imputer_fill_value == 1.5
    assert by_name["previous"].imputer_fill_value == 0.0
    for n in ("previous", "fill", "next"):
        assert by_name[n].ts_ocol_loc == 2
    assert not hasattr(by_name["pca"], "ts_ocol_loc")


@pytest.mark.parametrize(
    "key, value, raising",
    [("append_tranform", True, "pca"), ("enable_fillna", False, "previous"), ("order", 3, "previous")],
)
def test_a_key_some_constructor_rejects_raises_type_error(key, value, raising):
    with pytest.raises(TypeError):
        TidewellTSImputer.get_default_imputer_list(**{key: value})
    with pytest.raises(TypeError):
        getattr(cat, raising)(**{key: value})


def test_filtering_and_names():
    objs = TidewellTSImputer.get_default_imputer_list()
    kept = TidewellTSImputer.filtered_imputer_list(objs, ["linear", "pca", "unknown"])
    assert names(kept) == ["pca", "linear"] and kept[0] is objs[3]
    assert TidewellTSImputer.filtered_imputer_list([], ["pca"]) == []
    assert TidewellTSImputer.get_display_name(cat.kernel_pca()) == "KernelPCA"
    assert TidewellTSImputer().get_imputer_name(cat.flatten_knn()) == "flatten_knn_imputer"
    assert TidewellTSImputer.get_imputer_name(3) == "int_imputer"
    for bad in (3, ChainedFill()):
        with pytest.raises(KeyError):
            TidewellTSImputer.get_display_name(bad)


@pytest.mark.parametrize(
    "name, base, kind",
    [("previous", QuillcastInterpolator, "prev"), ("fill", QuillcastInterpolator, "fill"),
     ("next", QuillcastInterpolator, "next")],
)  # fmt: skip
def test_engine_interpolator_classes(name, base, kind):
    cls = getattr(cat, name)
    assert cls.__bases__ == (base,)
    o = cls(ts_icol_loc=[0], default_value=2.0)
    assert o.interpolator_type == kind and o.ts_icol_loc == [0] and o.default_value == 2.0
    assert "missing_values" not in vars(o)


def test_kelp_classes_forward_their_parameters():
    marker = -999.0
    for name in KELP:
        o = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=marker)
        assert o.time_column == [0] and o.missing_values == marker
        assert o.ts_icol_loc == [0] and o.missing_val_identifier == marker
    assert cat.spline().order == 3 and cat.polynomial().order == 5 and cat.pca().order == 5
    for name in ("cubic", "quadratic", "akima", "linear", "barycentric"):
        assert "order" not in inspect.signature(getattr(cat, name).__init__).parameters
    rf = cat.predictive().base_model
    assert isinstance(rf, RandomForestRegressor)
    assert (rf.n_estimators, rf.n_jobs, rf.random_state) == (10, -1, 33)
    assert type(cat.flatten_knn().model_imputer) is KNNImputer
    assert type(cat.flatten_iterative().model_imputer) is ChainedFill


def test_default_objects_are_shared_within_a_class_only():
    a, b = TidewellTSImputer.get_default_imputer_list(), TidewellTSImputer.get_default_imputer_list()
    # pca .. predictive take a pre-filling imputer
    for x, y in zip(a[3:10], b[3:10], strict=True):
        assert x is not y and x.base_imputer is y.base_imputer
        assert type(x.base_imputer) is PreMLImputer
    bases = [o.base_imputer for o in a[3:10]]
    assert len({id(o) for o in bases}) == len(bases)
    assert a[9].base_model is b[9].base_model
    # A nested setting changes its own imputer's copy, never the shared default of the others.
    shared = b[8].model_imputer.get_params()["n_neighbors"]
    a[8].set_params(model_imputer__n_neighbors=1, base_imputer__enable_fillna=False)
    assert a[8].model_imputer is not b[8].model_imputer
    assert a[8].model_imputer.get_params()["n_neighbors"] == 1
    assert b[8].model_imputer.get_params()["n_neighbors"] == shared
    assert b[8].base_imputer.get_params()["enable_fillna"] is True
    assert TidewellTSImputer.get_default_imputer_list()[8].model_imputer is b[8].model_imputer


def seasonal(n=200, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float) * 60.0
    y = 5 * np.sin(2 * np.pi * np.arange(n) / 24) + rng.normal(0, 0.1, n)
    X = np.column_stack([t, y])
    hole = rng.random(n) < 0.1
    hole[[0, -1]] = False
    Xm = X.copy()
    Xm[hole, 1] = -1.0e9
    return X, Xm, hole


@pytest.mark.parametrize("name", DEFAULT_ORDER)
def test_every_catalogue_imputer_fills_a_series(name):
    X, Xm, hole = seasonal()
    o = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=-1.0e9)
    out = o.fit(Xm).transform(Xm)
    assert out.shape == X.shape and np.isfinite(out).all()
    np.testing.assert_array_equal(out[:, 0], X[:, 0])
    np.testing.assert_array_equal(out[~hole, 1], X[~hole, 1])
    if name != "fill":  # fill puts a constant (0.0)
        assert np.sqrt(np.mean((out[hole, 1] - X[hole, 1]) ** 2)) < 2.0


def test_fitting_one_imputer_leaves_another_unchanged():
    X, Xm, hole = seasonal(seed=1)
    _, other, _ = seasonal(n=320, seed=5)
    for name in ("pca", "predictive", "flatten_knn", "flatten_iterative"):
        a = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=-1.0e9)
        b = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=-1.0e9)
        assert a.base_imputer is b.base_imputer
        first = a.fit(Xm).transform(Xm)
        new = Xm[:150].copy()
        expected_new = a.transform(new)
        b.fit(other)
        np.testing.assert_allclose(a.transform(Xm), first)
        np.testing.assert_allclose(a.transform(new), expected_new)
        # the shared defaults themselves are never fitted
        assert not hasattr(a.base_imputer, "n_features_in_")
        for attr in ("model_imputer", "base_model"):
            if hasattr(a, attr):
                assert not hasattr(getattr(a, attr), "n_features_in_")


@pytest.mark.parametrize("name", DEFAULT_ORDER)
def test_fitted_imputers_survive_pickling(name):
    X, Xm, hole = seasonal(seed=3)
    o = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=-1.0e9).fit(Xm)
    back = pickle.loads(pickle.dumps(o))
    new = Xm[:120]
    np.testing.assert_allclose(back.transform(new), o.transform(new))


@pytest.mark.parametrize("name", DEFAULT_ORDER)
def test_set_params_reaches_the_time_column_and_the_marker(name):
    # A search or a pipeline sets the catalogue's names: the imputer must then work with them,
    # exactly as if they had been given to the constructor.
    X = np.column_stack([np.arange(12.0), [1, 2, -999, 4, 5, 6, -999, 8, 9, 10, 11, 12.0]])
    given = getattr(cat, name)(ts_icol_loc=[0], missing_val_identifier=-999)
    set_later = getattr(cat, name)().set_params(ts_icol_loc=[0], missing_val_identifier=-999)
    expected = given.fit_transform(X)
    assert not (expected == -999).any()
    np.testing.assert_allclose(set_later.fit_transform(X), expected)
    np.testing.assert_allclose(clone(set_later).fit_transform(X), expected)


@pytest.mark.parametrize("dtype", ["Int64", "Float64"])
def test_nullable_columns_are_filled_as_float_ones(dtype):
    # pandas' nullable columns reached the imputers as a read-only array, which they wrote to.
    import pandas as pd

    plain = pd.DataFrame({"sales": [10.0, np.nan, 12.0, 13.0, np.nan, 15.0]})
    nullable = plain.astype(dtype)
    for name in DEFAULT_ORDER:
        expected = getattr(cat, name)().fit_transform(plain)
        np.testing.assert_allclose(getattr(cat, name)().fit_transform(nullable), expected,
                                   err_msg=name)
