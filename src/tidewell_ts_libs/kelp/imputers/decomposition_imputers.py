"""Low-rank imputers on the trajectory matrix of a series.

The series (all value columns) is cut into overlapping windows of `order` rows; each window,
flattened, is one row of the trajectory matrix, so every value appears in up to `order` rows.
Starting from the pre-fill of `base_imputer`, the imputer alternates: fit the decomposition
(optionally after `scaler`), reconstruct the matrix from `n_components` components, average the
reconstructions of each value over its windows and put the averages in the missing places only.
It stops after `max_iter` rounds or when the missing values change by less than `tol`
(relative). Transforming new data runs the same rounds with the fitted decomposition.
"""

import numbers

import numpy as np
from sklearn.base import clone
from sklearn.decomposition import NMF, PCA, IncrementalPCA, KernelPCA, TruncatedSVD

from tidewell_ts_libs.kelp.imputers.core import TSImputer
from tidewell_ts_libs.kelp.imputers.interpolators import PreMLImputer


def _trajectory(values, order):
    n, c = values.shape
    rows = n - order + 1
    idx = np.arange(rows)[:, None] + np.arange(order)[None, :]
    return values[idx].reshape(rows, order * c)


def _average_back(matrix, n, c, order):
    """Mean, for every (row, column) of the series, of its reconstructions in all windows."""
    rows = matrix.shape[0]
    blocks = matrix.reshape(rows, order, c)
    total = np.zeros((n, c))
    count = np.zeros((n, 1))
    for lag in range(order):
        total[lag : lag + rows] += blocks[:, lag, :]
        count[lag : lag + rows] += 1
    return total / count


class _DecompositionImputer(TSImputer):
    def _window(self, n_rows):
        order = self.order
        if isinstance(order, bool) or not isinstance(order, numbers.Integral) or order < 1:
            raise ValueError(f"order must be a positive integer, got {order!r}")
        return min(int(order), n_rows)

    def _n_components(self, n_samples, n_features):
        k = self.n_components
        if isinstance(k, bool) or not isinstance(k, numbers.Integral) or k < 1:
            raise ValueError(f"n_components must be a positive integer, got {k!r}")
        return min(int(k), n_samples, n_features)

    def _make(self, n_components, n_features):
        raise NotImplementedError

    def _shift(self, matrix):
        return 0.0

    def _check_new(self, matrix):
        """Refuses new data the fitted decomposition cannot take."""

    def _impute(self, values, times, fitting):
        mask = np.isnan(values)
        if fitting:
            base = self.base_imputer
            if base is None:
                base = PreMLImputer()
            current = self._prefill(base, values, times, fitting=True)
            self.window_ = self._window(values.shape[0])
        else:
            current = self._prefill(self.base_imputer_, values, times, fitting=False)
        n, c = values.shape
        order = min(self.window_, n)
        n_iter = 0
        model = None if fitting else self.model_
        scaler = None if fitting else self.scaler_
        shift = 0.0 if fitting else self.shift_
        n_windows = n - order + 1
        if fitting and n_windows >= 2:
            k = self._n_components(n_windows, order * c)
            model = self._make(k, order * c)
        if model is not None and (fitting or order == self.window_) and (mask.any() or fitting):
            for _ in range(int(self.max_iter)):
                n_iter += 1
                matrix = _trajectory(current, order)
                if fitting:
                    shift = self._shift(matrix)
                matrix = matrix - shift
                if fitting and self.scaler is not None:
                    scaler = clone(self.scaler)
                    matrix = scaler.fit_transform(matrix)
                elif scaler is not None:
                    matrix = scaler.transform(matrix)
                if fitting:
                    model = clone(model).fit(matrix)
                else:
                    self._check_new(matrix)
                rebuilt = model.inverse_transform(model.transform(matrix))
                if scaler is not None:
                    rebuilt = scaler.inverse_transform(rebuilt)
                estimate = _average_back(np.asarray(rebuilt) + shift, n, c, order)
                if not mask.any():
                    break
                change = np.linalg.norm(estimate[mask] - current[mask])
                scale = np.linalg.norm(current[mask]) + 1e-12
                current[mask] = estimate[mask]
                if change / scale < self.tol:
                    break
        if fitting:
            self.model_ = model
            self.scaler_ = scaler
            self.shift_ = shift
            self.n_iter_ = n_iter
        return current

    def _fit_transform(self, values, times):
        return self._impute(values, times, fitting=True)

    def _fit(self, values, times):
        self._impute(values, times, fitting=True)

    def _transform(self, values, times):
        return self._impute(values, times, fitting=False)


class PCAImputer(_DecompositionImputer):
    """Iterative low-rank reconstruction with principal component analysis."""

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        base_imputer=None,
        scaler=None,
        max_iter=10,
        tol=0.001,
        n_components=3,
        whiten=False,
        svd_solver="auto",
        random_state=42,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.scaler = scaler
        self.max_iter = max_iter
        self.tol = tol
        self.n_components = n_components
        self.whiten = whiten
        self.svd_solver = svd_solver
        self.random_state = random_state

    def _make(self, n_components, n_features):
        return PCA(
            n_components=n_components,
            whiten=self.whiten,
            svd_solver=self.svd_solver,
            random_state=self.random_state,
        )


class KernelPCAImputer(_DecompositionImputer):
    """Iterative reconstruction with kernel PCA (its learned pre-image map)."""

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        base_imputer=None,
        scaler=None,
        max_iter=10,
        tol=0.001,
        n_components=3,
        kernel="linear",
        random_state=42,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.scaler = scaler
        self.max_iter = max_iter
        self.tol = tol
        self.n_components = n_components
        self.kernel = kernel
        self.random_state = random_state

    def _shift(self, matrix):
        # The learned pre-image map has no intercept: factorise the centred matrix.
        return matrix.mean(axis=0)

    def _make(self, n_components, n_features):
        return KernelPCA(
            n_components=n_components,
            kernel=self.kernel,
            fit_inverse_transform=True,
            random_state=self.random_state,
        )


class TruncatedSVDImputer(_DecompositionImputer):
    """Iterative reconstruction with a truncated singular value decomposition (no centring)."""

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        base_imputer=None,
        scaler=None,
        max_iter=10,
        tol=0.001,
        n_components=3,
        algorithm="randomized",
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.scaler = scaler
        self.max_iter = max_iter
        self.tol = tol
        self.n_components = n_components
        self.algorithm = algorithm

    def _n_components(self, n_samples, n_features):
        # TruncatedSVD needs fewer components than features.
        return max(1, min(super()._n_components(n_samples, n_features), n_features - 1))

    def _make(self, n_components, n_features):
        if n_features < 2:
            return None
        return TruncatedSVD(n_components=n_components, algorithm=self.algorithm, random_state=0)


class NMFImputer(_DecompositionImputer):
    """Iterative reconstruction with non-negative matrix factorisation (values are shifted to be
    non-negative while factorised)."""

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        base_imputer=None,
        scaler=None,
        max_iter=10,
        tol=0.001,
        n_components=3,
        init=None,
        random_state=42,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.scaler = scaler
        self.max_iter = max_iter
        self.tol = tol
        self.n_components = n_components
        self.init = init
        self.random_state = random_state

    def _shift(self, matrix):
        low = float(np.min(matrix))
        return min(low, 0.0)

    def _check_new(self, matrix):
        # The factors are non-negative, fitted on the training values shifted to be so: values
        # further below have no representation in them.
        if float(np.min(matrix)) < 0.0:
            scaled = " after its scaler" if self.scaler_ is not None else ""
            raise ValueError(
                f"NMFImputer: the new data go below the lowest value its non-negative factors "
                f"can represent{scaled} ({self.shift_:.6g}: the training minimum, or 0 when "
                "that was positive); "
                "fit it on data that cover the new values"
            )

    def _make(self, n_components, n_features):
        return NMF(
            n_components=n_components, init=self.init, random_state=self.random_state, max_iter=500
        )


class IncrementalPCAImputer(_DecompositionImputer):
    """Iterative low-rank reconstruction with incremental (batch-wise) PCA."""

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=5,
        base_imputer=None,
        scaler=None,
        max_iter=10,
        tol=0.001,
        n_components=3,
        whiten=False,
        batch_size=None,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.scaler = scaler
        self.max_iter = max_iter
        self.tol = tol
        self.n_components = n_components
        self.whiten = whiten
        self.batch_size = batch_size

    def _n_components(self, n_samples, n_features):
        k = super()._n_components(n_samples, n_features)
        if self.batch_size is not None:
            k = min(k, int(self.batch_size))
        return k

    def _make(self, n_components, n_features):
        return IncrementalPCA(
            n_components=n_components, whiten=self.whiten, batch_size=self.batch_size
        )
