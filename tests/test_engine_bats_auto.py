"""The bats, auto, theta and snaive engine models through the Python binding, used the way the
forecaster uses them: whole training series, then single updates, forecasts and pickling."""

import math
import pickle

import numpy as np
import pytest
from helpers import trend_season

from tidewell_ts_libs.deps.tarn import forecasters


def monthly(n, seed=0):
    return trend_season(np.arange(n), 50, 0.3, 8, noise=0.5, rng=seed).tolist()


BUILDERS = {
    "bats": lambda n: forecasters.bats(training_sample_size=n, box_cox_transform=True),
    "auto": lambda n: forecasters.auto(min_training_data=n, error_history_length=2),
    "theta": lambda n: forecasters.theta(training_sample_size=n),
    "snaive": lambda n: forecasters.snaive(training_sample_size=n),
}


@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_train_update_forecast_and_pickle(name):
    y = monthly(96)
    model = BUILDERS[name](72)
    model.update_model(list(range(72)), y[:72])
    assert model.is_initialized()
    for t in range(72, 96):
        model.update_model(t, y[t])
    assert model.last_time_updated == 95
    truth = monthly(108)
    fc = [model.forecast_at(95 + h) for h in range(1, 13)]
    assert all(math.isfinite(v) for v in fc)
    if name != "snaive":  # the baseline repeats last year's values without the trend
        assert np.mean(np.abs(np.array(fc) - truth[96:])) < 3.0
    with pytest.raises(ValueError):
        model.update_model(95, 1.0)  # not newer than the latest: the caller skips it
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(model, protocol=protocol))
        assert [copy.forecast_at(95 + h) for h in range(1, 13)] == fc
    copy.update_model(96, 80.0)
    assert model.last_time_updated == 95  # the copy is independent


@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_nan_inside_training_and_short_series(name):
    y = monthly(40)
    y[5] = y[17] = float("nan")
    model = BUILDERS[name](40)
    model.update_model(list(range(40)), y)
    assert model.is_initialized()
    assert math.isfinite(model.forecast_at(45))
    short = BUILDERS[name](2)
    short.update_model([0, 1], [3.0, 4.0])
    assert short.is_initialized() == (name != "auto")  # auto needs at least 8 values


def test_auto_training_size_is_at_least_eight():
    model = forecasters.auto(min_training_data=3)
    model.update_model(list(range(7)), [1.0] * 7)
    assert not model.is_initialized()
    model.update_model(7, 1.0)
    assert model.is_initialized()
    assert model.forecast_at(10) == pytest.approx(1.0)


@pytest.mark.parametrize(
    "builder, kwargs",
    [
        ("bats", {"training_sample_size": 10, "box_cox": True}),
        ("bats", {"training_sample_size": 2.5}),
        ("auto", {"min_training_data": 10, "season": 12}),
        ("auto", {"min_training_data": 10, "candidates": "theta,oracle"}),
    ],
)
def test_bad_keywords_are_rejected(builder, kwargs):
    with pytest.raises(ValueError):
        getattr(forecasters, builder)(**kwargs)


def test_bats_non_positive_training_size_still_fits():
    for size in (0, -3):
        model = forecasters.bats(training_sample_size=size)
        model.update_model(list(range(20)), monthly(20))
        assert model.is_initialized()
        assert math.isfinite(model.forecast_at(25))


def test_fits_on_several_threads_at_once_give_the_serial_bits():
    # The fits keep their workspaces per thread (the likelihoods' kept matrices and residuals):
    # selectors fitted side by side, each on its own series, must reach exactly the forecasts,
    # bands and states of the same fits one after another.
    import threading

    series = [monthly(96 + 6 * k, seed=k) for k in range(6)]

    def fit(y):
        model = BUILDERS["auto"](len(y))
        model.update_model(list(range(len(y))), y)
        t = len(y) - 1
        bands = [model.forecast_interval_at(t + h, level=90) for h in (1, 6, 12)]
        return [model.forecast_at(t + h) for h in range(1, 13)], bands, model.serialize()

    want = [fit(y) for y in series]
    for _ in range(2):
        got = [None] * len(series)

        def work(i, out):
            out[i] = fit(series[i])

        threads = [threading.Thread(target=work, args=(i, got)) for i in range(len(series))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == want
