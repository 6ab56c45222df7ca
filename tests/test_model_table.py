"""The engine's table of models and the Python lists that read it."""

import pytest

from tidewell_ts_libs import batch, cli
from tidewell_ts_libs.deps import tarn
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster
from tidewell_ts_libs.utils import quillcast as qc
from tidewell_ts_libs.utils.messages.messages import Messages

TABLE = tarn.model_table()
ALGORITHMS = ("hw", "arima", "arma", "bats", "mstl", "autoforecaster", "intermittent")


def test_every_entry_is_a_builder_of_its_own_kind():
    names = [e["name"] for e in TABLE]
    assert names == [
        "hws",
        "arima",
        "arma",
        "bats",
        "theta",
        "ces",
        "tempagg",
        "snaive",
        "mstl",
        "auto",
        "intermittent",
    ]
    # The builders the forecaster offers come first.
    offered = [e["name"] for e in TABLE if e["algorithm"]]
    assert tarn.forecasters.__all__ == offered + [n for n in names if n not in offered]
    for e in TABLE:
        model = getattr(tarn.forecasters, e["name"])()
        assert model.kind == e["name"]
        for key, default in e["options"].items():
            assert key in getattr(tarn.forecasters, e["name"]).__doc__
            if default is not None:
                configured = getattr(tarn.forecasters, e["name"])(**{key: default})
                assert configured.serialize() == model.serialize()


def test_algorithm_lists_are_the_tables():
    assert tarn.forecaster_algorithms() == ALGORITHMS
    assert cli.ALGORITHMS == ALGORITHMS and batch.ALGORITHMS == ALGORITHMS
    assert QuillcastForecaster.get_param_dist()["algorithm"] == list(ALGORITHMS)
    entries = [k for k, v in vars(qc.Forecasters).items() if isinstance(v, str) and k[0] != "_"]
    assert sorted(entries) == sorted(ALGORITHMS)
    with pytest.raises(
        TypeError, match="one of hw, arima, arma, bats, mstl, autoforecaster, intermittent"
    ):
        QuillcastForecaster()._getModel(algorithm=1)
    # The message naming the algorithms lists the table's, with today's wording.
    assert Messages.get_message(message_id="TIDEWELLTSLIBS0004E") == (
        "TIDEWELLTSLIBS0004E: Unknown forecasting algorithm: use one of "
        "hw, arima, arma, bats, mstl, autoforecaster, intermittent."
    )


def test_forecaster_settings_and_search_come_from_the_table():
    dist = QuillcastForecaster.get_param_dist()
    doc = QuillcastForecaster.__doc__
    for e in TABLE:
        if not e["algorithm"]:
            assert e["keywords"] == [] and e["search"] == {}
            continue
        assert f'"{e["algorithm"]}"' in doc
        for line in e["settings_doc"].split("\n"):
            assert "    " + line + "\n" in doc
        for key, values in e["search"].items():
            assert dist[key] == values
        for key in e["keywords"]:
            QuillcastForecaster().set_params(**{key: 1})  # a known setting
    with pytest.raises(ValueError, match="Invalid parameter"):
        QuillcastForecaster().set_params(no_such_setting=1)
