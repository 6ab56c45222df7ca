"""Running the command line as a user does: a subprocess, against the package under test."""

import os
import subprocess
import sys
from pathlib import Path

import tidewell_ts_libs

# The folder holding the package that this test run imports (the source tree or site-packages), so
# the subprocess runs the same code whatever its working directory.
PACKAGE_PARENT = str(Path(tidewell_ts_libs.__file__).resolve().parent.parent)


def cli_env(**extra):
    env = {**os.environ, **extra}
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT, *filter(None, [env.get("PYTHONPATH")])])
    return env


def run_cli(*args, cwd, timeout=600):
    return subprocess.run(
        [sys.executable, "-m", "tidewell_ts_libs", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        env=cli_env(),
    )


def one_error_line(res):
    """The single line a bad input prints on standard error (asserts there is exactly one)."""
    assert "Traceback" not in res.stderr
    lines = [ln for ln in res.stderr.splitlines() if ln.strip()]
    assert len(lines) == 1, res.stderr
    return lines[0]
