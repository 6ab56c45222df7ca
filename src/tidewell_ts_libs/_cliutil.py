"""Helpers shared by the command line and the many-series runner (no imports of either)."""

from __future__ import annotations

import contextlib
import os
import tempfile


class InputError(Exception):
    """Bad input: reported as one line, with a non-zero exit status."""


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
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
