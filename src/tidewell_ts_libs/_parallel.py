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

import os
import re
import shutil
import tempfile
import threading
from collections.abc import Callable, Sequence

# Series named in full in a message; more are counted.
SHOWN = 5


class WorkerDied(RuntimeError):
    """A worker process stopped before returning its chunk; ``series`` holds its ids."""

    def __init__(self, message: str, series: list):
        super().__init__(message)
        self.series = series


def _never() -> bool:
    return False


def _noted(note: str, func: Callable, part, args: tuple):
    # Runs in a worker process: the note names this worker while it works on the part.
    with open(note, "w") as f:
        f.write(str(os.getpid()))
    result = func(part, *args, stop=_never)
    os.remove(note)
    return result


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
    chunks = [f"chunk {k + 1} of {total} ({_describe(names[k])})" for k in running]
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
        halt = threading.Event()
        try:
            return Parallel(n_jobs=n_jobs, backend="threading")(
                delayed(func)(p, *args, stop=halt.is_set) for p in parts
            )
        finally:
            # On success the threads are done already; on Ctrl-C or an error the ones still in a
            # chunk stop at their next series.
            halt.set()
    if backend != "loky":
        return Parallel(n_jobs=n_jobs, backend=backend)(
            delayed(func)(p, *args, stop=_never) for p in parts
        )
    from joblib.externals.loky.process_executor import BrokenProcessPool

    notes = tempfile.mkdtemp(prefix="tidewell-chunks-")
    try:
        return Parallel(n_jobs=n_jobs, backend="loky")(
            delayed(_noted)(os.path.join(notes, str(k)), func, p, args)
            for k, p in enumerate(parts)
        )
    except BrokenProcessPool as e:  # TerminatedWorkerError included
        running = sorted(int(f) for f in os.listdir(notes) if f.isdigit())
        series = [s for k in running for s in names[k]]
        raise WorkerDied(_died_message(e, running, names), series) from e
    finally:
        shutil.rmtree(notes, ignore_errors=True)
