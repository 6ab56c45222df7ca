"""Property-based tests: random data and settings into the forecaster and the engine models."""

import pickle

import numpy as np
from fuzz_support import SURFACE, call, layout, series_matrix, value
from hypothesis import event, given
from hypothesis import strategies as st

from tidewell_ts_libs.deps.tarn import forecasters
from tidewell_ts_libs.quillcast.quillcast_chain import ForecastingPipeline
from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster

ALGORITHMS = ["hw", "arima", "arma", "bats", "autoforecaster"]
setting_value = st.one_of(st.none(), st.integers(-3, 30), st.floats(-1, 40), st.booleans(),
                          st.sampled_from(["12", "additive", "multiplicative", [3], np.nan,
                                           np.inf, 10**20]))
SETTINGS = ["samples_per_season", "initial_training_seasons", "error_history_length",
            "error_horizon_length", "min_training_data", "training_sample_size", "p_max", "q_max",
            "d", "algorithm_type", "box_cox_transform", "compute_seasonality"]
horizon = st.one_of(st.integers(-3, 12), st.sampled_from([10**9, 2**70, 1_000_001, 2.5, "3"]))


@st.composite
def forecaster_case(draw):
    algorithm = draw(st.sampled_from(ALGORITHMS))
    kwargs = draw(st.one_of(st.just({}), st.just({}),
                            st.dictionaries(st.sampled_from(SETTINGS), setting_value, max_size=3)))
    X = draw(series_matrix(min_rows=0, max_rows=36))
    with_time = draw(st.booleans())
    if with_time:
        start = draw(st.integers(-1000, 10**6))
        step = draw(st.integers(1, 5))
        t = start + step * np.arange(len(X), dtype=float)
        if len(X) and draw(st.booleans()):
            t[draw(st.integers(0, len(X) - 1))] = draw(st.sampled_from([np.nan, 0.5, t[0]]))
        X = np.column_stack([t, X])
    cols = X.shape[1]
    targets = draw(st.one_of(
        st.just(-1), st.just(-1), st.just(list(range(cols))[::-1][: max(cols - with_time, 1)]),
        st.lists(st.integers(-1, cols), min_size=0, max_size=3),
    ))
    return dict(algorithm=algorithm, kwargs=kwargs, X=X, ts=[0] if with_time else -1,
                targets=targets, log=draw(st.booleans()),
                layout_X=layout(draw, X), new=layout(draw, draw(series_matrix(0, 6, cols + 1))),
                h=draw(horizon))


def check_forecast(out, rows, cols):
    assert isinstance(out, np.ndarray)
    if rows <= 0:
        assert out.size == 0
        return
    assert out.shape == (rows, cols)
    assert out.dtype.kind == "f"


@SURFACE
@given(forecaster_case())
def test_forecaster_never_crashes_and_layouts_agree(case):
    def make():
        return QuillcastForecaster(case["algorithm"], ts_icol_loc=case["ts"],
                                   log_transform=case["log"],
                                   target_column_indices=case["targets"], **case["kwargs"])

    f, err = call(make().fit, case["X"], None, _reset_model=True)
    g, err_layout = call(make().fit, case["layout_X"], None, _reset_model=True)
    assert (err is None) == (err_layout is None)
    if err is not None:
        event(f"training refused: {type(err).__name__} {str(err)[:40]}")
        assert type(err) is type(err_layout) and str(err) == str(err_layout)
        return
    if not getattr(f, "is_fitted_", False):
        event("trained, not initialised")
        return
    event("trained")
    n_targets = len(f.model)
    h = case["h"]
    out, e = call(f.predict, prediction_horizon=h)
    if e is None:
        check_forecast(out, f.prediction_horizon if h == -1 else h, n_targets)
        assert np.isfinite(out).all() or not f.log_transformed or np.abs(case["X"]).max() > 1e300
        same, _ = call(g.predict, prediction_horizon=h)
        np.testing.assert_array_equal(out, same)
    else:
        assert not (isinstance(h, int) and 0 < h <= 12), e
    new = case["new"]  # any column count: too few or too many columns are errors, not crashes
    for method in ("predict", "predict_sliding_window", "predict_multi_step_sliding_window"):
        a, ea = call(getattr(f, method), new, prediction_horizon=h)
        b, eb = call(getattr(g, method), np.ascontiguousarray(new, dtype=float),
                     prediction_horizon=h)
        assert (ea is None) == (eb is None), (method, ea, eb)
        if ea is None:
            assert a.shape == b.shape
            np.testing.assert_array_equal(a, b)


@SURFACE
@given(st.sampled_from(["hws", "arima", "arma", "bats", "auto", "theta", "snaive"]),
       st.dictionaries(st.sampled_from(["samples_per_season", "initial_training_seasons",
                                        "min_training_data", "training_sample_size",
                                        "error_history_length", "p_max", "q_max", "d"]),
                       st.one_of(st.integers(-2, 40), st.floats(-1, 40), st.none(),
                                 st.sampled_from(["x", True, 10**30])), max_size=3),
       st.lists(value, min_size=0, max_size=60),
       st.integers(0, 300))
def test_engine_models_never_crash(builder, options, values, h):
    model, err = call(getattr(forecasters, builder), **options)
    if err is not None:
        return
    _, err = call(model.update_model, list(range(len(values))), values)
    if not model.is_initialized():
        _, err = call(model.forecast_path, 3)
        assert err is not None
        return
    path, err = call(model.forecast_path, h)
    assert err is None and path.shape == (h,)
    steps = [model.forecast_steps(k) for k in range(1, min(h, 40) + 1)]
    np.testing.assert_array_equal(path[: len(steps)], steps)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(model)).forecast_path(h), path)


@SURFACE
@given(series_matrix(min_rows=0, max_rows=30, max_cols=2),
       st.sampled_from(["linear", "nearest", "prev", "next", "cubic", "zz"]),
       st.booleans(), st.integers(-1, 4))
def test_pipeline_never_crashes(X, interpolator, fill, h):
    X = X.copy()
    if len(X) > 3:
        X[1, 0] = np.nan
    p, err = call(ForecastingPipeline(fill_missing_vals=fill, interpolator_type=interpolator,
                                      prediction_horizon=h).fit, X, None)
    if err is None:
        call(p.predict, X[:2])
