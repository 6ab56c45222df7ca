"""forecast_many's workers forecast each series with one engine call: the numbers are the
forecaster's (QuillcastForecaster with the settings the batch uses) for every algorithm, the
failures are reported as the forecaster reports them, and the batch needs no scikit-learn."""

import numpy as np
import pytest
from test_lazy_imports import run_fresh

from tidewell_ts_libs import batch, series


def monthly(n=60, level=100.0, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return level + 0.5 * t + 10 * np.sin(2 * np.pi * t / 12) + rng.normal(size=n)


def estimator_forecast(algorithm, y, horizon, opts, exog=None, future=None):
    """What the batch computed before: the series through QuillcastForecaster."""
    extra = {} if exog is None else {"exog": exog, "future_exog": future}
    return series.forecast(
        algorithm,
        np.arange(len(y)),
        y.reshape(-1, 1),
        horizon,
        opts.level,
        opts.season,
        opts.quantiles,
        opts.nonnegative,
        **extra,
    )


def engine_rows(ys, opts, exog=None, future=None):
    bounds = np.cumsum([0] + [len(y) for y in ys])
    table = batch._SeriesTable(
        list(range(len(ys))),
        bounds,
        np.concatenate([np.arange(len(y)) for y in ys]),
        np.concatenate(ys),
        0,
        None if exog is None else np.vstack(exog),
        None if future is None else np.stack(future),
    )
    return batch._run_chunk(table, opts)


def assert_same(rows, k, fc, opts):
    h = opts.horizon
    sl = slice(k * h, (k + 1) * h)
    np.testing.assert_allclose(rows.point[sl], fc.point[:, 0], rtol=1e-12, atol=0)
    for lv in opts.level:
        lo, hi = fc.bands[lv]
        name = batch._level_name(lv)
        np.testing.assert_allclose(rows.extra[f"lo-{name}"][sl], lo[:, 0], rtol=1e-12, atol=0)
        np.testing.assert_allclose(rows.extra[f"hi-{name}"][sl], hi[:, 0], rtol=1e-12, atol=0)
    for p in opts.quantiles:
        got = rows.extra[f"q-{series.quantile_label(p)}"][sl]
        np.testing.assert_allclose(got, fc.quantiles[p][:, 0], rtol=1e-12, atol=0)


# Series of several shapes: seasonal, short, long enough for the training-size retries, flat
# with zeros (intermittent demand); constant, tiny, nearly all zeros, and one the models refuse
# (an infinite value).
def shapes():
    rng = np.random.default_rng(3)
    sparse = np.where(rng.random(48) < 0.6, 0.0, rng.integers(1, 9, 48).astype(float))
    return [
        monthly(60),
        monthly(24, level=5.0, seed=1),
        monthly(130, seed=2),
        sparse,
        np.full(30, 7.0),
        np.array([1.0, 2.0, 3.0, 2.0, 1.0]),
        np.r_[np.zeros(4), 1e-9, 2e-9, 0.0, 0.0],
        np.array([1.0, np.inf, 2.0, 3.0, 4.0, 5.0]),
    ]


@pytest.mark.parametrize("algorithm", batch.ALGORITHMS)
def test_every_algorithm_gives_the_forecasters_numbers(algorithm):
    ys = shapes()
    for opts in (
        batch.Options(algorithm, 12, level=(80, 95), quantiles=(0.1, 0.5, 0.9)),
        batch.Options(algorithm, 7, season=4, level=(50.0,), nonnegative=True),
    ):
        rows, errors = engine_rows(ys, opts)
        done = [e["id"] for e in errors if e["status"] == "ok"]
        for k, y in enumerate(ys):
            try:
                fc = estimator_forecast(algorithm, y, opts.horizon, opts)
            except Exception as e:  # the batch reports the same failure
                assert errors[k]["status"] == "failed"
                assert errors[k]["message"] == f"{type(e).__name__}: {e}".splitlines()[0]
                continue
            assert errors[k]["status"] == "ok", errors[k]["message"]
            assert errors[k]["n_train"] == len(y)
            assert_same(rows, done.index(k), fc, opts)


@pytest.mark.parametrize("algorithm", ["arima", "hw", "bats"])
def test_regressors_give_the_forecasters_numbers(algorithm):
    ys = [monthly(60), monthly(72, seed=4)]
    x = [np.sin(np.arange(len(y) + 6) / 5.0).reshape(-1, 1) for y in ys]
    ys = [y + 8 * xi[: len(y), 0] for y, xi in zip(ys, x, strict=True)]
    opts = batch.Options(algorithm, 6, level=(90,), quantiles=(0.25,))
    rows, errors = engine_rows(
        ys,
        opts,
        [xi[: len(y)] for y, xi in zip(ys, x, strict=True)],
        [xi[len(y) :] for y, xi in zip(ys, x, strict=True)],
    )
    for k, (y, xi) in enumerate(zip(ys, x, strict=True)):
        try:
            fc = estimator_forecast(algorithm, y, 6, opts, xi[: len(y)], xi[len(y) :])
        except Exception as e:
            assert errors[k]["message"] == f"{type(e).__name__}: {e}".splitlines()[0]
            continue
        assert errors[k]["status"] == "ok", errors[k]["message"]
        assert_same(rows, k, fc, opts)


def test_failures_are_the_forecasters_and_never_stop_the_others():
    down = np.r_[monthly(30), -3.25, monthly(10)]
    opts = batch.Options("hw", 3, nonnegative=True)
    rows, errors = engine_rows([down, monthly(40)], opts)
    with pytest.raises(ValueError) as raised:
        estimator_forecast("hw", down, 3, opts)
    assert errors[0]["status"] == "failed"
    assert errors[0]["message"] == f"ValueError: {raised.value}"
    assert "holds -3.25 at row 30" in errors[0]["message"]
    assert errors[1]["status"] == "ok" and list(rows.codes) == [1, 1, 1]
    # Regressors missing in the future: the forecaster's message.
    y = monthly(40)
    x = np.ones((46, 1))
    x[42] = np.nan
    opts = batch.Options("arima", 6)
    _, errors = engine_rows([y], opts, [x[:40]], [x[40:]])
    with pytest.raises(ValueError) as raised:
        estimator_forecast("arima", y, 6, opts, x[:40], x[40:])
    assert errors[0]["message"] == f"ValueError: {raised.value}"


def test_holdout_scores_match_the_forecasters():
    y = monthly(72)
    opts = batch.Options("hw", 12, holdout=12, level=(80,), quantiles=(0.1, 0.9))
    _, errors = engine_rows([y], opts)
    fc = estimator_forecast("hw", y[:60], 12, opts)
    acc = series.score(y[60:], fc.point[:, 0], y[:60], fc.season)
    assert errors[0]["smape"] == pytest.approx(acc["smape"], rel=1e-12)
    assert errors[0]["mase"] == pytest.approx(acc["mase"], rel=1e-12)
    grid = series.quantiles_of(fc.estimator, 12, series.CRPS_GRID, fc.point.shape)
    crps = series.score_quantiles(y[60:], {p: q[:, 0] for p, q in grid.items()}, y[:60], 12)
    assert errors[0]["crps"] == pytest.approx(crps["crps"], rel=1e-12)


def test_forecast_many_loads_no_scikit_learn():
    out = run_fresh(
        """
import json, sys
import numpy as np, pandas as pd
import tidewell_ts_libs
from tidewell_ts_libs.batch import forecast_many
t = np.arange(48)
df = pd.DataFrame({"unique_id": "a", "ds": t, "y": 100 + np.sin(t / 2.0)})
res = forecast_many(df, algorithm="hw", horizon=6, level=(80, 95), quantiles=(0.5,))
print(json.dumps({"sklearn": sorted(m for m in sys.modules if m.split(".")[0] == "sklearn"),
                  "rows": len(res.forecasts), "ok": list(res.errors.status)}))
"""
    )
    assert out == {"sklearn": [], "rows": 6, "ok": ["ok"]}


@pytest.mark.parametrize("method", series.fill_methods())
def test_gaps_are_filled_as_the_interpolator_fills_them(method):
    from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator

    w = np.array([[np.nan, 2.0], [1.0, np.nan], [np.nan, np.nan], [np.nan, 5.0], [4.0, np.nan]])
    own = QuillcastInterpolator(interpolator_type=method).fit_transform(w)
    np.testing.assert_array_equal(series.fill_values(w, method), own)
    w[2, 0] = np.inf
    with pytest.raises(ValueError, match="infinity"):
        QuillcastInterpolator(interpolator_type=method).fit_transform(w)
    with pytest.raises(ValueError, match="infinity"):
        series.fill_values(w, method)


def test_the_forecaster_ignores_other_steps_settings_but_checks_its_own():
    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    # A pipeline hands its interpolator's settings (a list among them) to the forecaster too.
    f = QuillcastForecaster(interpolator_type="linear", ts_ocol_loc=[0])
    f.fit(monthly(48).reshape(-1, 1), None)
    assert f.is_fitted_ and f.all_args["samples_per_season"] == 12
    with pytest.raises(Exception, match="option 'algorithm_type' must be a number"):
        QuillcastForecaster(algorithm_type=[1]).fit(monthly(48).reshape(-1, 1), None)


@pytest.mark.parametrize("algorithm", ["arima", "bats", "mstl", "autoforecaster"])
def test_a_season_given_is_taken_by_every_door(algorithm):
    """The data show a season of 12; the caller says 7, or 1 (none). The forecaster and
    forecast_many both do as told (before, every model but Holt-Winters found 12 itself and the
    setting was lost)."""
    import pandas as pd

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    t = np.arange(140)
    y = 50 + 10 * np.sin(2 * np.pi * t / 12) + 3 * np.sin(2 * np.pi * t / 7)
    y = y + np.random.default_rng(1).normal(size=len(t))
    x = y.reshape(-1, 1)

    def own(**kw):
        f = QuillcastForecaster(algorithm=algorithm, **kw).fit(x, x)
        return np.asarray(f.predict(prediction_horizon=5), float).ravel()

    table = pd.DataFrame({"unique_id": "a", "ds": t, "y": y})
    for season in (7, 1):  # 1: no season
        many = batch.forecast_many(table, algorithm=algorithm, horizon=5, season=season)
        got = own(samples_per_season=season)
        np.testing.assert_allclose(many.forecasts["forecast"], got, rtol=1e-12)
        assert not np.allclose(got, own())
    # Naming the season the data show changes nothing.
    np.testing.assert_array_equal(own(samples_per_season=12), own())
    with pytest.raises(ValueError, match="samples_per_season"):
        own(samples_per_season=-3)


def _sparse(n=60):
    rng = np.random.default_rng(5)
    return np.where(rng.random(n) < 0.6, 0.0, rng.integers(1, 9, n).astype(float))


# Models without seasonal terms, and a season the data hold fewer than two cycles of.
@pytest.mark.parametrize(
    "algorithm, y, season, said",
    [
        (a, _sparse(), 12, f"{a}: season of 12 left out: .* no seasonal terms")
        for a in ("arma", "intermittent")
    ]
    + [
        (a, monthly(48), 30, f"{a}.*: season (of 30 )?not fitted: fewer than two seasons of data")
        for a in ("hw", "arima", "bats", "mstl", "autoforecaster")
    ],
)
def test_a_given_season_a_model_leaves_out_is_said_by_both_doors(algorithm, y, season, said):
    import pandas as pd

    from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

    x = y.reshape(-1, 1)
    with pytest.warns(UserWarning, match=said):
        QuillcastForecaster(algorithm=algorithm, samples_per_season=season).fit(x, x)
    table = pd.DataFrame({"unique_id": "a", "ds": np.arange(len(y)), "y": y})
    with pytest.warns(UserWarning, match=said):
        batch.forecast_many(table, algorithm=algorithm, horizon=3, season=season)
