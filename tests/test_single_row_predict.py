"""predict(X=row): the short paths a single new row takes give what the general steps give."""

import pickle

import numpy as np
import pytest
from helpers import fit_forecaster

from tidewell_ts_libs.quillcast import quillcast_estimator as qe


def trained(algorithm="hw", n=96, **kw):
    t = np.arange(n + 40, dtype=float)
    y = 50 + 0.1 * t + 6 * np.sin(2 * np.pi * t / 12)
    f = fit_forecaster(t[:n], y[:n].reshape(-1, 1), algorithm=algorithm, **kw)
    return f, y[n:].reshape(-1, 1)


@pytest.mark.parametrize("algorithm", ["hw", "arima", "bats"])
@pytest.mark.parametrize("k", [1, 15, 16, 17])
def test_rows_on_either_side_of_the_gil_threshold_match_training_on_them(algorithm, k):
    f, new = trained(algorithm, prediction_horizon=3)
    got = f.predict(X=new[:k])
    g = pickle.loads(pickle.dumps(f))
    g.fit(new[:k], None)  # continues the trained models with the rows
    np.testing.assert_allclose(got, g.predict(), rtol=1e-12)
    assert f.model[0].last_time_updated == 95  # the trained models are untouched


def test_argument_spellings_give_the_same_forecast():
    f, new = trained(prediction_horizon=2)
    row = new[:1]
    want = f.predict(X=row)
    assert want.shape == (2, 1)
    for kw in (
        {"prediction_horizon": 2},
        {"prediction_horizon": np.int64(2)},
        {"prediction_horizon": np.int64(-1)},
        {"ts_col_loc": np.int64(-1)},
        {"prediction_type": "Forecast"},
        {"prediction_type": "FORECAST"},
    ):
        np.testing.assert_array_equal(f.predict(X=row, **kw), want, err_msg=str(kw))
    np.testing.assert_array_equal(f.predict(X=row.tolist()), want)
    np.testing.assert_array_equal(f.predict(X=np.asfortranarray(row.astype(np.float32))),
                                  f.predict(X=row.astype(np.float32).astype(float)))
    sliding = f.predict(X=new[:3], prediction_type="Sliding_Window", prediction_horizon=1)
    np.testing.assert_array_equal(sliding, f.predict_sliding_window(new[:3]))


@pytest.mark.parametrize("h, error, text", [
    (2**70, ValueError, "above the limit"),
    (1000001, ValueError, "above the limit"),
    (-2, ValueError, "got -2"),
    (1.0, TypeError, "must be an integer"),
])
def test_bad_horizons_are_still_refused(h, error, text):
    f, new = trained()
    with pytest.raises(error, match=text):
        f.predict(X=new[:1], prediction_horizon=h)


def test_replaced_module_names_are_still_used(monkeypatch):
    f, new = trained()
    calls = []

    original = qe.check_array

    def counting(X, **kw):
        calls.append(kw)
        return original(X, **kw)

    want = f.predict(X=new[:1])
    monkeypatch.setattr(qe, "check_array", counting)
    np.testing.assert_array_equal(f.predict(X=new[:1]), want)
    assert calls == [{"accept_sparse": False}]
    # Put back in its place afterwards: a name deleted and restored would move to the end of
    # the module's namespace, which another test reads in load order.
    names = vars(qe)
    saved = list(names.items())
    del names["np"]
    try:
        with pytest.raises(NameError, match="'np'"):
            f.predict(X=np.array([[np.nan]]))
    finally:
        names.clear()
        names.update(saved)


def test_an_instance_override_of_the_row_feeding_is_honoured():
    f, new = trained()
    seen = []
    f.predict_on_history_single = lambda X, **kw: seen.append(len(X)) or np.zeros((1, 1))
    np.testing.assert_array_equal(f.predict(X=new[:1]), np.zeros((1, 1)))
    assert seen == [1]


@pytest.mark.parametrize("k", [1, 2, 15, 16, 17])
def test_selector_rows_match_training_on_them_bounds_included(k):
    # The selector scores and calibrates every candidate on each row: its forecast and its
    # bounds after the rows are those of a training continued with them.
    f, new = trained("autoforecaster", n=120, prediction_horizon=3)
    got = f.predict(X=new[:k])
    got_lo, got_hi = f.predict_interval(X=new[:k], level=80)
    g = pickle.loads(pickle.dumps(f))
    g.fit(new[:k], None)
    np.testing.assert_allclose(got, g.predict(), rtol=1e-12)
    lo, hi = g.predict_interval(level=80)
    np.testing.assert_allclose(got_lo, lo, rtol=1e-12)
    np.testing.assert_allclose(got_hi, hi, rtol=1e-12)
    # Repeated calls (which meet the quantiles they asked before) give the same bits.
    np.testing.assert_array_equal(f.predict(X=new[:k]), got)
    assert f.model[0].last_time_updated == 119


@pytest.mark.parametrize("algorithm", ["hw", "arima", "autoforecaster", "intermittent"])
def test_one_row_sliding_window_is_the_forecast_of_the_trained_models(algorithm):
    f, new = trained(algorithm, n=120)
    before = f.model[0].serialize()
    got = f.predict_sliding_window(new[:1], prediction_horizon=1)
    assert got.shape == (1, 1) and got.dtype == np.float64
    np.testing.assert_array_equal(got, f.predict(prediction_horizon=1))
    np.testing.assert_array_equal(f.predict_sliding_window(new[:1], prediction_horizon=2),
                                  f.predict(prediction_horizon=2))
    # The working copies it leaves are copies: feeding them leaves the trained models as they were.
    copies = f.model_update_predict
    assert copies[0] is not f.model[0]
    copies[0].update_model(copies[0].last_time_updated + 1, float(new[1, 0]))
    assert f.model[0].serialize() == before
    # With more rows the window goes on from that first block.
    many = f.predict_sliding_window(new[:4], prediction_horizon=1)
    np.testing.assert_array_equal(many[:1], got)


def test_methods_bind_as_python_functions_do():
    # The method type binds through its own slot: class access gives the method itself, instance
    # access a bound method of that instance, and an instance attribute of the name wins.
    f, new = trained()
    method = type(f).__dict__["predict"]
    assert type(f).predict is method
    bound = f.predict
    assert bound.__self__ is f and bound.__func__ is method
    assert method.__get__(None, type(f)) is method
    np.testing.assert_array_equal(method(f, X=new[:1]), bound(X=new[:1]))
    f.predict = lambda **kw: "own"
    assert f.predict() == "own"
