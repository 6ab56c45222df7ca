"""Sliding-window prediction (one-step and multi-step), on both model paths."""

import numpy as np
import pytest
from engine_proxy import proxied
from helpers import fit_forecaster, trend_season

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.utils.messages.messages import Messages


def series(n, start=0, targets=2):
    t = np.arange(start, start + n, dtype=float)
    cols = [trend_season(t, 25, 0.1, 4, phase=2 * k) for k in range(targets)]
    return t, np.column_stack(cols)


def trained(ts=False, targets=2, **kw):
    return fit_forecaster(*series(60, targets=targets), ts=ts, **kw)


def new_rows(n, ts=False, targets=2):
    t, V = series(n, start=60, targets=targets)
    return np.column_stack([t, V]) if ts else V


@pytest.mark.parametrize("n, h, rows", [(1, 1, 1), (7, 1, 7), (1, 3, 3), (5, 2, 10)])
def test_one_step_window_shape(n, h, rows):
    f = trained()
    assert f.predict_sliding_window(new_rows(n), prediction_horizon=h).shape == (rows, 2)


@pytest.mark.parametrize("n, h, rows", [(10, 3, 24), (3, 3, 3), (2, 3, 3), (4, 3, 6),
                                        (10, 1, 10)])
def test_multi_step_window_shape(n, h, rows):
    f = trained()
    X = new_rows(n)
    out = f.predict_multi_step_sliding_window(X, prediction_horizon=h)
    assert out.shape == (rows, 2)
    if h == 1:
        np.testing.assert_array_equal(out, f.predict_sliding_window(X))


def test_row_i_is_the_forecast_after_rows_before_it():
    f = trained()
    X = new_rows(6)
    out = f.predict_sliding_window(X)
    np.testing.assert_array_equal(out[0:1], f.predict(prediction_horizon=1))
    for i in range(1, 6):
        np.testing.assert_allclose(out[i:i + 1], f.predict(X[:i], prediction_horizon=1),
                                   rtol=0, atol=1e-9)
    assert [m.last_time_updated for m in f.model_update_predict] == [64, 64]


def test_multi_step_blocks():
    f = trained()
    X = new_rows(8)
    out = f.predict_multi_step_sliding_window(X, prediction_horizon=3)
    blocks = out.reshape(6, 3, 2)
    np.testing.assert_array_equal(blocks[0], f.predict(prediction_horizon=3))
    np.testing.assert_allclose(blocks[4], f.predict(X[:4], prediction_horizon=3), atol=1e-9)


def test_predict_dispatches_sliding_types():
    f = trained(prediction_horizon=5)
    X = new_rows(4)
    a = f.predict(X, prediction_type="SLIDING_WINDOW")
    assert a.shape == (20, 2)  # the attribute horizon for every block
    np.testing.assert_array_equal(a, f.predict_sliding_window(X, prediction_horizon=-1))
    b = f.predict(X, prediction_horizon=3, prediction_type="Sliding_Window")
    np.testing.assert_array_equal(b, f.predict_multi_step_sliding_window(X, 3))
    assert b.shape == (6, 2)


@pytest.mark.parametrize("h", [0, -1, -5, 2.5])
def test_multi_step_needs_a_horizon_of_at_least_one(h):
    f = trained()
    f.model_update_predict = "untouched"
    with pytest.raises(ValueError, match="prediction_horizon"):
        f.predict_multi_step_sliding_window(new_rows(5), prediction_horizon=h)
    assert f.model_update_predict == "untouched"


def test_zero_horizon_gives_empty_array():
    assert trained().predict_sliding_window(new_rows(4), prediction_horizon=0).shape == (0,)


def test_nan_fails_before_anything(capsys):
    f = trained()
    X = new_rows(4)
    X[3, 0] = np.nan
    for method in (f.predict_sliding_window, f.predict_multi_step_sliding_window):
        with pytest.raises(Exception) as e:
            method(X, prediction_horizon=2)
        assert str(e.value) == Messages.get_message(message_id="TIDEWELLTSLIBS0067E")
    assert f.model_update_predict is None and capsys.readouterr().out == ""


def test_none_fails_after_the_first_block():
    f = trained()
    with pytest.raises(TypeError):
        f.predict_sliding_window(None)
    assert f.model_update_predict is not None


def test_failed_copy_fails_at_the_first_fed_row(capsys):
    f = trained()
    f.get_models_copy = lambda: None
    with pytest.raises(TypeError):
        f.predict_sliding_window(new_rows(3))
    assert f.predict_sliding_window(new_rows(1)).shape == (1, 2)


def test_not_fitted():
    with pytest.raises(Exception) as e:
        QuillcastForecaster().predict_sliding_window(np.ones((3, 1)))
    assert str(e.value) == Messages.get_message(message_id="TIDEWELLTSLIBS0056E") % {
        "name": "QuillcastForecaster"}


@pytest.mark.parametrize("multi", [False, True])
@pytest.mark.parametrize("ts", [False, True])
@pytest.mark.parametrize("log", [True, False])
def test_fast_and_general_paths_agree(capsys, multi, ts, log):
    f = trained(ts=ts, log_transform=log, prediction_horizon=2)
    g = proxied(f)
    X = new_rows(14, ts=ts)
    if ts:
        X[3, 0] = X[2, 0]          # repeated timestamp
        X[8, 0] = X[7, 0] + 1      # uneven spacing
        X[9, 0] = X[8, 0] + 3
    X[13, -1] = np.inf  # never fed: the last row is only a target
    method = "predict_multi_step_sliding_window" if multi else "predict_sliding_window"
    if log:  # -2 cannot be log-transformed: both paths refuse the window
        bad = X.copy()
        bad[5, -1] = -2.0
        for model in (f, g):
            with pytest.raises(Warning, match="-2 or below"):
                getattr(model, method)(bad, prediction_horizon=3 if multi else 1)
        capsys.readouterr()
    h = 3 if multi else 1
    if multi:
        X[11:, -1] = np.inf  # the last h rows are never fed either
    a = getattr(f, method)(X, prediction_horizon=h)
    out_fast = capsys.readouterr().out
    b = getattr(g, method)(X, prediction_horizon=h)
    out_general = capsys.readouterr().out
    np.testing.assert_array_equal(a, b)
    assert out_fast == out_general
    assert a.shape == ((1 + 14 - h) * h, 2)
    if ts:
        assert out_fast.count("older than previous one") >= 1


def test_repeated_timestamps_repeat_the_previous_forecast(capsys):
    f = trained(ts=True, targets=1)
    X = np.array([[60.0, 30.0], [60.0, 31.0], [61.0, 32.0]])
    out = f.predict_sliding_window(X)
    assert out[2, 0] == out[1, 0]
    assert capsys.readouterr().out == (
        "Skipping Update model, current timestamp is older than previous one.\n"
        "Current Timestamp 60.0 Previous Timestamp was  60\n")


@pytest.mark.parametrize("proxy", [False, True])
def test_warning_at_the_row_that_cannot_be_transformed(capsys, proxy):
    f = trained(ts=True, targets=1)
    if proxy:
        f = proxied(f)
    X = new_rows(6, ts=True, targets=1)
    X[1, 0] = X[0, 0]  # printed before the failing row
    X[3, 1] = -7.0
    with pytest.raises(Warning) as e:
        f.predict_sliding_window(X)
    assert str(e.value) == Messages.get_message(message_id="TIDEWELLTSLIBS0007E")
    assert capsys.readouterr().out.count("older than previous one") == 1
    assert f.model_update_predict[0].last_time_updated == 62


@pytest.mark.parametrize("ts_col_loc, mid, args", [([7], "TIDEWELLTSLIBS0005E", ("7",)),
                                                    (2, "TIDEWELLTSLIBS0005E", ("2",))])
def test_layout_errors_after_the_first_block(ts_col_loc, mid, args):
    f = trained(targets=1)
    with pytest.raises(RuntimeError) as e:
        f.predict_sliding_window(np.column_stack([np.arange(3.0), np.ones(3)]),
                                 ts_col_loc=ts_col_loc)
    assert str(e.value) == Messages.get_message(*args, message_id=mid)


def test_overridden_row_call_is_used():
    calls = []

    class Counting(QuillcastForecaster):
        def predict_on_history_single(self, X, prediction_horizon=-1, ts_col_loc=-1):
            calls.append(None if X is None else len(X))
            return super().predict_on_history_single(X, prediction_horizon, ts_col_loc)

    t, V = series(60)
    f = Counting(samples_per_season=12).fit(V, None, _reset_model=True)
    f.predict_sliding_window(new_rows(4))
    assert calls == [None, 1, 1, 1]


def test_score_is_negative_smape_of_one_step_forecasts():
    f = trained()
    X = new_rows(12)
    s = f.score(X)
    fc = f.predict_sliding_window(X)
    expected = -np.mean(200 * np.abs(fc - X) / (np.abs(fc) + np.abs(X)))
    assert s == pytest.approx(expected) and -5 < s <= 0
    assert f.score(X, X) == pytest.approx(s)
    w = np.r_[np.zeros(11), 1.0]
    row = np.mean(200 * np.abs(fc[-1] - X[-1]) / (np.abs(fc[-1]) + np.abs(X[-1])))
    assert f.score(X, sample_weight=w) == pytest.approx(-row)
    with pytest.raises(ValueError):
        f.score(X, X[:5])
