"""Ctrl-C stops long engine work promptly and leaves the model as it was."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from tidewell_ts_libs.deps.tarn import forecasters


def ar_series(n, seed=0):
    rng = np.random.default_rng(seed)
    e = rng.normal(size=n)
    y = np.empty(n)
    prev = 0.0
    for i in range(n):
        prev = 0.6 * prev + e[i]
        y[i] = prev
    return 100.0 + y


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def test_ctrl_c_stops_a_long_arma_fit_and_keeps_the_model():
    n = 100_000
    y = ar_series(n).tolist()
    m = forecasters.arma(min_training_data=n)
    m.update_model(list(range(10)), y[:10])
    before = m.serialize()
    timer = interrupt_after(0.5)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            m.update_model(list(range(10, n)), y[10:])
        latency = time.monotonic() - start - 0.5
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
        m2 = forecasters.arma(min_training_data=100_000)
        before = m2.serialize()
        timer = interrupt_after(0.3)
        try:
            with pytest.raises(Stop):
                m2.update_model(list(range(100_000)), ar_series(100_000, seed=1).tolist())
        finally:
            timer.cancel()
        assert m2.serialize() == before
    finally:
        signal.signal(signal.SIGINT, old)
