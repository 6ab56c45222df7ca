"""Intermittent demand through the forecaster: the "intermittent" algorithm with its defaults,
and the automatic selector on series with many periods without demand."""

import pickle

import numpy as np
import pytest

from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


def demand(n, p, seed):
    rng = np.random.default_rng(seed)
    sizes = rng.gamma(2.0, 3.0, n)
    return np.where(rng.random(n) < p, sizes, 0.0).reshape(-1, 1)


def test_intermittent_with_the_forecasters_defaults():
    y = demand(150, 0.25, 1)
    f = QuillcastForecaster(algorithm="intermittent").fit(y[:120], None, _reset_model=True)
    # The forecaster feeds logarithms by default; the model fits the demand itself.
    assert f.log_transformed and "fitted on x" in f.model[0].describe()
    plain = QuillcastForecaster(algorithm="intermittent", log_transform=False).fit(
        y[:120], None, _reset_model=True)
    fc = np.ravel(f.predict(prediction_horizon=6))
    assert fc == pytest.approx(np.ravel(plain.predict(prediction_horizon=6)), rel=1e-9)
    assert np.all(fc > 0) and np.all(fc < y.max())
    assert np.ptp(fc) == pytest.approx(0.0, abs=1e-9)  # a flat demand rate
    lower, upper = f.predict_interval(prediction_horizon=6, level=95)
    assert np.all(np.ravel(lower) == pytest.approx(0.0, abs=1e-9))
    assert np.all(np.ravel(upper) > fc)
    # New rows move the rate; a pickled copy forecasts the same.
    after = np.ravel(f.predict(y[120:130], prediction_horizon=2))
    copy = pickle.loads(pickle.dumps(f))
    assert np.ravel(copy.predict(y[120:130], prediction_horizon=2)) == pytest.approx(after)


@pytest.mark.parametrize("method", ["croston", "sba", "tsb", "adida", "imapa"])
def test_each_method_through_the_forecaster(method):
    y = demand(100, 0.3, 2)
    f = QuillcastForecaster(algorithm="intermittent", method=method).fit(
        y, None, _reset_model=True)
    assert f"): {method} " in f.model[0].describe()
    assert np.all(np.ravel(f.predict(prediction_horizon=3)) >= 0)


def test_bad_settings_name_the_setting():
    # The forecaster reports a builder's refusal as it does for every algorithm.
    with pytest.raises(Exception, match="'method' must be one of auto, croston"):
        QuillcastForecaster(algorithm="intermittent", method="holt").fit(
            demand(60, 0.3, 3), None, _reset_model=True)
    with pytest.raises(ValueError, match="alpha"):
        forecasters.intermittent(alpha=2.0)


def test_selector_takes_the_family_on_intermittent_series_only():
    y = np.ravel(demand(100, 0.2, 4))
    m = forecasters.auto(min_training_data=100)
    m.update_model(list(range(100)), list(y))
    assert "intermittent demand" in m.describe()
    lower, upper = m.forecast_interval_at(m.last_time_updated + 1)
    assert lower == 0.0 and upper > m.forecast_at(m.last_time_updated + 1)
    regular = forecasters.auto(min_training_data=100)
    t = np.arange(100)
    regular.update_model(list(t), list(20 + np.sin(t / 3)))
    assert "intermittent" not in regular.describe()
