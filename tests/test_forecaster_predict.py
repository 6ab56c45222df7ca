"""Prediction: ordinary forecasts, forecasts after new rows, their printed skips and errors.

Engine models are driven by the forecaster's C++ loop; wrapped in a Python proxy they go
through the general path. Both must give the same numbers, lines and errors.
"""

import pickle

import numpy as np
import pytest
from engine_proxy import Proxy, proxied
from helpers import fit_forecaster, message
from sklearn.exceptions import NotFittedError

from tidewell_ts_libs.quillcast import quillcast_estimator as qe
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def series(n=60, targets=2, start=0, step=1):
    t = np.arange(start, start + n * step, step, dtype=float)
    cols = [30 + 0.2 * t + 5 * np.sin(2 * np.pi * (t / step + 3 * k) / 12) for k in range(targets)]
    return t, np.column_stack(cols)


def trained(ts=False, targets=2, **kw):
    return fit_forecaster(*series(targets=targets), ts=ts, **kw)


def both(**kw):
    f = trained(**kw)
    return f, proxied(f)


def test_forecast_without_new_data():
    f = trained(prediction_horizon=4)
    out = f.predict()
    assert out.shape == (4, 2) and out.dtype == np.float64
    assert f.predict(prediction_horizon=3).shape == (3, 2)
    np.testing.assert_array_equal(f.predict(np.empty((0, 2))), out)
    np.testing.assert_array_equal(f.predict(prediction_type="other"), out)
    assert f.predict(prediction_horizon=0).shape == (0,)
    # The trained models forecast e^y - 2 of their log-scale forecasts.
    raw = [[m.forecast_at(59.0 + k) for m in f.model] for k in (1, 2, 3, 4)]
    np.testing.assert_allclose(out, np.expm1(raw) - 1)


def test_non_finite_forecasts_become_zero_before_the_inverse_transform():
    class Broken(Proxy):
        def forecast_at(self, t):
            return float("nan") if t < 61 else float("inf")

    f = trained(targets=1)
    f.model = [Broken(f.model[0])]
    np.testing.assert_array_equal(f.predict(prediction_horizon=2), [[-1.0], [-1.0]])
    f.log_transformed = False
    np.testing.assert_array_equal(f.predict(prediction_horizon=2), [[0.0], [0.0]])


def test_engine_error_without_new_data_becomes_exception():
    class Failing(Proxy):
        def forecast_at(self, t):
            raise KeyError("engine says no")

    f = trained(targets=1)
    f.model = [Failing(f.model[0])]
    with pytest.raises(Exception) as e:
        f.predict()
    assert type(e.value) is Exception and str(e.value) == str(KeyError("engine says no"))


@pytest.mark.parametrize("ts", [False, True])
def test_new_rows_update_copies_not_the_trained_models(ts):
    f = trained(ts=ts, prediction_horizon=2)
    before = f.predict()
    t, V = series(n=8, start=60)
    X = np.column_stack([t, V]) if ts else V
    out = f.predict(X)
    assert out.shape == (2, 2)
    assert [m.last_time_updated for m in f.model_update_predict] == [67, 67]
    assert [m.last_time_updated for m in f.model] == [59, 59]
    np.testing.assert_array_equal(f.predict(), before)
    np.testing.assert_array_equal(f.predict(X), out)  # each call starts from fresh copies


def test_predict_on_history_single_continues_from_the_copies():
    f = trained(targets=1)
    t, V = series(n=4, start=60, targets=1)
    f.model_update_predict = f.get_models_copy()
    f.predict_on_history_single(V[:2])
    step = f.predict_on_history_single(V[2:])
    np.testing.assert_array_equal(step, f.predict(V))


@pytest.mark.parametrize("ts", [False, True])
@pytest.mark.parametrize("log", [True, False])
def test_fast_and_general_paths_agree(capsys, ts, log):
    f, g = both(ts=ts, log_transform=log, prediction_horizon=3)
    t, V = series(n=12, start=60)
    if ts:
        t[3] = t[2]        # not newer: skipped row
        t[6] = t[5] + 1    # uneven spacing
        t[7] = t[6] + 3
    X = np.column_stack([t, V]) if ts else V
    a = f.predict(X)
    out_fast = capsys.readouterr().out
    b = g.predict(X)
    out_general = capsys.readouterr().out
    np.testing.assert_array_equal(a, b)
    assert out_fast == out_general
    if ts:
        assert "Skipping Update model, current timestamp is older than previous one." in out_fast


def test_skip_lines(capsys):
    f = trained(ts=True, targets=1)
    X = np.array([[59.0, 40.0], [60.0, 41.0], [60.0, 42.0]])
    out = f.predict(X, prediction_horizon=1)
    assert capsys.readouterr().out == (
        "Skipping Update model, current timestamp is older than previous one.\n"
        "Current Timestamp 59.0 Previous Timestamp was  59\n"
        "Skipping Update model, current timestamp is older than previous one.\n"
        "Current Timestamp 60.0 Previous Timestamp was  60.0\n")
    assert f.model_update_predict[0].last_time_updated == 60
    np.testing.assert_array_equal(out, f.predict(X[1:2], prediction_horizon=1))


def test_minus_two_cannot_be_log_transformed(capsys):
    f = trained(ts=True, targets=1)
    with pytest.raises(Warning, match="-2 or below"):
        f.predict(np.array([[60.0, -2.0]]))
    assert capsys.readouterr().out == ""


def test_not_fitted():
    text = message("TIDEWELLTSLIBS0056E") % {"name": "QuillcastForecaster"}
    f = QuillcastForecaster()
    for call in (lambda: f.predict_on_history_single(None), lambda: f.predict(np.ones((2, 1)))):
        with pytest.raises(Exception) as e:
            call()
        assert type(e.value) is Exception and str(e.value) == text
    # A check bound in the module's place decides, even for a fitted forecaster.
    fitted = trained()
    seen = []

    def refuse(est, attributes, msg):
        seen.append(attributes)
        raise NotFittedError(msg % {"name": "it"})

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(qe, "check_is_fitted", refuse, raising=False)
        with pytest.raises(Exception, match="it"):
            fitted.predict(np.ones((1, 2)))
    assert seen == ["is_fitted_"]


def test_nan_in_new_data():
    f = trained()
    block = np.array([[1.0, 5.0, 7.0], [2.0, 6.0, np.nan]])
    # a list, a float array, a strided view of one, and whole numbers with a NaN beside them
    for rows in ([[1.0, np.nan]], block[:, 1:], block[:, ::2], np.asfortranarray(block[:, 1:])):
        with pytest.raises(Exception) as e:
            f.predict(rows)
        assert str(e.value) == message("TIDEWELLTSLIBS0067E")
        assert f.model_update_predict is None


@pytest.mark.parametrize("ts_col_loc, X, mid, args", [
    ([4], np.ones((2, 3)), "TIDEWELLTSLIBS0005E", ("4",)),
    (-3, np.ones((2, 3)), "TIDEWELLTSLIBS0005E", ("-3",)),
    (-1, np.ones((2, 2)), "TIDEWELLTSLIBS0006E", ("1", "2")),
])
def test_layout_errors(ts_col_loc, X, mid, args):
    f = trained(ts=True)
    with pytest.raises(RuntimeError) as e:
        f.predict(X, ts_col_loc=ts_col_loc)
    assert str(e.value) == message(mid, *args)


def test_values_below_minus_two_raise_warning():
    f = trained(ts=True)
    with pytest.raises(Warning) as e:
        f.predict(np.array([[60.0, 1.0, -3.0]]))
    assert type(e.value) is Warning and str(e.value) == message("TIDEWELLTSLIBS0007E")


def test_infinite_values_are_rejected_by_validation():
    with pytest.raises(ValueError):
        trained().predict(np.array([[1.0, np.inf]]))


def test_timestamp_column_given_at_prediction():
    f = trained(targets=1)  # trained without timestamp column
    t, V = series(n=3, start=60, targets=1)
    a = f.predict(np.column_stack([V, t]), ts_col_loc=[1])
    np.testing.assert_array_equal(a, f.predict(V))


@pytest.mark.parametrize("proxy", [False, True])
def test_engine_error_after_update_passes_unchanged(proxy):
    f = trained(targets=1)
    if proxy:
        f = proxied(f)

    def reset_copies():
        copies = pickle.loads(pickle.dumps(f.model))
        for m in copies:
            m.reset_model()
        return copies

    f.get_models_copy = reset_copies
    with pytest.raises(RuntimeError, match="not initialised"):
        f.predict(np.ones((1, 1)))


def test_chosen_targets_are_fed_their_own_columns():
    t, V = series(n=60, targets=2)
    X = np.column_stack([t, V])
    f = QuillcastForecaster(ts_icol_loc=[0], target_column_indices=[2], samples_per_season=12)
    f.fit(X, None, _reset_model=True)
    t2, V2 = series(n=5, start=60, targets=2)
    full = f.predict(np.column_stack([t2, V2]))
    only_target = f.predict(np.column_stack([t2, V2[:, 1]]))
    np.testing.assert_array_equal(full, only_target)


@pytest.mark.parametrize("ptype", ["forecast", "", "other", "Forecast"])
def test_ordinary_prediction_types(ptype):
    f = trained(prediction_horizon=2)
    np.testing.assert_array_equal(f.predict(prediction_type=ptype), f.predict())


def test_debug_lines(capsys):
    f = trained(targets=1, debug=True)
    capsys.readouterr()
    X = np.array([[40.0]])
    f.predict(X)
    cls = str(QuillcastForecaster)
    assert capsys.readouterr().out == f"{cls} predict \n X=={X}\n{cls} fit \n X=={X}\n"
