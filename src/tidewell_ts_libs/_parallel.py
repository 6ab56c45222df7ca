"""Running chunks of series on joblib workers: Ctrl-C and dead workers.

``run_chunks`` calls ``func(part, *args)`` for every part, in this process, on threads or on
loky worker processes, and returns the results in the order of the parts. It adds what a long
batch needs on top of joblib:

- Ctrl-C: joblib kills the worker processes; thread workers are told to stop at the next series
  (``func`` gets ``stop``, a callable that turns true), so nothing keeps computing after the
  ``KeyboardInterrupt`` has reached the caller.
- A worker process that dies (killed, out of memory, crashed) raises ``WorkerDied`` naming the
  series of the chunk it was working on. Each worker notes the chunk it starts in a file of a
  private directory and removes the note when the chunk is done; the notes left after the death
  are the chunks that were running.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Sequence

# Series named in full in a message; more are counted.
SHOWN = 5


class _QuietStdout:
    """``sys.stdout`` while some thread is quiet: writes of quiet threads are dropped, the
    others' go to the stream that was there before."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        return len(text) if getattr(_quiet, "depth", 0) else self.stream.write(text)

    def flush(self):
        if not getattr(_quiet, "depth", 0):
            self.stream.flush()

    def __getattr__(self, name):
        return getattr(self.stream, name)


_quiet = threading.local()
_quiet_lock = threading.Lock()
_quiet_users = [0, None]  # threads inside quiet_stdout, the stream it replaced


@contextlib.contextmanager
def quiet_stdout():
    """Drops what this thread prints (the engine's notices) while the block runs.

    ``contextlib.redirect_stdout`` swaps ``sys.stdout`` for the whole process: threads entering
    and leaving it out of order leave the swap in place and the program's own output is lost.
    Here one shared stand-in stays while any thread is quiet and drops only the quiet threads'
    writes."""
    with _quiet_lock:
        if _quiet_users[0] == 0:
            _quiet_users[1] = sys.stdout
            sys.stdout = _QuietStdout(sys.stdout)
        _quiet_users[0] += 1
    _quiet.depth = getattr(_quiet, "depth", 0) + 1
    try:
        yield
    finally:
        _quiet.depth -= 1
        with _quiet_lock:
            _quiet_users[0] -= 1
            if _quiet_users[0] == 0:
                if isinstance(sys.stdout, _QuietStdout):  # unless someone replaced it since
                    sys.stdout = _quiet_users[1]
                _quiet_users[1] = None


class WorkerDied(RuntimeError):
    """A worker process stopped before returning its chunk; ``series`` holds its ids."""

    def __init__(self, message: str, series: list):
        super().__init__(message)
        self.series = series


def _never() -> bool:
    return False


def _noted(note: str, func: Callable, part, args: tuple):
    # Runs in a worker process: the note names this worker while it works on the part. The
    # part's warnings go back with its result, to be warned in the caller's process (a worker's
    # own would reach only its standard error, past the caller's filters and handlers).
    with open(note, "w") as f:
        f.write(str(os.getpid()))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = func(part, *args, stop=_never)
        return result, [(str(w.message), w.category) for w in caught]
    finally:
        os.remove(note)


def _warned_again(results: list) -> list:
    """The results of _noted parts, their warnings warned here in the parts' order."""
    out = []
    for result, caught in results:
        for message, category in caught:
            warnings.warn(message, category, stacklevel=3)
        out.append(result)
    return out


def _describe(ids: list) -> str:
    shown = ", ".join(repr(i) for i in ids[:SHOWN])
    more = len(ids) - SHOWN
    return f"{shown} and {more} more" if more > 0 else shown


def _died_message(cause: BaseException, running: list[int], names: Sequence[list]) -> str:
    codes = re.search(r"exit codes of the workers are (\S.*)", str(cause))
    how = f" (exit codes {codes.group(1).strip()})" if codes else ""
    total = len(names)
    if not running:
        return (
            f"a worker process stopped unexpectedly{how} before it started a chunk; "
            "no results were kept"
        )
    chunks = [f"chunk {k + 1} of {total} (series {_describe(names[k])})" for k in running]
    which = chunks[0] if len(chunks) == 1 else "one of " + "; ".join(chunks)
    return (
        f"a worker process stopped unexpectedly{how} while working on {which}; the process "
        "may have run out of memory or been killed. No results were kept"
    )


def run_chunks(
    func: Callable,
    parts: Sequence,
    args: tuple,
    names: Sequence[list],
    n_jobs: int = 1,
    backend: str = "loky",
) -> list:
    """``[func(part, *args, stop=...) for part in parts]``, in parallel when ``n_jobs`` != 1.

    ``names[k]`` lists the series ids of ``parts[k]`` for messages. ``func`` must check
    ``stop()`` between series and return early when it is true (its result is then dropped).
    """
    if n_jobs == 1 or len(parts) <= 1:
        return [func(p, *args, stop=_never) for p in parts]
    from joblib import Parallel, delayed

    if backend in ("threading", "threads"):
        return _on_threads(func, parts, args, n_jobs)
    if backend != "loky":
        return Parallel(n_jobs=n_jobs, backend=backend)(
            delayed(func)(p, *args, stop=_never) for p in parts
        )
    from joblib.externals.loky.process_executor import BrokenProcessPool

    notes = tempfile.mkdtemp(prefix="tidewell-chunks-")
    try:
        # One BLAS/OpenMP thread per worker: the workers are the parallelism, and threads of
        # their own would only compete with the other workers for the cores.
        return _warned_again(
            Parallel(n_jobs=n_jobs, backend="loky", inner_max_num_threads=1)(
                delayed(_noted)(os.path.join(notes, str(k)), func, p, args)
                for k, p in enumerate(parts)
            )
        )
    except BrokenProcessPool as e:  # TerminatedWorkerError included
        running = sorted(int(f) for f in os.listdir(notes) if f.isdigit())
        series = [s for k in running for s in names[k]]
        raise WorkerDied(_died_message(e, running, names), series) from e
    finally:
        shutil.rmtree(notes, ignore_errors=True)


def _on_threads(func: Callable, parts: Sequence, args: tuple, n_jobs: int) -> list:
    from joblib import Parallel, delayed

    halt = threading.Event()
    busy = threading.Condition()
    running = [0]

    def guarded(part):
        with busy:
            running[0] += 1
        try:
            return func(part, *args, stop=halt.is_set)
        finally:
            with busy:
                running[0] -= 1
                busy.notify_all()

    try:
        return Parallel(n_jobs=n_jobs, backend="threading")(delayed(guarded)(p) for p in parts)
    finally:
        # Ctrl-C or an error: the threads still in a chunk stop at their next series. Wait for
        # them: a thread left inside the engine when the interpreter exits aborts the process.
        # The short waits keep a second Ctrl-C effective.
        halt.set()
        with busy:
            while running[0]:
                busy.wait(0.05)
