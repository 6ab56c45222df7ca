"""Ctrl-C stops long engine work promptly and leaves the model as it was."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from tidewell_ts_libs.deps.tarn import forecasters


def seasonal_series(n, seed=0):
    # A season of 24 on a million values: the selector's fit takes a second or more.
    rng = np.random.default_rng(seed)
    return 100.0 + 10.0 * np.sin(np.arange(n) * 2 * np.pi / 24) + rng.normal(size=n)


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def test_ctrl_c_stops_a_long_selector_fit_and_keeps_the_model():
    n = 1_000_000
    y = seasonal_series(n).tolist()
    m = forecasters.auto(min_training_data=n)
    m.update_model(list(range(10)), y[:10])
    before = m.serialize()
    # The selector fits only its latest values: the whole call lasts about a quarter second, so
    # the signal comes early in it.
    timer = interrupt_after(0.05)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            m.update_model(list(range(10, n)), y[10:])
        latency = time.monotonic() - start - 0.05
    finally:
        timer.cancel()
    assert latency < 5.0
    # the model is as it was before the call: the same state, the same ten observations
    assert m.serialize() == before and m.observations == 10 and not m.is_initialized()


def test_the_exception_a_signal_handler_raises_is_the_one_raised():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("stop")

    old = signal.signal(signal.SIGINT, handler)
    try:
        n = 1_000_000
        y = seasonal_series(n, seed=1).tolist()
        m2 = forecasters.auto(min_training_data=n)
        before = m2.serialize()
        timer = interrupt_after(0.05)
        try:
            with pytest.raises(Stop):
                m2.update_model(list(range(n)), y)
        finally:
            timer.cancel()
        assert m2.serialize() == before
    finally:
        signal.signal(signal.SIGINT, old)


def test_ctrl_c_stops_a_long_sliding_window_and_keeps_the_forecaster():
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    rng = np.random.default_rng(2)
    y = 100 + np.cumsum(rng.normal(size=600)) * 0.1
    f = QuillcastForecaster(algorithm="arma", log_transform=False).fit(y.reshape(-1, 1), None)
    before = f.predict(prediction_horizon=3)
    # About a second of work for the engine: the interrupt lands well inside it.
    X = 100 + rng.normal(size=(6_000_000, 1))
    timer = interrupt_after(0.2)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            f.predict(X, prediction_horizon=1, prediction_type="sliding_window")
        latency = time.monotonic() - start - 0.2
    finally:
        timer.cancel()
    assert latency < 5.0
    np.testing.assert_array_equal(f.predict(prediction_horizon=3), before)


@pytest.mark.parametrize("algorithm, n", [("mstl", 200_000), ("hw", 4_000_000)])
def test_ctrl_c_stops_a_long_forecaster_fit_and_leaves_it_unfitted(algorithm, n):
    # The decomposition and the adjusted series' model of mstl, and the season search of hw on
    # a long series without a given season, used to finish (seconds) before the signal counted,
    # and mstl's forecaster was then fitted all the same.
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    y = seasonal_series(n).reshape(-1, 1)
    f = QuillcastForecaster(algorithm=algorithm)
    start = time.monotonic()
    f.fit(y, None, _reset_model=True)
    whole = time.monotonic() - start
    f = QuillcastForecaster(algorithm=algorithm)
    timer = interrupt_after(0.1)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            f.fit(y, None, _reset_model=True)
        stopped = time.monotonic() - start
    finally:
        timer.cancel()
    assert stopped < 0.1 + max(0.5, 0.3 * whole), (stopped, whole)
    assert not getattr(f, "is_fitted_", False)
