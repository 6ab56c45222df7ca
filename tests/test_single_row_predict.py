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
    monkeypatch.delattr(qe, "np")
    with pytest.raises(NameError, match="'np'"):
        f.predict(X=np.array([[np.nan]]))


def test_an_instance_override_of_the_row_feeding_is_honoured():
    f, new = trained()
    seen = []
    f.predict_on_history_single = lambda X, **kw: seen.append(len(X)) or np.zeros((1, 1))
    np.testing.assert_array_equal(f.predict(X=new[:1]), np.zeros((1, 1)))
    assert seen == [1]
