"""Model selection with scikit-learn: clone, set_params, grid search and cross-validation see the
forecaster's parameters as they were given, and every candidate is trained as set."""

import pickle

import numpy as np
import pytest
from helpers import season_trend
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, TimeSeriesSplit, cross_val_score

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def series(n=144, seed=0):
    return season_trend(np.arange(float(n)), 100, 20, 0.5, noise=2, rng=seed)


def test_grid_search_scores_every_candidate_as_fitted_by_hand():
    y = series()
    X = y.reshape(-1, 1)
    cv = TimeSeriesSplit(3, test_size=12)
    grid = {"algorithm": ["hw", "arima", "bats"], "log_transform": [True, False]}
    search = GridSearchCV(
        QuillcastForecaster(samples_per_season=12, initial_training_seasons=8),
        grid,
        cv=cv,
        error_score="raise",
    ).fit(X, y)
    scores = search.cv_results_["mean_test_score"]
    for params, score in zip(search.cv_results_["params"], scores, strict=True):
        by_hand = [
            QuillcastForecaster(samples_per_season=12, initial_training_seasons=8, **params)
            .fit(X[train], y[train])
            .score(X[test], y[test])
            for train, test in cv.split(X)
        ]
        assert score == pytest.approx(np.mean(by_hand), rel=1e-12)
    # the settings take effect: every algorithm scores differently, and the log transform
    # changes the scores of hw and bats (arima is told that its values are logarithms and fits
    # the series on its own scale, so it forecasts alike either way)
    by_params = {
        (p["algorithm"], p["log_transform"]): s
        for p, s in zip(search.cv_results_["params"], scores, strict=True)
    }
    assert len({round(by_params[a, True], 9) for a in grid["algorithm"]}) == 3
    for alg in ("hw", "bats"):
        assert by_params[alg, True] != pytest.approx(by_params[alg, False], rel=1e-9)
    hw = cross_val_score(
        QuillcastForecaster(samples_per_season=12, initial_training_seasons=8), X, y, cv=cv
    )
    assert scores[0] == pytest.approx(hw.mean())

    best = search.best_estimator_
    assert best.get_params(deep=False) == {
        **QuillcastForecaster().get_params(deep=False),
        **search.best_params_,
        "samples_per_season": 12,
        "initial_training_seasons": 8,
    }


def test_set_params_applies_constructor_parameters_and_merges_algorithm_keywords():
    f = QuillcastForecaster(samples_per_season=12, p_max=3)
    assert f.set_params(algorithm="arima", prediction_horizon=4, log_transform=False, p_max=2) is f
    assert (f.algorithm, f.model_name, f.prediction_horizon, f.log_transformed) == (
        "arima",
        "arima",
        4,
        False,
    )
    assert f.all_args == {"samples_per_season": 12, "p_max": 2, "algorithm": "arima"}
    f.set_params(algorithm=None)  # as in the constructor: the default algorithm
    assert f.algorithm == "hw" and f.all_args["algorithm"] == "hw"
    assert f.get_params()["algorithm"] is None and clone(f).algorithm == "hw"

    f = QuillcastForecaster(algorithm="arima").set_params(log_transform=True)
    f.fit(series(60).reshape(-1, 1), None)
    assert f.is_fitted_ and f.model_id.startswith("st_") and f.predict().shape == (1, 1)


@pytest.mark.parametrize("bad", ["p_maxx", "smples_per_season"])
def test_misspelt_keywords_are_refused(bad):
    with pytest.raises(ValueError, match=rf"'{bad}'.*samples_per_season.*p_max"):
        QuillcastForecaster(**{bad: 3}).fit(series(48).reshape(-1, 1), None)
    f = QuillcastForecaster(samples_per_season=12)
    with pytest.raises(ValueError, match=rf"Invalid parameter '{bad}'"):
        f.set_params(prediction_horizon=5, **{bad: 3})
    # nothing changed
    assert f.prediction_horizon == 1 and f.all_args == {"samples_per_season": 12, "algorithm": "hw"}


def test_fit_trains_a_forecaster_without_models_and_updates_a_trained_one():
    y = series(72)
    f = QuillcastForecaster(samples_per_season=12).fit(y[:60].reshape(-1, 1), None)
    assert f.is_fitted_ and f.get_last_updated() == 59
    trained = f.model
    expected = f.predict(y[60:].reshape(-1, 1), prediction_horizon=3)
    f.fit(y[60:].reshape(-1, 1), None)  # updating: the models take the new rows
    assert f.get_last_updated() == 71 and f.model is not trained
    np.testing.assert_allclose(f.predict(prediction_horizon=3), expected)


def test_settings_computed_by_training_stay_out_of_the_parameters():
    y = series(96)
    X = y.reshape(-1, 1)
    f = QuillcastForecaster(algorithm="bats")
    before = f.get_params()
    f.fit(X, None)
    # training wrote a season, error lengths and training sizes into all_args ...
    assert {"samples_per_season", "error_history_length", "training_sample_size"} <= set(f.all_args)
    # ... which the parameters, clones and pickled copies do not report as given
    assert f.get_params() == before
    assert clone(f).all_args == {"algorithm": "bats"}
    assert pickle.loads(pickle.dumps(f)).get_params() == before
    # a clone trains as the original did the first time
    np.testing.assert_allclose(clone(f).fit(X, None).predict(), f.predict())

    # a caller's value that training overwrote is reported as the caller gave it
    h = QuillcastForecaster(algorithm="arima", error_horizon_length=5).fit(X, None)
    assert h.get_params()["error_horizon_length"] == 5

    # training turns the log transform off for values below -2: the parameter stays as given
    g = QuillcastForecaster(samples_per_season=12).fit((y - 150).reshape(-1, 1), None)
    assert g.log_transformed is False and g.get_params()["log_transform"] is True
    assert clone(g).log_transformed is True
    # set_params makes a setting the caller's again
    g.set_params(log_transform=False, samples_per_season=6)
    assert g.get_params()["log_transform"] is False and g.get_params()["samples_per_season"] == 6


def test_new_names_beside_the_misspelt_ones():
    f = QuillcastForecaster(samples_per_season=12).fit(series(48).reshape(-1, 1), None)
    assert f.get_last_updated(inmodel_array=[]) == -1
    assert f.get_last_updated(inmodel_array=f.model) == f.get_last_updated(inmodle_array=f.model)
    with pytest.raises(TypeError):
        f.get_last_updated(inmodle_array=[], inmodel_array=[])
