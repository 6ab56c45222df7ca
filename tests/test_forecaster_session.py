"""The engine's forecasting session behind QuillcastForecaster: its binding, negative horizons
and one fitted forecaster shared by threads."""

import pickle
import threading
import time

import numpy as np
import pytest
from helpers import monthly_wave as seasonal

from tidewell_ts_libs.deps.tarn import _tarn, forecasters, model_table
from tidewell_ts_libs.quillcast.quillcast_chain import ForecastingPipeline
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

ALGORITHMS = ["hw", "arima", "arma", "bats", "autoforecaster", "intermittent"]


def wave(n, level=100.0):
    t = np.arange(n, dtype=float)
    return (level + 10 * np.sin(2 * np.pi * t / 12) + 0.3 * t).reshape(-1, 1)


# ---------------------------------------------------------------------------------------------
# The session's binding gives the forecaster's numbers


def test_session_binding_matches_the_forecaster():
    y = wave(96)
    f = QuillcastForecaster(samples_per_season=12, prediction_horizon=4).fit(y[:84], None,
                                                                             _reset_model=True)
    session = _tarn.Forecaster(f.model, f.log_transformed)
    np.testing.assert_array_equal(session.forecast(4), f.predict())
    fc, updated, skips, usable = session.predict(y[84:90], horizon=4)
    np.testing.assert_array_equal(fc, f.predict(y[84:90]))
    assert usable == 6 and skips == [] and updated[0].last_time_updated == 89
    assert f.model[0].last_time_updated == 83  # the session fed copies
    lower, upper = session.intervals(fc, 95, models=updated)
    np.testing.assert_array_equal(lower, f.predict_interval(y[84:90])[0])
    slid, _, _, _ = session.sliding(y[84:90], horizon=1)
    np.testing.assert_array_equal(np.vstack([session.forecast(1), slid[:-1]]),
                                  f.predict_sliding_window(y[84:90]))


def test_session_binding_trains_with_the_log_transform_and_its_fallback():
    y = wave(60).ravel()
    t = np.arange(60)
    s = _tarn.Forecaster()
    s.train(t, y.reshape(1, -1), [forecasters.hws(samples_per_season=12)])
    assert s.log_transformed and s.ready() and s.last_updated == 59
    low = y.copy()
    low[3] = -5.0  # ln(x + 2) is not defined there: the raw values train
    s.train(t, low.reshape(1, -1), [forecasters.hws(samples_per_season=12)])
    assert not s.log_transformed and s.ready()
    x = np.array([-1.5, 0.0, 1e-12, 3.0, 1e6])
    np.testing.assert_allclose(_tarn.from_log_scale(_tarn.to_log_scale(x)), x, rtol=1e-12, atol=1e-15)
    with pytest.raises(ValueError, match="horizon must not be negative"):
        s.forecast(-1)
    with pytest.raises(TypeError, match="engine models"):
        _tarn.Forecaster([object()])
    with pytest.raises(ValueError, match="one per value"):
        s.train(t[:5], y.reshape(1, -1), [forecasters.hws()])


def test_session_binding_retries_and_reports_skipped_rows():
    y = wave(80).ravel()
    attempts = []

    def retry(target, attempt):  # called back with the GIL while the session trains
        attempts.append((target, attempt))
        return forecasters.arma(min_training_data=500 if attempt < 2 else 40)

    s = _tarn.Forecaster()
    s.train(np.arange(80), y.reshape(1, -1), [forecasters.arma()], log_transform=False,
            retry=retry)
    assert attempts == [(0, 0), (0, 1), (0, 2)] and s.ready()
    assert s.models[0].kind == "arma"
    # A failed retry propagates and leaves the session as it was.
    with pytest.raises(TypeError, match="retry must hold engine models"):
        s.train(np.arange(80), y.reshape(1, -1), [forecasters.arma()],
                retry=lambda target, attempt: None)
    with pytest.raises(ZeroDivisionError):
        s.train(np.arange(80), y.reshape(1, -1), [forecasters.arma()],
                retry=lambda target, attempt: 1 / 0)
    assert s.ready() and s.models[0].last_time_updated == 79
    rows = np.array([[50.0], [51.0], [52.0]])
    fc, updated, skips, usable = s.sliding(rows, timestamps=[80, 80, 82], horizon=2)
    assert skips == [("stale", 1, 0)] and usable == 3 and fc.shape == (6, 1)
    np.testing.assert_array_equal(fc[2:4], fc[0:2])  # the stale row changed nothing
    assert updated[0].last_time_updated == 82 and s.last_updated == 79


def test_session_score_is_numpys_mean_of_the_terms():
    y = wave(96)
    f = QuillcastForecaster(samples_per_season=12).fit(y[:80], None, _reset_model=True)
    truth = y[80:]
    fc = f.predict_sliding_window(truth)
    terms = 200 * np.abs(fc - truth) / (np.abs(fc) + np.abs(truth))
    assert f.score(truth) == -terms.mean(axis=1).mean() == -_tarn.mean_smape(truth, fc)
    weights = np.arange(1.0, 17.0)
    assert f.score(truth, sample_weight=weights) == -np.average(terms.mean(axis=1),
                                                                weights=weights)
    # Weights numpy refuses are refused as numpy refuses them.
    with pytest.raises(ZeroDivisionError):
        f.score(truth, sample_weight=np.zeros(16))
    with pytest.raises((TypeError, ValueError)):
        f.score(truth, sample_weight=np.ones(3))


def test_ready_made_configurations_come_from_the_table():
    presets = [(e["algorithm"], s) for e in model_table() for s in e["presets"]]
    ests = QuillcastForecaster.get_estimators()
    assert [(e.all_args["algorithm"], {k: v for k, v in e.all_args.items() if k != "algorithm"})
            for e in ests] == presets
    assert [e.all_args["algorithm"] for e in ests] == ["hw", "hw", "arima", "bats"]


# ---------------------------------------------------------------------------------------------
# Negative horizons are refused, naming the value


@pytest.fixture(scope="module")
def fitted():
    return QuillcastForecaster(samples_per_season=12, prediction_horizon=3).fit(
        wave(72), None, _reset_model=True)


@pytest.mark.parametrize("call", [
    lambda f: f.predict(prediction_horizon=-2),
    lambda f: f.predict(wave(74)[72:], prediction_horizon=-3),
    lambda f: f.predict_interval(prediction_horizon=-2),
    lambda f: f.predict_interval(wave(74)[72:], prediction_horizon=-4, level=[80, 95]),
    lambda f: f.predict_sliding_window(wave(76)[72:], prediction_horizon=-2),
    lambda f: f.predict(wave(76)[72:], prediction_horizon=-2, prediction_type="sliding_window"),
    lambda f: f.forecast_times(prediction_horizon=-5),
])
def test_negative_horizon_is_a_value_error(fitted, call):
    with pytest.raises(ValueError, match=r"prediction_horizon must not be negative, got -\d"):
        call(fitted)


def test_negative_default_horizon_and_pipeline():
    f = QuillcastForecaster(samples_per_season=12, prediction_horizon=-3).fit(
        wave(72), None, _reset_model=True)
    with pytest.raises(ValueError, match="got -3"):
        f.predict()
    assert f.predict(prediction_horizon=2).shape == (2, 1)  # an explicit horizon still works
    assert f.predict(prediction_horizon=0).size == 0
    fp = ForecastingPipeline().fit(seasonal(96))
    with pytest.raises(ValueError, match="got -2"):
        fp.predict(None, prediction_horizon=-2)


# ---------------------------------------------------------------------------------------------
# One fitted forecaster shared by threads


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_threads_sharing_a_forecaster_get_the_sequential_answers(algorithm):
    y = wave(84)
    f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=3).fit(y[:72], None,
                                                                           _reset_model=True)
    new = y[72:78]
    calls = {
        "predict": lambda: f.predict(new),
        "predict_none": lambda: f.predict(),
        "interval": lambda: np.stack(f.predict_interval(new, level=80)),
        "sliding": lambda: f.predict_sliding_window(new),
        "multi_step": lambda: f.predict_multi_step_sliding_window(new, prediction_horizon=2),
    }
    want = {k: c() for k, c in calls.items()}
    wrong, errors = [], []
    deadline = time.monotonic() + 3.0

    def work(seed):
        order = list(calls)
        for i in range(300):
            if time.monotonic() > deadline:
                return
            k = order[(i + seed) % len(order)]
            try:
                got = calls[k]()
            except Exception as e:  # noqa: BLE001 - any failure is a wrong answer
                errors.append(repr(e))
                return
            if not np.array_equal(got, want[k]):
                wrong.append(k)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and wrong == []
    # The trained models are untouched and the forecaster still pickles.
    assert f.model[0].last_time_updated == 71
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(f)).predict(new), want["predict"])


def _race(writer, reader, readers=2):
    """Runs `reader` in threads while `writer` runs here; the readers' failures and answers."""
    stop = threading.Event()
    failures, answers = [], []

    def loop():
        while not stop.is_set():
            try:
                answers.append(reader())
            except Exception as e:  # noqa: BLE001 - any failure is a wrong answer
                failures.append(repr(e))
                return

    threads = [threading.Thread(target=loop) for _ in range(readers)]
    for t in threads:
        t.start()
    try:
        writer()
    finally:
        stop.set()
        for t in threads:
            t.join()
    return failures, answers


@pytest.mark.parametrize("algorithm", ["hw", "arima", "autoforecaster"])
def test_retraining_a_shared_forecaster_leaves_its_readers_the_old_or_new_answer(algorithm):
    # Training used to empty the model list, then reset the old models while other threads were
    # forecasting from them: wrong forecasts, "not fitted" errors, heap corruption.
    y = wave(3000)
    f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=5).fit(y, None,
                                                                           _reset_model=True)
    recent = y[-50:]
    want = (f.predict(), f.predict(recent))

    def refit():
        for _ in range(8):
            f.fit(y, None, _reset_model=True)  # the same data: the same answers

    failures, answers = _race(refit, lambda: (f.predict(), f.predict(recent)))
    assert failures == []
    assert all(np.array_equal(a[0], want[0]) and np.array_equal(a[1], want[1]) for a in answers)


def test_a_failed_training_leaves_the_shared_forecaster_as_it_was():
    f = QuillcastForecaster(prediction_horizon=3).fit(wave(48), None, _reset_model=True)
    want = f.predict()
    state = dict(f.__dict__)
    with pytest.raises(Exception, match="infinite"):
        f.fit(np.array([[1.0], [np.inf]] * 20), None, _reset_model=True)
    assert f.__dict__.keys() == state.keys()
    assert all(f.__dict__[k] is v for k, v in state.items() if k != "all_args")
    np.testing.assert_array_equal(f.predict(), want)


@pytest.mark.parametrize("nonnegative", [False, True])
def test_updates_keep_their_own_rows_while_threads_forecast_what_ifs(nonnegative):
    # An update took the copies model_update_predict held after its predict, which another
    # thread's predict(X) could have replaced with copies fed its what-if rows.
    y = wave(22000)
    kw = dict(algorithm="hw", prediction_horizon=2000, log_transform=False,
              nonnegative=nonnegative)
    base = QuillcastForecaster(**kw).fit(y[:2000], None, _reset_model=True)
    chunks = [y[2000 + 500 * k: 2500 + 500 * k] for k in range(40)]
    serial = pickle.loads(pickle.dumps(base))
    for c in chunks:
        serial.fit(c, None)
    shared = pickle.loads(pickle.dumps(base))
    what_if = np.full((1000, 1), 50.0)

    def update():
        for c in chunks:
            shared.fit(c, None)

    failures, _ = _race(update, lambda: shared.predict(what_if))
    assert failures == []
    assert shared.get_train_size() == serial.get_train_size()
    np.testing.assert_array_equal(shared.predict(), serial.predict())


def test_retraining_a_subclass_runs_none_of_its_own_construction_or_clean_up():
    # The forecaster trains on a shadow instance: it must not be made by the subclass's
    # __new__ (which may need arguments), nor run its __del__ (which closes what the user's
    # instance still uses).
    events = []

    class Audited(QuillcastForecaster):
        def __new__(cls, name, **kw):
            events.append("new")
            return super().__new__(cls)

        def __init__(self, name, algorithm="hw"):
            super().__init__(algorithm=algorithm)
            self.name = name

        def __del__(self):
            events.append("del")

    f = Audited("shop")
    y = wave(60)
    for _ in range(3):
        f.fit(y, None, _reset_model=True)
    import gc

    gc.collect()
    assert events == ["new"] and type(f) is Audited and f.name == "shop"
    assert f.predict().shape == (1, 1)


def test_retraining_never_resets_a_model_under_a_thread_forecasting_from_it():
    # The old models are reset after a retraining; one that a thread was forecasting from
    # directly (model.forecast_path, without the GIL) was reset under it: a segmentation fault.
    y = wave(600)
    f = QuillcastForecaster(algorithm="arima", samples_per_season=12).fit(
        y[:500], None, _reset_model=True)

    def retrain():
        for k in range(40):
            f.fit(y[: 500 + k], None, _reset_model=True)

    def forecast():
        m = f.model[0]
        try:
            return m.forecast_path(50_000).size
        except ValueError as e:  # a model reset between two calls says so
            assert "not initialised" in str(e)
            return 0

    failures, answers = _race(retrain, forecast)
    assert failures == [] and answers


def test_settings_changed_during_a_retraining_are_kept():
    y = wave(3000)
    f = QuillcastForecaster(algorithm="hw", prediction_horizon=3)
    changed = threading.Event()

    def change():
        f.set_params(prediction_horizon=12)
        f.owner = "pricing"
        changed.set()

    import unittest.mock as mock

    real = f.__class__._getModel

    def slow_get_model(self, **kw):  # the change lands while training runs
        threading.Thread(target=change).start()
        changed.wait(5)
        return real(self, **kw)

    with mock.patch.object(f.__class__, "_getModel", slow_get_model):
        f.fit(y, None, _reset_model=True)
    assert f.prediction_horizon == 12 and f.owner == "pricing"
    assert f.predict().shape == (12, 1)
