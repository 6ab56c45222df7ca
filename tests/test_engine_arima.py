"""The engine's ARIMA and ARMA models as the forecaster reaches them through the binding."""

import math
import pickle

import numpy as np
import pytest

tarn = pytest.importorskip("tidewell_ts_libs.deps.tarn")
forecasters = tarn.forecasters


def _seasonal(n, m=12, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return 100 + 0.3 * t + 8 * np.sin(2 * np.pi * t / m) + rng.normal(size=n)


def _train(model, values, start=0):
    n = len(values)
    model.update_model(list(range(start, start + n)), [float(v) for v in values])
    return model


# Every keyword combination the forecaster may pass (fractions already resolved to counts, the
# value None meaning "absent").
ARIMA_KEYWORDS = [
    {},
    {"min_training_data": 99},
    {"min_training_data": -1},
    {"error_horizon_length": 2, "use_full_error_history": True, "force_model": False,
     "min_training_data": 80, "p_min": 0, "p_max": 2, "d": None, "q_min": 0, "q_max": 2},
    {"force_model": True, "p_max": 1, "q_max": 1, "d": 1, "min_training_data": 100},
]


@pytest.mark.parametrize("kwargs", ARIMA_KEYWORDS)
def test_arima_builder_keywords_train_and_forecast(kwargs):
    model = _train(forecasters.arima(**kwargs), _seasonal(100))
    assert model.is_initialized()
    assert model.kind == "arima"
    fc = [model.forecast_at(99 + h) for h in (1, 2.5, 12, 50)]
    assert all(math.isfinite(v) for v in fc)


@pytest.mark.parametrize("kwargs", [{}, {"min_training_data": 60, "p_max": 2, "q_max": 1}])
def test_arma_builder_keywords(kwargs):
    model = _train(forecasters.arma(**kwargs), _seasonal(100))
    assert model.is_initialized()
    assert model.kind == "arma"
    assert math.isfinite(model.forecast_at(105))


@pytest.mark.parametrize(
    "builder, kwargs",
    [
        ("arima", {"p_min": 3, "p_max": 1}),
        ("arima", {"d": 5}),
        ("arima", {"q_mx": 2}),
        ("arma", {"d": 1}),
    ],
)
def test_bad_keywords_raise_and_name_the_option(builder, kwargs):
    with pytest.raises(ValueError) as info:
        getattr(forecasters, builder)(**kwargs)
    assert next(iter(kwargs)) in str(info.value)


def test_pickled_model_is_an_independent_equal_copy():
    model = _train(forecasters.arima(samples_per_season=12), _seasonal(120))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(model, protocol=protocol))
        assert copy.forecast_at(125) == model.forecast_at(125)
        assert copy.describe() == model.describe()
    copy = pickle.loads(pickle.dumps(model))
    copy.update_model(120, 500.0)
    assert copy.forecast_at(132) != model.forecast_at(132)
    assert copy.last_time_updated == 120 and model.last_time_updated == 119


def test_training_size_decides_initialisation_and_stale_updates_are_refused():
    model = forecasters.arima(min_training_data=50)
    _train(model, _seasonal(49))
    assert not model.is_initialized()
    model.update_model(49, 120.0)
    assert model.is_initialized()
    before = model.forecast_at(55)
    with pytest.raises(ValueError):
        model.update_model(49, 1.0)
    assert model.forecast_at(55) == before
    assert model.last_time_updated == 49


def test_missing_values_pass_through_and_forecasts_stay_finite():
    values = _seasonal(80)
    values[[5, 6, 40, 79]] = np.nan
    model = _train(forecasters.arima(min_training_data=80), values)
    assert model.is_initialized()
    model.update_model(80, float("nan"))
    model.update_model(83, 130.0)  # a gap of two steps
    assert all(math.isfinite(model.forecast_at(83 + h)) for h in (0.5, 1, 7))
