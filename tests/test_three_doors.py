"""One series, three doors: the forecaster itself, forecast_many and the command line (one table
or long format) give bit-identical forecasts, intervals and future dates."""

import contextlib
import io
import os

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs import series
from tidewell_ts_libs.backtest import cross_validation
from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.cli import main
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

LEVELS = (80.0, 95.0)
# pandas 3 reads floats back exactly by default; pandas 2 is asked to.
EXACT = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}

# frequency, periods, season of the data, horizon
CASES = {
    "monthly": ("MS", 72, 12, 6),
    "quarter-end": ("QE", 40, 4, 4),
    "weekly": ("W-SUN", 80, 4, 5),
    "business-day": ("B", 90, 5, 5),
    "half-hourly": ("30min", 144, 48, 6),
    "5-minute": ("5min", 120, 12, 6),
}


def make_series(freq, n, season, late=0, gaps=()):
    """Dates (as pandas 3 reads them: microseconds) and positive seasonal values, the first
    ``late`` values blank and the rows at ``gaps`` absent."""
    rng = np.random.default_rng(n)
    times = pd.date_range("2021-01-04", periods=n, freq=freq).to_numpy().astype("datetime64[us]")
    t = np.arange(n)
    values = 50 + 0.2 * t + 8 * np.sin(2 * np.pi * t / season) + rng.normal(0, 0.5, n)
    values[:late] = np.nan
    keep = np.setdiff1d(t, gaps)
    return times[keep], values[keep]


def through_forecaster(times, values, algorithm, horizon):
    """What a Python user does: the series on its grid, filled, given to the forecaster."""
    grid = series.on_grid(times, values)
    filled = series.fill_values(grid.values, "linear")
    season = series.detect_season(filled)
    settings = series.settings_for(algorithm, filled, season)
    kwargs = {k: v for k, v in settings.items() if k != "log_transform"}
    est = QuillcastForecaster(
        algorithm=algorithm,
        prediction_horizon=horizon,
        log_transform=settings["log_transform"],
        **kwargs,
    )
    with contextlib.redirect_stdout(io.StringIO()):
        est.fit(filled, None, _reset_model=True)
    point = np.asarray(est.predict(prediction_horizon=horizon), dtype=float).reshape(-1)
    bands = est.predict_interval(prediction_horizon=horizon, level=list(LEVELS))
    dated = QuillcastForecaster(
        algorithm=algorithm,
        prediction_horizon=horizon,
        log_transform=settings["log_transform"],
        ts_icol_loc=[0],
        **kwargs,
    )
    frame = pd.DataFrame({"time": grid.times, "y": filled[:, 0]})
    with contextlib.redirect_stdout(io.StringIO()):
        dated.fit(frame, None, _reset_model=True)
    out = pd.DataFrame({"time": np.asarray(series.future_times(grid.times, horizon)), "y": point})
    for lv in LEVELS:
        lo, hi = bands[lv]
        out[f"lo-{lv:g}"] = np.asarray(lo, dtype=float).reshape(-1)
        out[f"hi-{lv:g}"] = np.asarray(hi, dtype=float).reshape(-1)
    dated_point = np.asarray(dated.predict(prediction_horizon=horizon), dtype=float).reshape(-1)
    return out, (np.asarray(dated.forecast_times(horizon)), dated_point)


def through_batch(times, values, algorithm, horizon, other=None):
    frames = [pd.DataFrame({"unique_id": "a", "ds": times, "y": values})]
    if other is not None:
        frames.append(pd.DataFrame({"unique_id": "b", "ds": other[0], "y": other[1]}))
    res = forecast_many(
        pd.concat(frames, ignore_index=True),
        algorithm=algorithm,
        horizon=horizon,
        level=LEVELS,
    )
    assert (res.errors.status == "ok").all(), res.errors.message.tolist()
    got = res.forecasts[res.forecasts.id == "a"]
    out = pd.DataFrame({"time": got.time.to_numpy(), "y": got.forecast.to_numpy()})
    for lv in LEVELS:
        out[f"lo-{lv:g}"] = got[f"lo-{lv:g}"].to_numpy()
        out[f"hi-{lv:g}"] = got[f"hi-{lv:g}"].to_numpy()
    return out


def write_csv(path, times, values, time_format):
    text = pd.DatetimeIndex(times).strftime(time_format)
    pd.DataFrame({"when": text, "y": values}).to_csv(path, index=False)


def as_read(tmp_path, times, values, fmt):
    write_csv(tmp_path / "values.csv", times, values, fmt)
    return times, pd.read_csv(tmp_path / "values.csv")["y"].to_numpy(dtype=float)


def run_main(*args):
    with (
        contextlib.redirect_stdout(io.StringIO()) as out,
        contextlib.redirect_stderr(io.StringIO()) as err,
    ):
        code = main([str(a) for a in args])
    assert code == 0, err.getvalue() + out.getvalue()


def read_back(path, rename):
    df = pd.read_csv(path, **EXACT).rename(columns=rename)
    df["time"] = pd.to_datetime(df["time"]).to_numpy().astype("datetime64[ns]")
    return df


def through_cli(tmp_path, times, values, algorithm, horizon, fmt):
    csv = tmp_path / "one.csv"
    write_csv(csv, times, values, fmt)
    run_main(
        csv,
        "--algorithms",
        algorithm,
        "--horizon",
        horizon,
        "--holdout",
        horizon,
        "--level",
        "80,95",
        "--output",
        tmp_path / "one",
        "--quiet",
    )
    df = read_back(tmp_path / "one" / "forecast.csv", {"when": "time"})
    return df.rename(columns=lambda c: c.replace("y_", "")).drop(columns="algorithm")


def through_long_cli(tmp_path, times, values, other, algorithm, horizon, fmt):
    long = pd.concat(
        [
            pd.DataFrame({"id": "a", "when": pd.DatetimeIndex(times).strftime(fmt), "y": values}),
            pd.DataFrame(
                {"id": "b", "when": pd.DatetimeIndex(other[0]).strftime(fmt), "y": other[1]}
            ),
        ]
    )
    long.to_csv(tmp_path / "long.csv", index=False)
    run_main(
        tmp_path / "long.csv",
        "--series-column",
        "id",
        "--algorithms",
        algorithm,
        "--horizon",
        horizon,
        "--level",
        "80,95",
        "--output",
        tmp_path / "long",
        "--quiet",
    )
    df = read_back(tmp_path / "long" / "forecast.csv", {"when": "time", "forecast": "y"})
    df = df[df.id == "a"].reset_index(drop=True)
    return df[["time", "y", *[f"{s}-{lv:g}" for lv in LEVELS for s in ("lo", "hi")]]]


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("shape", ["whole", "late-start-with-gaps"])
def test_every_door_gives_the_same_forecast(tmp_path, case, shape):
    freq, n, season, horizon = CASES[case]
    late, gaps = (0, ()) if shape == "whole" else (season + 3, (n // 2, n // 2 + 1, n - 9))
    fmt = "%Y-%m-%d" if freq in ("MS", "QE", "W-SUN", "B") else "%Y-%m-%d %H:%M"
    # Every door gets the values as the command line reads them from its CSV (pandas 2's
    # default parser may differ from Python's in the last bit).
    times, values = as_read(tmp_path, *make_series(freq, n, season, late, gaps), fmt)
    other = as_read(tmp_path, *make_series(freq, n, season), fmt)
    algorithm = "hw"

    direct, (dated_times, dated_point) = through_forecaster(times, values, algorithm, horizon)
    direct["time"] = direct["time"].to_numpy().astype("datetime64[ns]")
    doors = {
        "forecast_many": through_batch(times, values, algorithm, horizon, other),
        "command line": through_cli(tmp_path, times, values, algorithm, horizon, fmt),
        "long format": through_long_cli(tmp_path, times, values, other, algorithm, horizon, fmt),
    }
    for name, got in doors.items():
        got = got[list(direct.columns)].reset_index(drop=True)
        got["time"] = got["time"].to_numpy().astype("datetime64[ns]")
        pd.testing.assert_frame_equal(got, direct, check_exact=True, obj=name)
    # The ranking's scores of the long format are cross_validation's, late start and gaps
    # included (each series with the windows that fit it).
    frame = pd.concat(
        [
            pd.DataFrame({"unique_id": "a", "ds": times, "y": values}),
            pd.DataFrame({"unique_id": "b", "ds": other[0], "y": other[1]}),
        ]
    )
    cli = pd.read_csv(tmp_path / "long" / f"metrics_{algorithm}.csv", **EXACT)
    for sid, windows in zip(cli.id, cli.n_windows, strict=True):
        assert windows >= 1
        cv = cross_validation(
            frame[frame.unique_id == sid], algorithm=algorithm, h=horizon,
            n_windows=int(windows), refit=True,
        )
        got = cli[cli.id == sid]
        assert int(got.n_train.iloc[0]) == int(cv.errors.n_train.iloc[0])
        for key in ("smape", "mase", "mae", "rmse"):
            assert got[key].iloc[0] == cv.metrics[key].iloc[0], (sid, key)
    # The forecaster trained on the dates forecasts the same values at the same dates (business
    # days included: a weekend is no missing day).
    np.testing.assert_array_equal(dated_times.astype("datetime64[ns]"), direct["time"])
    np.testing.assert_array_equal(dated_point, direct["y"].to_numpy())


def test_the_command_line_never_writes_over_its_input(tmp_path, monkeypatch):
    times, values = make_series("MS", 60, 12)
    monkeypatch.chdir(tmp_path)
    write_csv("forecast.csv", times, values, "%Y-%m-%d")
    before = (tmp_path / "forecast.csv").read_bytes()
    with contextlib.redirect_stdout(io.StringIO()):
        code = main(["forecast.csv", "--algorithms", "hw", "--quiet"])
    assert code == 0
    assert (tmp_path / "forecast.csv").read_bytes() == before
    # It wrote into a new folder named after the input, and a second run does not write over it.
    written = sorted(os.listdir(tmp_path / "forecast-forecast"))
    assert "forecast.csv" in written and "best_pipeline.pkl.gz" in written
    stamp = (tmp_path / "forecast-forecast" / "forecast.csv").read_bytes()
    err = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
        code = main(["forecast.csv", "--algorithms", "hw", "--quiet"])
    assert code == 2 and "--force" in err.getvalue()
    assert (tmp_path / "forecast-forecast" / "forecast.csv").read_bytes() == stamp
    # --output . with the input there: refused even with --force.
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
        code = main(["forecast.csv", "--output", ".", "--force", "--quiet"])
    assert code == 2 and "input file" in err.getvalue().splitlines()[-1]
    assert (tmp_path / "forecast.csv").read_bytes() == before


def calendar_cases():
    rng = np.random.default_rng(1)
    # Three years of daily data with a week and a year: the values alone show a year of 363
    # days, the calendar says 365.
    t = np.arange(3 * 365)
    daily = 100 + 10 * np.sin(2 * np.pi * t / 7) + 20 * np.sin(2 * np.pi * t / 365.25)
    # Eight years of monthly data with a yearly cycle too weak for the values alone: the
    # calendar names the season of 12.
    m = np.arange(96)
    level = 100 + np.cumsum(rng.normal(0, 1.5, m.size))
    monthly = level + 2.5 * np.sin(2 * np.pi * m / 12) + rng.normal(0, 1.5, m.size)
    return {
        "daily": ("D", daily + rng.normal(0, 2, t.size), 14),
        "monthly": ("MS", monthly, 12),
    }


@pytest.mark.parametrize("case", ["daily", "monthly"])
def test_dated_doors_agree_where_the_calendar_decides(tmp_path, case):
    # Every door trains with the dates, so every door forecasts alike.
    freq, values, horizon = calendar_cases()[case]
    times = pd.date_range("2020-01-01", periods=len(values), freq=freq)
    times, values = as_read(tmp_path, times.to_numpy().astype("datetime64[us]"), values, "%Y-%m-%d")
    algorithm = "autoforecaster"

    est = QuillcastForecaster(algorithm=algorithm, prediction_horizon=horizon)
    with contextlib.redirect_stdout(io.StringIO()):
        est.fit(pd.DataFrame({"y": values}, index=pd.DatetimeIndex(times)), None)
    direct = pd.DataFrame({"time": np.asarray(est.forecast_times()).astype("datetime64[ns]"),
                           "y": np.asarray(est.predict(), dtype=float).reshape(-1)})
    bands = est.predict_interval(level=list(LEVELS))
    for lv in LEVELS:
        direct[f"lo-{lv:g}"] = np.asarray(bands[lv][0], dtype=float).reshape(-1)
        direct[f"hi-{lv:g}"] = np.asarray(bands[lv][1], dtype=float).reshape(-1)
    doors = {
        "forecast_many": through_batch(times, values, algorithm, horizon),
        "command line": through_cli(tmp_path, times, values, algorithm, horizon, "%Y-%m-%d"),
    }
    for name, got in doors.items():
        got = got[list(direct.columns)].reset_index(drop=True)
        got["time"] = got["time"].to_numpy().astype("datetime64[ns]")
        pd.testing.assert_frame_equal(got, direct, check_exact=True, obj=name)
    # The backtest trains with the dates too: its one window is forecast_many's holdout.
    # Their scores too, with a month absent from the training rows (the backtest scaled MASE by
    # the filled values, forecast_many by the observed ones).
    frame = pd.DataFrame({"unique_id": "s", "ds": times, "y": values})
    for alg, rows in ((algorithm, frame), ("hw", frame.drop(index=15))):
        held = forecast_many(rows, algorithm=alg, horizon=horizon, holdout=horizon)
        back = cross_validation(rows, algorithm=alg, h=horizon, n_windows=1)
        np.testing.assert_array_equal(back.forecasts.forecast, held.forecasts.forecast, err_msg=alg)
        np.testing.assert_array_equal(back.forecasts.time.to_numpy(), held.forecasts.time.to_numpy())
        for key in ("smape", "mase", "mae", "rmse"):
            assert back.metrics[key].iloc[0] == held.errors[key].iloc[0], (alg, key)
    # Without the dates the year is another one, and so is the forecast: the case is one where
    # the calendar matters.
    undated = QuillcastForecaster(algorithm=algorithm, prediction_horizon=horizon)
    with contextlib.redirect_stdout(io.StringIO()):
        undated.fit(values.reshape(-1, 1), None)
    assert not np.allclose(np.asarray(undated.predict(), dtype=float).reshape(-1), direct["y"])
