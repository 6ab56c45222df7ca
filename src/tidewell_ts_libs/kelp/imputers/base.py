"""FlattenImputer, the imputer on flattened look-back windows, and the names of the imputers'
base module.

FlattenImputer is defined here, the module its pickles name. The base class `TSImputer` and the
helpers the imputers share (`fill_ends`, `time_column_index`) live in `core` and are importable
from here as well. This module builds on `core` and on the interpolating imputers (its default
pre-fill is `PreMLImputer`); neither imports it, so the imputer modules import one another
without a cycle.
"""

import numbers

import numpy as np
from sklearn.base import clone

from tidewell_ts_libs.kelp.imputers.core import TSImputer, fill_ends, time_column_index
from tidewell_ts_libs.kelp.imputers.interpolators import PreMLImputer

__all__ = ["FlattenImputer", "TSImputer", "fill_ends", "time_column_index"]


class FlattenImputer(TSImputer):
    """Imputer on flattened look-back windows.

    The values are pre-filled with `base_imputer`; each row is then flattened together with the
    `order` - 1 rows before it into one feature vector (the row's own missing entries stay
    missing, the earlier rows come from the pre-fill), `model_imputer` fills the row's missing
    entries from that window, and the result is mapped back to the rows.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill the backward and forward.
        order (int): lookback window in rows; less than 1 chooses 5.
        base_imputer (obj): base imputer object (None: linear interpolation).
        model_imputer (obj): model imputer object (None: KNNImputer()).
    """

    def __init__(
        self,
        time_column=-1,
        missing_values=np.nan,
        enable_fillna=True,
        order=-1,
        base_imputer=None,
        model_imputer=None,
    ):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order
        self.base_imputer = base_imputer
        self.model_imputer = model_imputer

    def _window(self, n_rows):
        order = self.order if isinstance(self.order, numbers.Integral) else int(self.order)
        if order < 1:
            order = 5
        return max(1, min(order, n_rows))

    def _flatten(self, values, prefilled):
        n, c = values.shape
        k = self.window_
        blocks = [values]
        for lag in range(1, k):
            idx = np.maximum(np.arange(n) - lag, 0)
            blocks.append(prefilled[idx])
        return np.hstack(blocks), c

    def _fit(self, values, times):
        base = self.base_imputer if self.base_imputer is not None else PreMLImputer()
        prefilled = self._prefill(base, values, times, fitting=True)
        self.window_ = self._window(values.shape[0])
        windows, _ = self._flatten(values, prefilled)
        if self.model_imputer is None:
            from sklearn.impute import KNNImputer

            model = KNNImputer()
        else:
            model = clone(self.model_imputer)
        self.model_imputer_ = model.fit(windows)

    def _transform(self, values, times):
        prefilled = self._prefill(self.base_imputer_, values, times, fitting=False)
        windows, c = self._flatten(values, prefilled)
        out = np.asarray(self.model_imputer_.transform(windows), dtype=float)
        if out.shape[1] != windows.shape[1]:
            # The model imputer dropped features it could not learn: keep the pre-fill.
            return prefilled
        filled = out[:, :c]
        return np.where(np.isnan(filled), prefilled, filled)
