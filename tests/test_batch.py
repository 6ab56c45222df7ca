"""Forecasting many series: results, failures per series, and equal results across backends."""

import numpy as np
import pandas as pd
import pytest
from helpers import trend_season

from tidewell_ts_libs.batch import forecast_many


def long_frame(n_series=6, n=48):
    rng = np.random.default_rng(7)
    frames = []
    for i in range(n_series):
        t = np.arange(n)
        y = trend_season(t, 20 + i, 0.2, 3, noise=0.3, rng=rng)
        frames.append(pd.DataFrame({"unique_id": f"s{i}", "ds": t, "y": y}))
    bad = [
        pd.DataFrame({"unique_id": "short", "ds": [0, 1], "y": [1.0, 2.0]}),
        pd.DataFrame({"unique_id": "empty", "ds": np.arange(10), "y": np.nan}),
        pd.DataFrame({"unique_id": "flat", "ds": np.arange(30), "y": 5.0}),
    ]
    return pd.concat(frames + bad, ignore_index=True)


def test_forecasts_every_series_and_reports_failures_per_series():
    res = forecast_many(long_frame(), algorithm="hw", horizon=6, holdout=6, season=12)
    errors = res.errors.set_index("id")
    assert errors.loc["short", "status"] == "failed" and "too short" in errors.loc["short", "message"]
    assert errors.loc["empty", "status"] == "failed" and "missing" in errors.loc["empty", "message"]
    assert errors.loc["flat", "status"] == "ok"
    ok = errors[errors.status == "ok"]
    assert len(ok) == 7
    assert (ok.drop(index="flat").smape < 10).all()
    flat = res.forecasts[res.forecasts.id == "flat"]
    np.testing.assert_allclose(flat.forecast, 5.0, atol=1e-6)
    assert res.forecasts.groupby("id").size().eq(6).all()
    assert list(res.forecasts[res.forecasts.id == "s0"].time) == list(range(42, 48))


def test_rejects_bad_arguments():
    df = long_frame(1)
    with pytest.raises(ValueError, match="unknown algorithm"):
        forecast_many(df, algorithm="nope")
    with pytest.raises(ValueError, match="no column"):
        forecast_many(df, value_column="value")


@pytest.mark.parametrize("backend", ["loky", "threading"])
def test_parallel_backends_give_the_single_process_result(backend):
    df = long_frame()
    one = forecast_many(df, algorithm="arima", horizon=4, holdout=4)
    two = forecast_many(df, algorithm="arima", horizon=4, holdout=4, n_jobs=2, backend=backend)
    pd.testing.assert_frame_equal(one.forecasts, two.forecasts)
    pd.testing.assert_frame_equal(one.errors.drop(columns="seconds"), two.errors.drop(columns="seconds"))


def test_dask_local_cluster_gives_the_single_process_result():
    distributed = pytest.importorskip("dask.distributed")
    df = long_frame()
    one = forecast_many(df, algorithm="hw", horizon=4, holdout=4, season=12)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        two = forecast_many(df, algorithm="hw", horizon=4, holdout=4, season=12, client=client)
    pd.testing.assert_frame_equal(one.forecasts, two.forecasts)
    pd.testing.assert_frame_equal(one.errors.drop(columns="seconds"), two.errors.drop(columns="seconds"))
