import numpy as np
import pytest
from sklearn.base import clone
from sklearn.exceptions import NotFittedError
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LinearRegression
from sklearn.preprocessing import StandardScaler

from tidewell_ts_libs.kelp.imputers.base import FlattenImputer, fill_ends, time_column_index
from tidewell_ts_libs.kelp.imputers.decomposition_imputers import (
    IncrementalPCAImputer,
    KernelPCAImputer,
    NMFImputer,
    PCAImputer,
    TruncatedSVDImputer,
)
from tidewell_ts_libs.kelp.imputers.interpolators import (
    AkimaImputer,
    BaryCentricImputer,
    CubicImputer,
    LinearImputer,
    PolynomialImputer,
    PreMLImputer,
    QuadraticImputer,
    SplineImputer,
)
from tidewell_ts_libs.kelp.imputers.predictive_imputer import PredictiveImputer

INTERPOLATING = [
    PreMLImputer,
    LinearImputer,
    CubicImputer,
    QuadraticImputer,
    AkimaImputer,
    BaryCentricImputer,
    PolynomialImputer,
    SplineImputer,
]
LOW_RANK = [PCAImputer, KernelPCAImputer, TruncatedSVDImputer, NMFImputer, IncrementalPCAImputer]
ALL = INTERPOLATING + LOW_RANK + [PredictiveImputer, FlattenImputer]



pytestmark = pytest.mark.usefixtures("one_blas_thread")


def seasonal(n=240, period=12, noise=0.0, seed=0, share=0.12, columns=1):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    cols = [20 + 10 * np.sin(2 * np.pi * i / period + k) + 0.02 * i for k in range(columns)]
    clean = np.column_stack([i * 3600.0] + cols) + np.column_stack(
        [np.zeros(n)] + [rng.normal(0, noise, n) for _ in cols]
    )
    hole = rng.random((n, columns)) < share
    hole[:2] = hole[-2:] = False
    gappy = clean.copy()
    gappy[:, 1:][hole] = np.nan
    return clean, gappy, hole


def rmse(out, clean, hole):
    return float(np.sqrt(np.mean((out[:, 1:][hole] - clean[:, 1:][hole]) ** 2)))


@pytest.mark.parametrize(
    "loc, index", [(-1, -1), (None, -1), (0, 0), ([2], 2), ((1,), 1), ([], -1), (np.int64(3), 3)]
)
def test_time_column_forms(loc, index):
    assert time_column_index(loc) == index


@pytest.mark.parametrize("loc", [True, "0", 1.5])
def test_bad_time_column_is_rejected(loc):
    with pytest.raises(ValueError, match="time_column"):
        LinearImputer(time_column=loc).fit(np.ones((3, 2)))


@pytest.mark.parametrize("cls", [LinearImputer, PCAImputer, PredictiveImputer, FlattenImputer])
def test_tags_allow_missing_values(cls):
    from sklearn.utils import get_tags

    assert get_tags(cls()).input_tags.allow_nan


def test_fill_ends_helper():
    out = fill_ends(np.array([[np.nan, np.nan], [1.0, np.nan], [np.nan, np.nan], [3.0, np.nan]]))
    np.testing.assert_array_equal(out[:, 0], [1, 1, 1, 3])
    assert np.isnan(out[:, 1]).all()


@pytest.mark.parametrize("cls", ALL)
def test_contract_of_every_stand_in(cls):
    clean, gappy, hole = seasonal(noise=0.2, columns=2)
    marker = -1.0
    given = gappy.copy()
    given[np.isnan(given)] = marker
    imp = cls(time_column=0, missing_values=marker)
    out = imp.fit_transform(given)
    assert np.isfinite(out).all()
    np.testing.assert_array_equal(out[:, 0], clean[:, 0])
    np.testing.assert_array_equal(out[:, 1:][~hole], clean[:, 1:][~hole])
    assert rmse(out, clean, hole) < 3.0  # the series swing by +-10
    # transform of the training data agrees with fit_transform; new data get imputed too
    np.testing.assert_allclose(imp.transform(given), out)
    newer = imp.transform(given[:100])
    assert np.isfinite(newer).all()
    assert (given == marker).sum() > 0  # the caller's data are untouched
    with pytest.raises(ValueError, match="features"):
        imp.transform(given[:, :2])
    with pytest.raises(NotFittedError):
        clone(imp).transform(given)


@pytest.mark.parametrize("cls", [LinearImputer, PCAImputer, PredictiveImputer])
def test_bad_data_is_rejected(cls):
    clean, gappy, _ = seasonal()
    empty = gappy.copy()
    empty[:, 1] = np.nan
    with pytest.raises(ValueError, match="no observed values"):
        cls(time_column=0).fit(empty)
    backwards = gappy[::-1]
    with pytest.raises(ValueError, match="increasing"):
        cls(time_column=0).fit(backwards)
    with pytest.raises(ValueError, match="outside"):
        cls(time_column=5).fit(gappy)


@pytest.mark.parametrize("cls", INTERPOLATING)
def test_interpolators_use_the_time_axis_and_respect_enable_fillna(cls):
    # a straight line in time sampled unevenly: every method reproduces it inside
    t = np.array([0.0, 1.0, 2.0, 5.0, 6.0, 7.0, 9.0, 10.0, 11.0, 12.0])
    y = 2.0 * t + 1.0
    X = np.column_stack([t, y])
    X[[3, 6], 1] = np.nan
    X[[0, 9], 1] = np.nan
    out = cls(time_column=0).fit_transform(X)
    np.testing.assert_allclose(out[[3, 6], 1], y[[3, 6]], atol=1e-9)
    np.testing.assert_allclose(out[[0, 9], 1], [y[1], y[8]])
    kept = cls(time_column=0, enable_fillna=False).fit_transform(X)
    assert np.isnan(kept[[0, 9], 1]).all() and np.isfinite(kept[1:9]).all()


@pytest.mark.parametrize("cls", [PolynomialImputer, SplineImputer])
def test_order_is_checked(cls):
    with pytest.raises(ValueError, match="order"):
        cls(order=0).fit(np.ones((4, 1)))


@pytest.mark.parametrize("cls", LOW_RANK)
def test_low_rank_recovers_a_clean_seasonal_series(cls):
    clean, gappy, hole = seasonal(n=240, period=12, share=0.25)
    linear = rmse(LinearImputer(time_column=0).fit_transform(gappy), clean, hole)
    imp = cls(time_column=0, order=12, max_iter=30, tol=1e-6)
    got = rmse(imp.fit_transform(gappy), clean, hole)
    assert got < 0.5 * linear
    assert 1 <= imp.n_iter_ <= 30


def test_low_rank_stops_at_tolerance_and_clones_the_scaler():
    clean, gappy, hole = seasonal(share=0.2)
    loose = PCAImputer(time_column=0, tol=10.0, max_iter=50).fit(gappy)
    assert loose.n_iter_ == 1
    scaler = StandardScaler()
    imp = PCAImputer(time_column=0, scaler=scaler, order=12).fit(gappy)
    assert imp.scaler_ is not scaler and not hasattr(scaler, "mean_")
    assert rmse(imp.transform(gappy), clean, hole) < 1.0


def test_predictive_uses_the_other_columns():
    rng = np.random.default_rng(4)
    n = 300
    a = np.cumsum(rng.normal(size=n))
    X = np.column_stack([np.arange(n, dtype=float), a, 3 * a + 1])
    Xm = X.copy()
    hole = np.zeros((n, 2), bool)
    hole[50:80, 1] = True  # a long gap in the second column, the first one observed
    Xm[:, 1:][hole] = np.nan
    model = LinearRegression()
    imp = PredictiveImputer(time_column=0, order=1, base_model=model)
    out = imp.fit_transform(Xm)
    assert rmse(out, X, hole) < 1e-6
    assert not hasattr(model, "coef_")  # the given model is never fitted itself
    assert set(imp.models_) == {0, 1}  # the complete column gets a model for new data
    fresh = X[:100].copy()
    fresh[10:20, 1] = np.nan
    np.testing.assert_allclose(imp.transform(fresh)[10:20, 1], X[10:20, 1], atol=1e-6)


def test_flatten_with_a_plain_scikit_learn_base_imputer():
    clean, gappy, hole = seasonal(noise=0.1)
    base = SimpleImputer()
    imp = FlattenImputer(time_column=0, order=3, base_imputer=base)
    out = imp.fit_transform(gappy)
    assert np.isfinite(out).all() and not hasattr(base, "statistics_")
    assert imp.window_ == 3 and imp.model_imputer_.n_features_in_ == 3


def test_shared_estimators_stay_unfitted_and_independent():
    clean, gappy, hole = seasonal(noise=0.2)
    _, other, _ = seasonal(n=400, period=7, seed=9, share=0.3)
    shared = PreMLImputer()
    a = PCAImputer(time_column=0, base_imputer=shared)
    b = PCAImputer(time_column=0, base_imputer=shared)
    first = a.fit(gappy).transform(gappy[:120])
    b.fit(other)
    np.testing.assert_allclose(a.transform(gappy[:120]), first)
    assert a.base_imputer_ is not b.base_imputer_ and not hasattr(shared, "n_features_in_")


def test_nmf_refuses_new_values_below_what_it_can_represent():
    clean, gappy, _ = seasonal()  # values from about 10 upwards: factorised unshifted
    imp = NMFImputer(time_column=0).fit(gappy)
    assert np.isfinite(imp.transform(gappy[:60] - 9.0)).all()  # still non-negative
    with pytest.raises(ValueError, match="NMFImputer: the new data go below .* 0"):
        imp.transform(gappy[:60] - 40.0)
    # Fitted on data reaching below zero, it takes new values down to that minimum.
    low = gappy.copy()
    low[:, 1] -= 30.0
    imp = NMFImputer(time_column=0).fit(low)
    assert np.isfinite(imp.transform(low[:60])).all()
    with pytest.raises(ValueError, match="training minimum"):
        imp.transform(low[:60] - 50.0)
