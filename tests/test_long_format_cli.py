"""The command line on many series (long format): dates kept, per-series metrics, the future."""

import subprocess
import sys

import numpy as np
import pandas as pd
from cli_helpers import cli_env, one_error_line, run_cli
from helpers import trend_season


def long_csv(path, n_series=5, n=48):
    rng = np.random.default_rng(11)
    months = pd.date_range("2016-01-01", periods=n, freq="MS").strftime("%Y-%m-%d")
    frames = []
    for i in range(n_series):
        y = trend_season(np.arange(n), 30 + 3 * i, 0.1, 4, noise=0.3, rng=rng)
        frames.append(pd.DataFrame({"store": f"s{i}", "ds": months, "y": y}))
    df = pd.concat(frames, ignore_index=True)
    df.loc[3, "y"] = np.nan  # a blank value in s0
    df = df.drop(index=[60, 61])  # two absent months in s1
    df = pd.concat([df, pd.DataFrame({"store": "tiny", "ds": months[:2], "y": [1.0, 2.0]})])
    df.to_csv(path, index=False)
    return path


def test_many_series_keep_dates_and_forecast_the_future(tmp_path):
    csv = long_csv(tmp_path / "series.csv")
    out = tmp_path / "out"
    res = run_cli(csv, "--series-column", "store", "--time-column", "ds", "--target", "y",
                  "--algorithms", "hw,arima", "--output", out, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    # Not a terminal and no --progress: no bar on standard error.
    assert res.stderr == ""
    assert "2 missing months, 1 blank value, filled by linear interpolation" in res.stdout
    assert not list(out.glob("errors_*.csv"))
    metrics = pd.read_csv(out / "metrics_hw.csv").set_index("store")
    assert metrics.loc["tiny", "status"] == "failed"
    assert (metrics.drop(index="tiny").status == "ok").all()
    assert (metrics.drop(index="tiny").smape < 10).all()
    # Four years: one window of a year, after three years (a season is found in three).
    assert (metrics.drop(index="tiny").n_windows == 1).all()

    backtest = pd.read_csv(out / "forecasts_hw.csv", dtype={"ds": str, "cutoff": str})
    assert list(backtest.columns) == ["store", "cutoff", "ds", "actual", "forecast"]
    s0 = backtest[backtest.store == "s0"]
    # Monthly data default to a year ahead: the window forecasts 2019.
    assert list(s0.ds) == [f"2019-{m:02d}-01" for m in range(1, 13)]
    assert set(s0.cutoff) == {"2018-12-01"}
    assert "Ranked by a rolling-origin forecast of 12 steps" in res.stdout

    future = pd.read_csv(out / "forecast.csv", dtype={"ds": str})
    assert list(future.columns) == ["store", "ds", "algorithm", "step", "forecast",
                                    "lo-80", "hi-80", "lo-95", "hi-95"]
    assert ((future["lo-95"] < future["lo-80"]) & (future["lo-80"] < future.forecast)
            & (future.forecast < future["hi-80"]) & (future["hi-80"] < future["hi-95"])).all()
    assert future.algorithm.nunique() == 1
    assert sorted(future.store.unique()) == [f"s{i}" for i in range(5)]
    assert list(future[future.store == "s1"].ds) == [f"2020-{m:02d}-01" for m in range(1, 13)]
    assert (out / "forecasts.png").read_bytes()[:4] == b"\x89PNG"


def test_long_format_bad_input_gives_one_line(tmp_path):
    csv = long_csv(tmp_path / "series.csv")
    df = pd.read_csv(csv)
    df["ds"] = df["ds"].astype(object)
    df.loc[4, "ds"] = "sometime"
    df.to_csv(tmp_path / "bad.csv", index=False)
    res = run_cli(tmp_path / "bad.csv", "--series-column", "store", "--output", tmp_path / "o",
                  cwd=tmp_path)
    assert res.returncode == 2
    assert "neither ISO dates nor integers" in one_error_line(res)
    assert not (tmp_path / "o").exists()


def test_the_batch_module_does_not_import_the_command_line():
    code = "import sys, tidewell_ts_libs.batch; print('tidewell_ts_libs.cli' in sys.modules)"
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=cli_env())
    assert res.returncode == 0 and res.stdout.strip() == "False", res.stderr


def test_ids_are_names_and_a_run_with_nothing_forecast_fails(tmp_path):
    months = pd.date_range("2018-01-01", periods=36, freq="MS").strftime("%Y-%m-%d")
    rows = [
        pd.DataFrame({"store": sid, "month": months, "sales": 1000 + 100 * k + np.arange(36.0)})
        for k, sid in enumerate(["007", "0042", "01", "1"])
    ]
    pd.concat(rows).to_csv(tmp_path / "stores.csv", index=False)
    res = run_cli(tmp_path / "stores.csv", "--series-column", "store", "--algorithms", "hw",
                  "--horizon", "2", "--output", tmp_path / "o", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    future = pd.read_csv(tmp_path / "o" / "forecast.csv", dtype={"store": str})
    assert list(future.store.unique()) == ["007", "0042", "01", "1"]  # not 7.0, 42.0, one "1"
    # Every series too short: an error, not "Best: hw" over an empty forecast.
    short = pd.DataFrame({"id": ["a", "a", "b"], "date": ["2020-01", "2020-02", "2020-01"],
                          "y": [1.0, 2.0, 3.0]})
    short.to_csv(tmp_path / "short.csv", index=False)
    res = run_cli(tmp_path / "short.csv", "--series-column", "id", "--output", tmp_path / "s",
                  cwd=tmp_path)
    assert res.returncode == 2
    assert "no series could be forecast: all 2 failed" in one_error_line(res)
