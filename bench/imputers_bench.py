"""Quality of the imputer catalogue on real seasonal series.

Values are removed from real series (at random, and in gaps of 1, 3, 6, 12 and 24 points) and
every imputer of the catalogue fills them; the table gives the RMSE over the removed values,
divided by the standard deviation of the series (nRMSE, 1.0 is about as bad as filling with the
mean), averaged over the series, and the total fit+transform time. Peers: pandas' interpolate
(linear and time-indexed cubic spline), scikit-learn's IterativeImputer and KNNImputer, both
given the time column as a feature beside the values.

Series (read offline): co2 (weekly, last 520 complete weeks), elec_equip (monthly), elnino
(monthly, 61 years), sunspots (yearly, ~11-year cycle) from the data sets bundled with statsmodels
in bench/.venv-peers, and the first monthly M3 series with at least 120 points (bench/data, see
bench/m3_data.py).

    .venv/bin/python bench/imputers_bench.py [--m3 N] [--only name,name] [--seed S]
    .venv/bin/python bench/imputers_bench.py --speed   # engine interpolator against pandas

--speed instead times the engine interpolator (QuillcastInterpolator) against pandas'
DataFrame.interpolate on a large matrix (200 000 rows, 8 value columns, 10% missing, uneven
timestamps), best of five runs each.
"""

import os

# One BLAS thread: the kernel-PCA and regression imputers are dominated by small dense solves,
# which multi-threaded BLAS slows down badly on a busy machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "bench"))

from sklearn.experimental import enable_iterative_imputer  # noqa: E402, F401
from sklearn.impute import IterativeImputer, KNNImputer  # noqa: E402

from tidewell_ts_libs.transforms import imputers as catalogue  # noqa: E402

DATASETS = ROOT / "bench" / ".venv-peers" / "lib" / "python3.11" / "site-packages" / "statsmodels" / "datasets"
SCENARIOS = ["random 10%", "gap 1", "gap 3", "gap 6", "gap 12", "gap 24"]


def load_series(m3_count):
    out = []
    try:
        co2 = pd.read_csv(DATASETS / "co2" / "co2.csv")["co2"].to_numpy(float)
        ok = ~np.isnan(co2)
        # last 520 weeks without a missing value
        end = len(co2)
        while end > 0:
            start = end
            while start > 0 and ok[start - 1]:
                start -= 1
            if end - start >= 520:
                out.append(("co2", co2[end - 520 : end]))
                break
            end = start - 1
        elec = pd.read_csv(DATASETS / "elec_equip" / "elec_equip.csv").iloc[:, 1].to_numpy(float)
        out.append(("elec_equip", elec))
        nino = pd.read_csv(DATASETS / "elnino" / "elnino.csv").iloc[:, 1:].to_numpy(float).ravel()
        out.append(("elnino", nino))
        sun = pd.read_csv(DATASETS / "sunspots" / "sunspots.csv")["SUNACTIVITY"].to_numpy(float)
        out.append(("sunspots", sun))
    except FileNotFoundError as e:
        print(f"statsmodels data sets not found ({e}); run bench/setup-peers.sh", file=sys.stderr)
    if m3_count:
        try:
            from m3_data import load_m3

            picked = [s for s in load_m3() if s.kind == "monthly" and len(s.x) >= 120][:m3_count]
            out += [(f"M3-{s.id}", np.asarray(s.x, float)) for s in picked]
        except Exception as e:  # the M3 cache is optional
            print(f"M3 series not available: {e}", file=sys.stderr)
    return out


def holes(n, scenario, rng):
    mask = np.zeros(n, bool)
    if scenario.startswith("random"):
        mask[rng.choice(np.arange(2, n - 2), size=max(1, n // 10), replace=False)] = True
        return mask
    length = int(scenario.split()[1])
    want = max(length, n // 8)  # about an eighth of the series, in gaps of `length`
    tries = 0
    while mask.sum() < want and tries < 1000:
        tries += 1
        start = int(rng.integers(2, n - length - 2))
        if mask[max(0, start - 1) : start + length + 1].any():
            continue
        mask[start : start + length] = True
    return mask


def catalogue_methods():
    return [(name, (lambda cls: lambda: cls(ts_icol_loc=[0]))(getattr(catalogue, name))) for name in catalogue.IMPUTER_DISPLAY_NAMES]


class PandasInterpolate:
    def __init__(self, method, **kw):
        self.method, self.kw = method, kw

    def fit(self, X):
        return self

    def transform(self, X):
        s = pd.Series(X[:, 1], index=X[:, 0])
        filled = s.interpolate(method=self.method, limit_direction="both", **self.kw)
        return np.column_stack([X[:, 0], filled.to_numpy()])


def peer_methods():
    return [
        ("pandas linear", lambda: PandasInterpolate("linear")),
        ("pandas spline3", lambda: PandasInterpolate("spline", order=3)),
        ("sk IterativeImputer", lambda: IterativeImputer(random_state=0)),
        ("sk KNNImputer", lambda: KNNImputer()),
    ]


def speed(rows=200_000, cols=8, seed=0):
    from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator

    rng = np.random.default_rng(seed)
    t = np.cumsum(rng.uniform(0.5, 1.5, rows))
    values = np.sin(t[:, None] / 50.0 + np.arange(cols)) + rng.normal(0, 0.1, (rows, cols))
    values[rng.random(values.shape) < 0.1] = np.nan
    values[[0, -1]] = 1.0
    X = np.column_stack([t, values])
    frame = pd.DataFrame(values, index=pd.Index(t))

    def best(fn):
        times = []
        for _ in range(5):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        return min(times)

    pairs = [
        ("linear", "index"),  # both linear in the timestamps
        ("cubic", "cubicspline"),  # natural cubic spline / scipy's not-a-knot cubic spline
        ("nearest", "nearest"),
    ]
    print(f"{rows} rows x {cols} value columns, 10% missing, uneven timestamps (best of 5)")
    print("| method | engine interpolator s | pandas interpolate s | pandas / engine |")
    print("|---|---|---|---|")
    for ours, theirs in pairs:
        q = QuillcastInterpolator(interpolator_type=ours, ts_icol_loc=[0]).fit(X)
        a = best(lambda q=q: q.transform(X))
        b = best(lambda theirs=theirs: frame.interpolate(method=theirs, limit_direction="both"))
        print(f"| {ours} / {theirs} | {a:.4f} | {b:.4f} | {b / a:.1f} |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--speed", action="store_true", help="time the engine interpolator against pandas")
    ap.add_argument("--m3", type=int, default=8, help="number of monthly M3 series")
    ap.add_argument("--only", default="", help="comma-separated method names")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    # scikit-learn's parallel helpers warn from worker threads: silence them for the whole run.
    warnings.filterwarnings("ignore")
    if args.speed:
        speed()
        return

    series = load_series(args.m3)
    methods = catalogue_methods() + peer_methods()
    if args.only:
        keep = set(args.only.split(","))
        methods = [m for m in methods if m[0] in keep]
    print(f"{len(series)} series: " + ", ".join(f"{n} ({len(v)})" for n, v in series))

    cases = []
    rng = np.random.default_rng(args.seed)
    for name, values in series:
        for scenario in SCENARIOS:
            cases.append((name, scenario, values, holes(len(values), scenario, rng)))

    rows = []
    for label, make in methods:
        errors = {s: [] for s in SCENARIOS}
        spent = 0.0
        for _, scenario, values, mask in cases:
            X = np.column_stack([np.arange(len(values), dtype=float), values])
            Xm = X.copy()
            Xm[mask, 1] = np.nan
            imp = make()
            t0 = time.perf_counter()
            out = np.asarray(imp.fit(Xm).transform(Xm), float)
            spent += time.perf_counter() - t0
            err = np.sqrt(np.mean((out[mask, 1] - values[mask]) ** 2)) / np.std(values)
            errors[scenario].append(err)
        row = {"imputer": label}
        row.update({s: float(np.mean(errors[s])) for s in SCENARIOS})
        row["mean"] = float(np.mean([row[s] for s in SCENARIOS]))
        row["time s"] = spent
        rows.append(row)
        print(f"{label:22s} " + " ".join(f"{row[s]:7.3f}" for s in SCENARIOS) + f" {row['mean']:7.3f} {spent:8.2f}s", flush=True)

    table = pd.DataFrame(rows).sort_values("mean")
    print()
    print("| imputer | " + " | ".join(SCENARIOS) + " | mean | fit+transform s |")
    print("|---" * (len(SCENARIOS) + 3) + "|")
    for _, r in table.iterrows():
        print(f"| {r['imputer']} | " + " | ".join(f"{r[s]:.3f}" for s in SCENARIOS) + f" | {r['mean']:.3f} | {r['time s']:.2f} |")


if __name__ == "__main__":
    main()
