"""The tarn forecasting engine.

``forecasters.<builder>(**options)`` returns a new, untrained engine model (see ``Model``).
Models pickle to their compact binary state, rebuilt by ``_from_state``. ``model_table()``
describes every model of the engine.

Builders: {builders}.
"""

from . import _tarn
from ._tarn import Model


def _from_state(state):
    """Rebuilds an engine model from its binary state; ValueError when the state is garbled."""
    return _tarn._from_state(state)


def model_table():
    """The engine's table of models: one dict per model, in table order (see
    ``_tarn.model_table``)."""
    return _tarn.model_table()


def forecaster_algorithms():
    """The algorithm names QuillcastForecaster accepts, in table order."""
    return tuple(e["algorithm"] for e in _tarn.model_table() if e["algorithm"])


from . import forecasters  # noqa: E402

__doc__ = __doc__.format(builders=", ".join(forecasters.__all__))
__all__ = ["Model", "forecasters", "model_table", "forecaster_algorithms"]
