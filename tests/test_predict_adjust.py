"""Forecasts of a fitted pipeline over a holdout, averaged and masked for scoring."""

import logging

import numpy as np
import pytest
from helpers import lines, monthly_wave
from sklearn.base import BaseEstimator
from sklearn.linear_model import Ridge
from sklearn.pipeline import Pipeline

import tidewell_ts_libs.utils.predict as P
from tidewell_ts_libs.kelp.estimators.chronoline.models.base import KELPChronolineForecaster
from tidewell_ts_libs.kelp.estimators.chronoline.models.kelp_estimators import (
    KELPChronolineEstimator,
)
from tidewell_ts_libs.quillcast.quillcast_chain import ForecastingPipeline
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.sklearn.mvp_windowed_transformed_target_estimators import (
    TidewellWindowTransformedTargetRegressor,
)
from tidewell_ts_libs.utils.predict import Predict
from tidewell_ts_libs.utils.score import Score

NAN = np.nan
# Part of the worked example: four forecasts of horizon 3 over six time points.
STACKED = np.array([1.1, 2.1, 3.1, 2.2, 3.2, 4.2, 3.3, 4.3, 5.3, 4.4, 5.4, 6.4])
AVERAGED = np.array([1.1, 2.15, 3.2, 4.3, 5.35, 6.4])


def test_module_bindings():
    assert P.logger.name == "tidewell_ts_libs.utils.predict"
    assert P.logger.level == logging.WARNING
    assert P.tslibs_quillcast_estimator is QuillcastForecaster
    assert P.Score is Score
    assert P.Pipeline is Pipeline
    assert P._BaseScorer.__module__ == "sklearn.metrics._scorer"
    assert type(Predict) is type
    assert Predict._Predict__compute_on_one_series.__name__ == "__compute_on_one_series"


# ---------------------------------------------------------------------------------------------
# Averaging, trimming, masking


@pytest.mark.parametrize(
    "stacked, ph, expected",
    [
        (STACKED, 3, AVERAGED),
        ([3.0, NAN, -1.5], 1, [3.0, NAN, -1.5]),
        ([1.0, NAN, 3.0, 5.0], 2, [1.0, 3.0, 5.0]),  # NaN skipped: only forecast 1 covers it
        ([NAN, NAN, NAN, 4.0], 2, [NAN, NAN, 4.0]),
        ([], 3, []),
    ],
)
def test_compute_on_one_series(stacked, ph, expected):
    out = Predict._Predict__compute_on_one_series(np.asarray(stacked).reshape(-1, 1), ph)
    assert out.shape == (len(expected), 1)
    np.testing.assert_allclose(out.ravel(), expected)


@pytest.mark.parametrize("stacked, ph", [(np.ones(7), 3), (np.ones(6), 0)])
def test_compute_on_one_series_bad_shape_is_numpy_error(stacked, ph):
    with pytest.raises(ValueError):
        Predict._Predict__compute_on_one_series(stacked, ph)


def test_adjust_prediction_arrays_lists_and_cut_horizon():
    y = np.column_stack([np.arange(6.0), np.arange(6.0)])
    y_pred = np.column_stack([STACKED, STACKED * 10])
    out = Predict.adjust_prediction(y, y_pred, ph=3)
    np.testing.assert_allclose(out, np.column_stack([AVERAGED, AVERAGED * 10]))
    listed = Predict.adjust_prediction([np.arange(6.0)], [STACKED], 3)
    assert isinstance(listed, list) and len(listed) == 1
    np.testing.assert_allclose(listed[0].ravel(), AVERAGED)
    # Horizon longer than the ground truth: cut to its length (one forecast of 2 values).
    np.testing.assert_allclose(Predict.adjust_prediction(np.zeros((2, 1)), np.array([[4.0], [5.0]]), 5).ravel(),
                               [4.0, 5.0])
    assert Predict.adjust_prediction(np.zeros((3, 0)), np.zeros((3, 0)), 1) is None


def test_trim_pred_vals():
    vals = [1, 2, 3]
    assert Predict._trim_pred_vals(vals, 3, 3, 1) is vals
    assert Predict._trim_pred_vals(vals, 5, 3, 1) is vals
    out = Predict._trim_pred_vals(np.array([1, 2, 3, 4, 5, 6]), 2, 3, 2)
    np.testing.assert_array_equal(out, [1, 2, 4, 5])
    assert out.ndim == 1


def test_mask_one_target():
    y = np.array([[1.0], [NAN], [3.0]])
    t, p = Predict._adjust_y_test_y_pred_by_imputation_mask(y, np.array([[10.0], [20.0], [30.0]]))
    np.testing.assert_array_equal(t[0], [[1.0], [3.0]])
    np.testing.assert_array_equal(p[0], [[10.0], [30.0]])
    # A flat forecast column works too.
    _, p = Predict._adjust_y_test_y_pred_by_imputation_mask(y, np.array([10.0, 20.0, 30.0]))
    np.testing.assert_array_equal(p[0], [[10.0], [30.0]])


@pytest.mark.parametrize(
    "y, y_pred",
    [
        (np.array([[NAN], [NAN]]), np.array([[1.0], [2.0]])),  # nothing kept
        (np.array([[1.0], [NAN]]), np.array([[1.0], [2.0], [3.0]])),  # lengths differ
        (np.array([[1.0, NAN], [2.0, NAN]]), np.array([[1.0, 2.0], [3.0, 4.0]])),
    ],
)
def test_mask_gives_none_pair(y, y_pred):
    assert Predict._adjust_y_test_y_pred_by_imputation_mask(y, y_pred) == (None, None)


def test_mask_several_targets_reshapes_flat_forecasts():
    y = np.array([[1.0, NAN], [NAN, 5.0], [3.0, 6.0]])
    flat = np.array([10.0, 40.0, 20.0, 50.0, 30.0, 60.0])
    t, p = Predict._adjust_y_test_y_pred_by_imputation_mask(y, flat)
    assert [list(a) for a in t] == [[1.0, 3.0], [5.0, 6.0]]
    assert [list(a) for a in p] == [[10.0, 30.0], [50.0, 60.0]]


# ---------------------------------------------------------------------------------------------
# Dispatch on the kind of pipeline


class Recording:
    """Records prediction calls and answers them with a preset output."""

    output = None

    def predict(self, *args, **kwargs):
        self.calls.append(("predict", args, kwargs))
        return self.output

    def predict_multi_step_sliding_window(self, *args, **kwargs):
        self.calls.append(("predict_multi_step_sliding_window", args, kwargs))
        return self.output


def recorder(base, output, **params):
    cls = type("Rec" + base.__name__, (Recording, base), {})
    obj = cls(**params)
    obj.calls = []
    obj.output = output
    return obj


class Named(BaseEstimator):
    def __init__(self, label="QuillcastForecaster", prediction_horizon=1):
        self.label = label
        self.prediction_horizon = prediction_horizon

    def name(self):
        return self.label


class Plain(BaseEstimator):
    def __init__(self, prediction_horizon=1):
        self.prediction_horizon = prediction_horizon


class RecPipeline(Recording, Pipeline):
    pass


def rec_pipeline(output, ph):
    final = Ridge() if ph == 1 else Plain(prediction_horizon=ph)
    m = RecPipeline([("final", final)])
    m.calls, m.output = [], output
    return m


LB = 4
X_TEST = np.arange(10.0).reshape(-1, 1)  # 4 lookback rows, then a holdout of 6
SW = {"prediction_type": "sliding_window"}
ROWWISE = {"X": "all", "prediction_type": "rowwise_2d"}


def rowwise_output(blocks, ph):
    """Rows for every row of X_TEST; the rows LB - 1 to len - ph - 1 hold the given blocks."""
    out = np.full((len(X_TEST), ph), NAN)
    out[LB - 1 : LB - 1 + len(blocks)] = blocks
    return out


ONE_STEP = np.arange(6.0).reshape(-1, 1) + 0.5


class MarkedQuillcast(BaseEstimator):
    """Stands for the engine forecaster class in the isinstance test."""

    def __init__(self, prediction_horizon=1):
        self.prediction_horizon = prediction_horizon


@pytest.mark.parametrize(
    "make, call",
    [
        (lambda: recorder(Named, ONE_STEP), ("predict", "holdout", SW)),
        (lambda: recorder(Named, ONE_STEP, label="QuillcastChronolineJointOptimizer"),
         ("predict", "holdout", SW)),
        (lambda: recorder(MarkedQuillcast, ONE_STEP), ("predict", "holdout", SW)),
        (lambda: recorder(KELPChronolineForecaster, ONE_STEP), ("predict", "holdout", SW)),
        (lambda: recorder(KELPChronolineEstimator, ONE_STEP), ("predict", "all", SW)),
        (lambda: recorder(TidewellWindowTransformedTargetRegressor, rowwise_output(ONE_STEP, 1)),
         ("predict", None, ROWWISE)),
        (lambda: rec_pipeline(rowwise_output(ONE_STEP, 1), 1), ("predict", None, ROWWISE)),
    ],
    ids=["name-quillcast", "name-joint", "isinstance-quillcast", "kelp-forecaster",
         "kelp-estimator", "window-regressor", "pipeline"],
)
def test_dispatch_horizon_one(monkeypatch, make, call):
    monkeypatch.setattr(P, "tslibs_quillcast_estimator", MarkedQuillcast)
    m = make()
    y_test = X_TEST[LB:]
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(m, X_TEST, y_test)
    assert_call(m.calls, call)
    np.testing.assert_array_equal(truth, y_test)
    np.testing.assert_allclose(pred, ONE_STEP)


def assert_call(calls, call):
    assert len(calls) == 1
    method, args, kwargs = calls[0]
    want_method, want_X, want_kwargs = call
    assert method == want_method
    want_kwargs = dict(want_kwargs)
    if want_kwargs.get("X") == "all":
        np.testing.assert_array_equal(kwargs.pop("X"), X_TEST)
        want_kwargs.pop("X")
    if want_X is not None:
        assert len(args) == 1
        np.testing.assert_array_equal(args[0], X_TEST if want_X == "all" else X_TEST[LB:])
    assert kwargs == want_kwargs


class PatchedScore:
    """Score whose final estimator is a plain object, so only the class of `m` decides."""

    PREDICT_SLIDING_WINDOW = "sliding_window"

    @classmethod
    def get_prediction_win(cls, m):
        return 3

    @classmethod
    def get_estimator(cls, m):
        return Plain()


SW3 = {"prediction_type": "sliding_window", "prediction_horizon": 3}
BLOCKS = STACKED.reshape(4, 3)
SHORT = np.array([[7.0], [8.0], [9.0]])  # one forecast of 3 steps; the holdout has 2 rows


@pytest.mark.parametrize(
    "make, short, call",
    [
        (lambda o: recorder(KELPChronolineForecaster, o, prediction_horizon=3), True,
         ("predict", "holdout", {})),
        (lambda o: recorder(KELPChronolineForecaster, o, prediction_horizon=3), False,
         ("predict", "holdout", SW)),
        (lambda o: recorder(Named, o.tolist(), prediction_horizon=3), False,
         ("predict", "holdout", SW3)),
        (lambda o: recorder(Named, o.tolist(), prediction_horizon=3), True,
         ("predict", "holdout", SW3)),
        (lambda o: recorder(KELPChronolineEstimator, o, prediction_horizon=3), True,
         ("predict", "all", {})),
        (lambda o: recorder(KELPChronolineEstimator, o, prediction_horizon=3), False,
         ("predict", "all", SW)),
        (lambda o: recorder(TidewellWindowTransformedTargetRegressor, o, prediction_horizon=3),
         True, ("predict", None, ROWWISE)),
        (lambda o: recorder(TidewellWindowTransformedTargetRegressor, o, prediction_horizon=3),
         False, ("predict", None, ROWWISE)),
        (lambda o: rec_pipeline(o, 3), True, ("predict", None, ROWWISE)),
        (lambda o: rec_pipeline(o, 3), False, ("predict", None, ROWWISE)),
        ("patched-kelp-estimator", True, ("predict", "all", {})),
        ("patched-kelp-estimator", False, ("predict_multi_step_sliding_window", "all", {})),
    ],
)
def test_dispatch_longer_horizon(monkeypatch, make, short, call):
    rowwise = call[2] is ROWWISE
    if short:
        y_test = np.array([[1.0], [2.0]])
        x_test = X_TEST[: LB + 2]
        output = SHORT.reshape(1, 3) if rowwise else SHORT
        if rowwise:
            output = np.vstack([np.full((LB - 1, 3), NAN), output, np.full((2, 3), NAN)])
        expected = [7.0, 8.0]
    else:
        y_test = X_TEST[LB:]
        x_test = X_TEST
        output = rowwise_output(BLOCKS, 3) if rowwise else STACKED.reshape(-1, 1)
        expected = AVERAGED
    if make == "patched-kelp-estimator":
        monkeypatch.setattr(P, "Score", PatchedScore)
        m = recorder(KELPChronolineEstimator, output)
    else:
        m = make(output)
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(m, x_test, y_test)
    method, args, kwargs = m.calls[0]
    assert len(m.calls) == 1 and method == call[0]
    want = dict(call[2])
    if "X" in want:
        np.testing.assert_array_equal(kwargs.pop("X"), x_test)
        want.pop("X")
    else:
        np.testing.assert_array_equal(args[0], x_test if call[1] == "all" else x_test[LB:])
    assert kwargs == want
    np.testing.assert_array_equal(truth, y_test)
    np.testing.assert_allclose(pred.ravel(), expected)


@pytest.mark.parametrize("ph", [1, 3])
def test_unknown_pipeline_kind_raises_naming_the_estimator(capsys, ph):
    m = Plain(prediction_horizon=ph)
    with pytest.raises(ValueError, match=r"final estimator is a .*Plain"):
        Predict.predict_and_adjust_by_imputation_mask(m, X_TEST, X_TEST[LB:])
    assert capsys.readouterr().out == "Unknown Pipeline Type" + str(m) + "\n"


@pytest.mark.parametrize("ph", [0, -1])
def test_horizon_below_one_raises(ph):
    with pytest.raises(ValueError, match=f"prediction horizon {ph} .*Named.* is below 1"):
        Predict.predict_and_adjust_by_imputation_mask(Named(prediction_horizon=ph), X_TEST,
                                                      X_TEST[LB:])


def test_one_dimensional_truth_is_rejected():
    with pytest.raises(ValueError, match="unpack"):
        Predict.predict_and_adjust_by_imputation_mask(Named(), X_TEST, X_TEST[LB:, 0])


def test_prediction_errors_propagate_unchanged():
    class Failing(Named):
        def predict(self, *args, **kwargs):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        Predict.predict_and_adjust_by_imputation_mask(Failing(), X_TEST, X_TEST[LB:])


# ---------------------------------------------------------------------------------------------
# End to end with real estimators


def test_missing_truth_masks_averaged_multi_step_forecasts():
    est = KELPChronolineEstimator(lookback_window=3, prediction_horizon=3).fit(lines(30)[:, :1])
    X_test = lines(9, start=30)[:, :1]
    y_test = X_test[3:].copy()
    y_test[[0, 4]] = NAN
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(est, X_test, y_test)
    np.testing.assert_allclose(truth, X_test[3:][[1, 2, 3, 5], 0])
    np.testing.assert_allclose(pred, truth, atol=1e-8)


def test_missing_truth_several_targets_kept_target_after_target():
    fc = KELPChronolineForecaster(lookback_window=2, prediction_horizon=1).fit(lines(30))
    X_test = lines(6, start=28)  # the lookback rows repeat the end of training
    y_test = X_test[2:].copy()
    y_test[1, 0] = NAN
    y_test[3, 1] = NAN
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(fc, X_test, y_test)
    expected = np.concatenate([lines(4, 30)[[0, 2, 3], 0], lines(4, 30)[[0, 1, 2], 1]])
    np.testing.assert_allclose(truth, expected)
    np.testing.assert_allclose(pred, expected, atol=1e-8)


def test_short_holdout_several_targets_trimmed_per_target():
    fc = KELPChronolineForecaster(lookback_window=2, prediction_horizon=4).fit(lines(30))
    X_test = lines(4, start=28)
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(fc, X_test, X_test[2:])
    np.testing.assert_allclose(pred, lines(2, start=30), atol=1e-8)


def test_window_regressor_in_pipeline_end_to_end():
    reg = TidewellWindowTransformedTargetRegressor(lookback_window=3, prediction_horizon=2)
    m = Pipeline([("reg", reg)]).fit(lines(40))
    X_test = lines(9, start=40)
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(m, X_test, X_test[3:])
    np.testing.assert_allclose(pred, truth, atol=1e-8)


def seasonal(n):
    return monthly_wave(n, slope=0.1)


def test_engine_forecaster_pipeline_horizon_one():
    data = seasonal(110)
    fp = ForecastingPipeline().fit(data[:90])
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(fp, data[85:], data[90:])
    expected = fp.estimator.predict_sliding_window(data[90:])
    np.testing.assert_array_equal(truth, data[90:])
    np.testing.assert_allclose(pred, expected)
    assert pred.shape == (20, 1)


def test_engine_forecaster_multi_step_is_averaged():
    data = seasonal(110)
    fc = QuillcastForecaster(prediction_horizon=3).fit(data[:90], None, _reset_model=True)
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(fc, data[90:], data[90:])
    stacked = fc.predict_multi_step_sliding_window(data[90:], prediction_horizon=3)
    np.testing.assert_allclose(pred, Predict._Predict__compute_on_one_series(stacked, 3))
    assert pred.shape == (20, 1)


@pytest.mark.parametrize("horizon", [1, 3])
def test_a_tidewell_pipeline_ending_in_the_forecaster_forecasts_as_the_forecaster(horizon):
    # Taken for a window regressor, its forecasts came back empty (horizon 1) or were the
    # forecasts for later times, after the holdout had been fed (a short holdout).
    from tidewell_ts_libs.sklearn.tidewell_ts_pipeline import TidewellTSPipeline
    from tidewell_ts_libs.transforms.imputers import linear

    data = seasonal(110)
    bare = QuillcastForecaster(prediction_horizon=horizon).fit(data[:90], None, _reset_model=True)
    pipe = TidewellTSPipeline(
        [("fill", linear()), ("model", QuillcastForecaster(prediction_horizon=horizon))]
    ).fit(data[:90], None)
    for truth_rows in (data[90:], data[90:91]):
        expected = Predict.predict_and_adjust_by_imputation_mask(bare, truth_rows, truth_rows)
        got = Predict.predict_and_adjust_by_imputation_mask(pipe, truth_rows, truth_rows)
        np.testing.assert_allclose(got[1], expected[1])
        assert got[1].shape == truth_rows.shape
