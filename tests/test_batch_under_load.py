"""Forecasting many series under load: Ctrl-C, a worker process that dies, and chunks that hold
only their own series."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import uuid
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tidewell_ts_libs import batch
from tidewell_ts_libs.batch import WorkerDied, forecast_many

psutil = pytest.importorskip("psutil")

# A batch of some tens of seconds: many seasonal series whose ARMA fits take a while each.
LONG_BATCH = textwrap.dedent(
    """
    import signal, sys
    import numpy as np, pandas as pd
    from tidewell_ts_libs.batch import forecast_many

    # Ctrl-C raises KeyboardInterrupt as at a terminal, also when the test runs from a shell
    # that started it in the background (which ignores SIGINT in its children).
    signal.signal(signal.SIGINT, signal.default_int_handler)

    n_series, n = 2000, 500
    t = np.tile(np.arange(n), n_series)
    rng = np.random.default_rng(0)
    y = 100 + 10 * np.sin(t * 2 * np.pi / 24) + rng.normal(size=t.size)
    df = pd.DataFrame({"unique_id": np.repeat(np.arange(n_series), n), "ds": t, "y": y})
    n_jobs, backend = int(sys.argv[1]), sys.argv[2]
    print("started", flush=True)
    try:
        forecast_many(df, algorithm="arma", horizon=2, n_jobs=n_jobs, backend=backend)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
        sys.exit(3)
    print("finished", flush=True)
    """
)


def processes_with(marker: str) -> list[int]:
    """Processes whose environment holds the marker: a process and all it started."""
    found = []
    for p in psutil.process_iter():
        try:
            if p.environ().get("TW_TEST_MARKER") == marker:
                found.append(p.pid)
        except psutil.Error:
            pass
    return found


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="needs /proc to find the workers")
@pytest.mark.parametrize(
    "n_jobs, backend, to_group",
    [(1, "loky", True), (2, "threading", True), (2, "loky", False), (2, "loky", True)],
    ids=["one-process", "threads", "processes-signal-to-caller", "processes-ctrl-c"],
)
def test_ctrl_c_stops_a_long_batch_promptly_and_leaves_no_process(
    tmp_path, n_jobs, backend, to_group
):
    script = tmp_path / "long_batch.py"
    script.write_text(LONG_BATCH)
    marker = uuid.uuid4().hex
    env = {**os.environ, "TW_TEST_MARKER": marker}
    proc = subprocess.Popen(
        [sys.executable, str(script), str(n_jobs), backend],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,  # its own process group, as a terminal gives a command
    )
    try:
        assert proc.stdout.readline().strip() == "started"
        time.sleep(2.5)
        assert proc.poll() is None, "the batch ended before the interrupt"
        if n_jobs > 1 and backend == "loky":
            assert len(processes_with(marker)) > 1  # the workers are running
        sent = time.monotonic()
        if to_group:  # Ctrl-C at a terminal reaches every process of the group
            os.killpg(proc.pid, signal.SIGINT)
        else:
            os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 3 and "KeyboardInterrupt" in out, (out, err[-2000:])
    assert took < 5.0
    # Every process it started is gone as well (a moment for the kernel to reap them).
    deadline = time.monotonic() + 3.0
    while processes_with(marker) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_with(marker) == []


def loky_workers() -> list:
    me = psutil.Process()
    return [
        p for p in me.children(recursive=True) if any("popen_loky" in part for part in p.cmdline())
    ]


def test_a_killed_worker_names_the_series_it_was_forecasting():
    # Two chunks of one series each: "quick" is done at once, "slow" fits for seconds (the
    # selector on six million values, about 8 s of processor time; a worker's start-up costs well
    # under its 2 s threshold).
    rng = np.random.default_rng(3)
    n = 6_000_000
    slow = 100 + 10 * np.sin(np.arange(n) * 2 * np.pi / 24) + rng.normal(size=n)
    df = pd.concat(
        [
            pd.DataFrame({"unique_id": "quick", "ds": np.arange(30), "y": rng.normal(size=30)}),
            pd.DataFrame({"unique_id": "slow", "ds": np.arange(n), "y": slow}),
        ]
    )
    killed = []

    def kill_workers():
        # Once a worker has spent seconds of processor time it is in the long fit: kill them all.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            workers = loky_workers()
            try:
                busy = any(p.cpu_times().user > 2.0 for p in workers)
            except psutil.Error:
                busy = False
            if busy:
                for p in workers:
                    killed.append(p.pid)
                    p.kill()
                return
            time.sleep(0.1)

    killer = threading.Thread(target=kill_workers)
    killer.start()
    start = time.monotonic()
    try:
        with pytest.raises(WorkerDied) as info:
            forecast_many(
                df, algorithm="autoforecaster", n_jobs=2, backend="loky", chunks_per_worker=1
            )
    finally:
        killer.join()
    assert killed and time.monotonic() - start < 60
    message = str(info.value)
    assert "'slow'" in message and "quick" not in message and "SIGKILL" in message
    assert info.value.series == ["slow"]
    # The next batch gets fresh workers.
    again = forecast_many(df[df.unique_id == "quick"], algorithm="hw", n_jobs=2, backend="loky")
    assert list(again.errors.status) == ["ok"]


def test_each_chunk_holds_only_its_own_series_in_order_of_time():
    # Ids in order of first appearance, rows shuffled in time, a missing id dropped: the slices
    # a worker gets are its series and nothing of the rest of the table.
    df = pd.DataFrame(
        {
            "unique_id": ["b", "a", "b", None, "a", "b", "a"],
            "ds": [2, 1, 0, 5, 0, 1, 2],
            "y": [2.0, 11.0, 0.0, 99.0, 10.0, 1.0, 12.0],
        }
    )
    items = batch._series_of(df, "unique_id", "ds", "y")
    assert [sid for sid, _, _ in items] == ["b", "a"]
    for sid, t, v in items:
        assert list(t) == [0, 1, 2]
        assert list(v) == ([0.0, 1.0, 2.0] if sid == "b" else [10.0, 11.0, 12.0])
    import pickle

    # A chunk of one short series pickles to a few hundred bytes, whatever the size of the table.
    big = pd.concat([df] + [df.assign(unique_id=f"x{i}") for i in range(2000)], ignore_index=True)
    first = batch._series_of(big, "unique_id", "ds", "y")[:1]
    assert len(pickle.dumps(first)) < 1000


def test_threads_stop_at_the_next_series_when_told():
    df = pd.DataFrame(
        {"unique_id": np.repeat(["a", "b", "c"], 30), "ds": np.tile(np.arange(30), 3), "y": 1.0}
    )
    items = batch._series_of(df, "unique_id", "ds", "y")
    calls = []

    def stop():
        calls.append(1)
        return len(calls) > 1

    rows, errors = batch._run_chunk(items, batch.Options("hw", 1), stop=stop)
    assert [e["id"] for e in errors] == ["a"] and list(rows.codes) == [0]


def test_quiet_threads_leaving_out_of_order_keep_the_programs_output(capsys):
    from tidewell_ts_libs._parallel import quiet_stdout

    entered, leave_first = threading.Barrier(3), threading.Event()

    def quiet(first):
        with quiet_stdout():
            print("notice from a fit")
            entered.wait()
            if not first:
                leave_first.wait()
        if first:
            leave_first.set()

    threads = [threading.Thread(target=quiet, args=(k == 0,)) for k in range(2)]
    for t in threads:
        t.start()
    entered.wait()
    print("the program's own line")  # while both threads are quiet
    for t in threads:
        t.join()
    print("and after")
    out = capsys.readouterr().out
    assert out == "the program's own line\nand after\n"


# Threads that each train a forecaster as the process's very first work (the long-format
# command line and forecast_many with threads do): none may wait on another for ever.
FIRST_FITS_ON_THREADS = textwrap.dedent(
    """
    import sys, threading
    import numpy as np
    sys.setswitchinterval(1e-6)  # hand the GIL over as often as possible
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    x = np.arange(40, dtype=float).reshape(-1, 1) + 1.0
    models = [QuillcastForecaster(algorithm="hw") for _ in range(8)]
    barrier = threading.Barrier(len(models))

    def run(f):
        barrier.wait()
        f.fit(x, None)

    threads = [threading.Thread(target=run, args=(f,)) for f in models]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("fitted", sum(bool(f.is_fitted_) for f in models))
    """
)


def test_first_fits_on_several_threads_never_deadlock():
    # Before, the first look at numpy's array type held a one-time guard across a release of
    # the GIL, and about two runs in five hung for ever.
    for _ in range(10):
        res = subprocess.run(
            [sys.executable, "-c", FIRST_FITS_ON_THREADS], capture_output=True, text=True,
            timeout=60,
        )
        assert res.returncode == 0, res.stderr[-2000:]
        assert res.stdout.split() == ["fitted", "8"]
