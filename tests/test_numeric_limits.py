"""Limits of the number types: dates past what datetime64[ns] holds are an error naming the
limit, forecasts far ahead stay finite with intervals of some width, and long series fit."""

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.data import load_default
from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster, _next_dates


def late_months(last="2262-03-01", n=48):
    ds = pd.date_range(end=last, periods=n, freq="MS")
    y = 100 + 10 * np.sin(np.arange(n) * 0.5236) + 0.3 * np.arange(n)
    return pd.DataFrame({"ds": ds, "y": y})


def test_dates_past_2262_are_refused_not_wrapped():
    df = late_months()
    f = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=12, prediction_horizon=3).fit(df, None)
    assert list(f.forecast_times(1).strftime("%Y-%m-%d")) == ["2262-04-01"]
    with pytest.raises(ValueError, match="after 2262-04-11 23:47:16.854775807"):
        f.forecast_times(2)
    with pytest.raises(ValueError, match="2262-04-11"):
        _next_dates(df.ds.to_numpy(), 5)
    # in a batch the series fails with the reason; the others go on
    long = pd.concat(
        [late_months().assign(unique_id="late"), late_months("2020-12-01").assign(unique_id="ok")]
    )
    result = forecast_many(long, algorithm="hw", horizon=3, season=12)
    status = result.errors.set_index("id")
    assert status.loc["late", "status"] == "failed" and "2262-04-11" in status.loc["late", "message"]
    assert status.loc["ok", "status"] != "failed"
    assert result.forecasts.time.min() > pd.Timestamp("2020-12-01")


@pytest.mark.parametrize("algorithm", ["hw", "arima", "arma", "bats", "autoforecaster"])
@pytest.mark.parametrize("log_transform", [False, True])
def test_far_ahead_forecasts_are_finite_with_intervals_of_some_width(algorithm, log_transform):
    df = load_default()
    f = QuillcastForecaster(algorithm=algorithm, ts_icol_loc=[0], log_transform=log_transform)
    f.fit(df, None)
    h = 200_000
    with np.errstate(all="raise"):  # no overflow on the way either
        pred = np.asarray(f.predict(prediction_horizon=h)).ravel()
        lo, hi = (np.asarray(a).ravel() for a in f.predict_interval(prediction_horizon=h))
    assert np.all(np.isfinite(pred)) and np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))
    assert np.all(hi - lo > 0)
    assert np.all((lo <= pred) & (pred <= hi))


@pytest.mark.parametrize("algorithm", ["hw", "arima", "arma", "bats", "autoforecaster"])
def test_one_value_at_the_edge_of_the_range_leaves_forecasts_finite(algorithm):
    df = load_default()
    f = QuillcastForecaster(algorithm=algorithm, ts_icol_loc=[0]).fit(df, None)
    new = pd.DataFrame({"month": [pd.Timestamp("1961-01-01")], "passengers": [1e308]})
    with np.errstate(all="raise"):
        pred = np.asarray(f.predict(new, prediction_horizon=3)).ravel()
    assert np.all(np.isfinite(pred))


def test_holt_winters_takes_the_season_of_a_quarter_of_a_long_series():
    # The forecaster's default season is a quarter of the training length.
    m = forecasters.hws(samples_per_season=1_250_000, initial_training_seasons=4)
    assert not m.is_initialized()
    with pytest.raises(ValueError, match="at most 100000000"):
        forecasters.hws(samples_per_season=50_000_000, initial_training_seasons=4)


@pytest.mark.parametrize("algorithm", ["hw", "arima", "autoforecaster"])
def test_a_line_is_forecast_alike_at_every_scale(algorithm):
    # Values far below the log transform's shift of 2 keep their shape on their own scale: at
    # 1e-9 a straight line was forecast flat on the log scale.
    line = 100 + np.arange(36.0)
    expected = QuillcastForecaster(algorithm=algorithm, prediction_horizon=3).fit(
        line.reshape(-1, 1), None).predict().ravel()
    for scale in (1e-3, 1e-6, 1e-9, 1e-12):
        f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=3)
        got = f.fit((scale * line).reshape(-1, 1), None).predict().ravel() / scale
        np.testing.assert_allclose(got, expected, rtol=2e-3, err_msg=str(scale))
