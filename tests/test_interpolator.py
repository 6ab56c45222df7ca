import inspect
import pickle

import numpy as np
import pytest
from scipy.interpolate import Akima1DInterpolator, CubicSpline, make_interp_spline
from sklearn.base import clone
from sklearn.exceptions import NotFittedError
from sklearn.pipeline import Pipeline

from tidewell_ts_libs.kelp.imputers import _kernels
from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator

NAN = np.nan


def series():
    # timestamps (uneven), one value column with an interior gap and both ends missing
    t = np.array([0.0, 1.0, 3.0, 4.0, 8.0, 9.0])
    v = np.array([NAN, 1.0, NAN, 4.0, NAN, NAN])
    return np.column_stack([t, v])


def test_constructor_accepts_and_ignores_further_settings():
    sig = inspect.signature(QuillcastInterpolator.__init__)
    assert list(sig.parameters)[:10] == [
        "self",
        "interpolator_type",
        "ts_icol_loc",
        "ts_ocol_loc",
        "debug",
        "append_tranform",
        "missing_val_identifier",
        "default_value",
        "imputer_fill_type",
        "imputer_fill_value",
    ]
    q = QuillcastInterpolator(interpolator_type="cubic", algorithm="arima", p_max=3, ts_icol_loc=[0])
    params = q.get_params()
    assert params["interpolator_type"] == "cubic" and params["ts_icol_loc"] == [0]
    assert "algorithm" not in params
    c = clone(q)
    assert type(c) is QuillcastInterpolator and c.get_params()["ts_icol_loc"] == [0]


@pytest.mark.parametrize(
    "kind, expected",
    [
        # gap at t=3 between (1, 1) and (4, 4); leading end -> 1, trailing end -> 4
        ("linear", [1.0, 1.0, 3.0, 4.0, 4.0, 4.0]),
        ("nearest", [1.0, 1.0, 4.0, 4.0, 4.0, 4.0]),
        ("prev", [0.0, 1.0, 1.0, 4.0, 4.0, 4.0]),
        ("next", [1.0, 1.0, 4.0, 4.0, 0.0, 0.0]),
        ("fill", [0.0, 1.0, 0.0, 4.0, 0.0, 0.0]),
    ],
)
def test_types_fill_along_the_time_axis(kind, expected):
    X = series()
    out = QuillcastInterpolator(interpolator_type=kind, ts_icol_loc=[0]).fit(X).transform(X)
    np.testing.assert_allclose(out[:, 1], expected)
    np.testing.assert_array_equal(out[:, 0], X[:, 0])
    assert np.isnan(X[2, 1])  # the caller's data are untouched


def test_without_time_column_rows_are_equally_spaced():
    X = np.array([[0.0], [NAN], [NAN], [3.0]])
    out = QuillcastInterpolator().fit_transform(X)
    np.testing.assert_allclose(out[:, 0], [0, 1, 2, 3])


def test_default_value_covers_what_has_no_neighbour():
    X = np.array([[NAN, NAN], [2.0, NAN], [NAN, NAN]])
    out = QuillcastInterpolator(interpolator_type="prev", default_value=-5.0).fit_transform(X)
    np.testing.assert_allclose(out, [[-5, -5], [2, -5], [2, -5]])
    out = QuillcastInterpolator(interpolator_type="cubic", default_value=7.0).fit_transform(X)
    np.testing.assert_allclose(out, [[2, 7], [2, 7], [2, 7]])


@pytest.mark.parametrize(
    "fill_type, fill_value, expected",
    [("value", 9.5, 9.5), ("mean", 0.0, 4.0), ("median", 0.0, 3.0)],
)
def test_fill_types(fill_type, fill_value, expected):
    X = np.array([[1.0], [3.0], [8.0], [NAN]])
    q = QuillcastInterpolator(
        interpolator_type="fill", imputer_fill_type=fill_type, imputer_fill_value=fill_value
    )
    assert q.fit_transform(X)[3, 0] == pytest.approx(expected)


def test_fill_statistic_is_learned_at_fit():
    q = QuillcastInterpolator(interpolator_type="fill", imputer_fill_type="mean")
    q.fit(np.array([[1.0], [3.0]]))
    assert q.transform(np.array([[NAN], [100.0]]))[0, 0] == 2.0


def test_missing_marker_and_append():
    X = np.array([[0.0, 1.0], [1.0, -1.0], [2.0, 3.0]])
    q = QuillcastInterpolator(ts_icol_loc=[0], missing_val_identifier=-1, append_tranform=True)
    out = q.fit_transform(X)
    np.testing.assert_allclose(out, [[0, 1, 1], [1, -1, 2], [2, 3, 3]])


def test_works_as_a_pipeline_step_and_pickles():
    X = series()
    pipe = Pipeline([("interpolator", QuillcastInterpolator(ts_icol_loc=[0]))])
    out = pipe.fit_transform(X)
    back = pickle.loads(pickle.dumps(pipe))
    np.testing.assert_allclose(back.transform(X), out)


@pytest.mark.parametrize(
    "kwargs, X, error",
    [
        ({"interpolator_type": "cubical"}, [[1.0], [NAN]], ValueError),
        ({"interpolator_type": "fill", "imputer_fill_type": "mode"}, [[1.0]], ValueError),
        ({"ts_icol_loc": [3]}, [[1.0, 2.0]], ValueError),
        ({"ts_icol_loc": "a"}, [[1.0, 2.0]], ValueError),
        ({}, [["a", "b"]], ValueError),
        ({}, [1.0, 2.0], ValueError),
    ],
)
def test_bad_settings_or_data_are_rejected_at_fit(kwargs, X, error):
    with pytest.raises(error):
        QuillcastInterpolator(**kwargs).fit(X)


def test_transform_checks():
    q = QuillcastInterpolator(ts_icol_loc=[0])
    with pytest.raises(NotFittedError):
        q.transform(series())
    q.fit(series())
    with pytest.raises(ValueError, match="features"):
        q.transform(np.ones((3, 3)))
    bad_time = series()
    bad_time[3, 0] = 0.5
    with pytest.raises(ValueError, match="increasing"):
        q.transform(bad_time)


def test_tags_allow_missing_values():
    from sklearn.utils import get_tags

    from tidewell_ts_libs.transforms.imputers import previous

    assert get_tags(QuillcastInterpolator()).input_tags.allow_nan
    assert get_tags(previous()).input_tags.allow_nan
    assert get_tags(QuillcastInterpolator()).transformer_tags is not None


def test_param_dist_names_the_interpolators():
    dist = QuillcastInterpolator.get_param_dist()
    assert dist == {"interpolator_type": ["linear", "cubic", "nearest", "prev", "next", "fill"]}


# -- the engine kernels against reference implementations --------------------------------------


def gappy(seed=3, n=80):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.5, 1.5, n))
    y = np.sin(x / 3.0) + 0.1 * x
    hole = rng.random(n) < 0.3
    hole[[0, -1]] = False
    return x, y, hole


@pytest.mark.parametrize(
    "method, order, reference",
    [
        ("cubic", 3, lambda x, y: CubicSpline(x, y, bc_type="natural")),
        ("akima", 3, lambda x, y: Akima1DInterpolator(x, y)),
        ("spline", 3, lambda x, y: make_interp_spline(x, y, k=3)),
        ("spline", 2, lambda x, y: make_interp_spline(x, y, k=2)),
        ("spline", 5, lambda x, y: make_interp_spline(x, y, k=5)),
        ("linear", 3, lambda x, y: (lambda v: np.interp(v, x, y))),
    ],
)
def test_kernels_match_reference(method, order, reference):
    x, y, hole = gappy()
    data = np.column_stack([x, np.where(hole, np.nan, y)])
    out = _kernels.fill(data, method, time_column=0, order=order)
    expected = reference(x[~hole], y[~hole])(x[hole])
    np.testing.assert_allclose(out[hole, 1], expected, rtol=1e-9, atol=1e-9)


def test_kernels_leave_ends_when_asked():
    out = _kernels.fill([[NAN], [1.0], [2.0], [NAN]], "spline", fill_ends=False)
    assert np.isnan(out[0, 0]) and np.isnan(out[3, 0])
    with pytest.raises(ValueError, match="unknown interpolation method"):
        _kernels.fill([[1.0]], "bogus")


def test_debug_reports_what_was_filled(capsys):
    QuillcastInterpolator(debug=True, ts_icol_loc=[0]).fit_transform(series())
    assert "filled 4 missing values in 6 rows x 2 columns" in capsys.readouterr().out


def test_concurrent_transforms_agree():
    # The kernels run without the GIL: threads must not disturb one another.
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(1)
    X = np.column_stack([np.arange(20000.0), rng.normal(size=(20000, 3))])
    X[:, 1:][rng.random((20000, 3)) < 0.2] = np.nan
    q = QuillcastInterpolator(interpolator_type="cubic", ts_icol_loc=[0]).fit(X)
    expected = q.transform(X)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: q.transform(X), range(8)))
    for out in results:
        np.testing.assert_array_equal(out, expected)
