"""The command line's ranking: forecasts from rolling origins, checked against forecasts made
one by one, and the one-step sliding window kept as an option."""

import argparse
import contextlib
import io

import numpy as np
import pandas as pd
import pytest
from helpers import trend_season

from tidewell_ts_libs import series
from tidewell_ts_libs.batch import forecast_many
from tidewell_ts_libs.cli import main
from tidewell_ts_libs.cli.ranking import choose_plan
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def monthly_csv(path, n=96, noise=1.5):
    t = np.arange(n)
    values = trend_season(t, 100, 0.8, 15, noise=noise, rng=4) * (1 + 0.004 * t)
    months = pd.date_range("2012-01-01", periods=n, freq="MS").strftime("%Y-%m-%d")
    pd.DataFrame({"month": months, "sales": values}).to_csv(path, index=False)
    return values


def run(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main([str(a) for a in args])
    return code, out.getvalue(), err.getvalue()


def printed_smape(stdout):
    """{algorithm: sMAPE} of the ranking table."""
    rows = [ln.split() for ln in stdout.splitlines()]
    return {r[1]: float(r[2]) for r in rows if len(r) >= 6 and r[0].isdigit()}


def forecasts_one_by_one(values, algorithm, horizon, windows, step):
    """Every window's forecast made on its own: a forecaster trained on the rows before the
    origin with the settings of the first window's rows, then `horizon` steps predicted."""
    n = len(values)
    origins = [n - horizon - (windows - 1 - w) * step for w in range(windows)]
    train = values[: origins[0]].reshape(-1, 1)
    season = series.detect_season(train)
    settings = series.settings_for(algorithm, train, season)
    kwargs = {k: v for k, v in settings.items() if k != "log_transform"}
    rows, forecasts = [], []
    for o in origins:
        est = QuillcastForecaster(
            algorithm=algorithm,
            prediction_horizon=horizon,
            log_transform=settings["log_transform"],
            **kwargs,
        )
        with contextlib.redirect_stdout(io.StringIO()):
            est.fit(values[:o].reshape(-1, 1), None, _reset_model=True)
        forecasts.append(np.asarray(est.predict(prediction_horizon=horizon), float).ravel())
        rows.append(np.arange(o, o + horizon))
    rows, forecasts = np.concatenate(rows), np.concatenate(forecasts)
    smape = series.score(values[rows], forecasts, train[:, 0], season)["smape"]
    return rows, forecasts, smape


@pytest.mark.parametrize(
    "options, horizon, windows, step",
    [
        ((), 12, 3, 12),  # the default: three windows of a season, a season apart
        (("--horizon", 6, "--windows", 4, "--step", 3), 6, 4, 3),  # overlapping windows
        (("--holdout", 20, "--horizon", 8, "--step", 5), 8, 3, 5),  # windows within --holdout
    ],
    ids=["default", "overlapping", "within-holdout"],
)
def test_the_ranking_scores_forecasts_made_from_each_origin(tmp_path, options, horizon, windows, step):
    values = monthly_csv(tmp_path / "sales.csv")
    out = tmp_path / "out"
    code, stdout, err = run(tmp_path / "sales.csv", "--algorithms", "hw,arima", *options,
                            "--output", out)
    assert code == 0, err
    rows_word = horizon + (windows - 1) * step
    assert f"Ranked by {windows} rolling-origin forecasts of {horizon} steps, {step} apart" in stdout
    assert f"over the last {rows_word} rows" in stdout
    printed = printed_smape(stdout)
    backtest = pd.read_csv(out / "forecasts.csv")
    assert len(backtest) == windows * horizon
    for alg in ("hw", "arima"):
        rows, expected, smape = forecasts_one_by_one(values, alg, horizon, windows, step)
        assert printed[alg] == pytest.approx(round(smape, 3), abs=1e-9), alg
        np.testing.assert_allclose(backtest[f"sales_{alg}"], expected, rtol=1e-9, err_msg=alg)
        np.testing.assert_allclose(backtest["sales"], values[rows], rtol=1e-12)
    months = pd.date_range("2012-01-01", periods=len(values), freq="MS").strftime("%Y-%m-%d")
    assert list(backtest.month) == list(months[rows])
    # Each row's cutoff is the last month its window trained on.
    assert list(backtest.cutoff[::horizon]) == list(months[rows[::horizon] - 1])


def test_one_window_a_horizon_long_is_one_forecast_of_the_holdout(tmp_path):
    values = monthly_csv(tmp_path / "sales.csv")
    code, stdout, err = run(tmp_path / "sales.csv", "--algorithms", "hw,arima", "--windows", 1,
                            "--horizon", 12, "--step", 12, "--output", tmp_path / "out")
    assert code == 0, err
    assert "Ranked by 1 rolling-origin forecast of 12 steps, over the last 12 rows" in stdout
    months = pd.date_range("2012-01-01", periods=len(values), freq="MS")
    frame = pd.DataFrame({"unique_id": "sales", "ds": months, "y": values})
    printed = printed_smape(stdout)
    for alg in ("hw", "arima"):
        one = forecast_many(frame, algorithm=alg, horizon=12, holdout=12).errors
        assert printed[alg] == pytest.approx(round(float(one.smape.iloc[0]), 3), abs=1e-9)


def test_the_one_step_window_stays_available_and_says_so(tmp_path):
    monthly_csv(tmp_path / "sales.csv")
    out = tmp_path / "out"
    code, stdout, err = run(tmp_path / "sales.csv", "--algorithms", "hw", "--one-step",
                            "--output", out)
    assert code == 0, err
    assert "Ranked by one-step sliding window over the last 19 rows" in stdout
    backtest = pd.read_csv(out / "forecasts.csv")
    assert len(backtest) == 19 and "cutoff" not in backtest.columns
    # Fed the actual values, the one-step window flatters: it beats forecasts of 12 steps.
    _, rolled, _ = run(tmp_path / "sales.csv", "--algorithms", "hw", "--output", tmp_path / "o2")
    assert printed_smape(stdout)["hw"] < printed_smape(rolled)["hw"]


def plan_of(n, season, **given):
    args = {"horizon": None, "holdout": None, "windows": None, "step": None, "one_step": False}
    return choose_plan(n, season, argparse.Namespace(**{**args, **given}))


def test_default_windows_are_bounded_by_the_data():
    plan = plan_of(144, 12)
    assert (plan.horizon, plan.windows, plan.step, plan.holdout) == (12, 3, 12, 36)
    assert plan.origins(144) == [108, 120, 132]
    # Two horizons and three seasons stay before the first origin.
    assert plan_of(72, 12).windows == 3 and plan_of(71, 12).windows == 2
    assert plan_of(47, 12).windows == 1
    assert plan_of(100, 4, horizon=20).windows == 3 and plan_of(99, 4, horizon=20).windows == 2
    # Without a season: 6 steps, shortened on a short series.
    assert plan_of(20, 1).horizon == 6 and plan_of(14, 1).horizon == 3


BAD_OPTIONS = {
    "zero-windows": (["--windows", "0"], "--windows must be at least 1, got 0"),
    "negative-step": (["--step", "-2"], "--step must be at least 1, got -2"),
    "too-many-windows": (["--windows", "30"], "leaves none of the 96 rows for training"),
    "one-step-with-windows": (["--one-step", "--windows", "2"], "not --one-step"),
    "long-one-step": (["--series-column", "id", "--one-step"], "--one-step ranks one table"),
}


@pytest.mark.parametrize("case", list(BAD_OPTIONS))
def test_bad_backtest_options_are_refused_before_any_work(tmp_path, case):
    extra, expected = BAD_OPTIONS[case]
    values = monthly_csv(tmp_path / "sales.csv")
    if "--series-column" in extra:
        frame = pd.read_csv(tmp_path / "sales.csv").assign(id="a")
        frame.to_csv(tmp_path / "sales.csv", index=False)
    code, _out, err = run(tmp_path / "sales.csv", *extra, "--output", tmp_path / "o")
    assert code == 2 and expected in err, err
    assert len(values) == 96 and not list((tmp_path / "o").glob("*.csv"))


def test_dated_rows_are_backtested_with_their_dates(tmp_path):
    # A weak yearly cycle that the values alone do not show (the search reads a season of 13):
    # the monthly dates name the season of 12, and the ranking's windows train with the dates,
    # as the forecast after it does.
    n, horizon = 96, 12
    values = trend_season(np.arange(n), 100, 0.3, 3, noise=3, rng=4)
    months = pd.date_range("2012-01-01", periods=n, freq="MS")
    pd.DataFrame({"month": months.strftime("%Y-%m-%d"), "sales": values}).to_csv(
        tmp_path / "sales.csv", index=False
    )
    # The values as the command line reads them (pandas 2's parser may round the last digit).
    values = pd.read_csv(tmp_path / "sales.csv")["sales"].to_numpy(dtype=float)
    code, stdout, err = run(tmp_path / "sales.csv", "--algorithms", "autoforecaster",
                            "--horizon", horizon, "--windows", 3, "--step", horizon,
                            "--output", tmp_path / "out")
    assert code == 0, err
    backtest = pd.read_csv(tmp_path / "out" / "forecasts.csv")
    train = values[: n - 3 * horizon].reshape(-1, 1)
    settings = series.settings_for("autoforecaster", train, series.detect_season(train))
    by = {}
    for name, X in {"dated": pd.DataFrame({"sales": values}, index=months),
                    "undated": values.reshape(-1, 1)}.items():
        est = series.forecaster("autoforecaster", settings, horizon)
        with contextlib.redirect_stdout(io.StringIO()):
            cv = est.cross_validation(X, h=horizon, n_windows=3, step=horizon, refit=True)
        by[name] = cv["forecast"].to_numpy()
    np.testing.assert_allclose(backtest["sales_autoforecaster"], by["dated"], rtol=1e-12)
    assert np.abs(by["dated"] - by["undated"]).max() > 1.0  # the dates matter here
