"""The README as a newcomer reads it: every shell and Python block runs from the repository root.

Blocks fenced as ```sh, ```bash, ```shell or ```console run with bash, ```python blocks with the
Python running these tests; any other fence (```text for usage lines with placeholders and for
sample output) is documentation and is not run. Blocks run in README order, each in a fresh
process, in one directory that mirrors the repository root (a symbolic link to every entry of
the root), so a command sees what it would see at the root of a clone while what it writes
(``out/``, files of the tour) stays out of the working tree.

Two commands are not run as written. ``scripts/test.sh`` would run this test again (recursion):
it is only checked to be there. ``scripts/setup.sh`` installs the package, and this test imports
the package, so it is installed already (``scripts/test.sh`` runs the set-up before the tests); the
rest of its command line is run, against the package under test. Set TIDEWELL_README_SETUP=1 to
run the set-up as written too (it reinstalls the package into ``.venv``: about a minute).
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from cli_helpers import cli_env

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SHELL = {"sh", "bash", "shell", "console"}
# The README's output folder: a developer's own out/ in the root is not written over.
NOT_MIRRORED = {"out"}

if not (README.is_file() and (ROOT / "pyproject.toml").is_file()):
    pytest.skip(
        "no repository around the tests (an installed-only run): there is no README to run",
        allow_module_level=True,
    )


def blocks(text):
    """(language, first line number, code) of every fenced block."""
    out = []
    fence = re.compile(r"^```(\S*)\s*$")
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        m = fence.match(lines[i])
        if m:
            lang, start, body = m.group(1).lower(), i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            out.append((lang, start, "\n".join(body) + "\n"))
        i += 1
    return out


def shell_commands(code):
    """The block's commands, continuation lines joined and comments dropped."""
    commands, current = [], ""
    for line in code.splitlines():
        stripped = line.strip()
        if not current and (not stripped or stripped.startswith("#")):
            continue
        current += stripped[:-1] + " " if stripped.endswith("\\") else stripped
        if not stripped.endswith("\\"):
            commands.append(current)
            current = ""
    return commands


def runnable(command):
    """The part of a command line that this test runs, or None."""
    if re.match(r"^(\./)?scripts/test\.sh\b", command):
        assert os.access(ROOT / "scripts" / "test.sh", os.X_OK)
        return None
    m = re.match(r"^(\./)?scripts/setup\.sh(\s+--dev)?\s*(&&\s*(?P<rest>.*))?$", command)
    if m and os.environ.get("TIDEWELL_README_SETUP") != "1":
        assert os.access(ROOT / "scripts" / "setup.sh", os.X_OK)
        return m.group("rest")
    return command


ALL = blocks(README.read_text(encoding="utf-8"))
RUN = [(lang, line, code) for lang, line, code in ALL if lang in SHELL | {"python"}]


def test_every_block_is_marked():
    unmarked = [line for lang, line, _ in ALL if not lang]
    assert not unmarked, f"README blocks without a language at lines {unmarked}"
    assert any(lang == "python" for lang, _, _ in RUN) and any(lang in SHELL for lang, _, _ in RUN)


@pytest.fixture(scope="module")
def mirror(tmp_path_factory):
    where = tmp_path_factory.mktemp("readme-root")
    for entry in ROOT.iterdir():
        if entry.name not in NOT_MIRRORED:
            (where / entry.name).symlink_to(entry, target_is_directory=entry.is_dir())
    return where


@pytest.mark.parametrize("lang, line, code", RUN, ids=[f"line-{ln}" for _, ln, _ in RUN])
def test_readme_block_runs(mirror, lang, line, code):
    env = cli_env()
    if lang == "python":
        cmd = [sys.executable, "-c", code]
    else:
        commands = [c for c in map(runnable, shell_commands(code)) if c]
        if not commands:
            pytest.skip("nothing to run in this block here (the set-up and test scripts)")
        script = "set -euo pipefail\n" + "\n".join(commands) + "\n"
        if not (mirror / ".venv" / "bin" / "python").exists():
            # No project environment at the root: the Python running the tests stands in for it.
            script = script.replace(".venv/bin/python", sys.executable)
        cmd = ["bash", "-c", script]
    res = subprocess.run(cmd, cwd=mirror, env=env, capture_output=True, text=True, timeout=900)
    assert res.returncode == 0, (
        f"README block at line {line} failed ({res.returncode}):\n{res.stdout[-3000:]}\n"
        f"{res.stderr[-3000:]}"
    )
    assert "Traceback" not in res.stderr
