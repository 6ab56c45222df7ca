"""EnsembleRegressor: the leaders of an automatic regression search, combined."""

from __future__ import annotations

import math
import numbers

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state

from tidewell_ts_libs.kelp.joint_optimizers.auto._search import check_int, refit, run_search
from tidewell_ts_libs.kelp.joint_optimizers.auto.auto_regression import (
    validate_fit_data,
    validate_predict_data,
)

__all__ = ["EnsembleRegressor"]

ENSEMBLE_TYPES = ("voting",)


def _check_max_samples(value, n_samples):
    """Bootstrap sample size: a fraction of the rows (float in (0, 1]) or a row count."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"max_samples_for_pred_interval must be a number, got {value!r}")
    if isinstance(value, numbers.Integral):
        if not 1 <= value <= n_samples:
            raise ValueError(
                f"max_samples_for_pred_interval={value} must lie between 1 and the "
                f"{n_samples} rows"
            )
        return int(value)
    if not (math.isfinite(value) and 0 < value <= 1):
        raise ValueError(
            f"max_samples_for_pred_interval={value!r} must be a fraction in (0, 1] or a row count"
        )
    return max(1, math.ceil(value * n_samples))


class EnsembleRegressor(RegressorMixin, BaseEstimator):
    """Automatic regression search whose `n_leaders_for_ensemble` best pipelines are combined.

    The search is the one of ``AutoRegression`` (same budgets, folds and scoring). With
    `ensemble_type` "voting" the leaders, refitted on all the data, are averaged with equal
    weights. When `n_estimators_for_pred_interval` is positive, as many bootstrap copies of the
    ensemble are fitted (on `max_samples_for_pred_interval` rows drawn with replacement: a
    fraction of the rows, or a count), and ``predict_interval`` gives the spread of their
    predictions. The bootstrap fits come after the search and are not part of its budget.

    Attributes
    ----------
    estimators_ : list of Pipeline
        The leaders, refitted on all the data, best first.
    leaders_ : list of dict
        Their names and cross-validation scores.
    leaderboard_, search_results_, best_score_, worker_overhead_, n_features_in_ :
        as for ``AutoRegression``.
    interval_estimators_ : list of list of Pipeline
        The bootstrap ensembles (empty when `n_estimators_for_pred_interval` is 0).
    """

    def __init__(
        self,
        stages=None,
        total_execution_time=60,
        execution_time_per_pipeline=10,
        execution_platform="local",
        n_leaders_for_ensemble=5,
        n_estimators_for_pred_interval=5,
        max_samples_for_pred_interval=1.0,
        ensemble_type="voting",
        cv=3,
        scoring="neg_mean_squared_error",
        random_state=None,
        verbose=0,
    ):
        self.stages = stages
        self.total_execution_time = total_execution_time
        self.execution_time_per_pipeline = execution_time_per_pipeline
        self.execution_platform = execution_platform
        self.n_leaders_for_ensemble = n_leaders_for_ensemble
        self.n_estimators_for_pred_interval = n_estimators_for_pred_interval
        self.max_samples_for_pred_interval = max_samples_for_pred_interval
        self.ensemble_type = ensemble_type
        self.cv = cv
        self.scoring = scoring
        self.random_state = random_state
        self.verbose = verbose

    def fit(self, X, y):
        X, y = validate_fit_data(X, y)
        n_leaders = check_int("n_leaders_for_ensemble", self.n_leaders_for_ensemble, 1)
        n_boot = check_int("n_estimators_for_pred_interval", self.n_estimators_for_pred_interval, 0)
        n_rows = _check_max_samples(self.max_samples_for_pred_interval, X.shape[0])
        if self.ensemble_type not in ENSEMBLE_TYPES:
            raise ValueError(
                f"unknown ensemble_type {self.ensemble_type!r}: use one of {', '.join(ENSEMBLE_TYPES)}"
            )
        ranked, trials, overhead = run_search(
            self.stages,
            X,
            y,
            total_execution_time=self.total_execution_time,
            execution_time_per_pipeline=self.execution_time_per_pipeline,
            execution_platform=self.execution_platform,
            cv=self.cv,
            scoring=self.scoring,
            random_state=self.random_state,
            verbose=self.verbose,
        )
        leaders = ranked[:n_leaders]
        self.estimators_ = [refit(t.pipeline, X, y) for t in leaders]
        self.leaders_ = [{"name": t.name, "score": t.score} for t in leaders]
        self.best_score_ = leaders[0].score
        self.leaderboard_ = [t.as_dict() for t in ranked]
        self.search_results_ = [t.as_dict() for t in trials]
        self.worker_overhead_ = overhead
        self.n_features_in_ = X.shape[1]

        rng = check_random_state(self.random_state)
        self.interval_estimators_ = []
        for _ in range(n_boot):
            rows = rng.randint(0, X.shape[0], size=n_rows)
            self.interval_estimators_.append(
                [refit(t.pipeline, X[rows], y[rows]) for t in leaders]
            )
        return self

    @staticmethod
    def _vote(members, X):
        return np.mean([np.asarray(m.predict(X), dtype=float) for m in members], axis=0)

    def predict(self, X):
        X = validate_predict_data(self, X)
        return self._vote(self.estimators_, X)

    def predict_interval(self, X, alpha=0.1):
        """Lower and upper (alpha/2, 1 - alpha/2) quantiles of the bootstrap ensembles'
        predictions, each shaped like ``predict(X)``."""
        X = validate_predict_data(self, X)
        if not self.interval_estimators_:
            raise ValueError(
                "no bootstrap ensembles were fitted: set n_estimators_for_pred_interval > 0"
            )
        if isinstance(alpha, bool) or not isinstance(alpha, numbers.Real) or not 0 < alpha < 1:
            raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
        preds = np.stack([self._vote(members, X) for members in self.interval_estimators_])
        lower, upper = np.quantile(preds, [alpha / 2, 1 - alpha / 2], axis=0)
        return lower, upper
