"""Quantiles and non-negative forecasts through forecast_many and the command line: the quantile
columns, their scores over a holdout, the non-negative option and bad arguments."""

import numpy as np
import pandas as pd
import pytest
from cli_helpers import one_error_line, run_cli

from tidewell_ts_libs import series
from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.deps.tarn import _tarn

MONTHS = pd.date_range("2020-01-01", periods=48, freq="MS")


def counts_frame(seed=5):
    """Counts near zero, a seasonal series and a series with negative values."""
    rng = np.random.default_rng(seed)
    n = len(MONTHS)
    seasonal = 20 + 5 * np.sin(2 * np.pi * np.arange(n) / 12) + rng.normal(0, 1, n)
    return pd.concat(
        [
            pd.DataFrame({"unique_id": "counts", "ds": MONTHS, "y": rng.poisson(0.8, n) * 1.0}),
            pd.DataFrame({"unique_id": "seasonal", "ds": MONTHS, "y": seasonal}),
            pd.DataFrame({"unique_id": "negative", "ds": MONTHS, "y": rng.normal(0, 1, n)}),
        ],
        ignore_index=True,
    )


@pytest.mark.parametrize("algorithm", ["hw", "intermittent"])
def test_quantile_columns_are_ordered_monotone_and_match_the_bands(algorithm):
    res = forecast_many(counts_frame(), algorithm=algorithm, horizon=6, level=(95,),
                        quantiles=[0.975, 0.5, 0.025, 0.5, 0.1])
    f = res.forecasts
    cols = ["q-0.025", "q-0.1", "q-0.5", "q-0.975"]  # sorted, the repeat dropped
    assert [c for c in f.columns if c.startswith("q-")] == cols
    assert len(f) == 18 and (res.errors.status == "ok").all()
    q = f[cols].to_numpy()
    assert np.all(np.isfinite(q)) and np.all(np.diff(q, axis=1) >= 0)
    # The 0.025 and 0.975 quantiles are the bounds of the 95% interval, row by row; demand
    # data's bands are one-sided, [0, the 0.95 quantile], below their own 0.975 quantile.
    two_sided = (f.id.ne("counts") | (algorithm == "hw")).to_numpy()
    for lo, hi in ((f["q-0.025"], f["lo-95"]), (f["q-0.975"], f["hi-95"])):
        np.testing.assert_allclose(lo[two_sided], hi[two_sided], rtol=1e-12, atol=1e-12)
    if algorithm == "intermittent":
        assert (f["lo-95"][~two_sided] == 0).all()
        assert (f["q-0.975"][~two_sided] >= f["hi-95"][~two_sided]).all()
    # Without quantiles nothing changes: no quantile columns, no quantile scores.
    plain = forecast_many(counts_frame(), algorithm=algorithm, horizon=6, holdout=6)
    assert not [c for c in plain.forecasts.columns if c.startswith("q-")]
    assert "pinball" not in plain.errors and "crps" not in plain.errors


def test_holdout_scores_come_from_the_engine_on_the_columns_given():
    grid = series.CRPS_GRID
    frame = counts_frame()
    blank = frame.index[frame.unique_id == "seasonal"][-3]
    frame.loc[blank, "y"] = np.nan  # a blank holdout value is not scored
    res = forecast_many(frame, algorithm="hw", horizon=6, holdout=6, quantiles=grid,
                        level=(95,))
    errors = res.errors.set_index("id")
    assert res.forecasts.actual.isna().sum() == 1
    for sid, f in res.forecasts.groupby("id"):
        cols = [f"q-{series.quantile_label(p)}" for p in grid]
        scored = _tarn.quantile_scores(f.actual.to_numpy(), f[cols].to_numpy(), list(grid))
        # On the CRPS grid itself both scores are the ones of the columns returned.
        assert errors.loc[sid, "pinball"] == pytest.approx(scored["mean_pinball"], rel=1e-9)
        assert errors.loc[sid, "crps"] == pytest.approx(scored["crps"], rel=1e-9)
        assert errors.loc[sid, "crps"] == pytest.approx(2 * errors.loc[sid, "pinball"])
        # The CRPS of a calibrated forecast is below the MAE of its point forecast here, and
        # MSIS and coverage stay beside them.
        assert 0 < errors.loc[sid, "crps"] < errors.loc[sid, "mae"]
        assert np.isfinite(errors.loc[sid, "msis-95"])
    # Three quantiles give a pinball loss of their own; CRPS still uses the fine grid.
    few = forecast_many(frame, algorithm="hw", horizon=6, holdout=6,
                        quantiles=(0.05, 0.5, 0.95)).errors.set_index("id")
    assert few.loc["seasonal", "crps"] == pytest.approx(errors.loc["seasonal", "crps"])
    assert few.loc["seasonal", "pinball"] != pytest.approx(errors.loc["seasonal", "pinball"])


@pytest.mark.parametrize("algorithm", ["hw", "arima", "autoforecaster"])
def test_nonnegative_never_goes_below_zero_and_refuses_negative_data(algorithm):
    args = dict(algorithm=algorithm, horizon=8, level=(80, 95), quantiles=(0.01, 0.3, 0.99))
    free = forecast_many(counts_frame(), **args).forecasts
    kept = forecast_many(counts_frame(), nonnegative=True, **args)
    values = kept.forecasts.drop(columns=["id", "step", "time"]).to_numpy(float)
    assert np.all(values >= 0)
    counts = kept.forecasts.query("id == 'counts'")
    free_counts = free.query("id == 'counts'")
    # Censored at zero: what was above zero stays as it was.
    for col in ("q-0.99", "hi-95"):
        np.testing.assert_allclose(counts[col], np.maximum(free_counts[col], 0), rtol=1e-9)
    if algorithm != "autoforecaster":  # additive errors reach below zero on counts this low
        assert (free_counts["lo-95"] < 0).any()
    errors = kept.errors.set_index("id")
    assert errors.loc["negative", "status"] == "failed"
    assert "negative" in errors.loc["negative", "message"]
    assert (errors.drop(index="negative").status == "ok").all()


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"quantiles": [0.5, 1.0]}, "strictly between 0 and 1, got 1.0"),
        ({"quantiles": [0.0]}, "strictly between 0 and 1, got 0.0"),
        ({"quantiles": ["0.5"]}, "probabilities between 0 and 1, got '0.5'"),
        ({"quantiles": [np.nan]}, "strictly between 0 and 1, got nan"),
        ({"nonnegative": "yes"}, "nonnegative must be True or False"),
    ],
)
def test_bad_quantiles_and_nonnegative_are_refused_before_any_work(kwargs, text):
    with pytest.raises(ValueError, match=text):
        forecast_many(counts_frame(), algorithm="hw", horizon=2, **kwargs)


def write_csvs(tmp_path):
    frame = counts_frame().query("unique_id != 'negative'")
    wide = frame.query("unique_id == 'counts'")[["ds", "y"]].rename(columns={"y": "sales"})
    wide.assign(ds=wide.ds.dt.strftime("%Y-%m-%d")).to_csv(tmp_path / "sales.csv", index=False)
    frame.assign(ds=frame.ds.dt.strftime("%Y-%m-%d")).to_csv(tmp_path / "long.csv", index=False)


def test_command_line_quantiles_and_nonnegative_in_both_modes(tmp_path):
    write_csvs(tmp_path)
    res = run_cli("sales.csv", "--algorithms", "hw,arima", "--quantiles", "0.9, 0.1",
                  "--nonnegative", "--horizon", "4", "--output", "one", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "q-0.1" in res.stdout and "q-0.9" in res.stdout
    one = pd.read_csv(tmp_path / "one" / "forecast.csv")
    assert list(one.columns[-2:]) == ["sales_q-0.1", "sales_q-0.9"]
    assert (one.drop(columns=["ds", "algorithm"]) >= 0).all().all()
    assert (one["sales_q-0.1"] <= one["sales_q-0.9"]).all()

    res = run_cli("long.csv", "--series-column", "unique_id", "--algorithms", "hw",
                  "--quantiles", "0.05,0.5,0.95", "--nonnegative", "--horizon", "3",
                  "--output", "many", "--quiet", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    many = pd.read_csv(tmp_path / "many" / "forecast.csv")
    assert {"q-0.05", "q-0.5", "q-0.95"} <= set(many.columns)
    assert len(many) == 6 and (many.select_dtypes("number") >= 0).all().all()


@pytest.mark.parametrize(
    "args, text",
    [
        (["sales.csv", "--quantiles", "0.5,1"], "--quantiles 1 is not a probability"),
        (["sales.csv", "--quantiles", "a"], "--quantiles takes probabilities"),
        (["signed.csv", "--nonnegative"], "--nonnegative: column 'y' has a negative value"),
        (["signed.csv", "--series-column", "unique_id", "--nonnegative"],
         "-0.919124 (series 'negative', time 2020-05-01)"),
    ],
)
def test_command_line_refuses_bad_quantiles_and_negative_data_in_one_line(tmp_path, args, text):
    write_csvs(tmp_path)
    frame = counts_frame()
    if "--series-column" not in args:
        frame = frame.query("unique_id == 'negative'").drop(columns="unique_id")
    frame.to_csv(tmp_path / "signed.csv", index=False)
    res = run_cli(*args, "--output", "out", cwd=tmp_path)
    assert res.returncode == 2
    assert text in one_error_line(res)
    assert not (tmp_path / "out").exists()


def test_quantiles_and_regressors_together_through_forecast_many():
    rng = np.random.default_rng(0)
    n, h = 80, 6
    frames = []
    for sid in "ab":
        x = rng.normal(size=n + h)
        frames.append(pd.DataFrame({
            "unique_id": sid, "ds": pd.date_range("2020-01-01", periods=n + h, freq="D"),
            "y": 50 + 5 * x + rng.normal(size=n + h), "x": x}))
    df = pd.concat(frames)
    hist = df.groupby("unique_id").head(n)
    fut = df.groupby("unique_id").tail(h)[["unique_id", "ds", "x"]]
    out = forecast_many(hist, algorithm="arima", horizon=h, exog=["x"], X_df=fut,
                        quantiles=[0.1, 0.5, 0.9], level=(80,))
    fc = out.forecasts
    assert (out.errors["status"] == "ok").all() and len(fc) == 2 * h
    np.testing.assert_array_equal(fc["q-0.1"], fc["lo-80"])
    np.testing.assert_array_equal(fc["q-0.9"], fc["hi-80"])
    scored = forecast_many(df, algorithm="arima", horizon=h, holdout=h, exog=["x"],
                           quantiles=[0.1, 0.5, 0.9], nonnegative=True).errors
    assert np.all(np.isfinite(scored[["pinball", "crps"]].to_numpy()))
