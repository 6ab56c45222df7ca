"""Backtesting many series in parallel: chunks, threads that keep the program's output, workers
told to stop, and a worker process that dies."""

import threading
import time

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs import backtest, batch
from tidewell_ts_libs.backtest import cross_validation
from tidewell_ts_libs.batch import WorkerDied


def many_series(n_series, n=60, seed=0):
    rng = np.random.default_rng(seed)
    t = np.tile(np.arange(n), n_series)
    y = 50 + 8 * np.sin(2 * np.pi * t / 12) + rng.normal(0, 1, t.size)
    ids = np.repeat([f"s{k}" for k in range(n_series)], n)
    # Rows of the series interleaved and shuffled in time: the order of first appearance counts.
    order = rng.permutation(t.size)
    return pd.DataFrame({"unique_id": ids[order], "ds": t[order], "y": y[order]})


def assert_same(a, b):
    for name in ("forecasts", "window_metrics", "metrics", "errors"):
        left, right = getattr(a, name), getattr(b, name)
        if name == "errors":
            left, right = left.drop(columns="seconds"), right.drop(columns="seconds")
        pd.testing.assert_frame_equal(left, right, obj=name)


def test_small_chunks_on_threads_and_processes_give_the_sequential_results(monkeypatch):
    data = many_series(7)
    data.loc[data.unique_id == "s3", "y"] = np.nan  # a failed series stays in its place
    kw = dict(algorithm="hw", h=3, n_windows=2, level=[80], season=12)
    one = cross_validation(data, **kw)
    assert list(one.metrics.id) == list(pd.unique(data.unique_id))
    assert one.errors.set_index("id").loc["s3", "status"] == "failed"

    seen = []
    real = backtest.run_chunks

    def spy(func, parts, args, names, **options):
        seen.append((parts, names))
        return real(func, parts, args, names, **options)

    monkeypatch.setattr(batch, "CHUNK_MAX", 2)  # chunks of 4 series would be made, at most 2 are
    monkeypatch.setattr(backtest, "run_chunks", spy)
    for backend in ("threading", "loky"):
        assert_same(
            one, cross_validation(data, n_jobs=2, backend=backend, chunks_per_worker=1, **kw)
        )
    parts, names = seen[-1]
    assert max(len(p) for p in parts) == 2
    assert names == [[sid for sid, _, _ in p] for p in parts]
    assert [s for n in names for s in n] == list(one.metrics.id)


def test_threads_keep_the_programs_output(capsys):
    # Threads that each swapped sys.stdout for their fits and put it back out of order left the
    # program writing into a discarded buffer.
    data = many_series(40, n=40)
    for _ in range(3):
        cross_validation(
            data,
            algorithm="hw",
            h=2,
            n_windows=3,
            season=12,
            n_jobs=2,
            backend="threading",
            chunks_per_worker=20,
        )
        print("after the backtest")
    assert capsys.readouterr().out == "after the backtest\n" * 3


def test_a_chunk_stops_at_the_next_series_when_told():
    items = batch._series_of(many_series(3), "unique_id", "ds", "y")
    calls = []

    def stop():
        calls.append(1)
        return len(calls) > 1

    args = ("hw", 2, 1, 2, False, (), 12, "linear")
    rows, windows, overall, errors = backtest._run_chunk(items, *args, stop=stop)
    first = items[0][0]
    assert [e["id"] for e in errors] == [first] and [o["id"] for o in overall] == [first]
    assert set(rows.id) == {first} and {w["id"] for w in windows} == {first}


def test_a_killed_worker_names_the_series_it_was_backtesting():
    psutil = pytest.importorskip("psutil")
    # Two chunks of one series each: "quick" is done at once, "slow" refits for many seconds
    # (200 refits on 40,000 values: about 11 s of processor time, the killer acts after 3).
    df = pd.concat(
        [
            many_series(1, n=30).assign(unique_id="quick"),
            many_series(1, n=40_000).assign(unique_id="slow"),
        ]
    )
    killed = []

    def workers():
        me = psutil.Process()
        return [p for p in me.children(recursive=True) if "popen_loky" in " ".join(p.cmdline())]

    def kill_when_busy():
        # Once a worker has spent seconds of processor time in this backtest it is in the long
        # fits (workers from earlier tests may be reused: count from when they are first seen).
        spent = {}
        deadline = time.monotonic() + 60
        while not killed and time.monotonic() < deadline:
            try:
                found = [(p, p.cpu_times().user) for p in workers()]
                if any(user - spent.setdefault(p.pid, user) > 3.0 for p, user in found):
                    killed.extend(p.pid for p, _ in found)
                    for p, _ in found:
                        p.kill()
            except psutil.Error:
                pass
            time.sleep(0.1)

    killer = threading.Thread(target=kill_when_busy)
    killer.start()
    try:
        with pytest.raises(WorkerDied) as info:
            cross_validation(
                df,
                algorithm="arma",
                h=2,
                n_windows=200,
                refit=True,
                n_jobs=2,
                backend="loky",
                chunks_per_worker=1,
            )
    finally:
        killer.join()
    assert killed
    assert "'slow'" in str(info.value) and "quick" not in str(info.value)
    assert info.value.series == ["slow"]
