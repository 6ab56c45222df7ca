"""Regressors through the forecaster: exog_columns in training, future_exog in forecasts and
intervals, new rows that carry their regressors, sliding windows, refusals and pickles."""

import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone

from tidewell_ts_libs.deps.tarn import _tarn, forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

B_TEMP, B_PROMO = 2.5, -4.0
N, H = 240, 24


def frame(errors="level", n=N + H, seed=7):
    """y = 2.5 temp - 4 promo + e, with e an ARIMA(1,1,0), an AR(1) around a mean or a slowly
    moving level with a season; columns y, temp, promo."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    temp = 3.0 * np.sin(0.07 * t) + rng.normal(size=n)
    promo = (rng.random(n) < 0.2).astype(float)
    z = rng.normal(size=n)
    e = np.empty(n)
    if errors == "arima":
        inc, level = 0.0, 100.0
        for i in range(n):
            inc = 0.5 * inc + z[i]
            level += inc
            e[i] = level
    elif errors == "arma":
        ar = 0.0
        for i in range(n):
            ar = 0.6 * ar + z[i]
            e[i] = 60.0 + ar
    else:
        e = 60.0 + np.cumsum(0.3 * z + 0.05) + 6.0 * np.sin(0.5236 * t) + 0.5 * rng.normal(size=n)
    return pd.DataFrame({"y": B_TEMP * temp + B_PROMO * promo + e, "temp": temp, "promo": promo})


def mae(a, b):
    return float(np.mean(np.abs(np.ravel(a) - np.ravel(b))))


FAMILIES = [("hw", "level", {"samples_per_season": 12}), ("arima", "arima", {}),
            ("arma", "arma", {}), ("bats", "level", {}),
            ("autoforecaster", "level", {})]


@pytest.mark.parametrize("algorithm,errors,settings", FAMILIES, ids=[f[0] for f in FAMILIES])
def test_each_family_recovers_the_effects_and_forecasts_better(algorithm, errors, settings):
    df = frame(errors)
    train, future = df.iloc[:N], df.iloc[N:]
    # The forecaster's log transform (on by default) leaves the effects in the series' units.
    f = QuillcastForecaster(algorithm=algorithm, exog_columns=[1, 2], **settings).fit(
        train, None, _reset_model=True)
    assert f.log_transformed and "fitted on y" in f.model[0].describe()
    reg = f.model[0].regression
    assert reg["joint"] == (algorithm in ("arima", "arma", "autoforecaster"))
    b, se = np.array(reg["coefficients"]), np.array(reg["standard_errors"])
    assert np.all(np.abs(b - [B_TEMP, B_PROMO]) < 3.0 * se), (b, se)
    assert np.all(se < 1.0)
    with_x = f.predict(prediction_horizon=H, future_exog=future[["temp", "promo"]])
    plain = QuillcastForecaster(algorithm=algorithm, **settings).fit(
        train[["y"]], None, _reset_model=True)
    assert mae(with_x, future["y"]) < mae(plain.predict(prediction_horizon=H), future["y"])
    lower, upper = f.predict_interval(prediction_horizon=H, level=90,
                                      future_exog=future[["temp", "promo"]].to_numpy())
    assert np.all(lower < with_x) and np.all(with_x < upper)


def test_frames_by_name_arrays_by_position_and_new_rows_carry_their_regressors():
    df = frame("arma")
    f = QuillcastForecaster(algorithm="arma", exog_columns=[2, 1]).fit(
        df.iloc[:200], None, _reset_model=True)
    assert f.n_features_ == 1 and f.exog_names_ == ["promo", "temp"]
    fut = df.iloc[200:206]
    by_name = f.predict(prediction_horizon=6, future_exog=fut[["temp", "y", "promo"]])
    by_position = f.predict(prediction_horizon=6, future_exog=fut[["promo", "temp"]].to_numpy())
    np.testing.assert_array_equal(by_name, by_position)
    # New rows update the models with their regressors; the horizon then follows them.
    after = f.predict(df.iloc[200:210].to_numpy(), prediction_horizon=4,
                      future_exog=df.iloc[210:214][["promo", "temp"]])
    assert mae(after, df["y"].iloc[210:214]) < 3.0
    # An updating fit feeds the rows without asking for the future.
    f.fit(df.iloc[200:210].to_numpy(), None)
    np.testing.assert_allclose(
        f.predict(prediction_horizon=4, future_exog=df.iloc[210:214][["promo", "temp"]]), after)


def test_dated_frames_keep_their_columns_for_the_regressors():
    df = frame("arma")
    df.index = pd.date_range("2021-03-01", periods=len(df), freq="D")
    f = QuillcastForecaster(algorithm="arima", exog_columns=[1, 2]).fit(
        df.iloc[:200], None, _reset_model=True)
    fc = f.predict(df.iloc[200:205], prediction_horizon=2, future_exog=df.iloc[205:207])
    assert mae(fc, df["y"].iloc[205:207]) < 3.0
    # A timestamp column of dates: the regressor indices are the frame's own.
    d2 = df.reset_index(names="day")
    g = QuillcastForecaster(algorithm="arima", exog_columns=[2, 3], ts_icol_loc=0).fit(
        d2.iloc[:200], None, _reset_model=True)
    assert g.n_features_ == 1 and g.exog_names_ == ["temp", "promo"]
    np.testing.assert_allclose(
        g.predict(d2.iloc[200:205], prediction_horizon=2, future_exog=d2.iloc[205:207]), fc)


def test_missing_short_wide_or_non_finite_future_regressors_are_refused():
    df = frame("arma")
    f = QuillcastForecaster(algorithm="arma", exog_columns=[1, 2]).fit(
        df.iloc[:200], None, _reset_model=True)
    fut = df.iloc[200:205][["temp", "promo"]].to_numpy()
    with pytest.raises(ValueError, match="future_exog is missing"):
        f.predict(prediction_horizon=5)
    with pytest.raises(ValueError, match="future_exog has 3 rows, too few for a horizon of 5"):
        f.predict(prediction_horizon=5, future_exog=fut[:3])
    with pytest.raises(ValueError, match="future_exog has 1 columns"):
        f.predict(prediction_horizon=5, future_exog=fut[:, :1])
    bad = fut.copy()
    bad[3, 1] = np.nan
    with pytest.raises(ValueError, match="future_exog row 3, column 1 is nan"):
        f.predict_interval(prediction_horizon=5, future_exog=bad)
    with pytest.raises(ValueError, match=r"lacks the regressor columns \['promo'\]"):
        f.predict(prediction_horizon=5, future_exog=df.iloc[200:205][["temp"]])
    # Given to a forecaster without regressors, they would be ignored: refused.
    plain = QuillcastForecaster(algorithm="arma").fit(df[["y"]].iloc[:200], None,
                                                      _reset_model=True)
    with pytest.raises(ValueError, match="trained without regressors"):
        plain.predict(prediction_horizon=5, future_exog=fut)


def test_bad_columns_and_training_values_are_named():
    df = frame()
    for cols, text in [([0], "column 0 is a target column"), ([5], "column 5 is outside"),
                       ([1, 1], "given more than once"), (["temp"], "integer column indices")]:
        with pytest.raises(ValueError, match=text):
            QuillcastForecaster(exog_columns=cols, target_column_indices=[0]).fit(
                df, None, _reset_model=True)
    with pytest.raises(ValueError, match="column 0 is the timestamp column"):
        QuillcastForecaster(exog_columns=[0], ts_icol_loc=0).fit(
            df.assign(y=np.arange(len(df)))[["y", "temp"]], None, _reset_model=True)
    gap = df.copy()
    gap.loc[17, "temp"] = np.inf
    with pytest.raises(ValueError, match=r"regressor column 1 \('temp'\), row 17 is inf"):
        QuillcastForecaster(exog_columns=[1, 2]).fit(gap, None, _reset_model=True)
    with pytest.raises(ValueError, match="intermittent: the model cannot take regressors"):
        QuillcastForecaster(algorithm="intermittent", exog_columns=[1]).fit(
            df.abs(), None, _reset_model=True)


def test_sliding_windows_take_the_later_rows_and_refuse_to_run_past_them():
    df = frame("arma")
    f = QuillcastForecaster(algorithm="arma", exog_columns=[1, 2], log_transform=False).fit(
        df.iloc[:200], None, _reset_model=True)
    rows = df.iloc[200:220].to_numpy()
    multi = f.predict_multi_step_sliding_window(rows, prediction_horizon=3)
    assert multi.shape == (3 * 18, 1)
    # The first window is the forecast of the trained models with the rows' regressors.
    first = f.predict(prediction_horizon=3, future_exog=rows[:3, 1:])
    np.testing.assert_allclose(multi[:3], first)
    one = f.predict_sliding_window(rows, prediction_horizon=1)
    assert one.shape == (20, 1) and mae(one, rows[:, 0]) < 3.0
    with pytest.raises(ValueError, match="regressors of forecast step 3 after row 17"):
        f.predict_sliding_window(rows, prediction_horizon=3)
    with pytest.raises(ValueError, match="not taken by a sliding-window forecast"):
        f.predict(rows, prediction_horizon=1, prediction_type="sliding_window",
                  future_exog=rows[:1, 1:])


@pytest.mark.parametrize("refit", [False, True])
def test_cross_validation_forecasts_each_window_with_its_rows_regressors(refit):
    df = frame("arma", n=230)
    f = QuillcastForecaster(algorithm="arma", exog_columns=[1, 2])
    cv = f.cross_validation(df, h=5, n_windows=2, step=5, refit=refit, level=[80])
    assert len(cv) == 10 and not hasattr(f, "is_fitted_")
    # The last window, as predict gives it from the rows before its origin.
    g = QuillcastForecaster(algorithm="arma", exog_columns=[1, 2])
    if refit:
        g.fit(df.iloc[:225], None, _reset_model=True)
        last = g.predict(prediction_horizon=5, future_exog=df.iloc[225:][["temp", "promo"]])
    else:
        g.fit(df.iloc[:220], None, _reset_model=True)
        last = g.predict(df.iloc[220:225].to_numpy(), prediction_horizon=5,
                         future_exog=df.iloc[225:][["temp", "promo"]])
    np.testing.assert_allclose(cv["forecast"].to_numpy()[5:], np.ravel(last), rtol=1e-9)
    assert mae(cv["forecast"], cv["actual"]) < 3.0
    assert np.all(cv["lo-80"] < cv["forecast"]) and np.all(cv["forecast"] < cv["hi-80"])


def test_parameters_clone_and_pickles():
    df = frame("arima")
    f = QuillcastForecaster(algorithm="arima", exog_columns=[1, 2])
    assert f.get_params()["exog_columns"] == [1, 2]
    assert clone(f).exog_columns == [1, 2]
    assert f.set_params(exog_columns=[2]).exog_columns == [2]
    f.set_params(exog_columns=[1, 2]).fit(df.iloc[:N], None, _reset_model=True)
    fut = df.iloc[N:N + 6][["temp", "promo"]]
    back = pickle.loads(pickle.dumps(f))
    assert back.model[0].kind == "regression"
    np.testing.assert_array_equal(back.predict(prediction_horizon=6, future_exog=fut),
                                  f.predict(prediction_horizon=6, future_exog=fut))
    lo, hi = f.predict_interval(prediction_horizon=6, future_exog=fut)
    lo2, hi2 = back.predict_interval(prediction_horizon=6, future_exog=fut)
    np.testing.assert_array_equal(lo, lo2)
    np.testing.assert_array_equal(hi, hi2)
    # A forecaster pickled before regressors existed has none.
    old = QuillcastForecaster(algorithm="arima").fit(df[["y"]].iloc[:N], None,
                                                     _reset_model=True)
    state = old.__getstate__()
    state.pop("exog_columns")
    older = QuillcastForecaster.__new__(QuillcastForecaster)
    older.__setstate__(state)
    assert older.exog_columns is None
    np.testing.assert_array_equal(older.predict(prediction_horizon=3),
                                  old.predict(prediction_horizon=3))


def test_quantiles_take_the_future_regressors_and_paths_refuse_them():
    df = frame("arma")
    train, future = df.iloc[:N], df.iloc[N:]
    f = QuillcastForecaster(algorithm="arma", exog_columns=[1, 2]).fit(train, None, _reset_model=True)
    xf = future[["temp", "promo"]].to_numpy()
    lo, hi = f.predict_interval(prediction_horizon=H, level=80, future_exog=xf)
    q = f.predict_quantiles(prediction_horizon=H, quantiles=[0.1, 0.9], future_exog=xf)
    np.testing.assert_array_equal(q[0.1], lo)
    np.testing.assert_array_equal(q[0.9], hi)
    with pytest.raises(ValueError, match="future_exog"):
        f.predict_quantiles(prediction_horizon=H, quantiles=[0.5])
    with pytest.raises(ValueError, match="regressors"):
        f.simulate(prediction_horizon=H, n_paths=10, random_state=1)


def test_the_engine_session_takes_regressors_beside_the_series():
    df = frame("arma", n=160)
    x = df[["temp", "promo"]].to_numpy()
    s = _tarn.Forecaster()
    s.train(np.arange(150), df["y"].to_numpy()[None, :150], [forecasters.arma()],
            log_transform=False, regressors=x[:150])
    assert s.n_regressors == 2 and s.models[0].kind == "regression"
    with pytest.raises(ValueError, match="future regressors missing"):
        s.forecast(4)
    fc = s.forecast(4, future=x[150:154])
    lo, hi = s.intervals(fc, 80, future=x[150:154])
    assert np.all(lo < fc) and np.all(fc < hi)
    rows = df.to_numpy()[150:156]  # value, then the regressors
    out, models, skips, usable = s.predict(rows, np.arange(150, 156), 4, future=x[156:160])
    assert usable == 6 and not skips and mae(out, df["y"].iloc[156:160]) < 3.0
    with pytest.raises(ValueError, match="must have 2 columns"):
        s.forecast(4, future=x[150:154, :1])
