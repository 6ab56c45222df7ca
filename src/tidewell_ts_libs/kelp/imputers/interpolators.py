"""Interpolating imputers: each fills the gaps of every value column along the time axis with one
of the engine's interpolation kernels (see `_kernels.fill`).

Gaps at the ends of a column are not extrapolated: with `enable_fillna` they take the nearest
observed value, otherwise they stay missing.
"""

import numbers

import numpy as np

from tidewell_ts_libs.kelp.imputers import _kernels
from tidewell_ts_libs.kelp.imputers.core import TSImputer


class _InterpolatingImputer(TSImputer):
    _method = "linear"

    def _kernel_order(self):
        return 3

    def _transform(self, values, times):
        data = np.column_stack([times, values])
        out = _kernels.fill(
            data,
            self._method,
            time_column=0,
            fill_ends=bool(self.enable_fillna),
            order=self._kernel_order(),
        )
        return out[:, 1:]


class PreMLImputer(_InterpolatingImputer):
    """Linear interpolation along the time axis: the pre-filling step of the model-based imputers.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill the ends backward and forward.
    """

    def __init__(self, time_column=-1, missing_values=np.nan, enable_fillna=True):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )


class LinearImputer(PreMLImputer):
    """Straight lines between the observed neighbours of each gap."""


class CubicImputer(PreMLImputer):
    """Natural cubic spline through the observed points."""

    _method = "cubic"


class QuadraticImputer(PreMLImputer):
    """Local quadratic through the three observed points closest around each gap."""

    _method = "quadratic"


class AkimaImputer(PreMLImputer):
    """Akima's spline: smooth, without the overshoot of a cubic spline near outliers."""

    _method = "akima"


class BaryCentricImputer(PreMLImputer):
    """Rational (Floater-Hormann) barycentric interpolation on the observed points near each gap."""

    _method = "barycentric"


class _OrderedImputer(_InterpolatingImputer):
    def __init__(self, time_column=-1, missing_values=np.nan, enable_fillna=True, order=3):
        super().__init__(
            time_column=time_column, missing_values=missing_values, enable_fillna=enable_fillna
        )
        self.order = order

    def _kernel_order(self):
        if isinstance(self.order, bool) or not isinstance(self.order, numbers.Integral):
            raise ValueError(f"order must be a positive integer, got {self.order!r}")
        if self.order < 1:
            raise ValueError(f"order must be a positive integer, got {self.order}")
        return int(self.order)

    def _fit(self, values, times):
        self._kernel_order()


class PolynomialImputer(_OrderedImputer):
    """Polynomial of degree `order` through the order + 1 observed points nearest each gap.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill the ends backward and forward.
        order (int): polynomial degree.
    """

    _method = "polynomial"

    def __init__(self, time_column=-1, missing_values=np.nan, enable_fillna=True, order=5):
        super().__init__(
            time_column=time_column,
            missing_values=missing_values,
            enable_fillna=enable_fillna,
            order=order,
        )


class SplineImputer(_OrderedImputer):
    """Interpolating spline of degree `order` through all observed points.

    Parameters:
        time_column (int or [int]): time column, -1 for none.
        missing_values (obj): missing value to be imputed.
        enable_fillna (boolean): fill the ends backward and forward.
        order (int): spline degree.
    """

    _method = "spline"

    def __init__(self, time_column=-1, missing_values=np.nan, enable_fillna=True, order=3):
        super().__init__(
            time_column=time_column,
            missing_values=missing_values,
            enable_fillna=enable_fillna,
            order=order,
        )
