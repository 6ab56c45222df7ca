"""The command line as a user drives it: a subprocess on small CSV files."""

import gzip
import os
import pickle
import re
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
    # One window of a season (12 steps) fits within the 12 rows of --holdout.
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
    "fraction-level": ("ok", ["--level", "80,0.95"], "--level 0.95 is a fraction"),
    "infinite": ("inf", [], "column 'sales' has an infinite value (inf) at row 6"),
    "no-workers": ("ok", ["--jobs", "0"], "--jobs must be at least 1, got 0"),
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
        elif kind == "inf":
            df["sales"] = df["sales"].astype(object)
            df.loc[5, "sales"] = "inf"
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


def run_in_process(*args, stdin=None, monkeypatch=None):
    """main([...]) in this process: (exit status, standard output, standard error)."""
    import contextlib
    import io

    from tidewell_ts_libs.cli import main

    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main([str(a) for a in args])
    return code, out.getvalue(), err.getvalue()


def test_reads_standard_input_and_says_what_it_wrote(tmp_path, monkeypatch):
    text = seasonal_csv(tmp_path / "in.csv").read_text()
    out = tmp_path / "out"
    code, stdout, err = run_in_process(
        "-", "--algorithms", "hw", "--output", out, stdin=text, monkeypatch=monkeypatch
    )
    assert code == 0, err
    assert "Data: standard input: 72 rows" in stdout
    last = stdout.strip().splitlines()[-1]
    assert all(str(out / name) in last for name in ("forecast.csv", "forecasts.csv"))
    # No warning of matplotlib's (its date locator's among them) reaches the terminal.
    assert "Warning" not in err and err.strip() == ""


def test_a_huge_horizon_is_refused_without_a_negative_count(tmp_path):
    csv = seasonal_csv(tmp_path / "in.csv")
    code, _out, err = run_in_process(csv, "--horizon", "100000", "--output", tmp_path / "o")
    assert code == 2 and not re.search(r"-\d", err)
    assert "leaves none of the 72 rows" in err
    assert not (tmp_path / "o").exists()


def test_five_minute_and_half_hourly_data_are_regular_whatever_the_unit_of_the_dates(tmp_path):
    for freq in ("5min", "30min"):
        times = pd.date_range("2024-03-01", periods=120, freq=freq)
        t = np.arange(120)
        df = pd.DataFrame({"when": times.strftime("%Y-%m-%d %H:%M"), "load": 10 + np.sin(t / 5)})
        df = df.drop(index=[50, 51])
        df.to_csv(tmp_path / f"{freq}.csv", index=False)
        code, out, err = run_in_process(
            tmp_path / f"{freq}.csv", "--algorithms", "hw", "--output", tmp_path / freq
        )
        assert code == 0, err
        assert "2 missing timestamps, filled by linear interpolation" in out
        future = pd.read_csv(tmp_path / freq / "forecast.csv")
        step = pd.Timedelta(freq)
        assert pd.Timestamp(future.when.iloc[0]) == times[-1] + step


def test_times_with_an_offset_are_forecast_in_utc(tmp_path):
    t = pd.date_range("2024-01-01", periods=60, freq="h", tz="Europe/Paris")
    values = 10 + np.sin(np.arange(60) / 4)
    pd.DataFrame({"t": [x.isoformat() for x in t], "y": values}).to_csv(tmp_path / "tz.csv", index=False)
    code, _out, err = run_in_process(tmp_path / "tz.csv", "--algorithms", "hw", "--output", tmp_path / "o")
    assert code == 0, err
    future = pd.read_csv(tmp_path / "o" / "forecast.csv")
    after = t[-1].tz_convert("UTC").tz_localize(None) + pd.Timedelta(hours=1)
    assert pd.Timestamp(future.t.iloc[0]) == after


def test_intermittent_demand_is_ranked_when_asked_for_and_left_to_the_selector_otherwise(tmp_path):
    rng = np.random.default_rng(3)
    demand = np.where(rng.random(96) < 0.3, rng.gamma(2.0, 5.0, 96).round(), 0.0)
    path = tmp_path / "parts.csv"
    dates = pd.date_range("2015-01-01", periods=96, freq="MS")
    pd.DataFrame({"month": dates.strftime("%Y-%m-%d"), "parts": demand}).to_csv(path, index=False)
    code, stdout, err = run_in_process(path, "--output", tmp_path / "default")
    assert code == 0, err
    ranked = re.findall(r"^\d+\s+(\w+)\s+[\d.]+", stdout, flags=re.M)
    assert sorted(ranked) == ["arima", "arma", "autoforecaster", "bats", "hw"]
    code, stdout, err = run_in_process(
        path, "--algorithms", "intermittent,autoforecaster", "--output", tmp_path / "asked"
    )
    assert code == 0, err
    ranked = re.findall(r"^\d+\s+(\w+)\s+[\d.]+", stdout, flags=re.M)
    assert sorted(ranked) == ["autoforecaster", "intermittent"]
    future = pd.read_csv(tmp_path / "asked" / "forecast.csv")
    assert (future.filter(like="parts_lo").to_numpy() >= 0).all()


def test_local_dates_written_with_their_offsets_keep_their_calendar(tmp_path):
    """Monthly dates written with the offsets of a zone with summer time (+01:00 and +02:00)
    are months: the forecasts follow the last month, not a drifting UTC hour."""
    t = pd.date_range("2018-01-01", periods=48, freq="MS", tz="Europe/Paris")
    values = 10 + np.sin(np.arange(48) / 2) + np.arange(48) / 10
    pd.DataFrame({"t": [x.isoformat() for x in t], "y": values}).to_csv(tmp_path / "m.csv", index=False)
    code, _out, err = run_in_process(tmp_path / "m.csv", "--algorithms", "hw", "--output", tmp_path / "o")
    assert code == 0, err
    future = pd.read_csv(tmp_path / "o" / "forecast.csv")
    assert pd.Timestamp(future.t.iloc[0]) == pd.Timestamp("2022-01-01")


def test_values_near_the_largest_double_are_ranked_and_forecast(tmp_path):
    """A last value of 1e308: the RMSE over the windows squared it and failed every algorithm
    with "(34, 'Numerical result out of range')"; the best one's refit could not give bands and
    no forecast was written, yet the command ended as a success."""
    t = pd.date_range("2020-01-01", periods=60, freq="D")
    y = np.r_[np.arange(59) % 7 + 10.0, 1e308]
    pd.DataFrame({"date": t, "y": y}).to_csv(tmp_path / "huge.csv", index=False)
    code, out, err = run_in_process(tmp_path / "huge.csv", "--output", tmp_path / "o")
    assert code == 0, err
    assert "Numerical result out of range" not in out
    assert "the refit on the whole series failed" in out  # and the next in rank forecast
    future = pd.read_csv(tmp_path / "o" / "forecast.csv")
    assert len(future) == 6 and np.isfinite(future.y).all()
    # Numbers too large (or too small) for decimals are printed with their exponent.
    assert re.search(r"\de\+\d{3}", out.split("Forecast by")[1])


def test_a_csv_separated_by_semicolons_is_refused_with_the_reason(tmp_path):
    (tmp_path / "semi.csv").write_text("month;sales\n2020-01;1,5\n2020-02;2,5\n")
    code, _out, err = run_in_process(tmp_path / "semi.csv", "--output", tmp_path / "o")
    assert code == 2 and not (tmp_path / "o").exists()
    assert "its header 'month;sales' holds ';': separate the columns by commas" in err


def test_columns_with_their_own_spans_are_forecast_as_their_own_series(tmp_path):
    # Column b starts two years late and c stops five months early: each trains on its own
    # span and is forecast from its own end, as in the long format, never padded over the
    # table's span.
    t = np.arange(72)
    a = trend_season(t, 100, 1.0, 10, noise=0.5, rng=3)
    b, c = 2 * a, a + 50
    b[:24], c[-5:] = np.nan, np.nan
    months = pd.date_range("2018-01-01", periods=72, freq="MS").strftime("%Y-%m")
    csv = tmp_path / "wide.csv"
    pd.DataFrame({"month": months, "a": a, "b": b, "c": c}).to_csv(csv, index=False)
    res = run_cli(csv, "--algorithms", "hw", "--output", tmp_path / "out", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "column 'b': 2020-01 to 2023-12" in res.stdout
    future = pd.read_csv(tmp_path / "out" / "forecast.csv", dtype={"month": str})
    first = future.groupby("series").month.first()
    assert first.to_dict() == {"a": "2024-01", "b": "2024-01", "c": "2023-08"}
    backtest = pd.read_csv(tmp_path / "out" / "forecasts_hw.csv")
    assert not backtest.actual.isna().any()
    assert backtest[backtest.series == "b"].month.min() >= "2020-01"
    # Trained together, the columns need one span: with regressors that is refused.
    x = pd.DataFrame({"month": months, "a": a, "b": b, "promo": t % 2})
    x.to_csv(tmp_path / "reg.csv", index=False)
    res = run_cli(tmp_path / "reg.csv", "--regressors", "promo", "--future", tmp_path / "reg.csv",
                  "--output", tmp_path / "o2", cwd=tmp_path)
    assert res.returncode == 2 and "'b' has values from 2020-01 to 2023-12 only" in res.stderr


@pytest.mark.parametrize("freq, fmt, after", [("D", "%Y%m%d", "20160201"), ("MS", "%Y%m", "201601")])
def test_dates_in_the_basic_form_are_dates_not_integers(tmp_path, freq, fmt, after):
    # 20150131 and 20150201 are one day apart, not 70 steps; 201512 is followed by 201601.
    n = 56 if freq == "D" else 36
    when = pd.date_range("2013-01-01" if freq == "MS" else "2015-12-07", periods=n, freq=freq)
    values = trend_season(np.arange(n), 50, 0.2, 5, 7 if freq == "D" else 12, noise=0.3, rng=2)
    csv = tmp_path / "basic.csv"
    pd.DataFrame({"t": when.strftime(fmt), "v": values}).to_csv(csv, index=False)
    res = run_cli(csv, "--algorithms", "hw", "--horizon", "3", "--output", tmp_path / "o", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "missing" not in res.stdout  # no absent steps between the months or the days
    future = pd.read_csv(tmp_path / "o" / "forecast.csv", dtype={"t": str})
    assert future.t.iloc[0] == after
    # Integers that are not all such dates stay steps.
    pd.DataFrame({"t": np.arange(20150101, 20150101 + n), "v": values}).to_csv(csv, index=False)
    res = run_cli(csv, "--algorithms", "hw", "--horizon", "3", "--output", tmp_path / "o2", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert pd.read_csv(tmp_path / "o2" / "forecast.csv").t.iloc[0] == 20150101 + n


def test_times_as_spreadsheets_write_them(tmp_path):
    # Midnight rows written as a bare date: the output keeps the hours (the first row's format
    # wrote four forecasts as one date). Blanks around a time, and a value of blanks only, are
    # read as they would be without them.
    t = pd.date_range("2020-01-01", periods=96, freq="h")
    text = [x.strftime("%Y-%m-%d") if x.hour == 0 else x.strftime("%Y-%m-%d %H:%M:%S ") for x in t]
    load = [f"{v:.4f}" for v in 10 + np.sin(2 * np.pi * np.arange(96) / 24)]
    load[30] = "  "
    pd.DataFrame({"time": text, "load": load}).to_csv(tmp_path / "h.csv", index=False)
    res = run_cli(tmp_path / "h.csv", "--algorithms", "hw", "--horizon", "4", "--output",
                  tmp_path / "o", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "1 blank value" in res.stdout
    future = pd.read_csv(tmp_path / "o" / "forecast.csv")
    assert list(pd.to_datetime(future.time)) == list(pd.date_range("2020-01-05", periods=4, freq="h"))
    # One time written two ways is a duplicate, found before any work.
    rows = pd.DataFrame({"date": [*pd.date_range("2018-01-01", periods=30, freq="MS").strftime(
        "%Y-%m-%d"), "2019-06-01T00:00:00"], "sales": np.arange(31.0)})
    rows.to_csv(tmp_path / "d.csv", index=False)
    res = run_cli(tmp_path / "d.csv", "--output", tmp_path / "o2", cwd=tmp_path)
    assert res.returncode == 2 and "duplicate timestamps" in res.stderr


def test_warnings_are_one_line_each_and_quiet_prints_none(tmp_path):
    # Holt-Winters finds a season of 12 not worth its states on these series and says so. The
    # command line used to print that with the library's file and source line, once per series,
    # and --quiet printed it too.
    rng = np.random.default_rng(0)
    months = pd.date_range("2016-01-01", periods=60, freq="MS")
    t = np.arange(60)
    pd.concat(
        pd.DataFrame({"id": f"s{i}", "ds": months,
                      "y": 100 + 2 * i + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)
                      + rng.normal(0, 2, 60)})
        for i in range(40)
    ).to_csv(tmp_path / "in.csv", index=False)
    common = ["in.csv", "--series-column", "id", "--time-column", "ds", "--target", "y",
              "--algorithms", "hw"]
    res = run_cli(*common, "--output", tmp_path / "a", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    lines = [ln for ln in res.stderr.splitlines() if ln.strip()]
    assert len(lines) == 1 and lines[0].startswith("warning: hw_additive: season of 12 not fitted")
    quiet = run_cli(*common, "--output", tmp_path / "b", "--quiet", cwd=tmp_path)
    assert quiet.returncode == 0 and quiet.stderr == ""


def test_a_file_another_run_wrote_meanwhile_is_not_replaced_without_force(tmp_path):
    # The targets are checked before the work; a second run into the same folder used to
    # replace the first one's files later, and both reported success.
    from tidewell_ts_libs._cliutil import InputError, _atomic_write, replacing

    path = tmp_path / "forecast.csv"

    def other_run_meanwhile(tmp):
        path.write_text("the other run's\n")
        with open(tmp, "w") as f:
            f.write("ours\n")

    with pytest.raises(InputError, match="another run wrote"), replacing(False):
        _atomic_write(str(tmp_path / "ours.csv"), lambda tmp: open(tmp, "w").write("x"))
        _atomic_write(str(path), other_run_meanwhile)
    # The refused run took back what it had written: only the other run's file is left.
    assert path.read_text() == "the other run's\n" and os.listdir(tmp_path) == ["forecast.csv"]
    with replacing(False):
        _atomic_write(str(tmp_path / "new.csv"), lambda tmp: open(tmp, "w").write("x"))
    with replacing(True):  # --force
        _atomic_write(str(path), other_run_meanwhile)
    assert path.read_text() == "ours\n"
    assert sorted(os.listdir(tmp_path)) == ["forecast.csv", "new.csv"]
