"""AutoRegression: picks the best regression pipeline from a stages object within a time budget."""

from __future__ import annotations

from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

from ._search import refit, run_search

__all__ = ["AutoRegression"]


def validate_fit_data(X, y):
    return check_X_y(X, y, multi_output=True, y_numeric=True)


def validate_predict_data(estimator, X):
    check_is_fitted(estimator)
    X = check_array(X)
    if X.shape[1] != estimator.n_features_in_:
        raise ValueError(
            f"X has {X.shape[1]} features, but {type(estimator).__name__} was fitted with "
            f"{estimator.n_features_in_} features"
        )
    return X


class AutoRegression(RegressorMixin, BaseEstimator):
    """Automatic regression search.

    Draws pipelines from `stages` (a list of stages, each a list of ``(name, estimator)``
    candidates; the small tiny space when None) in random order, scores each by time-series
    cross-validation with `cv` folds and `scoring`, and refits the best on all the data.

    Parameters
    ----------
    stages : list of lists of (str, estimator), default=None
    total_execution_time : float, default=60
        Seconds the search may spend; no candidate starts after that.
    execution_time_per_pipeline : float, default=10
        Seconds one candidate's cross-validation may take; a slower candidate is skipped.
    execution_platform : str, default="local"
        "local", or a distributed platform ("spark...", "dask...", "ray..."), which prints a
        notice and runs locally.
    cv : int, default=3
        Number of time-series folds (fewer when the data is short).
    scoring : str or callable, default="neg_mean_squared_error"
        A scikit-learn scorer; greater is better.
    random_state : int, RandomState or None, default=None
        Order in which candidates are drawn.
    verbose : int, default=0
        Print one line per candidate when non-zero.

    Attributes
    ----------
    best_estimator_ : Pipeline
        The best candidate, refitted on all the data.
    best_score_ : float
        Its mean cross-validation score.
    best_pipeline_name_ : str
    leaderboard_ : list of dict
        Completed candidates, best first (name, score, fold scores, seconds).
    search_results_ : list of dict
        Every candidate tried, in order, with its status ("ok", "timeout", "stopped", "error").
    worker_overhead_ : float
        Seconds spent starting the worker process and handing it work; the total budget is
        extended by this time.
    n_features_in_ : int
    """

    def __init__(
        self,
        stages=None,
        total_execution_time=60,
        execution_time_per_pipeline=10,
        execution_platform="local",
        cv=3,
        scoring="neg_mean_squared_error",
        random_state=None,
        verbose=0,
    ):
        self.stages = stages
        self.total_execution_time = total_execution_time
        self.execution_time_per_pipeline = execution_time_per_pipeline
        self.execution_platform = execution_platform
        self.cv = cv
        self.scoring = scoring
        self.random_state = random_state
        self.verbose = verbose

    def _search(self, X, y):
        return run_search(
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

    def fit(self, X, y):
        X, y = validate_fit_data(X, y)
        ranked, trials, overhead = self._search(X, y)
        best = ranked[0]
        self.best_estimator_ = refit(best.pipeline, X, y)
        self.best_score_ = best.score
        self.best_pipeline_name_ = best.name
        self.leaderboard_ = [t.as_dict() for t in ranked]
        self.search_results_ = [t.as_dict() for t in trials]
        self.worker_overhead_ = overhead
        self.n_features_in_ = X.shape[1]
        return self

    def predict(self, X):
        X = validate_predict_data(self, X)
        return self.best_estimator_.predict(X)
