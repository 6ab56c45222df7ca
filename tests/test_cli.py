"""The command line as a user drives it: a subprocess on small CSV files."""

import gzip
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from cli_helpers import cli_env, run_cli
from helpers import trend_season


def seasonal_csv(path, n=72, with_dates=True):
    t = np.arange(n)
    values = trend_season(t, 50, 0.3, 8, noise=0.5, rng=1)
    time = pd.date_range("2015-01-01", periods=n, freq="MS").strftime("%Y-%m-%d") if with_dates else t
    pd.DataFrame({"month": time, "sales": values}).to_csv(path, index=False)
    return path


@pytest.mark.parametrize("with_dates", [True, False], ids=["iso-dates", "integer-times"])
def test_forecasts_a_csv_and_writes_results(tmp_path, with_dates):
    csv = seasonal_csv(tmp_path / "data.csv", with_dates=with_dates)
    out = tmp_path / "out"
    res = run_cli(csv, "--algorithms", "hw,arima", "--holdout", "12", "--output", out, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "Traceback" not in res.stderr
    table = [ln for ln in res.stdout.splitlines() if ln.split()[:1] in (["1"], ["2"])]
    assert sorted(ln.split()[1] for ln in table) == ["arima", "hw"]
    forecasts = pd.read_csv(out / "forecasts.csv")
    assert len(forecasts) == 12
    assert {"sales", "sales_hw", "sales_arima"} <= set(forecasts.columns)
    # A seasonal series with a trend: both forecasts should be close to the holdout.
    for alg in ("hw", "arima"):
        err = np.mean(np.abs(forecasts[f"sales_{alg}"] - forecasts["sales"]))
        assert err < 5.0, (alg, err)
    with gzip.open(out / "best_pipeline.pkl.gz", "rb") as f:
        model = pickle.load(f)
    assert model.predict(prediction_horizon=3).shape == (3, 1)


def test_runs_on_the_embedded_dataset_with_a_multi_step_window(tmp_path):
    res = run_cli("--algorithms", "hw", "--horizon", "3", "--output", tmp_path, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "hw" in res.stdout and "Detected season length" in res.stdout
    assert (tmp_path / "forecasts.csv").exists()


def test_help():
    res = subprocess.run([sys.executable, "-m", "tidewell_ts_libs", "--help"], capture_output=True,
                         text=True, env=cli_env())
    assert res.returncode == 0 and "--holdout" in res.stdout


BAD_INPUTS = {
    "missing-file": (None, ["nope.csv"], "no such file"),
    "missing-column": ("ok", ["--target", "nope"], "no column named 'nope'"),
    "non-numeric": ("text", [], "non-numeric value"),
    "too-few-rows": ("short", [], "too few rows"),
    "duplicate-timestamps": ("dups", [], "duplicate timestamps"),
    "bad-algorithm": ("ok", ["--algorithms", "prophecy"], "unknown algorithm"),
}


@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_gives_one_line_and_writes_nothing(tmp_path, case):
    kind, extra, expected = BAD_INPUTS[case]
    args = list(extra)
    if kind is not None:
        csv = tmp_path / "in.csv"
        seasonal_csv(csv, n=40)
        df = pd.read_csv(csv)
        if kind == "text":
            df["sales"] = df["sales"].astype(object)
            df.loc[5, "sales"] = "twelve"
        elif kind == "short":
            df = df.head(6)
        elif kind == "dups":
            df.loc[3, "month"] = df.loc[2, "month"]
        df.to_csv(csv, index=False)
        args = [csv, *args]
    out = tmp_path / "out"
    res = run_cli(*args, "--output", out, cwd=tmp_path)
    assert res.returncode != 0
    assert "Traceback" not in res.stderr
    lines = [ln for ln in res.stderr.splitlines() if ln.strip()]
    assert len(lines) == 1 and expected in lines[0], res.stderr
    assert not out.exists() or not os.listdir(out)
