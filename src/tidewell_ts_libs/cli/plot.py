"""The pictures: one panel per value column, or a sample of series in the many-series mode."""

from __future__ import annotations

import functools
import math
import warnings

import numpy as np

from tidewell_ts_libs._cliutil import _atomic_write
from tidewell_ts_libs.cli.args import level_label, log
from tidewell_ts_libs.cli.output import band_columns
from tidewell_ts_libs.cli.ranking import plural_of


def _quiet(draw):
    """Runs a drawing function without matplotlib's warnings (the date locator's among them):
    they say nothing the reader of the command's output can act on."""

    @functools.wraps(draw)
    def wrapper(*args, **kwargs):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return draw(*args, **kwargs)

    return wrapper


def _pyplot(args):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log(args, "matplotlib is not installed: no plot (pip install 'tidewell_ts_libs[plot]')")
        return None
    return plt


BEST_COLOR = "tab:blue"
FUTURE_COLOR = "tab:red"
OTHER_COLORS = ("tab:green", "tab:purple", "tab:brown", "tab:olive", "tab:cyan")


def _draw_series(
    ax, times, actual, n_test, backtest, future, bands, label_best, others=(), note=" holdout"
):
    """One panel: history, holdout, the backtest over the holdout and the future with bands.

    ``backtest`` and each of ``others`` (name, segments) are segments (positions in ``times``,
    forecasts): one per backtest window, each drawn on its own; a window after the first starts
    at a thin line."""
    n_train = len(times) - n_test
    ax.plot(times[:n_train], actual[:n_train], color="black", lw=1.3, label="history")
    if n_test:
        ax.axvspan(times[n_train], times[-1], color="0.93", zorder=0)
        # Ends where the shaded span ends, so a note wider than a narrow span runs over the
        # history on its left instead of past the panel's edge.
        ax.text(
            ax.convert_xunits(times[-1]),
            0.98,
            note + " ",
            fontsize=7,
            color="0.4",
            va="top",
            ha="right",
            transform=ax.get_xaxis_transform(),
        )
        ax.plot(
            times[n_train - 1 :] if n_train else times,
            actual[n_train - 1 :] if n_train else actual,
            color="black",
            lw=1.3,
            ls=(0, (4, 2)),
            label="holdout (actual)",
        )
        for (name, segments), color in zip(others, OTHER_COLORS, strict=False):
            for k, (at, values) in enumerate(segments):
                label = name if k == 0 else None
                ax.plot(times[at], values, color=color, lw=0.9, alpha=0.45, label=label)
        for k, (at, values) in enumerate(backtest or ()):
            if k and len(at) and at[0] > n_train:
                ax.axvline(times[at[0]], color="0.75", lw=0.6, zorder=0)
            label = label_best if k == 0 else None
            ax.plot(times[at], values, color=BEST_COLOR, lw=1.8, label=label)
    if future is not None:
        ftimes, point = future
        for i, (lv, (lo, hi)) in enumerate(sorted(bands.items(), reverse=True)):
            ax.fill_between(
                ftimes,
                lo,
                hi,
                color=FUTURE_COLOR,
                alpha=0.15 + 0.15 * i,
                lw=0,
                label=f"{level_label(lv)}% interval",
            )
        # Join the forecast to the last observation so the two read as one line.
        ax.plot(
            np.concatenate([times[-1:], ftimes]),
            np.concatenate([actual[-1:], point]),
            color=FUTURE_COLOR,
            lw=1.8,
            label="forecast",
        )
        ax.axvline(times[-1], color="0.5", lw=0.8, ls=":")
    ax.grid(True, color="0.88", lw=0.6)
    ax.margins(x=0.01)
    if np.issubdtype(np.asarray(times).dtype, np.datetime64):
        import matplotlib.dates as mdates

        locator = mdates.AutoDateLocator(maxticks=8)
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _smape_of(r, j: int) -> float:
    per_target = r.extra.get("smape")
    return float(per_target[j]) if per_target is not None and len(per_target) > j else r.smape


def _legend_rank(label: str, others) -> tuple:
    """Legend order: the data, the best algorithm, its future and bands, then the others."""
    if label in {o[0] for o in others}:
        return (9, 0.0)
    if label.endswith("% interval"):
        return (5, float(label.split("%")[0]))
    return ({"history": 0, "holdout (actual)": 1, "forecast": 4}.get(label, 2), 0.0)


def window_segments(positions, values, horizon: int, overlapping: bool) -> list:
    """Backtest forecasts cut into their windows of ``horizon`` rows; only the last window when
    the windows overlap (one line per window would cross the others)."""
    positions = np.asarray(positions)
    values = np.asarray(values, dtype=float)
    segments = [
        (positions[i : i + horizon], values[i : i + horizon])
        for i in range(0, len(positions), horizon)
    ]
    return segments[-1:] if overlapping else segments


@_quiet
def plot_single(path, df, time_col, targets, plan, results, best, futures, args, observed):
    plt = _pyplot(args)
    if plt is None:
        return False
    n = len(df)
    holdout = plan.holdout
    shown = min(n, max(120, 4 * (holdout + (futures[0].point.shape[0] if futures else 0))))
    start = n - shown
    times = df[time_col].to_numpy()[start:]
    fig, axes = plt.subplots(len(targets), 1, figsize=(11, 3.6 * len(targets)), squeeze=False)
    ok = [r for r in results if r.error is None and r is not best]
    main_future = futures[0] if futures else None
    if plan.one_step:
        positions = np.arange(shown - holdout, shown)
        size, overlapping, kind = holdout, False, "one-step backtest"
        note = " one-step backtest"
    else:
        positions = np.concatenate(
            [np.arange(o, o + plan.horizon) - start for o in plan.origins(n)]
        )
        size, overlapping, kind = plan.horizon, plan.step < plan.horizon, "backtest"
        note = f" backtest: {plural_of(plan.windows, 'window')}, each {plan.horizon} steps ahead"
        if overlapping and plan.windows > 1:
            note += " (last window shown)"

    def segments(r, j):
        return window_segments(positions, r.forecasts[:, j], size, overlapping)

    for j, t in enumerate(targets):
        ax = axes[j][0]
        actual = observed[start:, j]
        others = [(f"{r.algorithm} ({_smape_of(r, j):.2f}%)", segments(r, j)) for r in ok]
        fut = None
        bands = {}
        if main_future is not None:
            fut = (main_future.times, main_future.point[:, j])
            bands = {lv: (lo[:, j], hi[:, j]) for lv, (lo, hi) in main_future.bands.items()}
        _draw_series(
            ax,
            times,
            actual,
            holdout,
            segments(best, j),
            fut,
            bands,
            f"{best.algorithm} {kind} ({_smape_of(best, j):.2f}%)",
            others,
            note,
        )
        title = f"{t}: {best.algorithm}, {len(fut[0]) if fut else 0} steps ahead"
        if bands:
            title += " with " + " and ".join(f"{level_label(lv)}%" for lv in sorted(bands))
            title += " intervals"
        else:
            title += " (no intervals)"
        ax.set_title(title, loc="left", fontsize=10)
        handles, labels = ax.get_legend_handles_labels()
        # The best algorithm and the future first, the other algorithms (fainter) after them.
        order = sorted(range(len(labels)), key=lambda i: _legend_rank(labels[i], others))
        ax.legend(
            [handles[i] for i in order],
            [labels[i] for i in order],
            fontsize=8,
            loc="upper left",
            bbox_to_anchor=(1.01, 1.0),
            borderaxespad=0,
        )
    fig.tight_layout()
    _atomic_write(path, lambda p: fig.savefig(p, format="png", dpi=100))
    plt.close(fig)
    return True


@_quiet
def plot_long(path, items, metrics, backtest, future, horizon, step, levels, args, best_alg):
    """A sample of series: the best, the worst and a few typical by sMAPE, each with the best
    algorithm's backtest windows."""
    plt = _pyplot(args)
    if plt is None:
        return False
    scored = metrics[(metrics.status == "ok") & metrics.smape.notna()].sort_values("smape")
    if scored.empty:
        return False
    picks = [(scored.id.iloc[0], "best")]
    if len(scored) > 1:
        picks.append((scored.id.iloc[-1], "worst"))
    middle = scored.iloc[1:-1]
    if len(middle):
        med = middle.smape.median()
        typical = middle.iloc[np.argsort(np.abs(middle.smape.to_numpy() - med), kind="stable")[:4]]
        picks[1:1] = [(sid, "typical") for sid in typical.sort_values("smape").id]
    by_id = {sid: (t, obs) for sid, t, obs in items}
    smape = dict(zip(scored.id, scored.smape, strict=True))
    ncols = 2 if len(picks) > 1 else 1
    nrows = int(math.ceil(len(picks) / ncols))
    fig, axes = plt.subplots(nrows, ncols, figsize=(7.0 * ncols, 3.0 * nrows), squeeze=False)
    bands_cols = band_columns(future, levels)
    for ax in axes.flat[len(picks) :]:
        ax.set_visible(False)
    for ax, (sid, tag) in zip(axes.flat, picks, strict=False):
        t, obs = by_id[sid]
        bt = backtest[backtest.id == sid]
        windows = max(1, len(bt) // horizon)
        n_test = min(len(t), horizon + (windows - 1) * step)
        shown = min(len(t), max(60, 4 * (n_test + 12)))
        t, obs = t[-shown:], obs[-shown:]
        # The windows' rows on the panel's grid (the backtest's times are the series' own).
        at = np.searchsorted(t, bt.time.to_numpy().astype(t.dtype))
        segments = window_segments(at, bt.forecast.to_numpy(), horizon, step < horizon)
        fu = future[future.id == sid]
        fut = (fu.time.to_numpy(), fu.forecast.to_numpy()) if len(fu) else None
        bands = {lv: (fu[lo].to_numpy(), fu[hi].to_numpy()) for lv, (lo, hi) in bands_cols.items()}
        note = f" backtest: {plural_of(windows, 'window')}, each {horizon} steps ahead"
        if step < horizon and windows > 1:
            note += " (last window shown)"
        _draw_series(ax, t, obs, n_test, segments, fut, bands, f"{best_alg} backtest", (), note)
        ax.set_title(f"{sid} ({tag}, sMAPE {smape[sid]:.2f}%)", loc="left", fontsize=9)
        ax.tick_params(labelsize=7)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: _legend_rank(labels[i], ()))
    handles, labels = [handles[i] for i in order], [labels[i] for i in order]
    fig.legend(
        handles,
        labels,
        loc="upper center",
        ncol=len(labels),
        fontsize=8,
        bbox_to_anchor=(0.5, 1.0),
        frameon=False,
    )
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    _atomic_write(path, lambda p: fig.savefig(p, format="png", dpi=100))
    plt.close(fig)
    return True
