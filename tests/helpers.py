"""Plain helpers shared by the test modules: series makers, a fitted forecaster, message texts and
the saved engine states of the first format."""

import json
from pathlib import Path

import numpy as np

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.utils.messages.messages import Messages

DATA = Path(__file__).parent / "data"


# -- series makers ---------------------------------------------------------------------------------
# Each sums its terms in the order of its name, then adds the noise: the tests' data, and with them
# their expected figures, depend on that order to the last bit.


def _noise(y, t, noise, rng):
    if not noise:
        return y
    return y + np.random.default_rng(rng).normal(0, noise, len(t))


def trend_season(t, level, slope, amplitude, period=12, phase=0, noise=0.0, rng=None):
    """level + slope * t + amplitude * sin(2 pi (t + phase) / period), plus N(0, noise) noise.

    `rng` is a seed or a generator (a generator goes on drawing where it is).
    """
    y = level + slope * t + amplitude * np.sin(2 * np.pi * (t + phase) / period)
    return _noise(y, t, noise, rng)


def season_trend(t, level, amplitude, slope, period=12, noise=0.0, rng=None):
    """level + amplitude * sin(2 pi t / period) + slope * t, plus N(0, noise) noise."""
    y = level + amplitude * np.sin(2 * np.pi * t / period) + slope * t
    return _noise(y, t, noise, rng)


def monthly_wave(n, with_time=False, slope=0.05):
    """20 + 3 sin(2 pi t / 12) + slope * t on t = 0..n-1: one column, or the time and the values."""
    t = np.arange(n, dtype=float)
    values = season_trend(t, 20, 3, slope)
    return np.column_stack([t, values]) if with_time else values.reshape(-1, 1)


def lines(n, start=0):
    """Two linear series: a window regressor learns them exactly."""
    t = np.arange(start, start + n, dtype=float)
    return np.column_stack([2 * t + 1, 5 - t])


# -- forecasters -----------------------------------------------------------------------------------
def fit_forecaster(t, values, ts=False, **kw):
    """A QuillcastForecaster fitted afresh on the values (after the time column when `ts`), with
    seasons of 12 samples unless told otherwise."""
    X = np.column_stack([t, values]) if ts else values
    kw.setdefault("samples_per_season", 12)
    return QuillcastForecaster(ts_icol_loc=[0] if ts else -1, **kw).fit(X, None, _reset_model=True)


# -- messages and saved states ---------------------------------------------------------------------
def message(message_id, *args):
    """The text of a library message with its arguments filled in."""
    return Messages.get_message(*args, message_id=message_id)


def model_states_v1():
    """The engine states saved in the first format, with the forecasts they gave, by model kind."""
    return json.loads((DATA / "model_states_v1.json").read_text())
