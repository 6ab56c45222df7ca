"""Unusual but valid inputs give the results of their plain equivalents; bad ones a clear error."""

import logging
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils
from tidewell_ts_libs.utils.score import Score, compute_prediction_accuracy
from tidewell_ts_libs.utils.splitkit import make_holdout_split


def series(n=60, m=12, level=30.0):
    t = np.arange(n, dtype=float)
    return level + 0.1 * t + 4 * np.sin(2 * np.pi * t / m) + 0.3 * np.cos(7.3 * t)


def layouts(X):
    """The same matrix as a plain copy and as views of other memory layouts."""
    base = np.ascontiguousarray(X)
    fortran = np.asfortranarray(base)
    strided = np.repeat(base, 2, axis=0)[::2]
    flipped = base[::-1].copy()[::-1]
    read_only = base.copy()
    read_only.setflags(write=False)
    as_object = base.astype(object)
    return {"fortran": fortran, "strided": strided, "reversed view": flipped,
            "read-only": read_only, "object": as_object}


# -- raw buffers ------------------------------------------------------------------------------


def test_holdout_split_of_unsorted_iso_text_does_not_crash():
    # Runs in a child process: a fault here used to take the interpreter down.
    code = (
        "import numpy as np, pandas as pd\n"
        "from tidewell_ts_libs.utils.splitkit import make_holdout_split\n"
        "for dtype in (object, 'string'):\n"
        "    df = pd.DataFrame({'time': pd.array(['2021-03-%02d' % d for d in range(1, 21)],"
        " dtype=dtype), 'a': np.arange(20.0)}).iloc[::-1].reset_index(drop=True)\n"
        "    out = make_holdout_split(df, 'a', test_size=5, timestamp_column='time')\n"
        "    print(out[3][:, -1].tolist())\n"
    )
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split("\n")
    assert lines[0] == lines[1] == str([15.0, 16.0, 17.0, 18.0, 19.0])


@pytest.mark.parametrize("order", ["reversed", "strided"])
def test_holdout_split_of_frame_views_equals_a_copy(order):
    def view():  # text columns are converted in the caller's frame: a fresh one each time
        df = pd.DataFrame({
            "time": [f"2021-03-{d:02d}" for d in range(1, 29)],
            "a": [str(v) for v in np.arange(28.0)],  # text target: converted value by value
            "b": np.arange(28.0) * 2,
        })
        return df.iloc[::-1] if order == "reversed" else df.iloc[::2]

    got = make_holdout_split(view(), ["a", "b"], test_size=4, timestamp_column="time")
    want = make_holdout_split(view().copy().reset_index(drop=True), ["a", "b"], test_size=4,
                              timestamp_column="time")
    for g, w in zip(got, want, strict=True):
        np.testing.assert_array_equal(np.asarray(g, dtype=float), np.asarray(w, dtype=float))


@pytest.mark.parametrize("algorithm", ["hw", "arima", "bats"])
def test_forecaster_takes_any_memory_layout(algorithm):
    X = np.column_stack([np.arange(60.0), series(), series(level=50.0)])
    fit_on = X[:48]
    new = X[48:]
    want = QuillcastForecaster(algorithm, ts_icol_loc=[0]).fit(fit_on, None, _reset_model=True)
    ref_forecast = want.predict(new, prediction_horizon=3)
    ref_window = want.predict_multi_step_sliding_window(new, prediction_horizon=2)
    for name, data in layouts(fit_on).items():
        f = QuillcastForecaster(algorithm, ts_icol_loc=[0]).fit(data, None, _reset_model=True)
        np.testing.assert_array_equal(f.predict(), want.predict(), err_msg=name)
        for new_name, new_data in layouts(new).items():
            np.testing.assert_array_equal(f.predict(new_data, prediction_horizon=3), ref_forecast,
                                          err_msg=f"{name} / {new_name}")
            np.testing.assert_array_equal(
                f.predict_multi_step_sliding_window(new_data, prediction_horizon=2), ref_window,
                err_msg=f"{name} / {new_name}")


def test_metrics_and_periods_take_any_memory_layout():
    y = series(48)
    for name, data in layouts(y.reshape(-1, 2)).items():
        flat = np.asarray(data, dtype=float).ravel()
        assert QuillcastUtils.compute_metrics(data, data[::-1]) == QuillcastUtils.compute_metrics(
            flat, flat.reshape(-1, 2)[::-1].ravel()), name
    assert QuillcastUtils.get_init_samples(y[::-1][::-1]) == QuillcastUtils.get_init_samples(y.copy())


# -- horizons ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def trained():
    return {a: QuillcastForecaster(a).fit(series(80).reshape(-1, 1), None, _reset_model=True)
            for a in ["hw", "arima", "arma", "bats", "autoforecaster"]}


def test_huge_horizons_are_refused_at_once(trained):
    f = trained["arima"]
    for call in (lambda h: f.predict(prediction_horizon=h),
                 lambda h: f.predict(series(5).reshape(-1, 1), prediction_horizon=h),
                 lambda h: f.predict_sliding_window(series(5).reshape(-1, 1), prediction_horizon=h),
                 lambda h: f.predict_multi_step_sliding_window(series(5).reshape(-1, 1),
                                                               prediction_horizon=h),
                 lambda h: f.predict(series(5).reshape(-1, 1), prediction_horizon=h,
                                     prediction_type="sliding_window")):
        for h in (10**9, 1_000_001, 2**70):
            with pytest.raises(ValueError, match="above the limit of 1000000"):
                call(h)
    with pytest.raises(TypeError, match="prediction_horizon must be an integer"):
        f.predict(prediction_horizon="3")
    with pytest.raises(TypeError, match="prediction_horizon must be an integer"):
        f.predict(prediction_horizon=2.5)
    g = QuillcastForecaster(prediction_horizon=10**12)
    g.__dict__.update({k: v for k, v in f.__dict__.items() if k != "prediction_horizon"})
    with pytest.raises(ValueError, match="prediction_horizon"):
        g.predict()
    # A horizon of 0 forecasts nothing; a negative one is refused.
    assert f.predict(prediction_horizon=0).size == 0
    with pytest.raises(ValueError, match="prediction_horizon must not be negative, got -5"):
        f.predict(prediction_horizon=-5)


def test_long_paths_cost_linear_time_and_match_single_forecasts(trained):
    for name, f in trained.items():
        path = f.predict(prediction_horizon=20000)
        assert path.shape == (20000, 1) and np.isfinite(path).all(), name
        model = f.model[0]
        start = model.last_time_updated
        steps = [1, 2, 17, 999, 20000]
        single = np.array([model.forecast_at(start + k) for k in steps])
        if f.log_transformed:
            single = np.expm1(single) - 1
        np.testing.assert_allclose(path[np.array(steps) - 1, 0], single, rtol=1e-12, err_msg=name)
        # The binding's own path: the values of forecast_steps, to the bit.
        raw = model.forecast_path(500)
        assert raw.dtype == np.float64 and raw.shape == (500,)
        assert raw.tolist() == [model.forecast_steps(k) for k in range(1, 501)], name
    m = trained["arima"].model[0]
    assert m.forecast_path(0).shape == (0,)
    for bad, error in [(-1, ValueError), (1_000_001, ValueError), (2.0, TypeError),
                       (True, TypeError), ("5", TypeError)]:
        with pytest.raises(error, match="forecast_path"):
            m.forecast_path(bad)
    with pytest.raises(RuntimeError):
        forecasters.arima().forecast_path(3)  # not trained yet


# -- silent results ---------------------------------------------------------------------------


def test_log_transform_keeps_tiny_values_and_refuses_minus_two():
    f = QuillcastForecaster("arima").fit(np.full((40, 1), 1e-302), None, _reset_model=True)
    out = f.predict(prediction_horizon=3)
    assert np.all(out != 0.0) and np.allclose(out, 1e-302, rtol=1e-6, atol=0)
    assert f.log_transformed is False
    # A target of tiny values next to an ordinary one: both are trained on raw values.
    y = 1e-9 * np.sin(np.arange(40.0)) + 2e-9
    g = QuillcastForecaster("arima").fit(np.column_stack([y, series(40)]), None,
                                         _reset_model=True)
    assert g.log_transformed is False and (g.predict()[:, 0] != 0).all()
    # -2 exactly: the transform cannot take it, so training uses the raw values.
    x = series(40)
    x[5] = -2.0
    h = QuillcastForecaster("arima").fit(x.reshape(-1, 1), None, _reset_model=True)
    assert h.log_transformed is False and np.isfinite(h.predict()).all()
    k = QuillcastForecaster("arima").fit(series(40).reshape(-1, 1), None, _reset_model=True)
    with pytest.raises(Warning, match="-2 or below"):
        k.predict(np.array([[-2.0]]))
    with pytest.raises(Warning, match="-2 or below"):
        k.predict_sliding_window(np.array([[1.0], [-2.0], [3.0]]))


def test_inverse_transform_near_zero_is_precise():
    f = QuillcastForecaster("arima", log_transform=True)
    f.fit(np.full((40, 1), 2e-4), None, _reset_model=True)
    assert f.log_transformed
    # ln(x + 2) holds 2e-4 to about 1e-16 absolute: the forecast keeps its leading digits
    assert f.predict()[0, 0] == pytest.approx(2e-4, rel=1e-10)


@pytest.mark.parametrize("algorithm,key,value", [
    ("bats", "training_sample_size", 20),
    ("autoforecaster", "min_training_data", 24),
    ("hw", "error_history_length", 5),
    ("arima", "error_horizon_length", 4),
    ("bats", "samples_per_season", 6),
])
def test_training_keeps_the_settings_the_caller_gave(algorithm, key, value):
    f = QuillcastForecaster(algorithm, **{key: value})
    f.fit(series(80).reshape(-1, 1), None, _reset_model=True)
    assert f.all_args[key] == value
    if key == "training_sample_size":
        assert "training_sample_size=20" in f.model[0].describe()
    # What training filled in itself is filled in again by the next training.
    if algorithm == "bats" and key != "samples_per_season":
        first = f.all_args["samples_per_season"]
        f.fit(series(80, m=4).reshape(-1, 1), None, _reset_model=True)
        assert f.all_args[key] == value and f.all_args["samples_per_season"] != first


def test_arima_uses_the_training_size_the_caller_gave():
    f = QuillcastForecaster("arima", min_training_data=30)
    f.fit(series(80).reshape(-1, 1), None, _reset_model=True)
    assert f.all_args["min_training_data"] == 30 and f.is_fitted_


def test_target_columns_keep_their_order():
    X = np.column_stack([np.arange(60.0), series(60, level=10), series(60, level=100)])
    swapped = QuillcastForecaster("hw", ts_icol_loc=[0], target_column_indices=[2, 1],
                                  samples_per_season=12).fit(X[:48], None, _reset_model=True)
    plain = QuillcastForecaster("hw", ts_icol_loc=[0], target_column_indices=[1, 2],
                                samples_per_season=12).fit(X[:48], None, _reset_model=True)
    np.testing.assert_array_equal(swapped.predict(), plain.predict()[:, ::-1])
    np.testing.assert_array_equal(swapped.predict(X[48:], prediction_horizon=2),
                                  plain.predict(X[48:], prediction_horizon=2)[:, ::-1])
    np.testing.assert_array_equal(swapped.predict_sliding_window(X[48:]),
                                  plain.predict_sliding_window(X[48:])[:, ::-1])
    # All value columns, in another order: the training layout still feeds each model its own.
    Y = X[:, 1:]
    a = QuillcastForecaster("hw", target_column_indices=[1, 0], samples_per_season=12)
    a.fit(Y[:48], None, _reset_model=True)
    np.testing.assert_array_equal(a.predict(Y[48:]), plain.predict(X[48:])[:, ::-1])


@pytest.mark.parametrize("targets,error,text", [
    ([1, 1], ValueError, "more than once"),
    ([5], ValueError, "outside the 3 columns"),
    ([-1], ValueError, "outside the 3 columns"),
    ([0], ValueError, "timestamp column"),
    ([], ValueError, "at least one"),
    (["1"], TypeError, "integer column indices"),
    (1, TypeError, "a list of column indices"),
])
def test_bad_target_columns_name_the_setting(targets, error, text):
    X = np.column_stack([np.arange(30.0), series(30), series(30)])
    f = QuillcastForecaster(ts_icol_loc=[0], target_column_indices=targets)
    with pytest.raises(error, match="target_column_indices") as info:
        f.fit(X, None, _reset_model=True)
    assert text in str(info.value)


def test_accuracy_of_huge_values_is_finite():
    y = np.array([[1e300], [2e300], [3e300], [4e300]])
    mae, mse, r2, smape, _, _ = compute_prediction_accuracy(y, y.copy(), 1)
    assert (mae, mse, r2, smape) == (0.0, 0.0, 1.0, 0.0)
    # The true MSE is beyond the floating-point range: refused, naming the metric.
    with pytest.raises(ValueError, match="The MSE of target 0 is beyond the floating-point range"):
        compute_prediction_accuracy(y, y * 1.01, 1)
    mae, mse, r2, smape, _, _ = compute_prediction_accuracy(y / 1e160, y * 1.01 / 1e160, 1)
    assert np.isfinite([mae, mse, r2, smape]).all()
    assert r2 == pytest.approx(1 - (0.01**2 * 30) / 5)


@pytest.mark.parametrize("bad,text", [(2.5, "2.5"), (np.nan, "nan")])
def test_timestamps_must_be_whole(bad, text):
    X = np.column_stack([np.arange(30.0), series(30)])
    X[7, 0] = bad
    f = QuillcastForecaster(ts_icol_loc=[0])
    with pytest.raises(ValueError, match=f"timestamp column 0, row 7: {text}"):
        f.fit(X, None, _reset_model=True)
    good = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=6)
    good.fit(np.column_stack([np.arange(30.0), series(30)]), None, _reset_model=True)
    with pytest.raises(ValueError, match="timestamp column 0, row 1: 31.5"):
        good.predict(np.array([[30.0, 1.0], [31.5, 2.0]]))


def test_failed_save_says_why(tmp_path, caplog):
    with caplog.at_level(logging.WARNING, logger="tidewell_ts_libs.utils.score"):
        assert Score.save([1], str(tmp_path / "missing" / "x.gz")) is False
    assert "missing" in caplog.text and "FileNotFoundError" in caplog.text


@pytest.mark.parametrize("kwargs,error,name", [
    ({"samples_per_season": "12"}, TypeError, "samples_per_season"),
    ({"training_sample_size": [3]}, TypeError, "training_sample_size"),
    ({"p_max": float("nan")}, ValueError, "p_max"),
    ({"error_history_length": True}, TypeError, "error_history_length"),
])
def test_bad_settings_name_the_setting(kwargs, error, name):
    algorithm = "bats" if "training_sample_size" in kwargs else "arima" if "p_max" in kwargs else "hw"
    f = QuillcastForecaster(algorithm, **kwargs)
    f.compute_periodicity = False
    with pytest.raises(Exception, match=name):
        f.fit(series(40).reshape(-1, 1), None, _reset_model=True)
    with pytest.raises(error, match=name):
        f._getModel(**f.all_args)


@pytest.mark.parametrize("loc,error", [([], ValueError), (["a"], TypeError), ([1.5], TypeError)])
def test_bad_timestamp_location_names_the_setting(loc, error):
    with pytest.raises(error, match="ts_icol_loc"):
        QuillcastForecaster(ts_icol_loc=loc).fit(np.ones((20, 2)), None, _reset_model=True)


def test_algorithm_must_be_text():
    with pytest.raises(Exception, match="algorithm must be a string"):
        QuillcastForecaster(algorithm=3).fit(series(30).reshape(-1, 1), None, _reset_model=True)


# -- timestamps far beyond the latest observation ---------------------------------------------


@pytest.mark.parametrize("algorithm", ["hw", "arima", "bats", "autoforecaster"])
def test_jump_of_a_quadrillion_steps_is_refused_not_forecast(algorithm, capsys):
    X = np.column_stack([np.arange(60.0), series(60)])
    f = QuillcastForecaster(algorithm, ts_icol_loc=[0]).fit(X, None, _reset_model=True)
    before = f.predict(None)
    far = 59.0 + 1e15
    with pytest.raises(ValueError, match=r"time 1000000000000059 is 1000000000000000 grid steps "
                                         r"\(of 1\) after the latest observation at 59"):
        f.predict(np.array([[far, 30.0]]))
    with pytest.raises(ValueError, match="grid steps"):  # one call per row
        f.predict(np.array([[60.0, 30.0], [far, 30.0], [far + 1, 30.0]]),
                  prediction_type="sliding_window")
    assert "skipped" not in capsys.readouterr().out.lower()  # refused, not passed over
    # The trained models are untouched, and an ordinary gap still forecasts.
    np.testing.assert_array_equal(f.predict(None), before)
    assert np.isfinite(f.predict(np.array([[59.0 + 1000, 30.0]]))).all()


def test_engine_model_refuses_the_jump_and_keeps_its_state():
    m = forecasters.arima(min_training_data=40)
    m.update_model(np.arange(60), series(60))
    state = m.serialize()
    with pytest.raises(ValueError, match="observation at time 1000000000000059 is"):
        m.update_model(59 + 10**15, 1.0)
    with pytest.raises(ValueError, match="more than the 1000000000000 steps"):
        m.forecast_at(59.0 + 1e15)
    assert m.last_time_updated == 59 and m.serialize() == state
    m.update_model(59 + 10**12, 1.0)  # the longest gap is taken
    assert m.last_time_updated == 59 + 10**12


# -- clear errors of the other entry points ---------------------------------------------------


def test_holdout_split_names_what_is_wrong():
    import statistics

    df = pd.DataFrame({"t": [1, 2], "v": [1.0, 2.0]})
    with pytest.raises(statistics.StatisticsError, match="at least three rows"):
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    df = pd.DataFrame({"t": np.arange(10), "v": np.arange(10.0)})
    with pytest.raises(IndexError, match="timestamp_column: column 7 is outside the 2 columns"):
        make_holdout_split(df, "v", test_size=2, timestamp_column=7)
    with pytest.raises(IndexError, match="feature_columns: column 9 is outside"):
        make_holdout_split(df, "v", test_size=2, feature_columns=[9])
    with pytest.raises(Exception, match="TIDEWELLTSLIBS0070E"):
        make_holdout_split(df, "v", test_size=float("nan"))
    # A NaN column position is no position: reported like an unknown name.
    out = make_holdout_split(df, "v", test_size=2, timestamp_column=float("nan"))
    assert out[3].shape[0] == 2


@pytest.mark.parametrize("args,error,text", [
    ((np.ones((4, 1)), np.ones((4, 1)), "2"), TypeError, "ph must be an integer"),
    ((np.ones((4, 1)), np.ones((4, 1)), 0), ValueError, "ph must be at least 1"),
    ((np.ones((4, 1)), np.ones((4, 1)), None), TypeError, "ph must be an integer"),
    ((np.ones(4), np.ones(4), 1), ValueError, "y must be a two-dimensional"),
    (("a", "b", 1), TypeError, "y must be"),
    ((np.ones((4, 2)), np.ones((4, 1)), 1), ValueError, "a column per target"),
    (([np.ones(4)], np.ones((4, 1)), 1), TypeError, "y_pred must be a list"),
    (([np.ones(4), np.ones(4)], [np.ones(4)], 1), ValueError, "1 forecast arrays for the 2"),
])
def test_accuracy_arguments_are_checked(args, error, text):
    with pytest.raises(error, match=text):
        compute_prediction_accuracy(*args)


def test_ground_truth_arguments_are_checked():
    from tidewell_ts_libs.utils.score import prepare_ground_truth

    with pytest.raises(TypeError, match="a must be"):
        prepare_ground_truth(None)
    with pytest.raises(ValueError, match="prediction_horizon must be at least 1"):
        prepare_ground_truth(np.ones((4, 1)), 1, 0)
    with pytest.raises(TypeError, match="stepsize"):
        prepare_ground_truth(np.ones((4, 1)), "1", 2)


def test_sizing_helpers_refuse_huge_numbers():
    with pytest.raises(ValueError, match="length is too large"):
        QuillcastUtils.get_arima_init_size(0, 10**30)


def test_other_entry_points_take_any_memory_layout():
    from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator
    from tidewell_ts_libs.transforms import imputers as cat
    from tidewell_ts_libs.utils.predict import Predict
    from tidewell_ts_libs.utils.score import prepare_ground_truth

    X = np.column_stack([np.arange(30.0), series(30), series(30, level=5)])
    X[[3, 4, 17], 1] = np.nan
    X[[0, 9], 2] = np.nan
    stacked = np.column_stack([series(24), series(24, level=7)])  # 8 forecasts of horizon 3
    truth = np.column_stack([series(10), series(10, level=7)])
    want = {
        "interpolator": QuillcastInterpolator(ts_icol_loc=[0]).fit(X).transform(X),
        "catalogue": cat.linear().fit(X).transform(X),
        "ground truth": prepare_ground_truth(truth, 1, 3),
        "accuracy": compute_prediction_accuracy(truth, stacked, 3)[:4],
        "adjusted": Predict.adjust_prediction(truth, stacked, 3),
    }
    for name, data in layouts(X).items():
        np.testing.assert_array_equal(
            QuillcastInterpolator(ts_icol_loc=[0]).fit(data).transform(data),
            want["interpolator"], err_msg=name)
        np.testing.assert_array_equal(cat.linear().fit(data).transform(data), want["catalogue"],
                                      err_msg=name)
    for name, (t, p) in {k: (layouts(truth)[k], layouts(stacked)[k])
                         for k in layouts(truth)}.items():
        if name == "object":
            continue  # the scoring helpers take numeric arrays
        np.testing.assert_array_equal(prepare_ground_truth(t, 1, 3), want["ground truth"],
                                      err_msg=name)
        assert compute_prediction_accuracy(t, p, 3)[:4] == want["accuracy"], name
        np.testing.assert_array_equal(Predict.adjust_prediction(t, p, 3), want["adjusted"],
                                      err_msg=name)
    # The engine binding reads sequences of any layout.
    y = series(60)
    ref = forecasters.arima(min_training_data=40)
    ref.update_model(np.arange(60), y)
    for name, data in layouts(y.reshape(-1, 1)).items():
        m = forecasters.arima(min_training_data=40)
        m.update_model(layouts(np.arange(60).reshape(-1, 1))[name].ravel(), data.ravel())
        assert m.forecast_path(5).tolist() == ref.forecast_path(5).tolist(), name


def test_too_few_value_columns_without_timestamps():
    y = series(60)
    f = QuillcastForecaster("arima").fit(np.column_stack([y, y]), None, _reset_model=True)
    for method in ("predict", "predict_sliding_window", "predict_multi_step_sliding_window"):
        with pytest.raises(ValueError, match="X has 1 features, but QuillcastForecaster is expecting 2"):
            getattr(f, method)(np.ones((3, 1)), prediction_horizon=2)


def test_prediction_adjustment_needs_tables():
    from tidewell_ts_libs.utils.predict import Predict

    with pytest.raises(ValueError, match="y must be a two-dimensional array"):
        Predict.adjust_prediction(np.ones(4), np.ones(4), 1)
    with pytest.raises(ValueError, match="y_pred must be a two-dimensional array"):
        Predict.adjust_prediction(np.ones((4, 1)), np.ones(4), 1)
    with pytest.raises(ValueError, match="y_test must be a two-dimensional array"):
        Predict._adjust_y_test_y_pred_by_imputation_mask(np.ones(4), np.ones(4))
