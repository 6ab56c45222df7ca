"""Search spaces (stages objects) for the automatic regression search.

A stages object is a list of stages; each stage is a list of ``(name, estimator)`` candidates, and
a pipeline is drawn by taking one candidate from every stage, in order. A candidate may be the
string ``"passthrough"`` (the stage does nothing); the last stage holds the regressors.

The objects here are shared by every caller: the search clones each candidate before fitting it
and never changes them.

Stages built on xgboost or lightgbm exist only when those packages are installed (the ``boost``
extra). Without them, ``xgb_dag``, ``lgbm_dag``, ``xgboost_multi_dag`` and ``lgbm_multi_dag`` are
placeholder objects (``UnavailableStages``) that can be passed around, copied and pickled, but
raise ``ImportError`` naming the extra as soon as they are iterated, indexed or measured; the
getters ``get_xgboost_multi_dag`` and ``get_lgbm_multi_dag`` raise that ``ImportError`` at once.

Single-output regressors wrapped per target (``MultiOutputRegressor``, ``RegressorChain``) need a
two-dimensional target; the ``n_jobs`` of the getters is the number of targets fitted in
parallel by those wrappers.
"""

from __future__ import annotations

import importlib

from sklearn.ensemble import (
    ExtraTreesRegressor,
    GradientBoostingRegressor,
    HistGradientBoostingRegressor,
    RandomForestRegressor,
)
from sklearn.linear_model import ElasticNet, Lasso, LinearRegression, Ridge
from sklearn.multioutput import MultiOutputRegressor, RegressorChain
from sklearn.neighbors import KNeighborsRegressor
from sklearn.neural_network import MLPRegressor
from sklearn.preprocessing import MinMaxScaler, RobustScaler, StandardScaler
from sklearn.svm import SVR
from sklearn.tree import DecisionTreeRegressor

__all__ = [
    "UnavailableStages",
    "complete_mino_flat_dag",
    "flat_reg_dag",
    "get_flat_dag",
    "get_lgbm_multi_dag",
    "get_multi_output_flat_dag",
    "get_multi_output_tiny_dag",
    "get_tiny_dag",
    "get_xgboost_multi_dag",
    "lgbm_dag",
    "lgbm_multi_dag",
    "mimo_flat_dag",
    "multi_output_flat_dag",
    "multi_output_tiny_dag",
    "regression_chain_flat_dag",
    "regression_chain_tiny_dag",
    "tiny_reg_dag",
    "xgb_dag",
    "xgboost_multi_dag",
]


class UnavailableStages:
    """Placeholder for a stages object whose regressors need an optional package.

    It can be stored, copied, compared and pickled; iterating, indexing or taking its length
    raises ``ImportError`` telling which package is missing and which extra installs it.
    """

    def __init__(self, name, package, extra, reason=""):
        self.name = name
        self.package = package
        self.extra = extra
        self.reason = reason

    def error(self):
        text = (
            f"the search space {self.name} needs the optional package {self.package}, which "
            f"is not available; install it with: pip install 'tidewell_ts_libs[{self.extra}]'"
        )
        if self.reason:
            text += f" ({self.reason})"
        return ImportError(text, name=self.package)

    def __iter__(self):
        raise self.error()

    def __len__(self):
        raise self.error()

    def __getitem__(self, index):
        raise self.error()

    def __contains__(self, item):
        raise self.error()

    def __bool__(self):
        return True

    def __repr__(self):
        return f"UnavailableStages({self.name!r}, package={self.package!r}, extra={self.extra!r})"


def _optional(package):
    """(module, None) when `package` imports, else (None, reason)."""
    try:
        return importlib.import_module(package), None
    except ImportError as exc:
        return None, str(exc)
    except Exception as exc:  # an installed but broken package must not stop this module loading
        return None, f"{type(exc).__name__}: {exc}"


_xgboost, _xgboost_reason = _optional("xgboost")
_lightgbm, _lightgbm_reason = _optional("lightgbm")


# -------------------------------------------------------------------------------------------
# Stage building blocks (fresh estimator objects at every call)


def _tiny_preprocessing():
    return [("no_scaling", "passthrough"), ("standard_scaler", StandardScaler())]


def _flat_preprocessing():
    return [
        ("no_scaling", "passthrough"),
        ("standard_scaler", StandardScaler()),
        ("min_max_scaler", MinMaxScaler()),
        ("robust_scaler", RobustScaler()),
    ]


def _tiny_native_regressors():
    """Regressors that take one- and two-dimensional targets."""
    return [
        ("linear_regression", LinearRegression()),
        ("ridge", Ridge()),
        ("k_neighbors", KNeighborsRegressor()),
        ("random_forest", RandomForestRegressor(n_estimators=50, random_state=0)),
    ]


def _flat_native_regressors():
    return [
        ("linear_regression", LinearRegression()),
        ("ridge", Ridge()),
        ("lasso", Lasso(alpha=0.01, max_iter=5000)),
        ("elastic_net", ElasticNet(alpha=0.01, max_iter=5000)),
        ("k_neighbors", KNeighborsRegressor()),
        ("decision_tree", DecisionTreeRegressor(max_depth=8, random_state=0)),
        ("random_forest", RandomForestRegressor(n_estimators=100, random_state=0)),
        ("extra_trees", ExtraTreesRegressor(n_estimators=100, random_state=0)),
        ("mlp", MLPRegressor(hidden_layer_sizes=(32,), max_iter=1000, random_state=0)),
    ]


def _tiny_single_output_regressors():
    """Regressors that take a one-dimensional target only."""
    return [
        ("ridge", Ridge()),
        ("gradient_boosting", GradientBoostingRegressor(n_estimators=50, random_state=0)),
    ]


def _flat_single_output_regressors():
    return [
        ("ridge", Ridge()),
        ("gradient_boosting", GradientBoostingRegressor(random_state=0)),
        ("hist_gradient_boosting", HistGradientBoostingRegressor(random_state=0)),
        ("svr", SVR()),
        ("k_neighbors", KNeighborsRegressor()),
    ]


def _per_target(regressors, n_jobs):
    return [(f"multi_{name}", MultiOutputRegressor(est, n_jobs=n_jobs)) for name, est in regressors]


def _chained(regressors):
    return [(f"chain_{name}", RegressorChain(est)) for name, est in regressors]


def _require(module, reason, name, package):
    if module is None:
        raise UnavailableStages(name, package, "boost", reason).error()
    return module


# -------------------------------------------------------------------------------------------
# Getters


def get_tiny_dag():
    """A small space: optional scaling, then four regressors that take any target shape."""
    return [_tiny_preprocessing(), _tiny_native_regressors()]


def get_flat_dag():
    """One scaling stage, then every regressor of the flat space.

    The gradient-boosting, SVR and histogram regressors take a one-dimensional target only; with
    a two-dimensional target the search skips them.
    """
    natives = _flat_native_regressors()
    singles = [c for c in _flat_single_output_regressors() if c[0] not in dict(natives)]
    return [_flat_preprocessing(), natives + singles]


def get_multi_output_tiny_dag(n_jobs):
    """Single-output regressors fitted once per target, `n_jobs` targets in parallel."""
    return [_tiny_preprocessing(), _per_target(_tiny_single_output_regressors(), n_jobs)]


def get_multi_output_flat_dag(n_jobs):
    """The flat single-output regressors fitted once per target, `n_jobs` targets in parallel."""
    return [_flat_preprocessing(), _per_target(_flat_single_output_regressors(), n_jobs)]


def _regression_chain_tiny():
    return [_tiny_preprocessing(), _chained(_tiny_single_output_regressors())]


def _regression_chain_flat():
    return [_flat_preprocessing(), _chained(_flat_single_output_regressors())]


def _mimo_flat():
    """Regressors that map many inputs to many outputs in one model."""
    return [_flat_preprocessing(), _flat_native_regressors()]


def _complete_mino_flat(n_jobs=1):
    """Everything of the flat space for several targets: native multi-output regressors,
    single-output ones per target, and single-output ones chained over the targets."""
    singles = _flat_single_output_regressors()
    return [
        _flat_preprocessing(),
        _flat_native_regressors() + _per_target(singles, n_jobs) + _chained(singles),
    ]


def _xgb_regressor(**kw):
    xgb = _require(_xgboost, _xgboost_reason, "xgboost", "xgboost")
    return xgb.XGBRegressor(n_estimators=200, max_depth=6, learning_rate=0.1, **kw)


def _lgbm_regressor(**kw):
    lgb = _require(_lightgbm, _lightgbm_reason, "lgbm", "lightgbm")
    return lgb.LGBMRegressor(n_estimators=200, learning_rate=0.05, verbose=-1, **kw)


def get_xgboost_multi_dag(n_jobs):
    """xgboost fitted once per target, `n_jobs` targets in parallel (needs the boost extra)."""
    _require(_xgboost, _xgboost_reason, "multi_xgboost", "xgboost")
    return [
        _tiny_preprocessing(),
        [("multi_xgboost", MultiOutputRegressor(_xgb_regressor(n_jobs=1), n_jobs=n_jobs))],
    ]


def get_lgbm_multi_dag(n_jobs):
    """lightgbm fitted once per target, `n_jobs` targets in parallel (needs the boost extra)."""
    _require(_lightgbm, _lightgbm_reason, "multi_lgbm", "lightgbm")
    return [
        _tiny_preprocessing(),
        [("multi_lgbm", MultiOutputRegressor(_lgbm_regressor(n_jobs=1), n_jobs=n_jobs))],
    ]


# -------------------------------------------------------------------------------------------
# The stage objects bound at import

tiny_reg_dag = get_tiny_dag()
flat_reg_dag = get_flat_dag()
multi_output_tiny_dag = get_multi_output_tiny_dag(1)
multi_output_flat_dag = get_multi_output_flat_dag(1)
regression_chain_tiny_dag = _regression_chain_tiny()
regression_chain_flat_dag = _regression_chain_flat()
mimo_flat_dag = _mimo_flat()
complete_mino_flat_dag = _complete_mino_flat()

if _xgboost is not None:
    xgb_dag = [_tiny_preprocessing(), [("xgboost", _xgb_regressor())]]
    xgboost_multi_dag = get_xgboost_multi_dag(1)
else:
    xgb_dag = UnavailableStages("xgboost", "xgboost", "boost", _xgboost_reason)
    xgboost_multi_dag = UnavailableStages("multi_xgboost", "xgboost", "boost", _xgboost_reason)

if _lightgbm is not None:
    lgbm_dag = [_tiny_preprocessing(), [("lgbm", _lgbm_regressor())]]
    lgbm_multi_dag = get_lgbm_multi_dag(1)
else:
    lgbm_dag = UnavailableStages("lgbm", "lightgbm", "boost", _lightgbm_reason)
    lgbm_multi_dag = UnavailableStages("multi_lgbm", "lightgbm", "boost", _lightgbm_reason)
