"""One series from its rows to its forecast: the path the command line and ``forecast_many`` share.

A series is trimmed of its leading and trailing missing values (a series that starts late is
trained on its own span, never on invented history), put on its time grid by the engine's
calendar (absent timestamps become blank rows), filled for training by the engine
interpolator, trained with ``QuillcastForecaster`` under the engine's settings rule, forecast
with its prediction intervals at the dates the engine's calendar gives, and scored by the
engine's metrics.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from tidewell_ts_libs._parallel import quiet_stdout
from tidewell_ts_libs.deps.tarn import _tarn

FILL_DESCRIPTIONS = {
    "linear": "linear interpolation",
    "cubic": "cubic spline interpolation",
    "nearest": "the nearest value",
    "prev": "the previous value",
    "next": "the next value",
    "fill": "the constant 0",
}


def fill_methods() -> tuple[str, ...]:
    """The engine interpolator's methods, the values ``--fill`` and ``fill`` take."""
    from tidewell_ts_libs.utils.quillcast import Interpolators

    return tuple(
        v for k, v in vars(Interpolators).items() if not k.startswith("_") and isinstance(v, str)
    )


def check_fill(method: str) -> str:
    methods = fill_methods()
    if method not in methods:
        raise ValueError(f"unknown fill method {method!r}: use {', '.join(methods)}")
    return method


def is_whole(value) -> bool:
    """Whether a count is given as a whole number (2 or 2.0; not True, 2.5 or "2")."""
    if isinstance(value, bool):
        return False
    if isinstance(value, (int, np.integer)):
        return True
    return isinstance(value, (float, np.floating)) and float(value).is_integer()


def check_table(data) -> None:
    """A long-format table is a data frame (id, time and value columns): anything else is refused
    by name, before its missing columns would be."""
    if not hasattr(data, "columns") or not hasattr(data, "loc"):
        raise TypeError(
            "data must be a pandas DataFrame in long format (an id, a time and a value column), "
            f"got {type(data).__name__}"
        )


def check_season(season) -> int | None:
    """A season the caller gives: a whole number of steps, at least 1 (1: no season); None (to
    be detected) stays None. Anything else raises ValueError."""
    if season is None:
        return None
    if not is_whole(season) or season < 1:
        raise ValueError(
            f"season must be a whole number of steps, at least 1 (1: no season), got {season!r}"
        )
    return int(season)


def check_levels(level) -> tuple:
    """Interval levels the caller gives (one or a list; None left out): coverages in percent,
    each once, in the order given. A fraction (0.95 for 95) or anything outside (0, 100)
    raises ValueError, as the forecaster's ``predict_interval`` does."""
    if isinstance(level, np.ndarray) and level.ndim == 1:
        level = level.tolist()
    levels = tuple(level) if isinstance(level, (list, tuple)) else (level,)
    out, seen = [], set()
    for lv in levels:
        if lv is None:
            continue
        if isinstance(lv, bool) or not isinstance(lv, (int, float, np.number)) or not 0 < lv < 100:
            raise ValueError(f"level must hold coverages in percent between 0 and 100, got {lv!r}")
        if lv < 1:
            raise ValueError(
                f"level {lv!r} is a fraction, but levels are percentages: give 95 for a 95% "
                "interval, not 0.95"
            )
        if float(lv) not in seen:
            seen.add(float(lv))
            out.append(lv)
    return tuple(out)


def zone_clock(dates) -> str | None:
    """How time-zone aware dates (a pandas Series or DatetimeIndex) lose their zone: "wall"
    (their own wall clock) when every one falls at the same time of day, as daily, weekly and
    monthly data do (a month stays a month and a day a day across a change of clocks), else
    "utc" (hourly data: an hour stays an hour, and no hour repeats when the clocks go back).
    None for naive dates."""
    import pandas as pd

    index = pd.DatetimeIndex(dates)
    if index.tz is None:
        return None
    return "wall" if _one_time_of_day(index.tz_localize(None)) else "utc"


def _one_time_of_day(index) -> bool:
    """Whether every known date of a naive DatetimeIndex falls at the same time of day."""
    known = index[~index.isna()]
    return len(np.unique((known - known.normalize()).asi8)) <= 1


# A UTC offset at the end of an ISO 8601 time of day: Z, +01, +01:00 or +0100.
_OFFSET = r"(?P<time>\d\d:\d\d(?::\d\d(?:[.,]\d+)?)?)(?P<offset>Z|[+-]\d\d(?::?\d\d)?)$"


def on_clocks(wall, utc, ids=None, clock=None):
    """Dates without their zone, from ``wall`` and ``utc`` (the same instants read on their wall
    clock and in UTC, naive pandas Series), and the clock they were read on. ``clock``: "wall"
    or "utc" for every date; {series id: clock} for the series of ``ids`` (the others on the
    column's own clock); None for each series' own clock (``ids``) or the column's: the wall
    clock when all its dates fall at one time of day (days, months), else UTC (hours). A clock
    per series comes back as one text when all agree, else as {id: clock}."""
    import pandas as pd

    if isinstance(clock, str):
        return (wall if clock == "wall" else utc), clock
    if ids is None:
        one = _one_time_of_day(pd.DatetimeIndex(wall))
        return on_clocks(wall, utc, None, "wall" if one else "utc")
    ids = pd.Series(np.asarray(ids, dtype=object), index=wall.index)
    if clock is None:
        time_of_day = (wall - wall.dt.normalize()).dt.total_seconds()
        own = time_of_day.groupby(ids, sort=False).nunique() <= 1
        clock = {sid: "wall" if one else "utc" for sid, one in own.items()}
    elif ids.map(clock).isna().any():  # series the mapping does not know: the column's clock
        _, default = on_clocks(wall, utc)
        clock = {**{sid: default for sid in ids.dropna().unique()}, **clock}
    on_wall = ids.map(clock).eq("wall").to_numpy()
    naive = pd.Series(np.where(on_wall, wall.to_numpy(), utc.to_numpy()), index=wall.index)
    used = set(ids.dropna().map(clock))
    return naive, (used.pop() if len(used) == 1 else clock)


def naive_by_series(dates, ids=None, clock=None):
    """Time-zone aware dates (a pandas Series) without their zone, each series on its own
    clock (``on_clocks``); naive dates as they are. Returns the dates and their clock(s)."""
    import pandas as pd

    if pd.DatetimeIndex(dates).tz is None:
        return dates, None
    return on_clocks(naive_dates(dates, "wall"), naive_dates(dates, "utc"), ids, clock)


def iso_dates(text, clock: str | None = None, errors: str = "raise", ids=None):
    """ISO 8601 text (a pandas Series) as dates, and the clock of their zone. Times written
    with the offsets of several zones (a year of local dates spans a change of clocks:
    +01:00 in winter, +02:00 in summer) lose them on ``clock`` or the one they show, as
    ``naive_dates`` reads zoned dates: the clock is returned. Otherwise the dates are pandas'
    (zoned when written with one offset) and the clock is None. ``errors`` as pandas'
    ``to_datetime``; ``ids``: the series of the rows, each read on its own clock (``on_clocks``)."""
    import warnings

    import pandas as pd

    text = pd.Series(text)
    try:
        with warnings.catch_warnings():
            # pandas 2 warns of mixed offsets (and gives objects) where pandas 3 raises.
            warnings.simplefilter("error", FutureWarning)
            parsed = pd.to_datetime(text, format="ISO8601", errors=errors)
        if pd.api.types.is_datetime64_any_dtype(parsed):
            return parsed, None
        failure = None
    except (ValueError, FutureWarning) as e:
        failure = e
    # The slow path, only for text pandas would not read as one series of dates.
    written = text.astype(str).str.strip()
    offsets = written.str.extract(_OFFSET)["offset"].dropna().unique()
    if len(offsets) <= 1:
        if failure is not None:
            raise failure
        return parsed, None
    instants = pd.to_datetime(written, format="ISO8601", errors=errors, utc=True)
    wall = pd.to_datetime(
        written.str.replace(_OFFSET, r"\g<time>", regex=True), format="ISO8601", errors=errors
    )
    dates, clock = on_clocks(wall, instants.dt.tz_localize(None), ids, clock)
    return pd.Series(np.asarray(dates, dtype="datetime64[ns]"), index=text.index), clock


def naive_dates(dates, clock: str | None = None):
    """Time-zone aware dates without their zone, read on ``clock`` ("wall" or "utc"; default:
    the one ``zone_clock`` finds in them), in the type given (Series or DatetimeIndex). Later
    dates of a series (its future) take the clock of its past. Naive dates are returned as
    they are."""
    import pandas as pd

    index = pd.DatetimeIndex(dates)
    if index.tz is None:
        return dates
    clock = clock or zone_clock(index)
    if clock not in ("wall", "utc"):
        raise ValueError(f"clock must be 'wall' or 'utc', got {clock!r}")
    naive = index.tz_localize(None) if clock == "wall" else index.tz_convert("UTC").tz_localize(None)
    if isinstance(dates, pd.Series):
        return pd.Series(naive, index=dates.index, name=dates.name)
    return naive


def as_times(times) -> np.ndarray:
    """Times as the engine's calendar takes them: datetime64 stays (any unit), whole numbers
    become int64; anything else is returned as it is (labels: the rows keep their order)."""
    t = np.asarray(times)
    if t.dtype.kind in "iuM":
        return t
    if t.dtype.kind == "f" and len(t) and np.all(np.isfinite(t)) and np.all(t == np.floor(t)):
        return t.astype(np.int64)
    return t


class OnGrid(NamedTuple):
    """A series on its time grid."""

    times: np.ndarray  # every step of the grid from the first to the last known value
    values: np.ndarray  # (steps, columns); NaN where a value is blank or its timestamp absent
    step: str  # the name of one step ("month", "day", ..., "timestamp")
    missing: int  # absent timestamps put back
    blanks: int  # blank values among the rows given (within the span kept)
    seasons: tuple = ()  # the seasons (in steps) the calendar of dates implies: (7.0, 365.25), ...


def trim(times: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Drops the leading and trailing rows where every value is missing."""
    known = ~np.isnan(values).all(axis=1)
    if not known.any():
        return times[:0], values[:0]
    first, last = int(np.argmax(known)), len(known) - int(np.argmax(known[::-1]))
    return times[first:last], values[first:last]


def on_grid(times, values) -> OnGrid:
    """Trims a series (times in increasing order, values one column or a matrix) and puts the
    absent timestamps of its grid back as blank rows. Times that are neither dates nor whole
    numbers, or that lie on no regular grid, are kept as they are."""
    values = np.asarray(values, dtype=float)
    if values.ndim == 1:
        values = values.reshape(-1, 1)
    times = as_times(times)
    if times.dtype.kind == "f" and np.isnan(times).any():
        raise ValueError("a time is missing")  # as a missing date is
    times, values = trim(times, values)
    blanks = int(np.isnan(values).sum())
    if len(times) < 2 or times.dtype.kind not in "iuM":
        return OnGrid(times, values, "timestamp", 0, blanks)
    grid = _tarn.time_grid(times)
    pos = grid["positions"]
    if pos is None:
        return OnGrid(times, values, "timestamp", 0, blanks)
    n = int(pos[-1]) + 1
    seasons = tuple(grid["calendar_seasons"])
    if n == len(times):
        return OnGrid(times, values, grid["name"], 0, blanks, seasons)
    full = np.full((n, values.shape[1]), np.nan)
    full[pos] = values
    return OnGrid(
        _tarn.grid_times(times, np.arange(n)), full, grid["name"], n - len(times), blanks, seasons
    )


def on_grid_exog(times, values, exog) -> tuple[OnGrid, np.ndarray]:
    """``on_grid`` of a series with regressors: trimmed by its values alone (regressors are
    often known beyond them), the regressors put on the same grid (NaN at absent timestamps)."""
    values = np.asarray(values, dtype=float)
    if values.ndim == 1:
        values = values.reshape(-1, 1)
    exog = np.asarray(exog, dtype=float).reshape(len(values), -1)
    known = ~np.isnan(values).all(axis=1)
    if not known.any():
        return on_grid(np.asarray(times)[:0], values[:0]), exog[:0]
    first, last = int(np.argmax(known)), len(known) - int(np.argmax(known[::-1]))
    k = values.shape[1]
    grid = on_grid(np.asarray(times)[first:last], np.hstack([values, exog])[first:last])
    blanks = int(np.isnan(grid.values[:, :k]).sum()) - grid.missing * k
    inner = OnGrid(grid.times, grid.values[:, :k], grid.step, grid.missing, blanks, grid.seasons)
    return inner, grid.values[:, k:]


def future_times(times, horizon: int) -> np.ndarray:
    """The ``horizon`` times after a series on its grid (steps 1, 2, ... without times)."""
    times = as_times(times)
    if len(times) >= 1 and times.dtype.kind in "iuM":
        return _tarn.next_times(times, horizon)
    if len(times) >= 2 and times.dtype.kind == "f":  # fractional numbers: the median spacing
        return times[-1] + np.median(np.diff(times)) * np.arange(1, horizon + 1)
    return np.arange(1, horizon + 1)


def fill_values(values: np.ndarray, method: str) -> np.ndarray:
    """Fills blanks with the engine interpolator; rows are the steps of a regular grid."""
    if not np.isnan(values).any():
        return values
    if np.isinf(values).any():  # the interpolator's own check of its input
        raise ValueError("Input contains infinity or a value too large for dtype('float64').")
    return _tarn.fill_gaps(values, method).reshape(values.shape)


def detect_season(values: np.ndarray, calendar=()) -> int:
    """The season length the engine detects: the shortest over the columns (1 for none).
    ``calendar``: the seasons the dates' calendar implies (``OnGrid.seasons``, ``calendar_of``),
    tested too, as forecast_many and the forecaster test them."""
    from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils

    values = np.asarray(values, dtype=float)
    if values.ndim == 1:
        values = values.reshape(-1, 1)
    named = [float(c) for c in calendar] or None
    seasons = []
    for j in range(values.shape[1]):
        col = values[:, j]
        found = QuillcastUtils.get_init_samples(col[~np.isnan(col)].tolist(), calendar_seasons=named)
        seasons.append(int(found[1]))
    return max(1, min(seasons))


def dated_rows(times, values):
    """Rows as the forecaster trains on them: indexed by their dates when ``times`` are one date
    per row (the calendar's seasons, a year of daily data or weeks of hourly data, come with
    them, as in the forecaster and forecast_many), else the values as they are."""
    times = None if times is None else as_times(times)
    if times is None or times.dtype.kind != "M" or len(times) != len(values):
        return values
    import pandas as pd

    return pd.DataFrame(values, index=pd.DatetimeIndex(times))


def calendar_of(times) -> tuple:
    """The seasons (in steps) the calendar of a series' times implies: () without dates or a
    regular grid."""
    times = as_times(times)
    if len(times) < 2 or times.dtype.kind != "M":
        return ()
    grid = _tarn.time_grid(times)
    return () if grid["positions"] is None else tuple(grid["calendar_seasons"])


def settings_for(algorithm: str, values: np.ndarray, season: int, given: bool = False) -> dict:
    """The forecaster's settings for an algorithm trained on ``values`` (the engine's rule).
    A season the caller ``given`` is every model's ``samples_per_season``, as in
    ``forecast_many``; a detected one goes to Holt-Winters' settings only."""
    out = _tarn.forecaster_settings(algorithm, np.asarray(values, dtype=float), int(season))
    if given and "samples_per_season" not in out:
        out["samples_per_season"] = int(season)
    return out


def forecaster(
    algorithm: str, settings: dict, horizon: int, nonnegative: bool = False, exog_columns=None
):
    """The forecaster for ``algorithm`` with the engine's settings; ``nonnegative`` keeps every
    forecast, bound, quantile and path at or above zero; ``exog_columns`` are the columns of X
    that are regressors."""
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    kwargs = {k: v for k, v in settings.items() if k != "log_transform"}
    if nonnegative:
        kwargs["nonnegative"] = True
    if exog_columns is not None:
        kwargs["exog_columns"] = list(exog_columns)
    return QuillcastForecaster(
        algorithm=algorithm,
        prediction_horizon=horizon,
        log_transform=settings["log_transform"],
        **kwargs,
    )


def quantile_label(p) -> str:
    """The name of a quantile in tables and columns, as levels are named: 0.05 -> "0.05"."""
    return f"{float(p):g}"


def check_quantiles(quantiles) -> tuple[float, ...]:
    """Probabilities of the quantiles asked for, in increasing order without repeats; each must
    lie strictly between 0 and 1 (ValueError naming the value otherwise)."""
    if quantiles is None:
        return ()
    items = quantiles if isinstance(quantiles, (list, tuple, np.ndarray)) else (quantiles,)
    out = []
    for q in items:
        if isinstance(q, (bool, np.bool_)) or not isinstance(q, (int, float, np.number)):
            raise ValueError(f"quantiles must be probabilities between 0 and 1, got {q!r}")
        if not 0 < float(q) < 1:
            raise ValueError(f"quantiles must lie strictly between 0 and 1, got {q!r}")
        out.append(float(q))
    return tuple(sorted(set(out)))


# CRPS is scored on this even grid of probabilities, (i + 1/2) / 50: 0.01, 0.03, ..., 0.99, on
# which it is exactly twice the mean pinball loss.
CRPS_GRID = tuple((i + 0.5) / 50 for i in range(50))


class Forecast(NamedTuple):
    """A forecast past the end of a series: point values and the bands of each level."""

    algorithm: str
    times: np.ndarray
    point: np.ndarray  # (horizon, columns)
    bands: dict  # level -> (lower, upper), each (horizon, columns)
    estimator: object
    settings: dict
    season: int
    quantiles: dict | None = None  # probability -> (horizon, columns); None when none asked for


def bands_of(est, horizon: int, levels, future_exog=None) -> dict:
    """The forecaster's prediction intervals, {level: (lower, upper)}; empty when it has none."""
    levels = list(levels)
    if not levels or not hasattr(est, "predict_interval"):
        return {}
    extra = {} if future_exog is None else {"future_exog": future_exog}
    out = est.predict_interval(prediction_horizon=horizon, level=levels, **extra)
    if not isinstance(out, dict):  # a single level
        out = {levels[0]: out}
    bands = {}
    for level in levels:
        pair = out.get(level)
        if pair is None and float(level).is_integer():
            pair = out.get(int(level))
        if pair is not None:
            bands[level] = (np.asarray(pair[0], dtype=float), np.asarray(pair[1], dtype=float))
    return bands


def quantiles_of(est, horizon: int, quantiles, shape, future_exog=None) -> dict:
    """The forecaster's quantiles, {probability: (horizon, columns) array}."""
    extra = {} if future_exog is None else {"future_exog": future_exog}
    out = est.predict_quantiles(prediction_horizon=horizon, quantiles=list(quantiles), **extra)
    return {float(p): np.asarray(v, dtype=float).reshape(shape) for p, v in out.items()}


def forecast(
    algorithm: str,
    times,
    filled: np.ndarray,
    horizon: int,
    levels=(),
    season: int | None = None,
    quantiles=(),
    nonnegative: bool = False,
    exog: np.ndarray | None = None,
    future_exog: np.ndarray | None = None,
    name_season: bool = True,
) -> Forecast:
    """Trains an algorithm on a filled series (rows on its grid) and forecasts ``horizon`` steps
    past its end, with the bands of ``levels``, the ``quantiles`` (probabilities, increasing)
    and the dates of the engine's calendar. The season is detected on the series unless given.
    ``nonnegative`` keeps every value at or above zero. ``exog`` (rows of the series, one column
    per regressor) trains the forecaster with regressors, whose values at the forecast times are
    ``future_exog`` (``horizon`` rows); with regressors the values are not log-transformed.
    A season given is the caller's: every model takes it (``samples_per_season``), as in
    ``forecast_many``; ``name_season=False`` gives it to Holt-Winters' settings only, as a
    detected one is."""
    filled = np.asarray(filled, dtype=float)
    if filled.ndim == 1:
        filled = filled.reshape(-1, 1)
    named = name_season and season is not None
    season = detect_season(filled, calendar_of(times)) if season is None else max(1, int(season))
    settings = settings_for(algorithm, filled, season, given=named)
    X, extra, exog_columns = filled, {}, None
    if exog is not None:
        # Regressors act additively on the values the models are trained on: on the series'
        # own scale, where their effects are the linear ones a caller expects.
        settings = {**settings, "log_transform": False}
        exog = np.asarray(exog, dtype=float).reshape(len(filled), -1)
        future_exog = np.asarray(future_exog, dtype=float).reshape(horizon, exog.shape[1])
        X = np.hstack([filled, exog])
        exog_columns = list(range(filled.shape[1], X.shape[1]))
        extra = {"future_exog": future_exog}
    est = forecaster(algorithm, settings, horizon, nonnegative, exog_columns)
    times = as_times(times)
    X = dated_rows(times, X)
    # The engine prints notices (skipped updates and the like); keep the output readable.
    with quiet_stdout():  # safe on threads, unlike a swap of sys.stdout
        est.fit(X, None, _reset_model=True)
    if not getattr(est, "is_fitted_", False):
        raise ValueError("the model did not initialise on the training data")
    point = est.predict(prediction_horizon=horizon, **extra)
    point = np.asarray(point, dtype=float).reshape(horizon, -1)
    bands = {
        lv: (lo.reshape(point.shape), hi.reshape(point.shape))
        for lv, (lo, hi) in bands_of(est, horizon, levels, future_exog).items()
    }
    asked = quantiles is not None and len(quantiles) > 0
    qs = quantiles_of(est, horizon, quantiles, point.shape, future_exog) if asked else None
    return Forecast(
        algorithm, future_times(times, horizon), point, bands, est, settings, season, qs
    )


def score(actual, predicted, insample, season: int, lower=None, upper=None, level=None) -> dict:
    """The engine's accuracy of one column's forecast: mae, rmse, smape, mase, msis, coverage."""
    return _tarn.accuracy(
        np.asarray(actual, dtype=float),
        np.asarray(predicted, dtype=float),
        np.asarray(insample, dtype=float),
        max(1, int(season)),
        lower,
        upper,
        level,
    )


def score_quantiles(actual, quantiles: dict, insample, season: int) -> dict:
    """The engine's scores of one column's quantile forecasts ({probability: values}): pinball
    (per probability), mean_pinball, crps, scaled_pinball, scaled_crps."""
    probs = sorted(quantiles)
    return _tarn.quantile_scores(
        np.asarray(actual, dtype=float),
        np.column_stack([np.asarray(quantiles[p], dtype=float) for p in probs]),
        probs,
        np.asarray(insample, dtype=float),
        max(1, int(season)),
    )
