"""Saved pipelines: a damaged file never loads as something else, a killed save leaves nothing
behind, and a save that did not write everything does not claim it did."""

import gzip
import io
import os
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from helpers import message as msg
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.utils import score
from tidewell_ts_libs.utils.score import Score

LOAD_ERROR = "TIDEWELLTSLIBS0001E"


@pytest.fixture(autouse=True)
def quiet_load_errors(monkeypatch):
    # Thousands of refused loads below: keep their log lines out of the captured output.
    monkeypatch.setattr(score.logger, "disabled", True)


@pytest.fixture
def small_pipeline():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(30, 2))
    y = X @ [2.0, -1.0] + 0.5
    return Pipeline([("scale", StandardScaler()), ("reg", LinearRegression())]).fit(X, y), X


def flipped_loads(path, data, bits):
    """Score.load of the file at `path` with each bit of `bits` of `data` flipped in turn: yields
    (bit, loaded object or the exception). The file is patched in place, a byte at a time."""
    path.write_bytes(data)
    fd = os.open(path, os.O_WRONLY)
    try:
        for bit in bits:
            i = bit // 8
            os.pwrite(fd, bytes([data[i] ^ (1 << (bit % 8))]), i)
            try:
                yield bit, Score.load(str(path))
            except Exception as e:
                yield bit, e
            os.pwrite(fd, data[i : i + 1], i)
    finally:
        os.close(fd)


REFUSALS = {}


def refused(path):
    with pytest.raises(Exception) as info:
        Score.load(str(path))
    if path not in REFUSALS:
        REFUSALS[path] = msg(LOAD_ERROR, str(path))
    return str(info.value) == REFUSALS[path]


def test_truncated_files_and_damaged_trailers_are_refused(tmp_path, small_pipeline):
    pipe, _ = small_pipeline
    good = tmp_path / "good.gz"
    assert Score.save(pipe, str(good))
    data = good.read_bytes()
    bad = tmp_path / "bad.gz"
    # the CRC-32 and the length of the trailer, each zeroed, and the whole trailer
    n = len(data)
    for lo, hi in [(n - 8, n - 4), (n - 4, n), (n - 8, n)]:
        damaged = bytearray(data)
        damaged[lo:hi] = bytes(hi - lo)
        bad.write_bytes(bytes(damaged))
        assert refused(bad), (lo, hi)
    # cut short anywhere, the empty file included
    for n in range(len(data)):
        bad.write_bytes(data[:n])
        assert refused(bad), n
    # anything after the last member
    for tail in [b"\0", b"\0" * 8, b"junk", data[:10]]:
        bad.write_bytes(data + tail)
        assert refused(bad), tail
    # a second complete member is still a valid gzip file: its data follow the first's
    two = gzip.compress(pickle.dumps([1, 2])[:-1]) + gzip.compress(pickle.dumps([1, 2])[-1:])
    bad.write_bytes(two)
    assert Score.load(str(bad)) == [1, 2]


def test_every_single_bit_flip_is_refused_or_changes_nothing(tmp_path, small_pipeline):
    pipe, X = small_pipeline
    good = tmp_path / "good.gz"
    assert Score.save(pipe, str(good))
    data = good.read_bytes()
    expected = pipe.predict(X)
    bad = tmp_path / "bad.gz"
    refusal = msg(LOAD_ERROR, str(bad))
    harmless = []
    for bit, loaded in flipped_loads(bad, data, range(len(data) * 8)):
        if isinstance(loaded, Exception):
            assert str(loaded) == refusal, bit
            continue
        # Only bits that carry no data may change: the header's time stamp, flags of the
        # compressor and system, the name it records, the padding after the last block, a
        # back-reference moved to an equal string.
        np.testing.assert_array_equal(loaded.predict(X), expected)
        np.testing.assert_array_equal(loaded[-1].coef_, pipe[-1].coef_)
        harmless.append(bit)
    assert len(harmless) < len(data)  # almost all of the 8 bits a byte are refused


def test_engine_model_files_damaged_anywhere_never_forecast_otherwise(tmp_path):
    m = forecasters.hws(samples_per_season=4, initial_training_seasons=3)
    m.update_model(list(range(24)), [10.0 + (i % 4) + 0.1 * i for i in range(24)])
    good = tmp_path / "m.gz"
    assert Score.save(m, str(good))
    data = good.read_bytes()
    expected = [m.forecast_steps(h) for h in (1, 5)]
    bad = tmp_path / "bad.gz"
    for bit, loaded in flipped_loads(bad, data, range(len(data) * 8)):
        if not isinstance(loaded, Exception):
            assert [loaded.forecast_steps(h) for h in (1, 5)] == expected, bit


def test_load_bounds_the_file_and_what_it_expands_to(tmp_path, monkeypatch):
    path = tmp_path / "f.gz"
    path.write_bytes(gzip.compress(pickle.dumps(b"\0" * 100_000)))  # a few hundred bytes
    monkeypatch.setattr(score, "MAX_LOAD_BYTES", 50_000)
    assert refused(path)  # expands past the bound
    path.write_bytes(gzip.compress(pickle.dumps(os.urandom(60_000))))
    assert refused(path)  # the file itself is past it
    path.write_bytes(gzip.compress(pickle.dumps(b"\0" * 40_000)))
    assert Score.load(str(path)) == b"\0" * 40_000
    monkeypatch.undo()
    assert score.MAX_LOAD_BYTES == 4 << 30


def test_compression_level(tmp_path):
    obj = np.tile(np.arange(50.0), 400)
    sizes = {}
    for level, xfl in [(None, 4), (1, 4), (9, 2), (0, 0)]:
        path = tmp_path / f"l{level}.gz"
        kw = {} if level is None else {"compresslevel": level}
        assert Score.save(obj, str(path), **kw)
        data = path.read_bytes()
        assert data[8] == xfl  # the header's compressor flags: 4 fastest, 2 best
        np.testing.assert_array_equal(Score.load(str(path)), obj)
        sizes[level] = len(data)
    assert sizes[9] < sizes[1] < sizes[0]
    for bad, err in [(10, ValueError), (-1, ValueError), (True, TypeError), ("9", TypeError)]:
        with pytest.raises(err, match="compresslevel"):
            Score.save(obj, str(tmp_path / "x.gz"), compresslevel=bad)
    assert not (tmp_path / "x.gz").exists()


# A child process saves a large object; it is killed while writing.
SAVER = """
import os, sys
from tidewell_ts_libs.utils.score import Score
Score.save(os.urandom(50_000_000), sys.argv[1])
"""


def kill_while_saving(target):
    proc = subprocess.Popen([sys.executable, "-c", SAVER, str(target)])
    prefix = f".{target.name}.{proc.pid}."
    deadline = time.monotonic() + 60
    while not any(n.startswith(prefix) for n in os.listdir(target.parent)):
        assert proc.poll() is None and time.monotonic() < deadline, "the save never started"
        time.sleep(0.01)
    time.sleep(0.1)
    proc.send_signal(signal.SIGKILL)
    proc.wait()


def test_temporary_files_of_killed_saves_are_removed(tmp_path):
    target = tmp_path / "model.gz"
    assert Score.save({"v": 1}, str(target))
    for _ in range(3):
        kill_while_saving(target)
        # each save removes what the killed one before it left, so one is left at a time
        left = sorted(os.listdir(tmp_path))
        assert len(left) == 2 and left[0].endswith(".tmp") and left[1] == "model.gz"
    # Files that only look alike, and a file of a process still running, are not touched.
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        keep = [
            f".model.gz.{sleeper.pid}.0123456789abcdef.tmp",
            f".model.gz.{os.getpid()}.0123456789abcdef.tmp",
            ".model.gz.notes.tmp",
            ".model.gz.1.2.3.tmp",
            ".other.gz.999999999.0123456789abcdef.tmp",
        ]
        for name in keep:
            (tmp_path / name).write_bytes(b"x")
        assert Score.load(str(target)) == {"v": 1}  # loading the target cleans up too
        assert sorted(os.listdir(tmp_path)) == sorted(keep + ["model.gz"])
        for name in keep:
            (tmp_path / name).unlink()
        kill_while_saving(target)
        assert Score.save({"v": 2}, str(target))
        assert os.listdir(tmp_path) == ["model.gz"]
        assert Score.load(str(target)) == {"v": 2}
    finally:
        sleeper.kill()
        sleeper.wait()


def test_temporary_files_of_other_hosts_or_containers_are_left_to_their_writers(tmp_path):
    # A process in another container sharing the folder has process ids that mean nothing here:
    # its save in progress was taken for a dead one's and deleted, and its model lost.
    target = tmp_path / "model.gz"
    kill_while_saving(target)
    (left,) = [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
    realm = left.split(".")[-3]
    other = format(int(realm, 16) ^ 1, "08x")
    token = "0123456789abcdef"
    elsewhere = tmp_path / f".model.gz.999999999.{other}.{token}.tmp"
    abandoned = tmp_path / f".model.gz.999999998.{other}.{token}.tmp"
    older_version = tmp_path / f".model.gz.999999997.{token}.tmp"
    for f in (elsewhere, abandoned, older_version):
        f.write_bytes(b"x")
    two_days_ago = time.time() - 2 * 86400
    os.utime(abandoned, (two_days_ago, two_days_ago))
    assert Score.save({"v": 3}, str(target))
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["model.gz", elsewhere.name, older_version.name])  # ours (dead) and the abandoned gone


class TrickleStream(io.RawIOBase):
    """A raw stream that takes at most `most` bytes per write; None once `blocks_after` bytes
    are in (a non-blocking stream that would block)."""

    def __init__(self, most, blocks_after=None):
        self.data = bytearray()
        self.most = most
        self.blocks_after = blocks_after

    def writable(self):
        return True

    def write(self, b):
        if self.blocks_after is not None and len(self.data) >= self.blocks_after:
            return None
        n = min(self.most, len(b))
        self.data += bytes(b[:n])
        return n


def test_streams_get_everything_or_the_save_fails(tmp_path, caplog):
    obj = {"x": np.arange(5000.0)}
    partial = TrickleStream(most=777)
    assert Score.save(obj, partial)
    np.testing.assert_array_equal(pickle.loads(gzip.decompress(bytes(partial.data)))["x"], obj["x"])
    score.logger.disabled = False
    for stream in [TrickleStream(most=100, blocks_after=1000), TrickleStream(most=0)]:
        assert Score.save(obj, stream) is False
    assert "Score.save returned False" in caplog.text
    # a buffered file whose data cannot reach the disk: the error comes with the flush
    if os.path.exists("/dev/full"):
        full = open("/dev/full", "wb")
        try:
            assert Score.save(obj, full) is False
            assert "No space left" in caplog.text
        finally:
            try:
                full.close()
            except OSError:
                pass
