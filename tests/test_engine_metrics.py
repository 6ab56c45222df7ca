"""The engine's accuracy measures as Python reaches them: one dict, one rule for missing values,
clear errors for bad arguments."""

import numpy as np
import pytest

from tidewell_ts_libs.deps.tarn import _tarn


def test_measures_of_a_forecast_with_its_interval():
    insample = np.array([1.0, 2, 4, 3, 5, 7])
    got = _tarn.accuracy([6, 8, 7], [5, 8, 9], insample, 2, lower=[4, 7, 8], upper=[7, 9, 10],
                         level=80)
    assert got["count"] == 3 and got["season"] == 2
    assert got["mae"] == pytest.approx(1.0) and got["mase"] == pytest.approx(1 / 2.25)
    assert got["rmse"] == pytest.approx(np.sqrt(5 / 3))
    assert got["msis"] == pytest.approx(17 / 3 / 2.25) and got["coverage"] == pytest.approx(200 / 3)
    # Without an interval its measures are NaN; a missing actual does not count.
    plain = _tarn.accuracy([np.nan, 8, 7], [1e9, 8, 9], insample, 2)
    assert plain["count"] == 2 and np.isnan(plain["msis"]) and np.isnan(plain["coverage"])
    assert plain["mae"] == pytest.approx(1.0)


def test_a_missing_forecast_is_never_an_accurate_one():
    got = _tarn.accuracy([1.0, 2.0], [1.0, np.nan], [1.0, 2.0, 3.0], 1)
    assert all(np.isnan(got[k]) for k in ("mae", "rmse", "smape", "mase"))


def test_huge_series_do_not_overflow():
    y, f, x = np.array([6.0, 8, 7]), np.array([5.0, 8, 9]), np.array([1.0, 2, 4, 3, 5, 7])
    small = _tarn.accuracy(y, f, x, 2)
    huge = _tarn.accuracy(y * 1e306, f * 1e306, x * 1e306, 2)
    assert huge["smape"] == pytest.approx(small["smape"]) and huge["smape"] > 0
    assert huge["mase"] == pytest.approx(small["mase"])
    assert huge["rmse"] / 1e306 == pytest.approx(small["rmse"])


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"forecast": [1.0]}, ValueError, "forecast has 1 values"),
        ({"season": 0}, ValueError, "season must be at least 1"),
        ({"season": 1.5}, TypeError, "season must be an integer"),
        ({"lower": [0.0, 0.0]}, ValueError, "both lower and upper"),
        ({"lower": [0.0, 0.0], "upper": [3.0, 3.0]}, ValueError, "level is needed"),
        ({"lower": [0.0, 0.0], "upper": [3.0, 3.0], "level": 100}, ValueError, "between 0 and 100"),
        ({"actual": "ab"}, (TypeError, ValueError), "actual"),
    ],
)
def test_bad_arguments_are_named(kwargs, error, text):
    args = {"actual": [1.0, 2.0], "forecast": [1.0, 2.0], "insample": [1.0, 2.0, 3.0], "season": 1}
    args.update(kwargs)
    with pytest.raises(error, match=text):
        _tarn.accuracy(**args)


def test_settings_rule_for_the_forecaster():
    monthly = np.abs(np.sin(np.arange(120))) + 1
    assert _tarn.forecaster_settings("hw", monthly, 12) == {
        "log_transform": True,
        "samples_per_season": 12,
        "initial_training_seasons": 10,
        "algorithm_type": "additive",
    }
    # A season needs two of them in the data; a value of 0 rules out the log scale; NaN is missing.
    short = _tarn.forecaster_settings("hw", np.r_[0.0, np.ones(20), np.nan], 12)
    assert short["samples_per_season"] == 1 and short["initial_training_seasons"] == 22
    assert short["log_transform"] is False
    assert _tarn.forecaster_settings("arima", np.ones((30, 2)), 12) == {"log_transform": True}


def test_quantile_scores_by_hand_and_the_crps_of_a_median_alone():
    actual = np.array([1.0, 3.0, np.nan])
    forecasts = np.array([[0.0, 2.0], [2.0, 5.0], [9.0, 9.0]])  # rows: positions; columns: p
    got = _tarn.quantile_scores(actual, forecasts, [0.25, 0.75], insample=[1, 2, 4, 3, 5, 7],
                                season=2)
    assert got["count"] == 2  # the missing actual does not count
    assert got["pinball"] == pytest.approx({0.25: 0.25, 0.75: 0.375})
    assert got["mean_pinball"] == pytest.approx(0.3125)
    assert got["crps"] == pytest.approx(0.625)  # even grid: twice the mean pinball loss
    assert got["scaled_crps"] == pytest.approx(0.625 / 2.25)
    # A median alone is a point forecast: its CRPS is the mean absolute error.
    point = _tarn.quantile_scores([1.0, 3.0], [[2.0], [1.0]], [0.5])
    assert point["crps"] == pytest.approx(1.5) and np.isnan(point["scaled_crps"])
    holed = _tarn.quantile_scores([1.0, 3.0], [[0.0, np.nan], [2.0, 5.0]], [0.25, 0.75])
    assert np.isnan(holed["crps"]) and np.isnan(holed["pinball"][0.25])


def test_sample_crps_matches_the_definition_and_approaches_the_normal_closed_form():
    rng = np.random.default_rng(3)
    paths = rng.normal(2.0, 1.5, size=(400, 3))
    actual = np.array([2.0, 5.0, -1.0])
    got = _tarn.sample_crps(actual, paths)
    brute = [np.mean(np.abs(paths[:, i] - y))
             - np.mean(np.abs(paths[:, i][:, None] - paths[:, i][None, :])) / 2
             for i, y in enumerate(actual)]
    assert got["per_step"] == pytest.approx(brute, rel=1e-10)
    assert got["crps"] == pytest.approx(np.mean(brute), rel=1e-10) and got["count"] == 3
    # Many draws of N(0, 1) against 0: the closed form is 2 phi(0) - 1 / sqrt(pi).
    big = rng.normal(size=(200_000, 1))
    exact = 2 / np.sqrt(2 * np.pi) - 1 / np.sqrt(np.pi)
    assert _tarn.sample_crps([0.0], big)["crps"] == pytest.approx(exact, abs=0.01)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: _tarn.quantile_scores([1.0], [[1.0, 2.0]], [0.5, 0.5]), ValueError,
         "strictly increasing"),
        (lambda: _tarn.quantile_scores([1.0], [[1.0]], [1.5]), ValueError, "between 0 and 1"),
        (lambda: _tarn.quantile_scores([1.0, 2.0], [[1.0, 2.0]], [0.1, 0.9]), ValueError,
         "one row per actual value"),
        (lambda: _tarn.quantile_scores([1.0], [1.0], [0.5]), ValueError, "two-dimensional"),
        (lambda: _tarn.quantile_scores([1.0], [[1.0]], [0.5], season=0), ValueError,
         "season must be at least 1"),
        (lambda: _tarn.sample_crps([1.0, 2.0], [[1.0, 2.0, 3.0]]), ValueError,
         "one column per actual value"),
        (lambda: _tarn.sample_crps([1.0], np.empty((0, 1))), ValueError, "at least one row"),
    ],
)
def test_bad_probabilistic_arguments_are_named(call, error, text):
    with pytest.raises(error, match=text):
        call()
