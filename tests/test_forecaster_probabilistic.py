"""Quantiles, sample paths and non-negative forecasts of QuillcastForecaster: predict_quantiles,
simulate and the nonnegative option, for every algorithm of the model table."""

import pickle

import numpy as np
import pytest
from joblib import Parallel, delayed
from sklearn.base import clone

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

ALGORITHMS = ["hw", "arima", "arma", "bats", "autoforecaster", "intermittent"]


def monthly(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return 100 + 0.4 * t + 8 * np.sin(2 * np.pi * t / 12) + np.cumsum(rng.normal(size=n))


def count_series(n, seed=1):
    """Small counts with many zeros, as intermittent demand is."""
    rng = np.random.default_rng(seed)
    return np.where(rng.random(n) < 0.45, rng.integers(1, 5, n), 0).astype(float)


def series_for(algorithm, n=96):
    if algorithm == "intermittent":
        return count_series(n)
    return monthly(n)


def fitted(algorithm, targets=1, horizon=6, **kw):
    y = series_for(algorithm)
    X = np.column_stack([y * (1 + 0.3 * j) for j in range(targets)])
    f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=horizon, **kw)
    return f.fit(X, None, _reset_model=True)


@pytest.fixture(scope="module")
def forecasters():
    return {a: fitted(a, targets=2) for a in ALGORITHMS}


# ---------------------------------------------------------------------------------------------
# Quantiles


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_quantiles_are_monotone_and_the_bands_exactly(forecasters, algorithm):
    f = forecasters[algorithm]
    probs = [0.01, 0.025, 0.05, 0.1, 0.3, 0.5, 0.7, 0.9, 0.95, 0.975, 0.99]
    q = f.predict_quantiles(quantiles=probs)
    assert list(q) == probs and all(type(k) is float for k in q)
    fc = f.predict()
    for a, b in zip(probs[:-1], probs[1:], strict=True):
        assert q[a].shape == fc.shape == (6, 2)
        assert np.all(q[a] <= q[b])
    if algorithm == "intermittent":
        # Demand in fewer than half of the periods: the median is none, the forecast a mean rate.
        assert np.all(q[0.5] == 0) and np.all(fc > 0)
    else:
        np.testing.assert_array_equal(q[0.5], fc)
    bands = f.predict_interval(level=[80, 95])
    from_array = f.predict_interval(level=np.array([80, 95]))  # an array is a list of levels
    assert list(from_array) == [80, 95]
    np.testing.assert_array_equal(from_array[95][1], bands[95][1])
    if algorithm == "intermittent":
        # One-sided bands [0, upper]: the band of level L reaches the quantile L / 100.
        own = f.predict_quantiles(quantiles=[0.8, 0.95])
        assert np.all(bands[80][0] == 0) and np.all(bands[95][0] == 0)
        np.testing.assert_array_equal(own[0.8], bands[80][1])
        np.testing.assert_array_equal(own[0.95], bands[95][1])
        return
    np.testing.assert_array_equal(q[0.1], bands[80][0])
    np.testing.assert_array_equal(q[0.9], bands[80][1])
    np.testing.assert_array_equal(q[0.025], bands[95][0])
    np.testing.assert_array_equal(q[0.975], bands[95][1])


def test_quantiles_after_new_rows_follow_predict_and_the_horizon():
    y = monthly(90)
    f = QuillcastForecaster(algorithm="hw", prediction_horizon=4).fit(
        y[:80].reshape(-1, 1), None, _reset_model=True
    )
    new = y[80:].reshape(-1, 1)
    q = f.predict_quantiles(new, prediction_horizon=7, quantiles=(0.1, 0.5))
    np.testing.assert_array_equal(q[0.5], f.predict(new, prediction_horizon=7))
    np.testing.assert_array_equal(q[0.1], f.predict_interval(new, prediction_horizon=7, level=80)[0])
    assert q[0.1].shape == (7, 1)
    # The trained models did not move.
    np.testing.assert_array_equal(f.predict_quantiles(quantiles=[0.5])[0.5], f.predict())
    for one in (0.25, np.float32(0.25), np.array(0.25)):
        assert list(f.predict_quantiles(quantiles=one)) == [0.25]


@pytest.mark.parametrize("bad", [0, 1, 1.5, -0.1, float("nan"), "0.5", True, None])
def test_bad_quantiles_are_refused_naming_the_value(forecasters, bad):
    with pytest.raises(ValueError, match="quantiles") as err:
        forecasters["hw"].predict_quantiles(quantiles=[0.5, bad])
    assert repr(bad) in str(err.value)


def test_no_quantile_at_all_is_refused(forecasters):
    for empty in ([], (), np.array([])):
        with pytest.raises(ValueError, match="at least one"):
            forecasters["hw"].predict_quantiles(quantiles=empty)


# ---------------------------------------------------------------------------------------------
# Sample paths


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_paths_agree_with_the_forecast_and_the_quantiles(forecasters, algorithm):
    f = forecasters[algorithm]
    paths = f.simulate(n_paths=2000, random_state=5)
    assert paths.shape == (2000, 6, 2) and paths.dtype == np.float64
    assert np.all(np.isfinite(paths))
    probs = [0.05, 0.25, 0.5, 0.75, 0.95]
    q = f.predict_quantiles(quantiles=probs)
    spread = q[0.95] - q[0.05] + 1e-9
    for p in probs:
        # Monte-Carlo error of an empirical quantile of 2000 draws, in units of the spread.
        np.testing.assert_array_less(np.abs(np.quantile(paths, p, axis=0) - q[p]), 0.06 * spread)
    if algorithm != "intermittent":  # whose forecast is a mean demand, not the median
        assert np.all(np.abs(paths.mean(axis=0) - f.predict()) < 0.08 * spread)


def test_paths_carry_the_walk_of_the_recursion():
    # A random walk: a path high at one step stays high later, unlike independent draws.
    y = 100 + np.cumsum(np.random.default_rng(3).normal(size=150))
    f = QuillcastForecaster(algorithm="arima", prediction_horizon=8, log_transform=False)
    f.fit(y.reshape(-1, 1), None, _reset_model=True)
    paths = f.simulate(n_paths=1000, random_state=1)[:, :, 0]
    assert np.corrcoef(paths[:, 3], paths[:, 7])[0, 1] > 0.5
    # So the total over the lead time spreads more than the sum of independent steps would.
    total = paths.sum(axis=1)
    independent = np.sqrt((paths.std(axis=0) ** 2).sum())
    assert total.std() > 1.3 * independent


def test_arguments_of_simulate(forecasters):
    f = forecasters["hw"]
    assert f.simulate(prediction_horizon=3, n_paths=5, random_state=0).shape == (5, 3, 2)
    assert f.simulate(prediction_horizon=0, n_paths=5, random_state=0).shape == (5, 0, 2)
    for bad, error in [(0, ValueError), (-3, ValueError), (2.5, TypeError), (True, TypeError)]:
        with pytest.raises(error, match="n_paths"):
            f.simulate(n_paths=bad)
    for bad, error in [(-1, ValueError), (2**64, ValueError), ("7", TypeError), (1.0, TypeError)]:
        with pytest.raises(error, match="random_state"):
            f.simulate(n_paths=5, random_state=bad)
    with pytest.raises(Exception, match="fitted|fit"):
        QuillcastForecaster().simulate(n_paths=5)


# ---------------------------------------------------------------------------------------------
# Reproducibility


def _paths(f, seed):
    return f.simulate(n_paths=300, random_state=seed)


def test_a_seed_gives_the_same_bits_in_threads_and_processes(forecasters):
    f = forecasters["autoforecaster"]
    first = _paths(f, 123)
    np.testing.assert_array_equal(first, _paths(f, 123))
    np.testing.assert_array_equal(first, _paths(pickle.loads(pickle.dumps(f)), 123))
    assert not np.array_equal(first, _paths(f, 124))
    assert not np.array_equal(f.simulate(n_paths=50), f.simulate(n_paths=50))  # fresh entropy
    for backend in ("threading", "loky"):
        runs = Parallel(n_jobs=2, backend=backend)(delayed(_paths)(f, 123) for _ in range(3))
        for r in runs:
            np.testing.assert_array_equal(r, first)


def test_a_seed_gives_the_same_bits_under_dask(forecasters):
    dask = pytest.importorskip("dask")
    f = forecasters["hw"]
    first = _paths(f, 9)
    runs = dask.compute(*[dask.delayed(_paths)(f, 9) for _ in range(3)], scheduler="threads")
    for r in runs:
        np.testing.assert_array_equal(r, first)


def test_a_targets_paths_do_not_depend_on_the_other_targets():
    y = monthly(96)
    one = QuillcastForecaster(algorithm="hw", prediction_horizon=5)
    one.fit(y.reshape(-1, 1), None, _reset_model=True)
    two = QuillcastForecaster(algorithm="hw", prediction_horizon=5)
    two.fit(np.column_stack([y, y[::-1]]), None, _reset_model=True)
    np.testing.assert_array_equal(
        one.simulate(n_paths=100, random_state=4)[:, :, 0],
        two.simulate(n_paths=100, random_state=4)[:, :, 0],
    )


# ---------------------------------------------------------------------------------------------
# Non-negative forecasts


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_nonnegative_never_goes_below_zero_near_zero(algorithm):
    y = count_series(96, seed=7).reshape(-1, 1)
    plain = QuillcastForecaster(algorithm=algorithm, prediction_horizon=8, log_transform=False)
    plain.fit(y, None, _reset_model=True)
    f = QuillcastForecaster(
        algorithm=algorithm, prediction_horizon=8, log_transform=False, nonnegative=True
    )
    f.fit(y, None, _reset_model=True)
    lo, hi = f.predict_interval(level=99)
    outputs = [
        f.predict(),
        f.predict(y[-5:]),
        lo,
        hi,
        *f.predict_interval(y[-5:], level=95),
        *f.predict_quantiles(quantiles=[0.01, 0.2, 0.5, 0.9]).values(),
        f.simulate(n_paths=300, random_state=2),
    ]
    for out in outputs:
        assert np.all(out >= 0), out
    # Censoring at zero moves only what was below it.
    plain_lo, plain_hi = plain.predict_interval(level=99)
    np.testing.assert_array_equal(lo, np.maximum(plain_lo, 0))
    np.testing.assert_array_equal(hi, np.maximum(plain_hi, 0))


def test_nonnegative_is_a_parameter_and_survives_clone_and_pickle():
    f = QuillcastForecaster(nonnegative=True, prediction_horizon=3)
    assert f.get_params()["nonnegative"] is True
    assert QuillcastForecaster().get_params()["nonnegative"] is False
    assert clone(f).nonnegative is True
    assert f.set_params(nonnegative=False).nonnegative is False
    f.set_params(nonnegative=True).fit(count_series(60).reshape(-1, 1), None, _reset_model=True)
    again = pickle.loads(pickle.dumps(f))
    assert again.nonnegative is True
    np.testing.assert_array_equal(again.predict(), f.predict())
    # A pickle made before the option existed loads without it.
    state = dict(f.__getstate__())
    del state["nonnegative"]
    old = QuillcastForecaster.__new__(QuillcastForecaster)
    old.__setstate__(state)
    assert old.nonnegative is False and old.get_params()["nonnegative"] is False


def test_nonnegative_refuses_a_target_with_negative_values():
    X = np.column_stack([count_series(60), monthly(60)])
    X[17, 1] = -4.5
    f = QuillcastForecaster(nonnegative=True)
    with pytest.raises(ValueError, match=r"nonnegative.*target column 1.*-4\.5.*row 17"):
        f.fit(X, None, _reset_model=True)
    assert not hasattr(f, "is_fitted_")
    QuillcastForecaster().fit(X, None, _reset_model=True)  # without the option: trained


def test_intermittent_quantiles_and_paths_follow_the_demand_distribution():
    # Demand in 30% of the periods, gamma sizes: the quantiles are the distribution's own (the
    # "0.9" quantile was the upper end of the one-sided 80% band, its 0.8 quantile), and the
    # paths have the share of periods without demand and the mean of the forecast.
    below, total, path_mean, forecast, zeros = 0, 0, [], [], []
    for r in range(120):
        rng = np.random.default_rng(r)
        z = np.where(rng.random(156) < 0.3, rng.gamma(2.0, 2.0, 156), 0.0)
        est = QuillcastForecaster(algorithm="intermittent", prediction_horizon=6)
        est.fit(z[:150].reshape(-1, 1), None, _reset_model=True)
        q = est.predict_quantiles(quantiles=[0.5, 0.9])
        assert np.all(q[0.5] == 0)  # most periods bring no demand
        below += int(np.sum(z[150:] <= q[0.9][:, 0]))
        total += 6
        paths = est.simulate(n_paths=400, random_state=r)[:, 0, 0]
        path_mean.append(paths.mean())
        forecast.append(est.predict()[0, 0])
        zeros.append(np.mean(paths == 0))
    assert 0.85 <= below / total <= 0.95
    assert abs(np.mean(path_mean) / np.mean(forecast) - 1) < 0.03
    assert 0.65 <= np.mean(zeros) <= 0.75
