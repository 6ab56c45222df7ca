"""ForecastingPipeline: interpolator and engine forecaster, built anew on every fit."""

import logging
import pickle
import subprocess
import sys

import numpy as np
import pytest
from helpers import monthly_wave as seasonal
from sklearn.base import BaseEstimator, clone
from sklearn.exceptions import NotFittedError
from sklearn.pipeline import Pipeline
from sklearn.utils import get_tags
from sklearn.utils.validation import check_is_fitted

import tidewell_ts_libs.quillcast.quillcast_chain as chain
from tidewell_ts_libs.quillcast.quillcast_chain import ForecastingPipeline
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator

DEFAULT_ARGS = {"interpolator_type": "linear", "ts_icol_loc": -1, "ts_ocol_loc": -1, "debug": False}


def test_import_sets_root_logger_level():
    code = (
        "import logging; logging.getLogger().setLevel(logging.DEBUG);"
        "import tidewell_ts_libs.quillcast.quillcast_chain as c;"
        "print(logging.getLogger().level, c.logger is logging.getLogger())"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == [str(logging.WARNING), "True"]


def test_module_bindings():
    assert chain.QuillcastForecaster is QuillcastForecaster
    assert chain.QuillcastInterpolator is QuillcastInterpolator
    assert chain.Pipeline is Pipeline
    assert issubclass(ForecastingPipeline, Pipeline) and type(ForecastingPipeline) is type(Pipeline)


def test_constructor_attributes():
    fp = ForecastingPipeline()
    assert list(vars(fp)) == ["ts_ocol_loc", "ts_icol_loc", "fill_missing_vals", "qc_pipeline",
                              "optimize_interpolator", "qc_pipeline_args", "interpolator_type",
                              "estimator", "debug"]
    assert fp.qc_pipeline_args == DEFAULT_ARGS
    assert fp.estimator is None and fp.qc_pipeline is None
    assert not hasattr(fp, "steps")
    for name in ("prediction_horizon", "log_transform", "lookback_win"):
        assert not hasattr(fp, name)
    loc = [0]
    fp = ForecastingPipeline(loc, True, "akima", True, 5, False, 3, True, algorithm="arima", p_max=2)
    assert fp.ts_icol_loc is loc and fp.ts_ocol_loc is loc
    assert (fp.fill_missing_vals, fp.interpolator_type, fp.optimize_interpolator, fp.debug) == (
        True, "akima", True, True)
    assert fp.qc_pipeline_args == {"algorithm": "arima", "p_max": 2, "interpolator_type": "akima",
                                   "ts_icol_loc": [0], "ts_ocol_loc": [0], "debug": True}
    assert fp.get_model_params() is fp.qc_pipeline_args


class Recorded(BaseEstimator):
    """Records how the pipeline builds and uses its components."""

    built = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        Recorded.built.append(self)

    def get_params(self, deep=True):
        return dict(self.kwargs)

    def fit(self, X, y=None, **fit_params):
        self.fit_args = (X, y, fit_params)
        return self

    def fit_transform(self, X, y=None):
        self.fit(X, y)
        return np.asarray(X) * 2

    def predict(self, X, **kwargs):
        return ("predict", X, kwargs)

    def score(self, X, y=None, sample_weight=None):
        return ("score", X, y, sample_weight)


@pytest.fixture
def recorded(monkeypatch):
    Recorded.built = []
    forecaster = type("Forecaster", (Recorded,), {})
    interpolator = type("Interpolator", (Recorded,), {})
    monkeypatch.setattr(chain, "QuillcastForecaster", forecaster)
    monkeypatch.setattr(chain, "QuillcastInterpolator", interpolator)
    return forecaster, interpolator


@pytest.mark.parametrize("fill", [False, True])
def test_fit_builds_components_from_settings(recorded, fill):
    forecaster, interpolator = recorded
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=fill, debug=True, p_max=3)
    X = np.ones((4, 2))
    assert fp.fit(X, "y", ignored=1) is fp
    expected = {"p_max": 3, "interpolator_type": "linear", "ts_icol_loc": [0],
                "ts_ocol_loc": [0], "debug": True}
    assert isinstance(fp.estimator, forecaster) and fp.estimator.kwargs == expected
    assert fp.qc_pipeline_args == expected  # building does not change the settings
    assert isinstance(fp.qc_pipeline, Pipeline) and fp.qc_pipeline.steps == fp.steps
    if fill:
        assert [name for name, _ in fp.steps] == ["interpolator", "forecaster"]
        assert isinstance(fp.interpolator, interpolator) and fp.interpolator.kwargs == expected
        np.testing.assert_array_equal(fp.estimator.fit_args[0], X * 2)
    else:
        assert [name for name, _ in fp.steps] == ["forecaster"]
        assert not hasattr(fp, "interpolator")
    # The new forecaster is trained from scratch; the caller's fit keywords are not passed on.
    assert fp.estimator.fit_args[1:] == ("y", {"_reset_model": True})
    first = fp.estimator
    fp.fit(X)
    assert fp.estimator is not first


def test_predict_score_and_failures(recorded, caplog):
    forecaster, _ = recorded
    fp = ForecastingPipeline()
    with pytest.raises(NotFittedError, match="not fitted"):
        fp.predict(np.ones((2, 1)))
    with pytest.raises(NotFittedError):
        fp.score(np.ones((2, 1)))
    fp.fit(np.ones((3, 1)))
    assert fp.predict("X", prediction_type="sliding_window", prediction_horizon=3) == (
        "predict", "X", {"prediction_type": "sliding_window", "prediction_horizon": 3})
    assert fp.score("X", "y", sample_weight="w") == ("score", "X", "y", "w")

    def failing_fit(self, X, y=None, **kw):
        raise RuntimeError("engine failure")

    forecaster.fit = failing_fit
    with caplog.at_level(logging.WARNING):
        assert fp.fit(np.ones((3, 1))) is fp
    assert "Model not Fitted!!,skipping" in caplog.messages
    assert isinstance(fp.estimator, forecaster)

    def failing_init(self, **kw):
        raise TypeError("bad setting")

    forecaster.__init__ = failing_init
    with pytest.raises(TypeError, match="bad setting"):
        fp.fit(np.ones((3, 1)))


def test_set_params_joins_settings_and_sets_parameters(recorded):
    # A search sets one setting at a time on a clone: the others must stay.
    fp = ForecastingPipeline(fill_missing_vals=True, algorithm="arima", p_max=2)
    assert fp.set_params(p_max=3, ts_icol_loc=[0], interpolator_type="cubic") is fp
    assert fp.qc_pipeline_args == {"algorithm": "arima", "p_max": 3, "interpolator_type": "cubic",
                                   "ts_icol_loc": [0], "ts_ocol_loc": [0], "debug": False}
    assert (fp.ts_icol_loc, fp.ts_ocol_loc, fp.interpolator_type) == ([0], [0], "cubic")
    fp.fit(np.ones((3, 2)))
    assert fp.estimator.kwargs == {"algorithm": "arima", "p_max": 3, "interpolator_type": "cubic",
                                   "ts_icol_loc": [0], "ts_ocol_loc": [0], "debug": False}
    assert fp.get_params()["algorithm"] == "arima" and fp.get_params()["p_max"] == 3


def test_grid_search_keeps_the_algorithm_it_was_given():
    from sklearn.model_selection import GridSearchCV, TimeSeriesSplit

    search = GridSearchCV(ForecastingPipeline(algorithm="arima", prediction_horizon=4),
                          {"p_max": [1, 2]}, cv=TimeSeriesSplit(2, test_size=12),
                          scoring=lambda est, X, y=None: 0.0)
    search.fit(seasonal(96))
    assert search.best_estimator_.estimator.model_name.startswith("arima")


def test_param_dist(monkeypatch):
    shared = {"algorithm": ["hw"]}

    class F:
        @classmethod
        def get_param_dist(cls):
            return shared

    class Interp:
        @classmethod
        def get_param_dist(cls):
            return {"interpolator_type": ["linear", "akima"]}

    monkeypatch.setattr(chain, "QuillcastForecaster", F)
    monkeypatch.setattr(chain, "QuillcastInterpolator", Interp)
    assert ForecastingPipeline().get_param_dist() == {"algorithm": ["hw"]}
    both = ForecastingPipeline(optimize_interpolator=True).get_param_dist(size=10)
    assert both == {"algorithm": ["hw"], "interpolator_type": ["linear", "akima"]}
    assert shared == {"algorithm": ["hw"]}


def test_param_dist_of_real_components():
    dist = ForecastingPipeline(optimize_interpolator=True).get_param_dist()
    assert set(QuillcastForecaster.get_param_dist()) <= set(dist)
    assert set(QuillcastInterpolator.get_param_dist()) <= set(dist)


# ---------------------------------------------------------------------------------------------
# With the engine


def test_fit_trains_the_forecaster_and_predicts():
    data = seasonal(96)
    fp = ForecastingPipeline().fit(data)
    assert fp.estimator.is_fitted_
    assert check_is_fitted(fp) is None
    forecast = fp.predict(None)
    assert forecast.shape == (1, 1) and np.isfinite(forecast).all()
    sliding = fp.predict(data[-5:], prediction_type="sliding_window")
    np.testing.assert_allclose(sliding, fp.estimator.predict_sliding_window(data[-5:]))


def test_fit_fills_missing_values_before_training():
    data = seasonal(96, with_time=True)
    data[[10, 11, 40], 1] = np.nan
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=True).fit(data)
    assert fp.estimator.is_fitted_ and fp.estimator.n_features_ == 1
    assert fp.interpolator.interpolator_type == "linear"
    assert np.isfinite(fp.predict(None)).all()


def test_target_without_any_value_is_refused_not_filled_with_zeros(caplog):
    data = seasonal(96, with_time=True)
    data = np.column_stack([data, data[:, 1] * 2])
    data[:, 2] = np.nan
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=True)
    with pytest.raises(ValueError) as info:
        fp.fit(data)
    assert str(info.value).startswith("X: value column 2 has no observed value (all 96 values")
    assert "Model not Fitted!!,skipping" not in caplog.messages
    # The value that marks a missing entry counts as missing too.
    marked = seasonal(96)
    marked[:, 0] = -1.0
    with pytest.raises(ValueError, match="value column 0 has no observed value"):
        ForecastingPipeline(fill_missing_vals=True, missing_val_identifier=-1.0).fit(marked)
    # A column the forecaster does not train on may be empty; one observed value is enough.
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=True, target_column_indices=[1])
    assert np.isfinite(fp.fit(data).predict(None)).all()
    data[:-1, 2] = np.nan
    data[-1, 2] = 5.0
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=True).fit(data)
    assert fp.estimator.is_fitted_


def test_set_params_picks_the_algorithm_of_the_next_fit():
    fp = ForecastingPipeline().set_params(algorithm="arima", prediction_horizon=4)
    fp.fit(seasonal(96))
    assert fp.estimator.algorithm == "arima"
    assert fp.predict(None).shape == (4, 1)


# ---------------------------------------------------------------------------------------------
# scikit-learn protocol


def test_repr_params_clone_and_tags():
    fp = ForecastingPipeline(ts_icol_loc=[0], fill_missing_vals=True, prediction_horizon=3,
                             algorithm="arima")
    assert repr(fp) == "ForecastingPipeline(algorithm='arima', fill_missing_vals=True, ts_icol_loc=[0])"
    assert fp.get_params() == {"ts_icol_loc": [0], "fill_missing_vals": True,
                               "interpolator_type": "linear", "optimize_interpolator": False,
                               "debug": False, "algorithm": "arima"}
    copy = clone(fp)
    assert type(copy) is ForecastingPipeline and copy is not fp
    assert copy.qc_pipeline_args == fp.qc_pipeline_args
    assert copy.ts_icol_loc == [0] and copy.ts_icol_loc is not fp.ts_icol_loc
    assert copy.estimator is None
    fp.set_params(prediction_horizon=2)
    assert clone(fp).qc_pipeline_args == {**fp.qc_pipeline_args, "prediction_horizon": 2}
    assert get_tags(ForecastingPipeline()).requires_fit
    assert not ForecastingPipeline().__sklearn_is_fitted__()
    with pytest.raises(NotFittedError):
        check_is_fitted(ForecastingPipeline())


def test_fitted_pipeline_pickles():
    data = seasonal(96)
    fp = ForecastingPipeline().fit(data)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(fp, protocol=protocol))
        assert copy.qc_pipeline_args == fp.qc_pipeline_args
        assert copy[-1] is copy.estimator
        np.testing.assert_allclose(copy.predict(data[-3:]), fp.predict(data[-3:]))
