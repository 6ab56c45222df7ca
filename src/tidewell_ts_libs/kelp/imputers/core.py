"""The base class of the time-series imputers and the helpers they share.

A time-series imputer is a scikit-learn transformer for a matrix whose rows are samples in time
order. One column may hold the timestamps (`time_column`, -1 for none, or an index, or a list
whose first element is the index): it is the time axis of the other columns and passes through
unchanged. Entries equal to `missing_values` (or NaN) are missing; observed values are never
changed. With `enable_fillna`, whatever a method leaves missing at the ends of a column is
filled backward and forward from the nearest observed value.

Imputers that work with other estimators (a pre-filling `base_imputer`, a `model_imputer`, a
regression model) always fit clones of them: the objects given as parameters are never fitted,
so one object may safely be shared by several imputers.
"""

import hashlib
import inspect
import numbers

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin, clone
from sklearn.utils.validation import check_array, check_is_fitted

# check_array's keyword that lets NaN through (renamed in newer scikit-learn releases).
_ALLOW_NAN = (
    {"ensure_all_finite": "allow-nan"}
    if "ensure_all_finite" in inspect.signature(check_array).parameters
    else {"force_all_finite": "allow-nan"}
)


def time_column_index(time_column):
    """Index of the time column from its location setting, or -1 for none."""
    if time_column is None:
        return -1
    if isinstance(time_column, (list, tuple)):
        return time_column_index(time_column[0]) if len(time_column) else -1
    if isinstance(time_column, bool) or not isinstance(time_column, numbers.Integral):
        raise ValueError(f"time_column must be -1, a column index or [index], got {time_column!r}")
    return int(time_column) if time_column >= 0 else -1


def fill_ends(values):
    """Fills missing values of every column forward, then backward (a new array)."""
    out = np.array(values, dtype=float, copy=True)
    n = out.shape[0]
    if n == 0:
        return out
    for j in range(out.shape[1]):
        col = out[:, j]
        ok = ~np.isnan(col)
        if ok.all() or not ok.any():
            continue
        idx = np.where(ok, np.arange(n), -1)
        np.maximum.accumulate(idx, out=idx)
        first = int(np.argmax(ok))
        idx[:first] = first
        out[:, j] = col[idx]
    return out


def _is_missing_marker_nan(marker):
    return marker is None or (isinstance(marker, numbers.Real) and np.isnan(marker))


class TSImputer(TransformerMixin, BaseEstimator):
    """Base of the time-series imputers.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill what is left at the ends backward and forward.

    Subclasses implement `_fit(values, times)` and `_transform(values, times)` on the value
    columns (NaN where missing) and the time axis; `_fit_transform` may be overridden when
    fitting already yields the imputed training data.
    """

    def __init__(self, time_column=-1, missing_values=np.nan, enable_fillna=True):
        self.time_column = time_column
        self.missing_values = missing_values
        self.enable_fillna = enable_fillna

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags

    # -- data handling -------------------------------------------------------------------------
    def _split(self, X, fitting):
        data = check_array(X, dtype=np.float64, copy=True, ensure_min_samples=1, **_ALLOW_NAN)
        if not data.flags.writeable:  # pandas' nullable columns come back as a read-only view
            data = data.copy()
        t = time_column_index(self.time_column)
        n_rows, n_cols = data.shape
        if t >= n_cols:
            raise ValueError(f"time column {t} is outside the {n_cols} columns of the data")
        if fitting:
            self.n_features_in_ = n_cols
        elif n_cols != self.n_features_in_:
            raise ValueError(
                f"X has {n_cols} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input."
            )
        value_cols = [j for j in range(n_cols) if j != t]
        values = data[:, value_cols]
        if not _is_missing_marker_nan(self.missing_values):
            values[values == self.missing_values] = np.nan
        if t >= 0:
            times = data[:, t]
            if not np.all(np.isfinite(times)):
                raise ValueError("the time column has missing or infinite values")
            if n_rows > 1 and not np.all(np.diff(times) > 0):
                raise ValueError("the time column is not strictly increasing")
        else:
            times = np.arange(n_rows, dtype=np.float64)
        return data, value_cols, values, times

    def _finish(self, data, value_cols, values, filled):
        missing = np.isnan(values)
        out_values = np.where(missing, filled, values)
        if self.enable_fillna:
            out_values = fill_ends(out_values)
            left = np.isnan(out_values)
            if left.any():
                # A column with nothing observed in this data: the training mean.
                out_values[left] = np.take(self.fallback_, np.nonzero(left)[1])
        data[:, value_cols] = out_values
        return data

    # -- estimator protocol --------------------------------------------------------------------
    def _fit_checked(self, X):
        data, value_cols, values, times = self._split(X, fitting=True)
        empty = np.all(np.isnan(values), axis=0)
        if empty.any():
            cols = [value_cols[j] for j in np.nonzero(empty)[0]]
            raise ValueError(f"column(s) {cols} have no observed values to impute from")
        self.fallback_ = np.nanmean(values, axis=0)
        return data, value_cols, values, times

    @staticmethod
    def _fingerprint(values, times):
        digest = hashlib.sha256(np.ascontiguousarray(values).tobytes())
        digest.update(np.ascontiguousarray(times).tobytes())
        return digest.hexdigest()

    def fit(self, X, y=None):
        self.fit_transform(X)
        return self

    def transform(self, X):
        check_is_fitted(self, "fallback_")
        data, value_cols, values, times = self._split(X, fitting=False)
        if not np.isnan(values).any():
            filled = values
        elif self._fingerprint(values, times) == self.fit_fingerprint_:
            # The training data: the imputation found while fitting.
            filled = self.fit_imputed_
        else:
            filled = self._transform(values.copy(), times)
        return self._finish(data, value_cols, values, filled)

    def fit_transform(self, X, y=None, **fit_params):
        data, value_cols, values, times = self._fit_checked(X)
        filled = self._fit_transform(values.copy(), times)
        self.fit_fingerprint_ = self._fingerprint(values, times)
        self.fit_imputed_ = np.where(np.isnan(values), filled, values)
        return self._finish(data, value_cols, values, filled)

    # -- to be provided by subclasses ----------------------------------------------------------
    def _fit(self, values, times):
        """Learns what `_transform` needs (nothing by default)."""

    def _transform(self, values, times):
        raise NotImplementedError(f"{type(self).__name__} does not implement _transform")

    def _fit_transform(self, values, times):
        self._fit(values.copy(), times)
        return self._transform(values, times)

    # -- helpers for imputers built on other estimators ----------------------------------------
    def _prefill(self, imputer, values, times, fitting):
        """Complete values from the pre-filling imputer (its clone when fitting)."""
        if fitting:
            imputer = clone(imputer)
            params = imputer.get_params(deep=False)
            if "time_column" in params:
                # The values reach it with the time axis as column 0 and NaN as the marker.
                imputer.set_params(time_column=0, missing_values=np.nan)
            self.base_imputer_ = imputer
        else:
            imputer = self.base_imputer_
        if "time_column" in imputer.get_params(deep=False):
            data = np.column_stack([times, values])
            out = imputer.fit_transform(data) if fitting else imputer.transform(data)
            out = np.asarray(out, dtype=float)[:, 1:]
        else:
            out = imputer.fit_transform(values) if fitting else imputer.transform(values)
            out = np.asarray(out, dtype=float)
        if out.shape != values.shape:
            raise ValueError(
                f"the base imputer returned shape {out.shape} for values of shape {values.shape}"
            )
        out = fill_ends(out)
        left = np.isnan(out)
        if left.any():
            out[left] = np.take(self.fallback_, np.nonzero(left)[1])
        return out
