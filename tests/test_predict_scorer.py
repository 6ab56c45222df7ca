"""The prediction scorer inside scikit-learn's model selection."""

import pickle

import numpy as np
import pytest
from helpers import monthly_wave as seasonal
from sklearn.metrics import mean_absolute_error, mean_squared_error
from sklearn.metrics._scorer import _BaseScorer
from sklearn.model_selection import GridSearchCV, TimeSeriesSplit, cross_validate

import tidewell_ts_libs.utils.predict as P
from tidewell_ts_libs.kelp.estimators.chronoline.models.base import KELPChronolineForecaster
from tidewell_ts_libs.quillcast.quillcast_chain import ForecastingPipeline
from tidewell_ts_libs.utils.predict import Predict, _PredictScorer


def noisy_line(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    return (3 + 0.5 * t + rng.normal(0, 0.2, n)).reshape(-1, 1)


@pytest.fixture
def fitted():
    data = noisy_line(60)
    model = KELPChronolineForecaster(lookback_window=3, prediction_horizon=2).fit(data[:45])
    return model, data[45:]


def test_scorer_is_a_base_scorer_built_by_its_base():
    scorer = _PredictScorer(mean_absolute_error, -1, {})
    assert isinstance(scorer, _BaseScorer)
    assert _PredictScorer.__module__ == "tidewell_ts_libs.utils.predict"
    assert repr(scorer).startswith("make_scorer(mean_absolute_error, greater_is_better=False")
    copy = pickle.loads(pickle.dumps(scorer))
    assert type(copy) is _PredictScorer and copy._sign == -1


def test_score_is_signed_metric_of_adjusted_pairs(fitted):
    model, holdout = fitted
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(model, holdout, holdout)
    loss = mean_squared_error(truth, pred)
    assert loss > 0
    assert _PredictScorer(mean_squared_error, -1, {})(model, holdout, holdout) == pytest.approx(-loss)
    assert _PredictScorer(mean_squared_error, 1, {})(model, holdout, holdout) == pytest.approx(loss)


def test_metric_keywords_passed_and_sample_weight_ignored(fitted):
    model, holdout = fitted
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(model, holdout, holdout)
    scorer = _PredictScorer(mean_absolute_error, -1, {"multioutput": "raw_values"})
    plain = scorer(model, holdout, holdout)
    np.testing.assert_allclose(plain, -mean_absolute_error(truth, pred, multioutput="raw_values"))
    weights = np.linspace(0, 5, len(holdout))
    np.testing.assert_allclose(scorer(model, holdout, holdout, sample_weight=weights), plain)
    np.testing.assert_allclose(scorer._score(None, model, holdout, holdout, weights), plain)


@pytest.mark.parametrize("result, error", [((1, 2, 3), ValueError), ((1,), ValueError),
                                           (None, TypeError)])
def test_adjustment_that_is_not_a_pair_fails(monkeypatch, fitted, result, error):
    class Fake:
        @classmethod
        def predict_and_adjust_by_imputation_mask(cls, m, X, y):
            return result

    monkeypatch.setattr(P, "Predict", Fake)
    model, holdout = fitted
    with pytest.raises(error, match="unpack"):
        _PredictScorer(mean_absolute_error, -1, {})(model, holdout, holdout)


def test_cross_validate_with_time_series_splits():
    data = noisy_line(80)
    scorer = _PredictScorer(mean_absolute_error, -1, {})
    model = KELPChronolineForecaster(lookback_window=3, prediction_horizon=2)
    cv = TimeSeriesSplit(n_splits=3, test_size=10)
    result = cross_validate(model, data, data, cv=cv, scoring=scorer, error_score="raise")
    scores = result["test_score"]
    assert scores.shape == (3,)
    # Each fold: a model fitted on the rows before the fold, scored on the fold.
    for score, (train, test) in zip(scores, cv.split(data), strict=True):
        fold = KELPChronolineForecaster(lookback_window=3, prediction_horizon=2).fit(data[train])
        truth, pred = Predict.predict_and_adjust_by_imputation_mask(fold, data[test], data[test])
        assert score == pytest.approx(-mean_absolute_error(truth, pred))
    assert -0.6 < scores.mean() < 0


def test_search_over_forecasting_pipelines():
    data = seasonal(130)
    scorer = _PredictScorer(mean_absolute_error, -1, {})
    search = GridSearchCV(
        ForecastingPipeline(),
        {"algorithm": ["hw", "arima"]},
        cv=TimeSeriesSplit(n_splits=2, test_size=12),
        scoring=scorer,
        error_score="raise",
    ).fit(data, data)
    assert np.isfinite(search.cv_results_["mean_test_score"]).all()
    best = search.best_estimator_
    assert best.qc_pipeline_args["algorithm"] == search.best_params_["algorithm"]
    assert best.estimator.get_params()["algorithm"] == search.best_params_["algorithm"]
    assert best.estimator.is_fitted_
    assert search.score(data[-12:], data[-12:]) <= 0


def test_several_scorers_at_once():
    data = noisy_line(70)
    scoring = {
        "mae": _PredictScorer(mean_absolute_error, -1, {}),
        "mse": _PredictScorer(mean_squared_error, -1, {}),
    }
    model = KELPChronolineForecaster(lookback_window=2, prediction_horizon=3)
    cv = TimeSeriesSplit(n_splits=2, test_size=12)
    result = cross_validate(model, data, data, cv=cv, scoring=scoring, error_score="raise")
    train, test = list(cv.split(data))[-1]
    fold = KELPChronolineForecaster(lookback_window=2, prediction_horizon=3).fit(data[train])
    truth, pred = Predict.predict_and_adjust_by_imputation_mask(fold, data[test], data[test])
    assert result["test_mae"][-1] == pytest.approx(-mean_absolute_error(truth, pred))
    assert result["test_mse"][-1] == pytest.approx(-mean_squared_error(truth, pred))
