"""Construction, configuration, scikit-learn protocol and persistence of QuillcastForecaster."""

import pickle
import subprocess
import sys

import numpy as np
import pytest
from helpers import trend_season
from sklearn.base import BaseEstimator, clone

from tidewell_ts_libs.quillcast import quillcast_estimator as qe
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def seasonal(n=96, period=12, targets=1):
    t = np.arange(n, dtype=float)
    cols = [trend_season(t, 50, 0.3, 8, period, phase=k) for k in range(targets)]
    return np.column_stack(cols)


def test_module_names_in_load_order():
    names = list(vars(qe))
    expected = ["logging", "pickle", "np", "BaseEstimator", "check_array", "check_is_fitted",
                "QuillcastUtils", "Messages", "Score", "tidewell_ts_libs", "qc",
                "QuillcastForecaster"]
    assert [n for n in names if n in expected] == expected
    assert qe.np is np
    assert qe.qc.Forecasters.hw == "hw"
    assert qe.Score.PREDICT_SLIDING_WINDOW == "sliding_window"


def test_class_is_an_ordinary_estimator_class():
    assert type(QuillcastForecaster) is type
    assert QuillcastForecaster.__bases__ == (BaseEstimator,)
    assert QuillcastForecaster.__module__ == "tidewell_ts_libs.quillcast.quillcast_estimator"
    doc = QuillcastForecaster.__doc__
    for word in ["ts_icol_loc", "log_transform", "samples_per_season", "p_max",
                 "training_sample_size", "autoforecaster"]:
        assert word in doc


def test_defaults():
    f = QuillcastForecaster()
    assert f.algorithm == "hw" and f.model_name == "hw"
    assert f.all_args == {"algorithm": "hw"}
    assert f.model == [] and f.model_dumps == []
    assert f.log_transformed is True
    assert not hasattr(f, "log_transform")
    assert f.ts_icol_loc == -1 and f.target_column_indices == -1
    assert f.prediction_horizon == 1 and f.lookback_win == 1 and f.debug is False
    assert f._timestamps is None and f._totalsamples is None
    assert f.model_update_predict is None and f.model_description is None and f.model_id is None
    assert f.model_family == "statistical" and f.compute_periodicity is True
    assert not hasattr(f, "is_fitted_")
    assert f.name() == "QuillcastForecaster"


def test_attributes_set_in_order():
    f = QuillcastForecaster("arima", [0], 3, False, 4, [1], True, p_max=3)
    assert list(vars(f))[:17] == [
        "ts_icol_loc", "target_column_indices", "_timestamps", "prediction_horizon",
        "_totalsamples", "lookback_win", "debug", "model", "model_dumps",
        "model_update_predict", "log_transformed", "compute_periodicity", "model_description",
        "model_family", "model_name", "model_id", "algorithm"]
    assert f.all_args == {"p_max": 3, "algorithm": "arima"}
    assert list(f.all_args) == ["p_max", "algorithm"]
    assert (f.model_name, f.prediction_horizon, f.lookback_win) == ("arima", 3, 4)


def test_too_many_positional_arguments():
    with pytest.raises(TypeError):
        QuillcastForecaster("hw", -1, 1, True, 1, -1, False, "extra")


@pytest.mark.parametrize("algorithm", [None, "None"])
def test_no_algorithm_means_holt_winters(algorithm):
    f = QuillcastForecaster(algorithm=algorithm)
    assert f.algorithm == "hw" and f.model_name == "hw"
    assert f.all_args == {"algorithm": "hw"}
    f.fit(seasonal(), None, _reset_model=True)
    assert f.is_fitted_ and f.algorithm == "hw_additive"


def test_model_params_and_set_params():
    f = QuillcastForecaster(algorithm="arima", p_max=3)
    params = f.get_model_params()
    assert params is f.all_args
    params["q_max"] = 2
    assert f.all_args["q_max"] == 2
    assert f.set_params(p_max=2) is f
    assert f.all_args == {"p_max": 2, "q_max": 2, "algorithm": "arima"}
    assert f.algorithm == "arima" and f.prediction_horizon == 1
    with pytest.raises(TypeError):
        f.set_params({"p_max": 2})
    assert f.set_model_fitted() is None and f.is_fitted_ is True


def test_get_params_reports_log_transform_and_settings():
    f = QuillcastForecaster(algorithm="arima", log_transform=False, p_max=3)
    params = f.get_params()
    assert params["log_transform"] is False
    assert params["algorithm"] == "arima" and params["p_max"] == 3
    assert not hasattr(f, "log_transform")
    assert repr(f) == "QuillcastForecaster(algorithm='arima', log_transform=False, p_max=3)"


def test_clone_keeps_configuration():
    f = QuillcastForecaster(algorithm="bats", prediction_horizon=4, log_transform=False,
                            target_column_indices=[0], box_cox_transform=False)
    g = clone(f)
    assert g is not f
    assert g.all_args == f.all_args and g.all_args is not f.all_args
    assert (g.prediction_horizon, g.log_transformed, g.target_column_indices) == (4, False, [0])
    assert g.model == [] and not hasattr(g, "is_fitted_")


def test_clone_of_trained_holt_winters_trains_again():
    # Training names the variant (hw_additive); the clone must still build Holt-Winters.
    f = QuillcastForecaster().fit(seasonal(), None, _reset_model=True)
    assert f.algorithm == "hw_additive"
    g = clone(f)
    assert g.get_params()["algorithm"] == "hw"
    g.fit(seasonal(), None, _reset_model=True)
    np.testing.assert_allclose(g.predict(prediction_horizon=3), f.predict(prediction_horizon=3))


@pytest.mark.parametrize("offset, given", [(0.0, False), (-500.0, True)])
def test_log_transform_set_after_training_waits_for_the_next_training(offset, given):
    # The trained models read and forecast on the scale they were trained on (log for positive
    # data, raw when the values rule the transform out): a new setting must not change how
    # they are read, only the next training from scratch.
    y = seasonal() + offset
    f = QuillcastForecaster(algorithm="hw", prediction_horizon=4).fit(y, None, _reset_model=True)
    before, trained_log = f.predict(), f.log_transformed
    f.set_params(log_transform=given)
    assert f.get_params()["log_transform"] is given and f.log_transformed is trained_log
    np.testing.assert_array_equal(f.predict(), before)
    g = pickle.loads(pickle.dumps(f))
    np.testing.assert_array_equal(g.predict(), before)
    assert clone(f).log_transformed is given
    # A training that fails keeps the trained models, their scale and the waiting setting.
    with pytest.raises(ValueError):
        f.fit(np.full((5, 1), np.nan), None, _reset_model=True)
    assert f.log_transformed is trained_log and f.get_params()["log_transform"] is given
    np.testing.assert_array_equal(f.predict(), before)
    f.fit(y, None, _reset_model=True)
    expect = QuillcastForecaster(algorithm="hw", prediction_horizon=4, log_transform=given)
    np.testing.assert_allclose(f.predict(), expect.fit(y, None, _reset_model=True).predict())


def fitted(targets=2, **kw):
    return QuillcastForecaster(**kw).fit(seasonal(targets=targets), None, _reset_model=True)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_of_trained_forecaster(protocol):
    f = fitted(prediction_horizon=5)
    g = pickle.loads(pickle.dumps(f, protocol=protocol))
    assert type(g) is QuillcastForecaster
    assert g.all_args == f.all_args and g.is_fitted_ and g.n_features_ == 2
    assert len(g.model) == 2 and g.model[0] is not f.model[0]
    np.testing.assert_array_equal(g.predict(), f.predict())
    new = seasonal(targets=2)[:6] + 1.0
    np.testing.assert_array_equal(g.predict(new), f.predict(new))


def test_failed_engine_import_is_printed_and_module_still_loads():
    code = (
        "import sys\n"
        "sys.modules['tidewell_ts_libs.deps.tarn'] = None\n"
        "import tidewell_ts_libs.quillcast.quillcast_estimator as m\n"
        "print('loaded', 'qc' in vars(m), 'tidewell_ts_libs' in vars(m))\n"
        "f = m.QuillcastForecaster()\n"
        "try:\n"
        "    f._getModel(algorithm='hw')\n"
        "except NameError as e:\n"
        "    print('NameError', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert out[0] == "Exception importing tarn"
    assert out[1] == "loaded False False"
    assert out[2].startswith("NameError") and "tidewell_ts_libs" in out[2]


def test_new_rows_in_a_frame_reach_their_columns_models_by_label():
    # Columns in another order than in training were fed to the other columns' models.
    import pandas as pd

    data = pd.DataFrame(seasonal(targets=2), columns=["a", "b"])
    data["b"] = data["b"] * 10
    f = QuillcastForecaster(prediction_horizon=2).fit(data.iloc[:80], None, _reset_model=True)
    new = data.iloc[80:90]
    expected = f.predict(new)
    np.testing.assert_array_equal(f.predict(new[["b", "a"]]), expected)
    np.testing.assert_array_equal(
        f.predict(new[["b", "a"]], prediction_type="sliding_window"),
        f.predict(new, prediction_type="sliding_window"),
    )
    f.fit(new[["b", "a"]], None)  # an update, as the rows in the training order would be
    g = QuillcastForecaster(prediction_horizon=2).fit(data.iloc[:80], None, _reset_model=True)
    g.fit(new, None)
    np.testing.assert_array_equal(f.predict(), g.predict())
    # With dates in a column of their own, matched by label before the dates are read.
    dated = data.assign(ds=pd.date_range("2000-01-01", periods=len(data), freq="MS"))
    d = QuillcastForecaster(prediction_horizon=2, ts_icol_loc=[2]).fit(
        dated.iloc[:80][["a", "b", "ds"]], None, _reset_model=True)
    rows = dated.iloc[80:90]
    np.testing.assert_array_equal(d.predict(rows[["ds", "b", "a"]]),
                                  d.predict(rows[["a", "b", "ds"]]))
    indexed = data.set_index(pd.date_range("2000-01-01", periods=len(data), freq="MS"))
    i = QuillcastForecaster(prediction_horizon=2).fit(indexed.iloc[:80], None, _reset_model=True)
    later = indexed.iloc[80:90]
    np.testing.assert_array_equal(i.predict(later.assign(z=1.0)[["z", "b", "a"]]),
                                  i.predict(later))
    # Another column besides (here in front) was fed to the first target's model.
    extra = new.assign(price=5.0)[["price", "b", "a"]]
    np.testing.assert_array_equal(f.predict(extra), f.predict(new))
    np.testing.assert_array_equal(f.score(extra), f.score(new))
    np.testing.assert_array_equal(
        f.predict(extra, prediction_type="sliding_window"),
        f.predict(new, prediction_type="sliding_window"),
    )
