"""Builders of the engine's models: each takes keyword arguments only and returns a new,
untrained model."""

from ._tarn import forecasters as _builders

hws = _builders.hws
arima = _builders.arima
arma = _builders.arma
bats = _builders.bats
auto = _builders.auto

__all__ = list(_builders.__all__)
globals().update({name: getattr(_builders, name) for name in __all__})
