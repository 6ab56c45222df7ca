"""Training (fit with _reset_model=True), the updating fit and the training facts."""

import math

import numpy as np
import pandas as pd
import pytest

import tidewell_ts_libs.deps.tarn.forecasters as builders
from tidewell_ts_libs.quillcast import quillcast_estimator as qe
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.utils.messages.messages import Messages


class FakeModel:
    """A Python object offering the engine model operations; initialised after `need` values."""

    def __init__(self, need=3, **settings):
        self.settings = settings
        self.need = need
        self.t, self.v = [], []
        self.resets = 0

    def update_model(self, t, v):
        if isinstance(t, list):
            assert isinstance(v, list) and all(type(x) is float for x in v)
            assert all(type(x) is int for x in t)
            for a, b in zip(t, v, strict=True):
                self.update_model(a, b)
            return
        if self.t and t <= self.t[-1]:
            raise ValueError("stale")
        self.t.append(t)
        self.v.append(v)

    def is_initialized(self):
        return len(self.t) >= self.need

    def reset_model(self):
        self.resets += 1
        self.t, self.v = [], []

    def forecast_at(self, t):
        return self.v[-1]

    @property
    def last_time_updated(self):
        return self.t[-1] if self.t else -1

    @property
    def average_interval(self):
        return (self.t[-1] - self.t[0]) / (len(self.t) - 1) if len(self.t) > 1 else 1.0


@pytest.fixture
def fake_builders(monkeypatch):
    built = []

    def builder(name, need=3):
        def make(**kw):
            m = FakeModel(need=need, **kw)
            built.append((name, m))
            return m
        return make

    for name in ["hws", "arima", "arma", "bats", "auto"]:
        monkeypatch.setattr(builders, name, builder(name))
    return built


def matrix(n=20, cols=3, start=0):
    t = np.arange(start, start + n, dtype=float)
    return np.column_stack([t * 2] + [10.0 * (c + 1) + t for c in range(cols - 1)])


def test_timestamp_column_gives_one_model_per_value_column(fake_builders):
    X = matrix()
    f = QuillcastForecaster(ts_icol_loc=[0]).fit(X, None, _reset_model=True)
    assert f.n_features_ == 2 and len(f.model) == 2 and f.is_fitted_
    assert f._timestamps == [int(v) for v in X[:, 0]] and f._totalsamples == 20
    np.testing.assert_allclose(f.model[1].v, np.log1p(1 + X[:, 2]))
    assert f.model[0].t == f._timestamps
    assert f.all_args["error_history_length"] == 2 and f.all_args["error_horizon_length"] == 2


def test_no_timestamp_column_numbers_rows(fake_builders):
    X = matrix(cols=2)
    f = QuillcastForecaster(log_transform=False).fit(X, "y", _reset_model=True)
    assert f.n_features_ == 2 and f._timestamps == list(range(20))
    assert f.model[0].v == X[:, 0].tolist()


def test_chosen_target_column(fake_builders):
    X = matrix(cols=3)
    f = QuillcastForecaster(ts_icol_loc=[0], target_column_indices=[2], log_transform=False)
    f.fit(X, None, _reset_model=True)
    assert f.n_features_ == 1 and len(f.model) == 1
    assert f.model[0].v == X[:, 2].tolist()


@pytest.mark.parametrize("loc", [[5], [-1], [3]])
def test_timestamp_column_out_of_range(fake_builders, loc):
    f = QuillcastForecaster(ts_icol_loc=loc)
    with pytest.raises(RuntimeError) as e:
        f.fit(matrix(), None, _reset_model=True)
    assert str(e.value) == Messages.get_message(str(loc[0]), message_id="TIDEWELLTSLIBS0005E")
    assert fake_builders == []


def test_values_below_minus_two_turn_log_transform_off(fake_builders):
    X = matrix(cols=2)
    X[3, 1] = -5.0
    f = QuillcastForecaster().fit(X, None, _reset_model=True)
    assert f.log_transformed is False
    assert f.model[1].v == X[:, 1].tolist()


def test_nan_training_values_pass(fake_builders):
    X = matrix(cols=1)
    X[4, 0] = np.nan
    f = QuillcastForecaster(log_transform=False).fit(X, None, _reset_model=True)
    assert math.isnan(f.model[0].v[4])


def test_a_target_without_values_is_refused_at_fit():
    X = matrix(n=30, cols=3)
    X[:, 2] = np.nan
    f = QuillcastForecaster(algorithm="hw")
    with pytest.raises(ValueError, match="target column 2 has no values to train on"):
        f.fit(X, None, _reset_model=True)
    assert not hasattr(f, "is_fitted_")
    # Named by its label in a frame; a column the targets leave out may be empty.
    frame = pd.DataFrame({"t": X[:, 0], "a": X[:, 1], "b": X[:, 2]})
    with pytest.raises(ValueError, match=r"target column 1 \('a'\).*missing"):
        QuillcastForecaster(target_column_indices=[1]).fit(frame.assign(a=np.inf), None)
    chosen = QuillcastForecaster(algorithm="hw", target_column_indices=[1])
    chosen.fit(frame.to_numpy(), None, _reset_model=True)
    assert chosen.predict(prediction_horizon=2).shape == (2, 1)
    # A failed training keeps the trained forecaster.
    before = chosen.predict(prediction_horizon=2)
    with pytest.raises(ValueError, match="target column 1"):
        chosen.fit(np.column_stack([X[:, 0], np.full(30, np.nan)]), None, _reset_model=True)
    np.testing.assert_array_equal(chosen.predict(prediction_horizon=2), before)


@pytest.mark.parametrize("algorithm, n, models", [("arima", 50, 1), ("arima", 51, 5),
                                                  ("ARMA", 60, 5), ("hw", 60, 1)])
def test_arima_retries_with_smaller_training_sizes(monkeypatch, algorithm, n, models):
    sizes = []

    class Utils:
        @staticmethod
        def get_arima_init_size(itr, length):
            sizes.append((itr, length))
            return 1000 + itr  # never enough: every attempt is made

    built = []

    def make(**kw):
        built.append(kw)
        return FakeModel(need=10_000)

    for name in ["hws", "arima", "arma"]:
        monkeypatch.setattr(builders, name, make)
    monkeypatch.setattr(qe, "QuillcastUtils", Utils)
    f = QuillcastForecaster(algorithm=algorithm).fit(matrix(n, cols=1) + 1, None,
                                                      _reset_model=True)
    # One model per column first, then the retries replace it.
    assert len(built) == (1 + models if models == 5 else models)
    if models == 5:
        assert sizes == [(i, n) for i in range(5)]
        assert [kw["min_training_data"] for kw in built] == [n - 1, 1000, 1001, 1002, 1003, 1004]
        assert f.all_args["min_training_data"] == 1004
    assert not hasattr(f, "is_fitted_")


def test_arima_retry_stops_when_initialised(monkeypatch):
    class Utils:
        @staticmethod
        def get_arima_init_size(itr, length):
            return [80, 40, 20][itr]

    def make(**kw):
        return FakeModel(need=kw["min_training_data"])

    monkeypatch.setattr(builders, "arima", make)
    monkeypatch.setattr(qe, "QuillcastUtils", Utils)
    f = QuillcastForecaster(algorithm="arima").fit(matrix(60, cols=1), None, _reset_model=True)
    assert f.model[0].need == 40 and f.is_fitted_


@pytest.mark.parametrize("algorithm", ["bats", "autoforecaster"])
def test_periodicity_of_seasonal_algorithms(monkeypatch, fake_builders, algorithm):
    seen = []

    class Utils:
        @staticmethod
        def get_init_samples(values, upper_limit=200, lower_limit=8):
            seen.append((type(values), len(values), upper_limit, lower_limit))
            return [0, 7, 0, 30]

    monkeypatch.setattr(qe, "QuillcastUtils", Utils)
    f = QuillcastForecaster(algorithm=algorithm).fit(matrix(40, cols=1), None, _reset_model=True)
    assert seen == [(list, 40, 200, 8)]
    assert f.all_args["samples_per_season"] == 7 and f.all_args["initial_training_seasons"] == 5
    assert f.all_args["min_training_data"] == 30 and f.all_args["training_sample_size"] == 30
    name, model = fake_builders[0]
    assert name == {"bats": "bats", "autoforecaster": "auto"}[algorithm]
    key = "training_sample_size" if algorithm == "bats" else "min_training_data"
    assert model.settings[key] == 30


def test_periodicity_needs_four_counts(monkeypatch, fake_builders):
    class Utils:
        @staticmethod
        def get_init_samples(values, upper_limit=200, lower_limit=8):
            return (12, 30)

    monkeypatch.setattr(qe, "QuillcastUtils", Utils)
    with pytest.raises(ValueError):
        QuillcastForecaster(algorithm="bats").fit(matrix(40, cols=1), None, _reset_model=True)


def test_no_periodicity_step_when_switched_off(fake_builders):
    f = QuillcastForecaster(algorithm="arima")
    f.compute_periodicity = False
    f.fit(matrix(20, cols=1), None, _reset_model=True)
    assert "error_history_length" not in f.all_args


def test_construction_errors_become_exception(monkeypatch):
    def broken(**kw):
        raise TypeError("bad option")

    monkeypatch.setattr(builders, "hws", broken)
    with pytest.raises(Exception) as e:
        QuillcastForecaster().fit(matrix(), None, _reset_model=True)
    assert type(e.value) is Exception and str(e.value) == "bad option"


def test_engine_update_errors_become_exception():
    X = np.arange(30.0).reshape(-1, 1)
    X = np.column_stack([np.r_[np.arange(15), np.arange(15)], X])  # timestamps go back
    with pytest.raises(Exception) as e:
        QuillcastForecaster(ts_icol_loc=[0]).fit(X, None, _reset_model=True)
    assert type(e.value) is Exception and "not newer" in str(e.value)


def test_unknown_algorithm_becomes_exception():
    with pytest.raises(Exception) as e:
        QuillcastForecaster(algorithm="prophet").fit(matrix(), None, _reset_model=True)
    assert type(e.value) is Exception
    assert str(e.value) == Messages.get_message(message_id="TIDEWELLTSLIBS0004E")


def test_uninitialised_models_remove_fitted_flag(monkeypatch, fake_builders):
    f = QuillcastForecaster(log_transform=False).fit(matrix(10, cols=1), None, _reset_model=True)
    assert f.is_fitted_
    old = f.model[0]
    f.fit(matrix(2, cols=1), None, _reset_model=True)
    assert not hasattr(f, "is_fitted_")
    assert old.resets == 1 and f.model[0] is not old


def test_debug_lines(fake_builders, capsys):
    X = matrix(4, cols=1)
    QuillcastForecaster(debug=True).fit(X, "why", _reset_model=True)
    out = capsys.readouterr().out
    cls = str(QuillcastForecaster)
    assert out == (f"{cls} fit \n X=={X}\nY=why\n{cls} fit \n X=={X}\n y=why\n")


def test_fit_needs_x_and_y():
    with pytest.raises(TypeError):
        QuillcastForecaster().fit(matrix())




def test_updating_fit_keeps_updated_copies():
    t = np.arange(72.0)
    y = (40 + 6 * np.sin(2 * np.pi * t / 12) + 0.1 * t).reshape(-1, 1)
    f = QuillcastForecaster(samples_per_season=12).fit(y[:60], None, _reset_model=True)
    trained = f.model[0]
    assert f.fit(y[60:], None) is f
    assert f.model is f.model_update_predict and f.model[0] is not trained
    assert trained.last_time_updated == 59 and f.model[0].last_time_updated == 71
    assert f.get_last_updated() == 71 and f.get_train_size() == 72


def test_training_facts():
    f = QuillcastForecaster()
    assert f.get_train_size() is None and f.get_last_updated() == -1
    assert f.get_train_interval() == -1
    X = np.column_stack([np.arange(0, 120, 3), 50 + np.sin(np.arange(40.0))])
    f = QuillcastForecaster(ts_icol_loc=[0], samples_per_season=4).fit(X, None, _reset_model=True)
    assert f.get_last_updated() == 117 and f.get_train_interval() == 3.0
    assert f.get_train_size() == 118 and f._totalsamples == 118
    assert f.get_last_updated(inmodle_array=[]) == -1


def test_set_params_algorithm_drives_training(monkeypatch, fake_builders):
    class Utils:
        @staticmethod
        def get_init_samples(values, upper_limit=200, lower_limit=8):
            return [0, 6, 0, 24]

    monkeypatch.setattr(qe, "QuillcastUtils", Utils)
    f = QuillcastForecaster().set_params(algorithm="bats")
    f.fit(matrix(30, cols=1), None, _reset_model=True)
    assert fake_builders[0][0] == "bats"
    assert fake_builders[0][1].settings == {"training_sample_size": 24}
    assert f.all_args["samples_per_season"] == 6


@pytest.mark.parametrize("bad", ["timestamp_column", "text", "builder"])
def test_failed_training_keeps_the_trained_forecaster(monkeypatch, bad):
    X = matrix(30, cols=2)
    f = QuillcastForecaster(samples_per_season=6).fit(X[:, 1:], None, _reset_model=True)
    before = f.predict(prediction_horizon=3)
    models, args = list(f.model), dict(f.all_args)
    if bad == "timestamp_column":
        f.ts_icol_loc = [4]
        expected = RuntimeError
    elif bad == "text":
        X = np.array([["a"] * 2] * 30)
        expected = ValueError
    else:
        def broken(**kw):
            raise ValueError("no model today")
        monkeypatch.setattr(builders, "hws", broken)
        f.all_args["samples_per_season"] = 3
        args["samples_per_season"] = 3
        expected = Exception
    with pytest.raises(expected):
        f.fit(X, None, _reset_model=True)
    f.ts_icol_loc = -1
    assert f.is_fitted_ and f.model == models and f.all_args == args
    assert models[0].is_initialized()
    np.testing.assert_array_equal(f.predict(prediction_horizon=3), before)


def _series(n=60):
    t = np.arange(n, dtype=float)
    return (100 + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12)).reshape(-1, 1)


@pytest.mark.parametrize(
    "variant",
    [
        lambda X: np.asfortranarray(np.hstack([X, X])),  # Fortran order
        lambda X: np.hstack([X, X])[:, ::2],  # a strided view
        lambda X: X.astype(np.float32),
        lambda X: np.round(X).astype(np.int64),
        lambda X: X.tolist(),
        lambda X: pd.DataFrame(X),
    ],
    ids=["fortran", "strided", "float32", "int", "list", "frame"],
)
def test_fit_validates_all_but_plain_float_matrices(monkeypatch, variant):
    """A C-ordered float64 matrix is trained on as it is; anything else goes through the module's
    check_array and trains as its converted copy does."""
    calls = []
    original = qe.check_array

    def counting(X, **kw):
        calls.append(kw)
        return original(X, **kw)

    X = _series()
    converted = np.ascontiguousarray(original(variant(X), ensure_2d=True), dtype=float)
    want = QuillcastForecaster(algorithm="hw").fit(converted, None).predict(prediction_horizon=6)
    monkeypatch.setattr(qe, "check_array", counting)
    got = QuillcastForecaster(algorithm="hw").fit(variant(X), None).predict(prediction_horizon=6)
    np.testing.assert_allclose(got, want)
    assert len(calls) == 1 and calls[0]["accept_sparse"] is False
    # With check_array replaced, even a plain matrix goes through it.
    calls.clear()
    QuillcastForecaster(algorithm="hw").fit(converted, None)
    assert len(calls) == 1


def test_fit_refuses_what_check_array_refuses():
    sparse = pytest.importorskip("scipy.sparse")
    X = _series()
    with pytest.raises(TypeError, match="[Ss]parse"):
        QuillcastForecaster(algorithm="hw").fit(sparse.csr_matrix(X), None)
    with pytest.raises(ValueError, match="0 sample"):
        QuillcastForecaster(algorithm="hw").fit(np.empty((0, 1)), None)
    with pytest.raises(ValueError, match="0 feature"):
        QuillcastForecaster(algorithm="hw").fit(np.empty((5, 0)), None)
    with pytest.raises(ValueError, match="2D array"):
        QuillcastForecaster(algorithm="hw").fit(X.ravel(), None)
    with pytest.raises(ValueError, match="dim 3"):
        QuillcastForecaster(algorithm="hw").fit(X.reshape(-1, 1, 1), None)
    # Not-a-number values are trained around, as before, on the fast path too.
    gappy = X.copy()
    gappy[10] = np.nan
    assert QuillcastForecaster(algorithm="hw").fit(gappy, None).predict(prediction_horizon=3).shape == (3, 1)
