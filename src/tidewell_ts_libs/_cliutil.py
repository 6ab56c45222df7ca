"""Helpers shared by the command line and the many-series runner (no imports of either)."""

from __future__ import annotations

import contextlib
import os
import tempfile


class InputError(Exception):
    """Bad input: reported as one line, with a non-zero exit status."""


# Whether a write may replace a file that is already there (the command line's --force). The
# targets are checked before the work; without --force a file that appears meanwhile (another
# run writing into the same folder) is refused again at the moment of writing.
_replace_existing = True
_created: list[str] = []  # the files this run made in the block, without --force


class OutputClash(InputError):
    """A file this run was to write appeared meanwhile (another run writing there)."""


@contextlib.contextmanager
def replacing(allowed: bool):
    """Within the block, _atomic_write replaces existing files only if ``allowed``. A run refused
    because another one wrote a file meanwhile takes back the files it made: the folder then
    holds the other run's results only."""
    global _replace_existing, _created
    before, _replace_existing = _replace_existing, bool(allowed)
    made_before, _created = _created, []
    try:
        yield
    except OutputClash:
        for path in _created:
            with contextlib.suppress(OSError):
                os.remove(path)
        raise
    finally:
        _replace_existing, _created = before, made_before


def _atomic_write(path: str, write) -> None:
    """Calls ``write(tmp)`` on a temporary file beside ``path``, then moves it into place, so a
    failed or interrupted write never leaves a half-written file under the final name."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    os.close(fd)
    try:
        write(tmp)
        # mkstemp makes the file private (0600); give it the mode a plain open() would.
        os.chmod(tmp, 0o666 & ~_umask())
        if _replace_existing:
            os.replace(tmp, path)
        else:
            _move_into_place_once(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def _move_into_place_once(tmp: str, path: str) -> None:
    """Moves tmp to path unless path exists by then (a hard link fails rather than replace)."""
    clash = OutputClash(
        f"refusing to write over {path}, which another run wrote while this one was working "
        "(give --force to replace it, or choose another --output)"
    )
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise clash from None
    except OSError:  # no hard links on this file system: the check and the move, as close as can be
        if os.path.lexists(path):
            raise clash from None
        os.replace(tmp, path)
    else:
        os.remove(tmp)
    _created.append(path)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
