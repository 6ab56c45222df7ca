"""Forecasting many series: results, failures per series, and equal results across backends."""

import contextlib

import numpy as np
import pandas as pd
import pytest
from helpers import trend_season

from tidewell_ts_libs import batch
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
    # A fractional count is refused, not cut short or failed series by series.
    with pytest.raises(ValueError, match=r"horizon must be a whole number, got 2\.5"):
        forecast_many(df, algorithm="hw", horizon=2.5)
    with pytest.raises(ValueError, match="holdout must be a whole number, got '3'"):
        forecast_many(df, algorithm="hw", horizon=2, holdout="3")
    # So is a season below one step or between whole steps (before: quietly 1, or cut short).
    for season in (-3, 0, 12.5, "12"):
        with pytest.raises(ValueError, match=f"season must be a whole number of steps.*{season!r}"):
            forecast_many(df, algorithm="hw", horizon=2, season=season)
    res = forecast_many(df[df.unique_id == "s0"], algorithm="hw", horizon=np.int64(2), holdout=2.0)
    assert list(res.forecasts.step) == [1, 2] and list(res.errors.status) == ["ok"]


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


def monthly(n=60, scale=1.0, start="2015-01-01"):
    t = np.arange(n)
    y = scale * (100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12))
    return pd.DataFrame({"unique_id": "m", "ds": pd.date_range(start, periods=n, freq="MS"), "y": y})


def test_text_among_the_values_is_refused_naming_the_series_and_row():
    df = pd.concat([long_frame(1), monthly()], ignore_index=True)
    row = len(df) - 7
    df["y"] = df["y"].astype(object)
    df.loc[row, "y"] = "n/a"
    with pytest.raises(ValueError, match=rf"series 'm'.*non-numeric value 'n/a' at row {row}"):
        forecast_many(df, algorithm="hw", horizon=3)
    # Index labels that repeat (a concatenation that kept them) still name one series and value.
    repeated = pd.concat([long_frame(1), monthly().assign(y=lambda f: f.y.astype(object))])
    repeated.iloc[-7, repeated.columns.get_loc("y")] = "n/a"
    with pytest.raises(ValueError, match=r"^series 'm': column 'y' has a non-numeric value 'n/a' "):
        forecast_many(repeated, algorithm="hw", horizon=3)
    df.loc[row, "y"] = ""  # a blank is a missing value, not text
    errors = forecast_many(df, algorithm="hw", horizon=3).errors.set_index("id")
    assert errors.loc["m", "status"] == "ok"


def test_rows_without_an_id_are_left_out_aloud_and_no_series_still_has_every_column():
    df = long_frame(2)
    df.loc[[3, 60], "unique_id"] = None
    with pytest.warns(UserWarning, match="2 rows without an id .* left out"):
        res = forecast_many(df, algorithm="hw", horizon=3, holdout=3)
    assert list(res.errors.id) == ["s0", "s1", "short", "empty", "flat"]
    for empty in (df.iloc[:0], df.assign(unique_id=None)):
        with pytest.warns(UserWarning) if len(empty) else contextlib.nullcontext():
            res = forecast_many(empty, algorithm="hw", horizon=3, holdout=3, level=80)
        assert res.errors.empty and res.forecasts.empty
        assert list(res.errors.columns)[:3] == ["id", "status", "message"]
        assert "coverage-80" in res.errors.columns
        assert not (res.errors.status == "failed").any()


def test_a_late_starting_series_is_trained_on_its_own_span_and_gaps_are_put_back():
    df = monthly(72)
    df.loc[:23, "y"] = np.nan  # starts two years late
    df = df.drop(index=[40, 41])  # two absent months
    res = forecast_many(df, algorithm="hw", horizon=6, holdout=6, season=12)
    row = res.errors.iloc[0]
    assert row.status == "ok" and row.n_train == 72 - 24 - 6
    assert row.mase < 1 and np.isfinite(row.rmse)
    times = pd.DatetimeIndex(res.forecasts.time)
    assert list(times.strftime("%Y-%m")) == [f"2020-{m:02d}" for m in range(7, 13)]


def test_huge_magnitudes_score_as_small_ones():
    # Values near 1e306: the squares and sums of a plain computation overflow.
    small = forecast_many(monthly(), algorithm="hw", horizon=6, holdout=6).errors.iloc[0]
    huge = forecast_many(monthly(scale=1e304), algorithm="hw", horizon=6, holdout=6).errors.iloc[0]
    assert huge.status == "ok", huge.message
    # The log transform's shift makes the forecasts differ a little, not the scores' scale.
    assert huge.smape > 0 and huge.smape == pytest.approx(small.smape, rel=0.1)
    assert huge.mase == pytest.approx(small.mase, rel=0.1)
    assert huge.mae / 1e304 == pytest.approx(small.mae, rel=0.1)


def test_intervals_on_the_holdout_are_scored_per_level():
    res = forecast_many(long_frame(2), algorithm="hw", horizon=6, holdout=6, season=12, level=(80, 95))
    errors = res.errors.set_index("id")
    ok = errors[errors.status == "ok"]
    assert ok["coverage-95"].between(0, 100).all() and (ok["coverage-95"] >= ok["coverage-80"]).all()
    assert (ok.drop(index="flat")["msis-80"] > 0).all()
    # A flat training part has no naive scale: no MSIS (nor MASE), and a failed series none.
    assert np.isnan(errors.loc["flat", "msis-80"]) and np.isnan(errors.loc["flat", "mase"])
    assert np.isnan(errors.loc["short", "msis-95"])


def mixed_table(ids):
    """Seven monthly series: one starting late, one with absent months, one with a blank, one
    with its rows in reverse, one too short, one all missing; the rows of the table shuffled."""
    rng = np.random.default_rng(5)
    months = pd.date_range("2015-01-01", periods=48, freq="MS")
    frames = []
    for i, sid in enumerate(ids):
        y = 50 + i + 0.3 * np.arange(48) + 5 * np.sin(2 * np.pi * np.arange(48) / 12)
        f = pd.DataFrame({"unique_id": sid, "ds": months, "y": y + rng.normal(size=48)})
        f = [f.assign(y=f.y.where(f.index >= 12)), f.drop(index=[20, 21]),
             f.assign(y=f.y.where(f.index != 30)), f.iloc[::-1], f.iloc[:3],
             f.assign(y=np.nan), f][i]
        frames.append(f)
    return pd.concat(frames, ignore_index=True).sample(frac=1, random_state=1)


def one_frame_per_series(df, **kw):
    """What forecast_many gives when every series is forecast and framed on its own."""
    rows, errors = [], []
    for sid, g in df.groupby("unique_id", sort=False):
        g = g.sort_values("ds", kind="stable")
        r, e = batch.forecast_one(sid, g.ds.to_numpy(), g.y.to_numpy(), **kw)
        rows += [r] if len(r) else []
        errors.append(e)
    return pd.concat(rows, ignore_index=True), pd.DataFrame(errors).drop(columns="seconds")


@pytest.mark.parametrize(
    "ids", [[f"s{i}" for i in range(7)], [7, 3, 5, 1, 0, 2, 9], ["a", 1, "b", 2, "c", 3, "d"]],
    ids=["text", "numbers", "mixed"],
)
@pytest.mark.parametrize("holdout, level", [(0, ()), (6, (80, 95))])
def test_one_frame_for_all_series_equals_a_frame_per_series(ids, holdout, level):
    df = mixed_table(ids)
    kw = dict(algorithm="hw", horizon=6, holdout=holdout, level=level)
    rows, errors = one_frame_per_series(df, **kw)
    assert dict(zip(errors.id, errors.status, strict=True)) == {
        sid: "failed" if i in (4, 5) else "ok" for i, sid in enumerate(ids)
    }
    for n_jobs, backend in [(1, "loky"), (2, "threading")]:
        res = forecast_many(df, n_jobs=n_jobs, backend=backend, chunks_per_worker=2, **kw)
        pd.testing.assert_frame_equal(res.forecasts, rows)
        pd.testing.assert_frame_equal(res.errors.drop(columns="seconds"), errors)


def test_rows_are_ordered_by_series_then_time_with_missing_times_last():
    # Series in order of first appearance; within one, times ascending (ties keep their order)
    # and a missing time last, for dates and numbers; labels (text that is neither) say nothing
    # of time, so their rows keep the order they came in.
    codes = np.array([1, 0, 1, 0, 1, 0, 1])
    dates = np.array(["2020-03", "NaT", "2020-01", "2020-02", "NaT", "2020-01", "2020-01"],
                     dtype="datetime64[ns]")
    numbers = np.array([3.0, np.nan, 1.0, 2.0, np.nan, 1.0, 1.0])
    text = np.array(["c", None, "a", "b", None, "a", "a"], dtype=object)
    for times in (dates, numbers):
        assert list(batch._row_order(codes, times)) == [5, 3, 1, 2, 6, 0, 4]
    assert list(batch._row_order(codes, text)) == [1, 3, 5, 0, 2, 4, 6]
    # Already in order: nothing to sort.
    assert batch._row_order(np.array([0, 0, 1]), np.array([1, 2, 0])) is None


def test_regressors_and_quantiles_reach_each_series_in_every_chunk():
    # Five series, each driven by its own regressor on its own scale, rows shuffled; the
    # regressors past the data come from X_df. Chunks of two in worker processes must give
    # what one process gives and what each series forecast on its own gives.
    rng = np.random.default_rng(3)
    n, h = 60, 5
    days = pd.date_range("2021-01-01", periods=n + h, freq="D")
    frames, one = [], {}
    for i in range(5):
        x = rng.normal(size=n + h) * (i + 1)
        y = 100 + 10 * i + 3 * x + rng.normal(scale=0.1, size=n + h)
        frames.append(pd.DataFrame({"unique_id": f"s{i}", "ds": days, "y": y, "x": x}))
    full = pd.concat(frames, ignore_index=True)
    hist = full.groupby("unique_id").head(n).sample(frac=1, random_state=2)
    fut = full.groupby("unique_id").tail(h)[["unique_id", "ds", "x"]]
    kw = dict(algorithm="arima", horizon=h, quantiles=[0.1, 0.9])
    for f in frames:
        sid = f.unique_id.iloc[0]
        one[sid] = batch.forecast_one(
            sid, f.ds.to_numpy()[:n], f.y.to_numpy()[:n], holdout=0,
            exog=f[["x"]].to_numpy()[:n], future_exog=f[["x"]].to_numpy()[n:], **kw,
        )
    rows = pd.concat([one[sid][0] for sid in hist.unique_id.unique()], ignore_index=True)
    single = forecast_many(hist, exog="x", X_df=fut, **kw)
    pd.testing.assert_frame_equal(single.forecasts, rows)
    two = forecast_many(hist, exog="x", X_df=fut, n_jobs=2, chunks_per_worker=2, **kw)
    pd.testing.assert_frame_equal(two.forecasts, rows)
    assert list(two.forecasts.columns) == ["id", "step", "time", "forecast", "q-0.1", "q-0.9"]
    # The forecasts follow each series' own regressor.
    actual = full.groupby("unique_id").tail(h).set_index(["unique_id", "ds"]).y
    got = two.forecasts.set_index(["id", "time"]).forecast
    assert np.abs(got - actual.loc[got.index].to_numpy()).max() < 2
    # Scored on a holdout (regressors from the series' own rows), with their quantile scores.
    scored = forecast_many(full, exog="x", holdout=h, n_jobs=2, chunks_per_worker=2, **kw)
    assert list(scored.errors.columns[-3:]) == ["pinball", "crps", "seconds"]
    assert np.isfinite(scored.errors[["mase", "pinball", "crps"]].to_numpy()).all()


def test_a_table_that_is_not_a_frame_is_refused_by_name():
    # A column or an array used to fail with "'Series' object has no attribute 'columns'".
    from tidewell_ts_libs.backtest import cross_validation

    y = pd.Series(np.arange(60.0))
    with pytest.raises(TypeError, match="data must be a pandas DataFrame .* got Series"):
        forecast_many(y, algorithm="hw", horizon=3)
    with pytest.raises(TypeError, match="got ndarray"):
        cross_validation(np.zeros((60, 3)), algorithm="hw", h=3)


def test_worker_processes_warn_in_the_callers_process():
    # hw carries the daily cycle of hourly data and says it leaves the weekly one out. From
    # loky workers those warnings reached only the workers' standard error.
    import warnings

    n = 24 * 7 * 6
    t = np.arange(n)
    hours = pd.date_range("2024-01-01", periods=n, freq="h")
    df = pd.concat(
        pd.DataFrame({"unique_id": f"s{i}", "ds": hours,
                      "y": 100 + 10 * np.sin(2 * np.pi * t / 24) + 8 * np.sin(2 * np.pi * t / 168)
                      + np.random.default_rng(i).normal(0, 1, n)})
        for i in range(4)
    )
    seen = {}
    for kw in [{}, {"n_jobs": 2, "backend": "loky"}]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            forecast_many(df, algorithm="hw", horizon=24, **kw)
        seen[bool(kw)] = sorted(str(w.message) for w in caught)
    assert seen[False] and seen[True] == seen[False]
