"""Iterative regression imputer.

Each value column is predicted by a regression model (`base_model`) from its neighbourhood in
time: the values of every column in the `order` rows before and after, and the other columns in
the same row. Starting from the pre-fill of `base_imputer`, the imputer fits one model per column
on the rows where that column is observed, predicts the missing ones, and repeats with the
updated values until they change by less than `tol` (relative) or `max_iter` rounds have run.
Transforming new data repeats the rounds with the fitted models.
"""

import numbers

import numpy as np
from sklearn.base import clone

from tidewell_ts_libs.kelp.imputers.core import TSImputer
from tidewell_ts_libs.kelp.imputers.interpolators import PreMLImputer


def _neighbourhood(values, order):
    """Features of every row: all columns at offsets -order..order (clipped at the ends)."""
    n, c = values.shape
    offsets = [o for o in range(-order, order + 1)]
    blocks = []
    for o in offsets:
        idx = np.clip(np.arange(n) + o, 0, n - 1)
        blocks.append(values[idx])
    return np.hstack(blocks), offsets.index(0) * c


class PredictiveImputer(TSImputer):
    """Iterative imputation by regression on the time neighbourhood.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill the ends backward and forward.
        order (int): rows on each side used as features.
        max_iter (int): most rounds of regression.
        tol (float): relative change of the imputed values that ends the rounds.
        base_imputer (obj): pre-filling imputer (None: linear interpolation).
        base_model (obj): regression model (None: RandomForestRegressor(n_estimators=10)).
    """

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        max_iter=10,
        tol=0.001,
        base_imputer=None,
        base_model=None,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.max_iter = max_iter
        self.tol = tol
        self.base_imputer = base_imputer
        self.base_model = base_model

    def _order(self):
        order = self.order
        if isinstance(order, bool) or not isinstance(order, numbers.Integral) or order < 0:
            raise ValueError(f"order must be a non-negative integer, got {order!r}")
        return int(order)

    def _features(self, current, j):
        features, centre = _neighbourhood(current, self.order_)
        return np.delete(features, centre + j, axis=1)

    def _impute(self, values, times, fitting):
        mask = np.isnan(values)
        n, c = values.shape
        if fitting:
            self.order_ = self._order()
            base = self.base_imputer
            if base is None:
                base = PreMLImputer()
            current = self._prefill(base, values, times, fitting=True)
            if self.base_model is None:
                from sklearn.ensemble import RandomForestRegressor

                template = RandomForestRegressor(n_estimators=10, random_state=0)
            else:
                template = self.base_model
            models = {}
        else:
            current = self._prefill(self.base_imputer_, values, times, fitting=False)
            models = self.models_
        n_iter = 0
        for _ in range(max(1, int(self.max_iter))):
            n_iter += 1
            if not mask.any():
                break
            before = current[mask].copy()
            for j in range(c):
                miss = mask[:, j]
                if not miss.any():
                    continue
                features = self._features(current, j)
                if fitting:
                    observed = ~miss
                    if features.shape[1] == 0 or observed.sum() < 2:
                        continue  # nothing to learn from: the pre-fill stays
                    models[j] = clone(template).fit(features[observed], values[observed, j])
                if j in models:
                    current[miss, j] = models[j].predict(features[miss])
            change = np.linalg.norm(current[mask] - before)
            if change / (np.linalg.norm(before) + 1e-12) < self.tol:
                break
        if fitting:
            # Columns complete in the training data get a model too, for gaps in new data.
            for j in range(c):
                observed = ~mask[:, j]
                if j in models or observed.sum() < 2:
                    continue
                features = self._features(current, j)
                if features.shape[1]:
                    models[j] = clone(template).fit(features[observed], values[observed, j])
        if fitting:
            self.models_ = models
            self.n_iter_ = n_iter
        return current

    def _fit_transform(self, values, times):
        return self._impute(values, times, fitting=True)

    def _fit(self, values, times):
        self._impute(values, times, fitting=True)

    def _transform(self, values, times):
        return self._impute(values, times, fitting=False)
