"""Builders of the engine's models: each takes keyword arguments only and returns a new,
untrained model. The builders are the entries of the engine's table of models
(``tidewell_ts_libs.deps.tarn.model_table()``)."""

from ._tarn import forecasters as _builders

__all__ = list(_builders.__all__)
globals().update({name: getattr(_builders, name) for name in __all__})
