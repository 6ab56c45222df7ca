import copy
import math
import pickle

import numpy as np
import pytest
from helpers import trend_season

import tidewell_ts_libs.deps.tarn as tarn
from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils


def seasonal(n, period=4, level=20.0, amplitude=3.0, seed=0):
    y = trend_season(np.arange(n), level, 0.0, amplitude, period, noise=0.2, rng=seed)
    return y.tolist()


def trained(n=40, **kw):
    kw = kw or {"samples_per_season": 4, "initial_training_seasons": 2}
    m = forecasters.hws(**kw)
    m.update_model(list(range(n)), seasonal(n))
    return m


def test_forecasters_module_and_builders():
    import tidewell_ts_libs.deps.tarn.forecasters as mod

    for name in ("hws", "arima", "arma", "bats", "auto"):
        assert callable(getattr(mod, name))
    assert mod.hws is forecasters.hws
    m = forecasters.hws(samples_per_season=4, initial_training_seasons=2)
    assert isinstance(m, tarn.Model)
    assert not m.is_initialized()
    assert m.last_time_updated == -1


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"samples_per_seasons": 4}, ValueError),
        ({"samples_per_season": 0}, ValueError),
        ({"algorithm_type": "cubic"}, ValueError),
        ({"error_type": "proportional"}, ValueError),
        ({"samples_per_season": [4]}, TypeError),
        ({"samples_per_season": 2**70}, ValueError),
    ],
)
def test_builder_rejects_bad_keywords(kwargs, error):
    with pytest.raises(error):
        forecasters.hws(**kwargs)


def test_builder_takes_keywords_only_and_numpy_scalars():
    with pytest.raises(TypeError):
        forecasters.hws(4)
    m = forecasters.hws(
        samples_per_season=np.int64(4),
        initial_training_seasons=2.0,
        compute_seasonality=np.bool_(True),
        use_full_error_history=None,
    )
    assert "samples_per_season=4" in m.describe()
    m = forecasters.hws(is_season_length=False, number_of_samples=30, algorithm_type="additive")
    assert "found in the first 30" in m.describe()


def test_training_and_forecasting():
    m = trained(40)
    assert m.is_initialized()
    assert m.last_time_updated == 39
    assert m.average_interval == 1.0
    f = [m.forecast_at(40 + h) for h in range(8)]
    truth = [20 + 3 * math.sin(2 * math.pi * (40 + h) / 4) for h in range(8)]
    assert max(abs(a - b) for a, b in zip(f, truth, strict=True)) < 1.0
    assert math.isfinite(m.forecast_at(40.5))
    m.update_model(40, 21.5)
    assert m.last_time_updated == 40
    assert "hws" in repr(m) and m.describe() in repr(m)


def test_update_errors_map_to_python_exceptions():
    m = forecasters.hws(samples_per_season=4, initial_training_seasons=2)
    with pytest.raises(RuntimeError):
        m.forecast_at(3)  # not initialised yet
    with pytest.raises(ValueError):
        m.update_model([0, 1, 2], [1.0, 2.0])
    with pytest.raises(TypeError):
        m.update_model([0, 1], 3.0)
    with pytest.raises(ValueError):
        m.update_model(0.5, 1.0)
    m = trained(20)
    with pytest.raises(ValueError):
        m.update_model(19, 1.0)  # not newer than the latest: the caller skips it
    # A stale timestamp inside a list keeps everything before it.
    with pytest.raises(ValueError):
        m.update_model([20, 21, 21, 22], [1.0, 2.0, 3.0, 4.0])
    assert m.last_time_updated == 21
    with pytest.raises(ValueError):
        m.update_model(30, float("inf"))


def test_missing_values_and_gaps():
    m = forecasters.hws(samples_per_season=4, initial_training_seasons=4)
    values = seasonal(30)
    values[5] = float("nan")
    values[9] = None
    m.update_model(list(range(0, 60, 2)), values)
    assert m.is_initialized()
    assert m.average_interval == 2.0
    assert all(math.isfinite(m.forecast_at(58 + d)) for d in (1, 2, 3, 50))


def test_reset_model():
    m = trained(30)
    m.reset_model()
    assert not m.is_initialized()
    assert m.last_time_updated == -1
    m.update_model(list(range(10)), seasonal(10))
    assert m.is_initialized()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_every_protocol(protocol):
    for m in (trained(37), forecasters.hws(samples_per_season=4, initial_training_seasons=3)):
        data = pickle.dumps(m, protocol=protocol)
        assert b"tidewell_ts_libs.deps.tarn" in data and b"_from_state" in data
        copy_ = pickle.loads(data)
        assert copy_ is not m
        assert copy_.serialize() == m.serialize()
        if m.is_initialized():
            assert [copy_.forecast_at(37 + h) for h in range(5)] == [
                m.forecast_at(37 + h) for h in range(5)
            ]
            copy_.update_model(37, 100.0)  # the copy is independent
            assert m.last_time_updated == 36


def test_copy_and_deepcopy_are_independent():
    m = trained(30)
    for c in (copy.copy(m), copy.deepcopy(m), copy.deepcopy([m])[0]):
        assert c.forecast_at(31) == m.forecast_at(31)
        c.update_model(30, 50.0)
        assert m.last_time_updated == 29


def test_garbled_state_raises_value_error():
    good = trained(30).serialize()
    for bad in (b"", b"junk", good[:-1], good[: len(good) // 2], good + b"\x00", b"TARN" + good[4:10]):
        with pytest.raises(ValueError):
            tarn._from_state(bad)
    data = pickle.dumps(trained(30))
    garbled = data.replace(b"TARN", b"TURN")
    with pytest.raises(ValueError):
        pickle.loads(garbled)
    with pytest.raises(TypeError):
        tarn._from_state("not bytes")


# -- QuillcastUtils --------------------------------------------------------------------------


def test_get_init_samples_contract():
    x = seasonal(120, period=12, amplitude=5.0)
    out = QuillcastUtils.get_init_samples(x)
    assert len(out) == 4 and all(isinstance(v, int) for v in out)
    assert out[0] == 120 and out[1] == 12 and out[2] == 10
    assert 8 <= out[3] <= 120
    noise = np.random.default_rng(1).normal(size=200).tolist()
    assert QuillcastUtils.get_init_samples(noise, upper_limit=200, lower_limit=8)[1] == 1
    # A calendar season that is no season length is refused (an infinite one crashed).
    assert QuillcastUtils.get_init_samples(x, calendar_seasons=[12.0])[1] == 12
    for bad in (float("inf"), float("nan"), 0.5, -5.0):
        with pytest.raises(ValueError, match="calendar_seasons"):
            QuillcastUtils.get_init_samples(x, calendar_seasons=[bad])


@pytest.mark.parametrize("n", [0, 1, 5, 8, 9, 50, 3000])
def test_get_init_samples_training_size(n):
    x = seasonal(n, period=7)
    _, period, _, size = QuillcastUtils.get_init_samples(x, upper_limit=200, lower_limit=8)
    assert period >= 1
    assert size <= n
    assert size >= min(n, 8)


def test_get_init_samples_handles_missing_values_and_bad_limits():
    x = seasonal(96, period=12, amplitude=5.0)
    x[10] = float("nan")
    x[20] = None
    assert QuillcastUtils.get_init_samples(x)[1] == 12
    assert QuillcastUtils.get_init_samples(x, upper_limit=6)[1] <= 6
    with pytest.raises(ValueError):
        QuillcastUtils.get_init_samples(x, upper_limit=0)
    with pytest.raises(ValueError):
        QuillcastUtils.get_init_samples(["a", "b"])


@pytest.mark.parametrize("length", [0, 10, 51, 100, 1000])
def test_get_arima_init_size_whole_series_first_then_shorter(length):
    sizes = [QuillcastUtils.get_arima_init_size(i, length) for i in range(5)]
    assert sizes[0] == length
    assert sizes == sorted(sizes, reverse=True)
    assert all(min(length, 20) <= s <= length for s in sizes)
    if length >= 100:
        assert sizes[-1] == length // 2


def test_compute_metrics():
    a = np.array([[1.0], [2.0], [np.nan], [0.0]])
    b = np.array([[1.5], [2.0], [3.0], [0.0]])
    mae, mse, r2, smape = QuillcastUtils.compute_metrics(a, b)
    assert mae == pytest.approx(0.5 / 3)
    assert mse == pytest.approx(0.25 / 3)
    assert r2 == pytest.approx(1 - 0.25 / 2)  # truth 1, 2, 0 around its mean 1
    assert smape == pytest.approx(100 * (2 * 0.5 / 2.5) / 3)
    assert all(math.isnan(v) for v in QuillcastUtils.compute_metrics([np.nan], [1.0]))
    with pytest.raises(ValueError):
        QuillcastUtils.compute_metrics([1.0, 2.0], [1.0])
