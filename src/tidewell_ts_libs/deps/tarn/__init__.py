"""The tarn forecasting engine.

``forecasters.<builder>(**options)`` returns a new, untrained engine model (see ``Model``);
builders: hws, arima, arma, bats, auto. Models pickle to their compact binary state, rebuilt by
``_from_state``.
"""

from . import _tarn
from ._tarn import Model


def _from_state(state):
    """Rebuilds an engine model from its binary state; ValueError when the state is garbled."""
    return _tarn._from_state(state)


from . import forecasters  # noqa: E402

__all__ = ["Model", "forecasters"]
