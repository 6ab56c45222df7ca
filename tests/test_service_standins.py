"""Windowed regression forecasters the prediction helpers recognise, and the service pipeline."""

import numpy as np
import pytest
from helpers import lines
from sklearn import config_context
from sklearn.base import BaseEstimator, clone
from sklearn.linear_model import Ridge
from sklearn.preprocessing import FunctionTransformer
from sklearn.svm import SVR

from tidewell_ts_libs.kelp.estimators.chronoline.models.base import KELPChronolineForecaster
from tidewell_ts_libs.kelp.estimators.chronoline.models.kelp_estimators import (
    KELPChronolineEstimator,
)
from tidewell_ts_libs.sklearn.mvp_windowed_transformed_target_estimators import (
    TidewellWindowTransformedTargetRegressor,
)
from tidewell_ts_libs.sklearn.tidewell_ts_pipeline import TidewellTSPipeline

ALL = [TidewellWindowTransformedTargetRegressor, KELPChronolineForecaster, KELPChronolineEstimator]


def truth(rows):
    """The values of `lines` at the given time points, shape (len(rows), 2)."""
    t = np.asarray(rows, dtype=float)
    return np.column_stack([2 * t + 1, 5 - t])


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize(
    "params",
    [{"lookback_window": 0}, {"prediction_horizon": 0}, {"lookback_window": "3"},
     {"prediction_horizon": True}, {"lookback_window": 2.5}],
)
def test_bad_window_sizes_are_rejected(cls, params):
    with pytest.raises(ValueError, match="must be an integer of at least 1"):
        cls(**params).fit(lines(30))


@pytest.mark.parametrize("cls", ALL)
def test_too_short_series_and_missing_values_are_rejected(cls):
    with pytest.raises(ValueError, match="Too few rows to train"):
        cls(lookback_window=4, prediction_horizon=3).fit(lines(6))
    X = lines(30)
    X[4, 0] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        cls().fit(X)


@pytest.mark.parametrize("cls", ALL)
def test_protocol_clone_and_unfitted(cls):
    est = cls(regressor=Ridge(alpha=0.5), lookback_window=3, prediction_horizon=2)
    copy = clone(est)
    assert copy.get_params()["lookback_window"] == 3
    assert copy.regressor is not est.regressor
    assert "lookback_window=3" in repr(est)
    with pytest.raises(ValueError, match="not fitted"):
        est.predict(lines(5))


@pytest.mark.parametrize("cls", ALL)
def test_non_regressor_and_single_output_regressors(cls):
    with pytest.raises(ValueError, match="regressor"):
        cls(regressor=FunctionTransformer()).fit(lines(20))
    # A single-output regressor is wrapped per target and still forecasts every target.
    est = cls(regressor=SVR(kernel="linear"), lookback_window=2, prediction_horizon=2)
    est.fit(lines(20))
    assert est.window_model_.forecast(np.zeros((1, 4))).shape == (1, 2, 2)


def test_window_regressor_forecast_and_rowwise():
    reg = TidewellWindowTransformedTargetRegressor(lookback_window=3, prediction_horizon=2)
    reg.fit(lines(40))
    assert reg.pred_win == 2
    X = lines(6, start=50)
    np.testing.assert_allclose(reg.predict(X), truth([56, 57]), atol=1e-8)
    rows = reg.predict(X=X, prediction_type="rowwise_2d")
    assert rows.shape == (6, 4)
    assert np.isnan(rows[:2]).all()
    for r in range(2, 6):
        # Row r: the two steps after row r, step after step (both targets in each step).
        np.testing.assert_allclose(rows[r], truth([51 + r, 52 + r]).ravel(), atol=1e-8)
    assert np.isnan(reg.predict(X[:2], prediction_type="rowwise_2d")).all()
    with pytest.raises(ValueError, match="prediction_type"):
        reg.predict(X, prediction_type="sliding_window")
    with pytest.raises(ValueError, match="columns"):
        reg.predict(X[:, :1])
    with pytest.raises(ValueError, match="At least 3 rows"):
        reg.predict(X[:2])


def test_chronoline_forecaster_forecasts_after_training():
    fc = KELPChronolineForecaster(lookback_window=3, prediction_horizon=3).fit(lines(30))
    # The rows given stand for the forecast period.
    np.testing.assert_allclose(fc.predict(lines(3, start=30)), truth([30, 31, 32]), atol=1e-8)
    np.testing.assert_allclose(fc.predict(None, prediction_horizon=2), truth([30, 31]), atol=1e-8)
    with pytest.raises(ValueError, match="trained horizon"):
        fc.predict(prediction_horizon=4)
    with pytest.raises(ValueError, match="prediction_type"):
        fc.predict(prediction_type="rowwise_2d")


@pytest.mark.parametrize("n_new, horizon, blocks", [(6, 3, 4), (2, 3, 1), (3, 3, 1), (5, 1, 5)])
def test_chronoline_forecaster_sliding_window(n_new, horizon, blocks):
    fc = KELPChronolineForecaster(lookback_window=2, prediction_horizon=3).fit(lines(30))
    new = lines(n_new, start=30)
    out = fc.predict(new, prediction_type="SLIDING_WINDOW", prediction_horizon=horizon)
    assert out.shape == (blocks * horizon, 2)
    # Block i forecasts the steps that follow new row i - 1.
    expected = np.vstack([truth(range(30 + i, 30 + i + horizon)) for i in range(blocks)])
    np.testing.assert_allclose(out, expected, atol=1e-8)
    np.testing.assert_allclose(
        fc.predict_multi_step_sliding_window(new, prediction_horizon=horizon), out
    )


def test_chronoline_estimator_reads_history_from_input():
    est = KELPChronolineEstimator(lookback_window=3, prediction_horizon=3).fit(lines(30))
    X = lines(8, start=40)  # 3 history rows, then 5 rows
    # predict: from the first lookback rows, whatever follows.
    np.testing.assert_allclose(est.predict(X), truth([43, 44, 45]), atol=1e-8)
    np.testing.assert_allclose(est.predict(X[:3]), truth([43, 44, 45]), atol=1e-8)
    sw = est.predict(X, prediction_type="sliding_window")
    expected = np.vstack([truth(range(43 + i, 46 + i)) for i in range(3)])
    np.testing.assert_allclose(sw, expected, atol=1e-8)
    np.testing.assert_allclose(est.predict_multi_step_sliding_window(X), sw)
    one_step = est.predict(X, prediction_type="sliding_window", prediction_horizon=1)
    np.testing.assert_allclose(one_step, truth(range(43, 48)), atol=1e-8)
    # No window whose forecast lies inside X: the first window's block.
    np.testing.assert_allclose(est.predict_multi_step_sliding_window(X[:4]), truth([43, 44, 45]),
                               atol=1e-8)
    with pytest.raises(ValueError, match="at least lookback_window=3 rows"):
        est.predict(X[:2])


class Recorder(BaseEstimator):
    def fit(self, X, y=None):
        return self

    def predict(self, X, **kwargs):
        self.seen_ = (np.asarray(X), kwargs)
        return np.asarray(X)[:, 0]

    def predict_multi_step_sliding_window(self, X, **kwargs):
        self.seen_ = (np.asarray(X), kwargs)
        return "multi"


@pytest.mark.parametrize("routing", [False, True])
def test_service_pipeline_passes_prediction_keywords_to_final_step(routing):
    X = lines(5)
    with config_context(enable_metadata_routing=routing):
        pipe = TidewellTSPipeline([("shift", FunctionTransformer(lambda a: a + 100)),
                                   ("last", Recorder())]).fit(X)
        out = pipe.predict(X=X, prediction_type="rowwise_2d", prediction_horizon=3)
        seen_X, kwargs = pipe[-1].seen_
        np.testing.assert_allclose(seen_X, X + 100)
        np.testing.assert_allclose(out, X[:, 0] + 100)
        assert kwargs == {"prediction_type": "rowwise_2d", "prediction_horizon": 3}
        assert pipe.predict_multi_step_sliding_window(X, prediction_horizon=2) == "multi"
        assert pipe[-1].seen_[1] == {"prediction_horizon": 2}
    plain = TidewellTSPipeline([("scale", FunctionTransformer()), ("reg", Ridge())])
    assert not hasattr(plain, "predict_multi_step_sliding_window")


def test_service_pipeline_with_window_regressor():
    pipe = TidewellTSPipeline(
        [("id", FunctionTransformer()),
         ("reg", TidewellWindowTransformedTargetRegressor(lookback_window=2, prediction_horizon=2))]
    ).fit(lines(30))
    rows = pipe.predict(X=lines(4, start=30), prediction_type="rowwise_2d")
    np.testing.assert_allclose(rows[1], truth([32, 33]).ravel(), atol=1e-8)
