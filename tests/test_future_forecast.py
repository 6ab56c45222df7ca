"""The command line's main job: after ranking, a dated forecast past the last timestamp."""

import os

import numpy as np
import pandas as pd
import pytest
from cli_helpers import one_error_line, run_cli
from helpers import trend_season


def write_csv(path, times, values, time_name="when", value_name="y"):
    pd.DataFrame({time_name: times, value_name: values}).to_csv(path, index=False)
    return path


def seasonal(n, period=12, seed=3):
    return trend_season(np.arange(n), 80, 0.2, 6, period, noise=0.4, rng=seed)


def test_embedded_dataset_forecasts_a_year_past_the_data_with_intervals(tmp_path):
    res = run_cli("--algorithms", "hw,autoforecaster", "--output", tmp_path, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "Forecast by " in res.stdout and "steps after 1960-12-01" in res.stdout
    future = pd.read_csv(tmp_path / "forecast.csv", dtype={"month": str})
    # One season ahead by default, on the calendar, written as the input writes its dates.
    assert list(future.month) == [f"1961-{m:02d}-01" for m in range(1, 13)]
    assert list(future.columns) == [
        "month", "algorithm", "passengers",
        "passengers_lo-80", "passengers_hi-80", "passengers_lo-95", "passengers_hi-95",
    ]
    assert future.algorithm.nunique() == 1
    p = future.passengers
    assert ((future["passengers_lo-95"] <= future["passengers_lo-80"])
            & (future["passengers_lo-80"] <= p) & (p <= future["passengers_hi-80"])
            & (future["passengers_hi-80"] <= future["passengers_hi-95"])).all()
    # The passengers series: the summer peak of 1961 lies above the last December (432).
    assert p.max() > 450 and p.min() > 300
    assert "80% interval" in res.stdout and "95% interval" in res.stdout
    backtest = pd.read_csv(tmp_path / "forecasts.csv", dtype={"month": str})
    # Three rolling origins a year apart, each forecast a year ahead: the last three years.
    assert backtest.month.iloc[0] == "1958-01-01" and len(backtest) == 36
    assert backtest.cutoff.nunique() == 3
    png = (tmp_path / "forecasts.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    # Outputs get the mode a plain open() gives, not the private mode of a temporary file.
    mask = os.umask(0)
    os.umask(mask)
    assert (tmp_path / "forecast.csv").stat().st_mode & 0o777 == 0o666 & ~mask


def test_every_algorithm_with_all_and_custom_levels(tmp_path):
    csv = write_csv(tmp_path / "m.csv", pd.date_range("2010-01-31", periods=72, freq="ME")
                    .strftime("%Y-%m-%d"), seasonal(72))
    res = run_cli(csv, "--algorithms", "hw,arima", "--all", "--level", "90", "--horizon", "5",
                  "--output", tmp_path / "o", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    future = pd.read_csv(tmp_path / "o" / "forecast.csv", dtype={"when": str})
    assert sorted(future.algorithm.unique()) == ["arima", "hw"]
    # Month ends stay month ends, February included.
    assert list(future.when[:5]) == ["2016-01-31", "2016-02-29", "2016-03-31", "2016-04-30",
                                     "2016-05-31"]
    assert {"y_lo-90", "y_hi-90"} <= set(future.columns) and "y_lo-80" not in future.columns
    # A saved pipeline forecasts on from the end of the whole series.
    from tidewell_ts_libs.utils.score import Score

    model = Score.load(str(tmp_path / "o" / "best_pipeline.pkl.gz"))
    best = future[future.algorithm == res.stdout.split("Best: ")[1].split(".")[0]]
    np.testing.assert_allclose(model.predict(prediction_horizon=5)[:, 0], best.y, rtol=1e-9)


def test_gaps_are_filled_and_reported_in_one_line(tmp_path):
    days = pd.date_range("2021-03-01", periods=120, freq="D")
    values = seasonal(120, period=7)
    keep = np.ones(120, bool)
    keep[[20, 21, 22, 60]] = False  # four absent days
    values[[5, 40]] = np.nan  # two blank values
    csv = write_csv(tmp_path / "d.csv", days[keep].strftime("%Y-%m-%d %H:%M"), values[keep])
    res = run_cli(csv, "--algorithms", "hw", "--horizon", "3", "--output", tmp_path, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "4 missing days, 2 blank values, filled by linear interpolation for training" in res.stdout
    future = pd.read_csv(tmp_path / "forecast.csv", dtype={"when": str})
    assert list(future.when) == ["2021-06-29 00:00", "2021-06-30 00:00", "2021-07-01 00:00"]
    # The absent days are back in the backtest's time axis only if its windows reach them: here
    # they do not, so the three windows of three days forecast the last nine days, all observed.
    backtest = pd.read_csv(tmp_path / "forecasts.csv")
    assert len(backtest) == 9 and backtest.y.notna().all()

    res = run_cli(csv, "--algorithms", "hw", "--fill", "prev", "--force", "--output", tmp_path, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "filled by the previous value for training" in res.stdout


def test_blank_holdout_values_are_not_scored(tmp_path):
    values = seasonal(60)
    values[-3] = np.nan
    csv = write_csv(tmp_path / "h.csv", np.arange(60), values)
    res = run_cli(csv, "--algorithms", "arima", "--holdout", "12", "--output", tmp_path,
                  cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "1 blank value" in res.stdout and "1 gap in the holdout not scored" in res.stdout
    assert "nan" not in res.stdout.split("rank")[1].split("\n\n")[0].lower()
    future = pd.read_csv(tmp_path / "forecast.csv")
    assert list(future.when) == list(range(60, 72))  # integer times go on by their step


@pytest.mark.parametrize(
    "args, expected",
    [
        (["--fill", "spline"], "unknown --fill method 'spline'"),
        (["--level", "80,120"], "--level 120 is not a percentage"),
        (["--level", "wide"], "--level takes percentages"),
        (["--horizon", "30", "--holdout", "12"], "longer than the holdout"),
    ],
    ids=["fill", "level-range", "level-text", "horizon"],
)
def test_bad_options_give_one_line(tmp_path, args, expected):
    res = run_cli(*args, "--output", tmp_path / "o", cwd=tmp_path)
    assert res.returncode == 2
    assert expected in one_error_line(res)
    assert not (tmp_path / "o").exists()


def test_output_that_is_a_file_is_refused_before_any_work(tmp_path):
    target = tmp_path / "taken"
    target.write_text("keep me")
    res = run_cli("--output", target, cwd=tmp_path)
    assert res.returncode == 2
    assert "is a file, not a folder" in one_error_line(res)
    assert res.stdout == "" and target.read_text() == "keep me"
    res = run_cli("--output", target / "below", cwd=tmp_path)
    assert res.returncode == 2 and "output folder" in one_error_line(res)
