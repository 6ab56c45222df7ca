import gzip
import logging
import os
import pickle

import numpy as np
import pytest
from helpers import message as msg
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from tidewell_ts_libs.sklearn.tidewell_ts_pipeline import TidewellTSPipeline
from tidewell_ts_libs.utils.score import Score


@pytest.fixture
def fitted():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(40, 3))
    y = X @ [1.0, -2.0, 0.5] + 3
    return Pipeline([("scale", StandardScaler()), ("reg", LinearRegression())]).fit(X, y), X


class Unpicklable:
    def __reduce__(self):
        raise TypeError("cannot pickle this")


def test_round_trip_keeps_format(tmp_path, fitted, capsys):
    pipe, X = fitted
    path = tmp_path / "model.bin"
    assert Score.save(pipe, str(path), verbose=True) is True
    assert capsys.readouterr().out == f"Saved model  {pipe}  to file  {path}\n"
    # one gzip member holding one pickle at the highest protocol
    raw = gzip.decompress(path.read_bytes())
    assert raw[:2] == bytes([0x80, pickle.HIGHEST_PROTOCOL])
    loaded = Score.load(str(path), verbose=True)
    assert capsys.readouterr().out == f"Loading Model(s) from location  {path}\n"
    np.testing.assert_array_equal(loaded.predict(X), pipe.predict(X))
    assert os.listdir(tmp_path) == ["model.bin"]
    assert Score.load(path).steps[0][0] == "scale"  # path objects too


def test_saved_file_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        Score.save([1, 2], str(tmp_path / "m"))
    finally:
        os.umask(old)
    assert (tmp_path / "m").stat().st_mode & 0o777 == 0o640
    (tmp_path / "m").chmod(0o600)
    assert Score.save([3], str(tmp_path / "m"))
    assert (tmp_path / "m").stat().st_mode & 0o777 == 0o600  # a replaced file keeps its mode


@pytest.mark.parametrize("bad", [Unpicklable(), lambda x: x])
def test_failed_save_keeps_the_good_file(tmp_path, caplog, bad):
    path = tmp_path / "model.gz"
    assert Score.save({"good": 1}, str(path))
    with caplog.at_level(logging.WARNING, logger="tidewell_ts_libs.utils.score"):
        assert Score.save([1, bad], str(path)) is False
    [record] = caplog.records
    assert record.getMessage().startswith("Could not save pipeline to ")
    assert str(path) in record.getMessage()
    assert caplog.records[0].levelno == logging.WARNING and not caplog.records[0].exc_info
    assert Score.load(str(path)) == {"good": 1}
    assert os.listdir(tmp_path) == ["model.gz"]  # no temporary file left behind


def test_save_to_missing_directory(tmp_path, caplog):
    assert Score.save([1], str(tmp_path / "nowhere" / "m.gz")) is False
    assert "Could not save pipeline" in caplog.text
    assert "No such file or directory" in caplog.text  # the reason is logged too


def test_save_through_symlink_replaces_target(tmp_path):
    target = tmp_path / "real.gz"
    link = tmp_path / "link.gz"
    Score.save("old", str(target))
    link.symlink_to(target)
    assert Score.save("new", str(link))
    assert link.is_symlink() and Score.load(str(target)) == "new"


@pytest.mark.parametrize(
    "content, id_",
    [
        (pickle.dumps([1, 2]), "TIDEWELLTSLIBS0001E"),  # plain, uncompressed pickle
        (gzip.compress(b"not a pickle"), "TIDEWELLTSLIBS0001E"),
        (gzip.compress(pickle.dumps(None)), "TIDEWELLTSLIBS0002E"),
    ],
)
def test_load_failures(tmp_path, caplog, content, id_):
    path = tmp_path / "f"
    path.write_bytes(content)
    with pytest.raises(Exception) as info:
        Score.load(str(path))
    assert str(info.value) == msg(id_, str(path))
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.ERROR, msg(id_, str(path)))]


@pytest.mark.parametrize("which", ["missing", "directory"])
def test_load_without_file(tmp_path, caplog, which):
    path = str(tmp_path / "missing") if which == "missing" else str(tmp_path)
    with pytest.raises(Exception) as info:
        Score.load(path)
    assert str(info.value) == msg("TIDEWELLTSLIBS0003E", path)
    assert caplog.records[-1].levelno == logging.ERROR


@pytest.mark.parametrize("content", [gzip.compress(pickle.dumps({"a": 1})), b"garbage"])
def test_load_closes_its_file(tmp_path, content):
    path = tmp_path / "f"
    path.write_bytes(content)
    fds = set(os.listdir("/proc/self/fd"))
    try:
        Score.load(str(path))
    except Exception:
        pass
    assert set(os.listdir("/proc/self/fd")) == fds


class Est:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def fit(self, X, y=None):
        return self

    def transform(self, X):
        return X


def test_get_estimator():
    est = Est()
    assert Score.get_estimator(Pipeline([("a", Est()), ("b", est)])) is est
    tw = TidewellTSPipeline([("b", est)])
    assert Score.get_estimator(tw) is tw
    assert Score.get_estimator(est) is est


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({}, 1),
        ({"prediction_win": 5, "pred_win": 3}, 5),
        ({"pred_win": 3, "prediction_horizon": 9}, 3),
        ({"prediction_horizon": 9}, 9),
    ],
)
def test_get_prediction_win(attrs, expected):
    assert Score.get_prediction_win(Est(**attrs)) == expected


def test_window_accessors_unwrap_nested_pipelines():
    inner = Est(lookback_win=4, lookback_window=7, prediction_horizon=6)
    nested = Pipeline([("x", Est()), ("p", TidewellTSPipeline([("q", Pipeline([("e", inner)]))]))])
    assert Score.get_lookback_win(nested) == 4
    assert Score.get_prediction_win(nested) == 6
    assert Score.get_lookback_win(Est(lookback_window=7)) == 7
    with pytest.raises(AttributeError):
        Score.get_lookback_win(Est())
    # four levels deep: the accessors stop after three
    deeper = Pipeline([("n", nested)])
    assert Score.get_prediction_win(deeper) == 1


def test_constants():
    assert (Score.PREDICT_SLIDING_WINDOW, Score.PREDICT_FORECAST) == ("sliding_window", "forecast")


def test_save_to_open_stream(tmp_path):
    path = tmp_path / "s.gz"
    with open(path, "wb") as stream:
        assert Score.save({"k": [1, 2]}, stream)
    assert Score.load(str(path)) == {"k": [1, 2]}


def test_a_new_process_gives_the_saved_forecasters_bands_from_its_first_call(tmp_path):
    # A service loads a saved forecaster and asks for its bands at once: the first interval of
    # the process must be the one the saving process gave (it came out with zero width).
    import subprocess
    import sys

    from cli_helpers import cli_env

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    t = np.arange(96.0)
    y = (100 + t + 10 * np.sin(2 * np.pi * t / 12)).reshape(-1, 1)
    path = tmp_path / "model.pkl.gz"
    expected = {}
    for alg in ("hw", "arima", "autoforecaster"):
        est = QuillcastForecaster(algorithm=alg, prediction_horizon=3).fit(y, None)
        assert Score.save(est, str(path.with_name(f"{alg}.pkl.gz")))
        expected[alg] = np.concatenate(est.predict_interval(level=80)).ravel()
    for alg, bands in expected.items():
        code = (
            "import numpy as np\n"
            "from tidewell_ts_libs.utils.score import Score\n"
            f"m = Score.load({str(path.with_name(f'{alg}.pkl.gz'))!r})\n"
            "print(repr(np.concatenate(m.predict_interval(level=80)).ravel().tolist()))\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=cli_env(), check=True).stdout
        np.testing.assert_allclose(eval(out), bands, rtol=1e-12)
