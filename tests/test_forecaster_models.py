"""Engine model construction, model identifiers, ready-made configurations and model copies."""

import numpy as np
import pytest

import tidewell_ts_libs.deps.tarn.forecasters as builders
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.utils.messages.messages import Messages


@pytest.fixture
def built(monkeypatch):
    """Replaces the engine builders by recorders: each call returns ("<builder>", kwargs)."""
    calls = []
    for name in ["hws", "arima", "arma", "bats", "auto"]:
        def fake(_name=name, **kw):
            calls.append((_name, kw))
            return (_name, kw)
        monkeypatch.setattr(builders, name, fake)
    return calls


def make(n=None, **kw):
    f = QuillcastForecaster(**kw)
    f._totalsamples = n
    return f


@pytest.mark.parametrize("spelling", ["hw", "HW", "Hw"])
def test_holt_winters_defaults(built, spelling):
    f = make(100, algorithm=spelling)
    assert f._getModel(**f.all_args) == ("hws", {
        "samples_per_season": 25, "initial_training_seasons": 4, "algorithm_type": "additive"})
    assert f.all_args["samples_per_season"] == 25 and f.all_args["initial_training_seasons"] == 4
    assert f.algorithm == spelling + "_additive" and f.model_name == spelling + "_additive"
    assert f.model_id == "st_"
    assert f.model_description == (spelling + "_additive_{'samples_per_season': 25, "
                                   "'initial_training_seasons': 4, 'algorithm_type': 'additive'}")
    f._getModel(**f.all_args)
    assert f.algorithm == spelling + "_additive"


@pytest.mark.parametrize("given, n, season", [
    (0.8, 100, 50),        # above one half: lowered to 0.5
    (0.001, 100, 2),       # rounds to 0: fallback
    (12, 100, 12),         # explicit count
    (0.25, None, 0.25),    # no training length: copied
])
def test_holt_winters_season_rule(built, given, n, season):
    f = make(n, samples_per_season=given, error_history_length=0.02)
    _, kw = f._getModel(**f.all_args)
    assert kw["samples_per_season"] == season
    assert "samples_per_season" not in f.all_args or f.all_args["samples_per_season"] == given
    assert kw["error_history_length"] == (2 if n else 0.02)


def test_holt_winters_season_on_tiny_series(built):
    # A quarter of three rows is no season: the smallest season is used instead of dividing
    # by zero.
    f = make(3)
    _, kw = f._getModel(**f.all_args)
    assert kw["samples_per_season"] == 2 and kw["initial_training_seasons"] == 1


def test_none_value_counts_as_absent(built):
    f = make(40, samples_per_season=None, algorithm_type=None)
    _, kw = f._getModel(**f.all_args)
    assert kw == {"samples_per_season": 10, "initial_training_seasons": 4,
                  "algorithm_type": "additive"}


@pytest.mark.parametrize("mtd, n, samples", [(0.99, 200, 200), (0.5, 200, 100), (300, 200, 300),
                                             (2_000_000, 10, 1_000_000)])
def test_holt_winters_with_min_training_data(built, mtd, n, samples):
    f = make(n, algorithm_type="multiplicative", min_training_data=mtd)
    assert f._getModel(**f.all_args) == ("hws", {
        "is_season_length": False, "number_of_samples": samples,
        "algorithm_type": "multiplicative"})
    assert f.model_id == "st_7" and f.algorithm == "hw_multiplicative"


def test_holt_winters_fraction_without_training_length_is_rejected(built):
    f = make(None, min_training_data=0.5)
    with pytest.raises(ValueError, match="min_training_data"):
        f._getModel(**f.all_args)
    assert built == []


@pytest.mark.parametrize("kw, expected", [
    ({}, {"min_training_data": 99}),
    ({"min_training_data": 0.001}, {"min_training_data": -1}),
    ({"min_training_data": 30, "error_horizon_length": 0.001, "p_max": 3, "d": 1,
      "force_model": True, "use_full_error_history": None},
     {"error_horizon_length": 2, "force_model": True, "min_training_data": 30, "p_max": 3,
      "d": 1}),
])
def test_arima(built, kw, expected):
    f = make(100, algorithm="arima", **kw)
    name, got = f._getModel(**f.all_args)
    assert name == "arima" and got == expected and list(got) == list(expected)
    assert f.algorithm == "arima"


def test_arma_copies_only_its_keys(built):
    f = make(100, algorithm="ARMA", p_max=2, d=1, error_horizon_length=5)
    assert f._getModel(**f.all_args) == ("arma", {"min_training_data": 99, "p_max": 2})
    assert f.model_id == "st_"


@pytest.mark.parametrize("kw, n, expected", [
    ({}, 100, {"training_sample_size": 99}),
    ({"training_sample_size": 0.001, "box_cox_transform": False}, 100,
     {"training_sample_size": 0, "box_cox_transform": False}),
    ({"training_sample_size": None}, None, {"training_sample_size": 8}),
    ({"training_sample_size": None}, 40, {"training_sample_size": 40}),
])
def test_bats(built, kw, n, expected):
    f = make(n, algorithm="bats", **kw)
    assert f._getModel(**f.all_args) == ("bats", expected)


@pytest.mark.parametrize("kw, n, mtd", [({}, 100, 99), ({}, 5, 8), ({"min_training_data": 3}, 100, 8),
                                        ({"min_training_data": 0.5}, 100, 50)])
def test_autoforecaster_needs_eight_samples(built, kw, n, mtd):
    f = make(n, algorithm="autoforecaster", error_history_length=0.001, **kw)
    assert f._getModel(**f.all_args) == ("auto", {"min_training_data": mtd,
                                                  "error_history_length": 2})
    assert f.all_args["min_training_data"] == mtd and f.model_id == "st_5"


def test_autoforecaster_passes_its_combination_rule_and_candidates(built):
    f = make(100, algorithm="autoforecaster", combination="median", candidates="hws,theta")
    _, kw = f._getModel(**f.all_args)
    assert kw["combination"] == "median" and kw["candidates"] == "hws,theta"


def test_autoforecaster_combination_rules_forecast_and_a_bad_one_is_named():
    x = (50 + np.arange(40.0) + 5 * np.sin(np.arange(40.0))).reshape(-1, 1)
    got = {}
    for rule in ["mean", "median", "trimmed", "weighted"]:
        f = QuillcastForecaster(algorithm="autoforecaster", combination=rule)
        f.fit(x, x, _reset_model=True)
        got[rule] = np.ravel(f.predict(prediction_horizon=4))
        assert np.all(np.isfinite(got[rule]))
    assert not np.allclose(got["mean"], got["weighted"])  # weights exist right after the fit
    f = QuillcastForecaster(algorithm="autoforecaster", combination="mode")
    with pytest.raises(Exception, match="combination.*'mode'"):  # as every bad setting
        f.fit(x, x, _reset_model=True)


def test_kw_args_are_a_copy(built):
    f = make(100, algorithm="arima")
    f._getModel(**f.all_args)
    assert "min_training_data" not in f.all_args


def test_unknown_or_missing_algorithm(built):
    f = make(100)
    with pytest.raises(ValueError) as e:
        f._getModel(algorithm="prophet")
    assert str(e.value) == Messages.get_message(message_id="TIDEWELLTSLIBS0004E")
    with pytest.raises(KeyError):
        f._getModel(p_max=2)
    assert built == []


def test_builder_errors_pass_unchanged():
    f = make(100, algorithm="bats", box_cox_transform="sometimes")
    with pytest.raises(ValueError, match="box_cox_transform"):
        f._getModel(**f.all_args)


@pytest.mark.parametrize("args, kw, expected", [
    (("HW",), dict(algorithm_type="Additive", compute_seasonality=False,
                   use_full_error_history=False), "st_1"),
    (("hw",), dict(algorithm_type="multiplicative", compute_seasonality=0), "st_2"),
    (("hw",), dict(algorithm_type="additive", compute_seasonality=True, is_season_length=False,
                   number_of_samples=100), "st_6"),
    (("hw",), dict(algorithm_type="MULTIPLICATIVE", is_season_length=0, number_of_samples=5),
     "st_7"),
    (("hw",), dict(algorithm_type="additive"), "st_"),
    (("bats",), dict(box_cox_transform=False), "st_3"),
    (("bats",), dict(box_cox_transform=True), "st_"),
    (("arima",), dict(use_full_error_history=True, force_model=True, min_training_data=-1), "st_4"),
    (("arima",), dict(use_full_error_history=True, force_model=True, min_training_data=10), "st_"),
    (("AutoForecaster",), {}, "st_5"),
    (("arma",), {}, "st_"),
])
def test_get_model_id(args, kw, expected):
    assert QuillcastForecaster.get_model_id(*args, **kw) == expected


def test_get_model_id_needs_holt_winters_type():
    with pytest.raises(AttributeError):
        QuillcastForecaster.get_model_id("hw")


def test_get_estimators():
    class Sub(QuillcastForecaster):
        pass

    ests = Sub.get_estimators(log_transform=True, target_column_indices=[1],
                              time_column_index=[0], prediction_horizon=5, lookback_win=3)
    assert [type(e) for e in ests] == [QuillcastForecaster] * 4
    assert [e.all_args for e in ests] == [
        {"algorithm_type": "additive", "min_training_data": 0.99, "algorithm": "hw"},
        {"algorithm_type": "multiplicative", "min_training_data": 0.99, "algorithm": "hw"},
        {"use_full_error_history": True, "force_model": False, "min_training_data": -1,
         "algorithm": "arima"},
        {"training_sample_size": 0.25, "box_cox_transform": False, "algorithm": "bats"},
    ]
    for e in ests:
        assert e.log_transformed is False and e.prediction_horizon == 5
        assert e.lookback_win == 3 and e.target_column_indices == [1] and e.ts_icol_loc == [0]


def test_get_estimators_train_on_real_models():
    t = np.arange(120.0)
    X = (60 + 10 * np.sin(2 * np.pi * t / 12) + 0.2 * t).reshape(-1, 1)
    for e in QuillcastForecaster.get_estimators(prediction_horizon=3)[:2]:
        e.fit(X, None, _reset_model=True)
        assert e.is_fitted_ and e.predict().shape == (3, 1)


def test_get_param_dist_keys_are_constructor_settings():
    dist = QuillcastForecaster.get_param_dist()
    assert set(dist["algorithm"]) == {
        "hw", "arima", "arma", "bats", "autoforecaster", "intermittent", "mstl"
    }
    f = QuillcastForecaster(**{k: v[0] for k, v in dist.items()})
    assert f.all_args["algorithm"] == dist["algorithm"][0]


def test_models_copy_without_models(capsys):
    f = QuillcastForecaster()
    assert f.get_models_copy() is None
    f.model = None
    assert f.get_models_copy(verbose=True) is None
    assert capsys.readouterr().out == "No model defined\nNo model defined\n"


def test_models_copy_failure_is_printed(capsys):
    f = QuillcastForecaster()
    f.model = [lambda: 0]  # not picklable
    assert f.get_models_copy() is None
    assert capsys.readouterr().out == "Model Copy failed\n"


def test_models_copy_is_independent():
    t = np.arange(60.0)
    f = QuillcastForecaster(samples_per_season=12).fit(
        (50 + 5 * np.sin(2 * np.pi * t / 12)).reshape(-1, 1), None, _reset_model=True)
    original = f.model[0]
    copy = f.get_models_copy()[0]
    assert copy is not original
    assert copy.forecast_at(65.0) == original.forecast_at(65.0)
    before = original.forecast_at(61.0)
    copy.update_model(60, 80.0)
    assert original.last_time_updated == 59 and copy.last_time_updated == 60
    assert original.forecast_at(61.0) == before
