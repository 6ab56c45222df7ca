import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.utils import score
from tidewell_ts_libs.utils.messages.messages import Messages
from tidewell_ts_libs.utils.score import compute_prediction_accuracy, prepare_ground_truth


class RecordingMetrics:
    """Stands in for QuillcastUtils: NaN-aware MAE and MSE, the call number as R2 and SMAPE."""

    calls = []

    @classmethod
    def compute_metrics(cls, a, b):
        cls.calls.append((a.copy(), b.copy()))
        keep = ~np.isnan(a.ravel())
        err = a.ravel()[keep] - b.ravel()[keep]
        n = len(cls.calls)
        return float(np.mean(np.abs(err))), float(np.mean(err**2)), float(n), -float(n)


@pytest.fixture(autouse=True)
def metrics(monkeypatch):
    RecordingMetrics.calls = []
    monkeypatch.setattr(score, "QuillcastUtils", RecordingMetrics)
    return RecordingMetrics


def table_average(y_pred1D, ph):
    """Overlapping forecasts averaged through the full coverage table, in pandas."""
    forecasts = y_pred1D.reshape(-1, ph).tolist()
    width = len(forecasts) + ph - 1
    rows = [[np.nan] * i + r + [np.nan] * (width - i - ph) for i, r in enumerate(forecasts)]
    return np.asarray(pd.DataFrame(data=rows, index=None).mean(axis=0, skipna=True)).reshape(-1, 1)


def stacked(truth, ph, rng, noise=0.1):
    """Step-by-step forecasts of a series: the truth plus noise, stacked."""
    n = len(truth)
    return np.concatenate([truth[i : i + ph] + rng.normal(0, noise, ph) for i in range(n - ph + 1)])


Y2D = np.array([[1, 2], [3, 4], [5, 6], [7, 8]])


@pytest.mark.parametrize(
    "ph, step, expected",
    [
        (4, 1, [[1, 2, 3, 4, 5, 6, 7, 8]]),
        (3, 1, [[1, 2, 3, 4, 5, 6], [3, 4, 5, 6, 7, 8]]),
        (2, 1, [[1, 2, 3, 4], [3, 4, 5, 6], [5, 6, 7, 8]]),
        (2, 2, [[1, 2, 3, 4], [5, 6, 7, 8]]),
        (1, 1, Y2D.tolist()),
    ],
)
def test_prepare_ground_truth(ph, step, expected):
    np.testing.assert_array_equal(prepare_ground_truth(Y2D, stepsize=step, prediction_horizon=ph), expected)


def test_worked_example_single_target(metrics):
    y = np.array([1, 2, 3, 4, 5, 6.0]).reshape(-1, 1)
    y_pred = np.array([1.1, 2.1, 3.1, 2.2, 3.2, 4.2, 3.3, 4.3, 5.3, 4.4, 5.4, 6.4]).reshape(-1, 1)
    mae, mse, r2, smape, avg, mts = compute_prediction_accuracy(y, y_pred, 3)
    np.testing.assert_allclose(avg, [[1.1], [2.15], [3.2], [4.3], [5.35], [6.4]])
    assert avg.shape == (6, 1) and mts == {}
    assert (r2, smape) == (1.0, -1.0)  # scalars of the only target
    truth, pred = metrics.calls[0]
    np.testing.assert_array_equal(truth, y)
    np.testing.assert_allclose(pred, avg)
    assert mae == pytest.approx(np.mean(np.abs(avg.ravel() - y.ravel())))


@pytest.mark.parametrize("ph", [1, 2, 7, 24])
@pytest.mark.parametrize("nan_share", [0.0, 0.2, 0.95])
def test_average_matches_table_method(ph, nan_share):
    rng = np.random.default_rng(ph)
    truth = rng.normal(10, 2, 150)
    pred = stacked(truth, ph, rng)
    pred[rng.uniform(size=pred.size) < nan_share] = np.nan
    expected = table_average(pred.reshape(-1, 1), ph)
    truth[np.isnan(expected.ravel())] = np.nan  # a point without forecast is scored only if blank
    avg = compute_prediction_accuracy(truth.reshape(-1, 1), pred.reshape(-1, 1), ph)[4]
    np.testing.assert_allclose(avg, expected, rtol=1e-12, equal_nan=True)


def test_point_covered_only_by_nan_is_nan_and_needs_a_blank_truth():
    pred = np.array([1.0, np.nan, np.nan, 2.0]).reshape(-1, 1)
    avg = compute_prediction_accuracy(np.array([[0.0], [np.nan], [0.0]]), pred, 2)[4]
    np.testing.assert_array_equal(avg.ravel(), [1.0, np.nan, 2.0])
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(np.zeros((3, 1)), pred, 2)
    assert str(info.value) == Messages.get_message(
        0, "holdout position 1 (every forecast covering it is NaN)", 0.0,
        message_id="TIDEWELLTSLIBS0098E")


def test_original_mode_compares_every_forecast_with_its_own_truth(metrics):
    rng = np.random.default_rng(3)
    y = rng.normal(size=(10, 2))
    y_pred = np.column_stack([stacked(y[:, 0], 4, rng), stacked(y[:, 1], 4, rng)])
    mae, mse, r2, smape, out, mts = compute_prediction_accuracy(y, y_pred, 4, ppy="original")
    np.testing.assert_array_equal(out, y_pred)
    for k, (truth, pred) in enumerate(metrics.calls):
        np.testing.assert_array_equal(truth, prepare_ground_truth(y[:, [k]], 1, 4).reshape(-1, 1))
        np.testing.assert_array_equal(pred, y_pred[:, [k]])
    assert r2 == [1.0, 2.0] and smape == [-1.0, -2.0]
    assert mts["prediction_horizon"] == 4 and mts["stepsize"] == 1


def test_several_targets_give_lists_and_summary():
    rng = np.random.default_rng(5)
    y = rng.normal(size=(8, 3))
    y_pred = np.column_stack([stacked(y[:, k], 8, rng) for k in range(3)])
    # a horizon beyond the holdout is cut to the holdout length, the summary keeps the given one
    mae, mse, r2, smape, avg, mts = compute_prediction_accuracy(y, y_pred, 50)
    assert r2 == [1.0, 2.0, 3.0] and len(mae) == len(mse) == 3
    assert avg.shape == (8, 3)
    np.testing.assert_array_equal(avg, y_pred)  # one forecast covers every point
    assert set(mts) == {"maes", "mses", "r2s", "smapes", "y_truth", "y_pred", "prediction_horizon", "stepsize"}
    assert mts["y_truth"] is y and mts["y_pred"] is avg and mts["prediction_horizon"] == 50
    assert mts["maes"] == mae and mts["r2s"] == r2


def test_list_input():
    rng = np.random.default_rng(8)
    ys = [rng.normal(size=6), rng.normal(size=9)]
    preds = [stacked(ys[0], 3, rng), stacked(ys[1], 3, rng)]
    mae, mse, r2, smape, avg, mts = compute_prediction_accuracy(ys, preds, 3)
    assert isinstance(avg, list) and [a.shape for a in avg] == [(6, 1), (9, 1)]
    np.testing.assert_allclose(avg[1], table_average(preds[1], 3))
    assert len(mts["maes"]) == 2
    one = compute_prediction_accuracy(ys[:1], preds[:1], 3)
    assert isinstance(one[4], list) and len(one[4]) == 1 and one[5] == {}


def test_verbose_lines(capsys):
    y = np.array([1.0, 2.0, 3.0]).reshape(-1, 1)
    y_pred = np.array([1.0, 2.0, 2.5, 3.5]).reshape(-1, 1)
    compute_prediction_accuracy(y, y_pred, 2, verbose=True)
    assert capsys.readouterr().out == (
        "\n== y.shape, y_pred.shape:  (3, 1) (4, 1)\n"
        "\n== ppy:  average\n"
        "\n== y1D.shape, y_pred1D.shape:  (3, 1) (4, 1)\n"
        "0 [1.0, 2.0]\n"
        "1 [nan, 2.5, 3.5]\n"
    )
    compute_prediction_accuracy([y[:, 0]], [y_pred[:, 0]], 2, verbose=True)
    assert capsys.readouterr().out.startswith("\n== len(y), len(y_pred):  1 1\n\n== ppy:  average\n")


def test_failures(metrics, monkeypatch):
    y = np.zeros((4, 1))
    with pytest.raises(Exception) as info:
        compute_prediction_accuracy(y, np.zeros((6, 1)), 2, ppy="median")
    assert str(info.value) == Messages.get_message(message_id="TIDEWELLTS0072E")
    with pytest.raises(ValueError):
        compute_prediction_accuracy(y, np.zeros((7, 1)), 2)  # not whole forecasts
    with pytest.raises(UnboundLocalError, match="mts"):
        compute_prediction_accuracy(np.zeros((4, 0)), np.zeros((6, 0)), 2)

    class ThreeMetrics:
        @staticmethod
        def compute_metrics(a, b):
            return 1.0, 2.0, 3.0

    monkeypatch.setattr(score, "QuillcastUtils", ThreeMetrics)
    with pytest.raises(ValueError):
        compute_prediction_accuracy(y, np.zeros((6, 1)), 2)


def test_module_names():
    import gzip
    import logging
    import os
    import pickle

    from sklearn.pipeline import Pipeline

    from tidewell_ts_libs.sklearn.tidewell_ts_pipeline import TidewellTSPipeline

    assert score.sklearnPipeline is Pipeline and score.TidewellTSPipeline is TidewellTSPipeline
    assert (score.gzip, score.pickle, score.os, score.logging) == (gzip, pickle, os, logging)
    assert score.pd is pd and score.np is np and score.Messages is Messages
    assert score.logger is logging.getLogger("tidewell_ts_libs.utils.score")
    assert score.logger.level == logging.WARNING


@pytest.mark.parametrize("layout", ["column", "reversed", "int", "fortran"])
def test_average_reads_any_array_layout(layout):
    rng = np.random.default_rng(11)
    truth = rng.normal(size=30)
    base = np.column_stack([stacked(truth, 5, rng), stacked(truth, 5, rng)])
    if layout == "reversed":
        y_pred = np.ascontiguousarray(base[::-1])[::-1]  # rows read backwards in memory
        assert y_pred.strides[0] < 0
    elif layout == "int":
        base = np.round(base * 100).astype(np.int64)
        y_pred = base
    elif layout == "fortran":
        y_pred = np.asfortranarray(base)
    else:
        y_pred = base
    y = np.column_stack([truth, truth])
    avg = compute_prediction_accuracy(y, y_pred, 5)[4]
    for k in range(2):
        np.testing.assert_allclose(avg[:, [k]], table_average(np.asarray(y_pred[:, [k]], float), 5), rtol=1e-12)


# -- values that cannot give a figure: named instead of scored as NaN or inf --------------------


@pytest.fixture
def real_metrics(monkeypatch):
    from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils

    monkeypatch.setattr(score, "QuillcastUtils", QuillcastUtils)


def message(message_id, *args):
    return Messages.get_message(*args, message_id=message_id)


@pytest.mark.parametrize("ppy", ["average", "original"])
def test_infinite_values_are_named_with_target_and_row(ppy):
    y = np.arange(12.0).reshape(6, 2)
    y_pred = np.column_stack([stacked(y[:, 0], 2, np.random.default_rng(1)),
                              stacked(y[:, 1], 2, np.random.default_rng(2))])
    bad = y.copy()
    bad[4, 1] = -np.inf
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(bad, y_pred, 2, ppy=ppy)
    assert str(info.value) == message("TIDEWELLTSLIBS0095E", -np.inf, 4, 1)
    bad = y_pred.copy()
    bad[7, 0] = np.inf
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(y, bad, 2, ppy=ppy)
    assert str(info.value) == message("TIDEWELLTSLIBS0096E", np.inf, 7, 0)
    assert "y_pred holds inf at row 7 of target 0" in str(info.value)
    # Lists are checked item by item, rows counted within the item.
    with pytest.raises(ValueError, match="y_pred holds inf at row 7 of target 1"):
        compute_prediction_accuracy([y[:, 0], y[:, 1]], [y_pred[:, 1], bad[:, 0]], 2, ppy=ppy)


def test_target_without_ground_truth_is_named(metrics):
    y = np.column_stack([np.arange(5.0), np.full(5, np.nan)])
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(y, np.ones((5, 2)), 1)
    assert str(info.value) == message("TIDEWELLTSLIBS0097E", 1)
    assert len(metrics.calls) == 1  # the first target was scored, nothing was returned


def test_missing_forecast_in_original_mode_names_the_stacked_row():
    y = np.arange(4.0).reshape(-1, 1)
    y_pred = stacked(y.ravel(), 2, np.random.default_rng(0)).reshape(-1, 1)
    y_pred[3] = np.nan
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(y, y_pred, 2, ppy="original")
    assert str(info.value) == message("TIDEWELLTSLIBS0098E", 0, "row 3 of the stacked forecasts",
                                      2.0)
    # A missing forecast of a blank truth is not scored.
    y[2] = np.nan
    compute_prediction_accuracy(y, y_pred, 2, ppy="original")


def test_huge_values_average_finitely_and_overflow_is_named(real_metrics):
    big = 1.5e308
    y = np.array([[big], [big], [-big]])
    # Every point but the ends is covered by two forecasts whose sum overflows.
    y_pred = np.array([big, big, big, -big]).reshape(-1, 1)
    mae, mse, r2, smape, avg, _ = compute_prediction_accuracy(y, y_pred, 2)
    np.testing.assert_array_equal(avg.ravel(), [big, big, -big])
    assert (mae, mse, smape) == (0.0, 0.0, 0.0)
    # An MSE beyond the floating-point range is an error naming the metric and the scale.
    y = np.array([[1e300], [2e300], [3e300], [4e300]])
    with pytest.raises(ValueError) as info:
        compute_prediction_accuracy(y, y * 1.01, 1)
    assert str(info.value) == message("TIDEWELLTSLIBS0099E", "MSE", 0, np.inf, (y * 1.01).max())
    assert compute_prediction_accuracy(y, y.copy(), 1)[:4] == (0.0, 0.0, 1.0, 0.0)
