"""Saved engine states: those written by the first state format still load and forecast the same,
and a damaged state is always rejected."""

import base64
import pickle

import numpy as np
import pytest
from helpers import model_states_v1

from tidewell_ts_libs.deps.tarn import _from_state

STATES = model_states_v1()


@pytest.mark.parametrize("kind", sorted(STATES))
def test_first_format_states_load_with_their_forecasts(kind):
    saved = STATES[kind]
    m = _from_state(base64.b64decode(saved["state"]))
    assert m.kind == kind and m.is_initialized()
    got = [m.forecast_at(95 + k) for k in (1, 2, 5, 12)]
    np.testing.assert_allclose(got, saved["forecasts"], rtol=1e-12)
    again = pickle.loads(pickle.dumps(m))
    np.testing.assert_allclose([again.forecast_at(96)], saved["forecasts"][:1], rtol=1e-12)


@pytest.mark.parametrize("kind", sorted(STATES))
def test_any_flipped_bit_is_rejected(kind):
    m = _from_state(base64.b64decode(STATES[kind]["state"]))
    state = bytearray(m.serialize())
    rng = np.random.default_rng(len(state))
    for pos in rng.choice(len(state) * 8, size=min(400, len(state) * 8), replace=False):
        bad = bytearray(state)
        bad[pos // 8] ^= 1 << (pos % 8)
        with pytest.raises(ValueError):
            _from_state(bytes(bad))
