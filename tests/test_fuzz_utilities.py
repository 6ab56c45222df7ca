"""Property-based tests: random frames, arrays and settings into the split, the scoring
helpers, the interpolator and the imputers."""

import pickle

import numpy as np
import pandas as pd
import pytest
from fuzz_support import SURFACE, call, layout, ordinary, series_matrix, value
from hypothesis import assume, given
from hypothesis import strategies as st

from tidewell_ts_libs.kelp.imputers.chained_fill import ChainedFill
from tidewell_ts_libs.kelp.imputers.window_fill import FlattenKNNImputer
from tidewell_ts_libs.quillcast.quillcast_interpolator import QuillcastInterpolator
from tidewell_ts_libs.quillcast.quillcast_utils import QuillcastUtils
from tidewell_ts_libs.transforms import imputers as cat
from tidewell_ts_libs.utils.predict import Predict
from tidewell_ts_libs.utils.score import Score, compute_prediction_accuracy, prepare_ground_truth
from tidewell_ts_libs.utils.splitkit import make_holdout_split

pytestmark = pytest.mark.usefixtures("one_blas_thread")


@st.composite
def frame_case(draw):
    n = draw(st.integers(0, 30))
    kind = draw(st.sampled_from(["iso", "iso-object", "int", "float", "datetime", "none", "bad"]))
    start = pd.Timestamp("2021-03-01")
    step = draw(st.sampled_from(["h", "D", "7D"]))
    stamps = pd.date_range(start, periods=n, freq=step)
    data = {}
    if kind in ("iso", "iso-object"):
        text = stamps.strftime("%Y-%m-%dT%H:%M:%S")
        data["time"] = list(text) if kind == "iso-object" else pd.array(text, dtype="string")
    elif kind == "int":
        data["time"] = np.arange(n) * 3
    elif kind == "float":
        data["time"] = np.arange(n) * 1.5
    elif kind == "datetime":
        data["time"] = stamps
    elif kind == "bad":
        data["time"] = [draw(st.sampled_from(["x", "", "2021-13-01", None, "2021-02-30"]))
                        for _ in range(n)]
    data["a"] = [draw(value) for _ in range(n)]
    data["b"] = [str(draw(st.integers(-5, 5))) for _ in range(n)]
    df = pd.DataFrame(data) if n else pd.DataFrame({k: [] for k in data})
    order = draw(st.sampled_from(["as is", "reversed", "shuffled", "strided"]))
    if order == "reversed":
        df = df.iloc[::-1]
    elif order == "shuffled":
        df = df.sample(frac=1, random_state=draw(st.integers(0, 9)))
    elif order == "strided":
        df = df.iloc[::2]
    kw = dict(
        target_columns=draw(st.sampled_from(["a", ["a", "b"], "b", "zz", 1, [5], []])),
        test_size=draw(st.one_of(st.integers(-1, 35), st.floats(-0.5, 1.5), st.just(np.nan))),
        feature_columns=draw(st.sampled_from([-1, "a", [0, 1], [9], 2.0])),
        timestamp_column=draw(st.sampled_from(["time", "time", -1, 0, 7, "zz", np.nan])),
        lookback_window=draw(st.one_of(st.integers(-1, 5), st.just("2"))),
    )
    return df, kw


@SURFACE
@given(frame_case())
def test_holdout_split_never_crashes(case):
    df, kw = case
    untouched = df.copy(deep=True)  # text columns are converted in the caller's frame
    out, err = call(make_holdout_split, df, also=IndexError, **kw)
    if err is None:
        assert len(out) == 8
        X_train, X_test, y_train, y_test = out[:4]
        assert len(y_test) + len(y_train) <= len(df)
        assert all(isinstance(a, np.ndarray) for a in out)
        # The same frame laid out contiguously gives the same split.
        again, err2 = call(make_holdout_split, untouched.reset_index(drop=True), **kw)
        assert err2 is None
        for a, b in zip(out[:4], again[:4], strict=True):
            np.testing.assert_array_equal(np.asarray(a, float), np.asarray(b, float))
    # An IndexError is documented only for a column position outside the frame.
    if isinstance(err, IndexError):
        assert "is outside the" in str(err)


@SURFACE
@given(st.integers(1, 6), st.integers(1, 3), st.integers(-1, 8), st.data())
def test_accuracy_never_crashes(n_forecasts, targets, ph, data):
    h = max(ph, 1)
    truth = data.draw(series_matrix(min_rows=h + n_forecasts - 1, max_rows=h + n_forecasts - 1,
                                    max_cols=targets))
    preds = data.draw(series_matrix(min_rows=n_forecasts * h, max_rows=n_forecasts * h,
                                    max_cols=targets))
    if preds.shape[1] != truth.shape[1]:
        preds = np.resize(preds, (len(preds), truth.shape[1]))
    ppy = data.draw(st.sampled_from(["average", "original", "median"]))
    out, err = call(compute_prediction_accuracy, layout(data.draw, truth), preds, ph, ppy)
    if err is None:
        mae, mse, r2, smape, avg, mts = out
        metrics = np.atleast_1d(np.array([mae, mse, r2, smape], dtype=float).T)
        finite_inputs = np.isfinite(truth).all() and np.isfinite(preds).all()
        if finite_inputs and ppy == "average" and np.abs(preds).max() < 1e150 and \
                np.abs(truth).max() < 1e150:
            assert np.isfinite(metrics).all()
        assert not np.isinf(np.atleast_1d(r2)).any()
    call(prepare_ground_truth, truth, data.draw(st.integers(-1, 3)), ph)
    call(Predict.adjust_prediction, truth, preds, ph)


@SURFACE
@given(series_matrix(min_rows=0, max_rows=30, max_cols=3),
       st.sampled_from(["linear", "cubic", "nearest", "prev", "next", "fill", "zz", None]),
       st.sampled_from(["value", "mean", "median"]),
       st.sampled_from([-1, [0], [1], [5], [], "x"]),
       st.sampled_from([np.nan, -1.0, 0.0, None, "x"]),
       st.data())
def test_interpolator_never_crashes_and_layouts_agree(X, kind, fill_type, ts, marker, data):
    make = lambda: QuillcastInterpolator(interpolator_type=kind, imputer_fill_type=fill_type,  # noqa: E731
                                         ts_icol_loc=ts, missing_val_identifier=marker)
    a, err = call(lambda: make().fit(X).transform(X))
    other = layout(data.draw, X)
    b, err2 = call(lambda: make().fit(other).transform(other))
    assert (err is None) == (err2 is None)
    if err is None:
        assert a.shape[0] == X.shape[0]
        np.testing.assert_array_equal(a, b)


IMPUTERS = ["previous", "fill", "next", "linear", "cubic", "akima", "spline", "polynomial",
            "pca", "truncated_svd", "flatten_knn"]


@SURFACE
@given(st.sampled_from(IMPUTERS), series_matrix(min_rows=0, max_rows=24, max_cols=3), st.data())
def test_imputer_catalogue_never_crashes(name, X, data):
    X = X.copy()
    if X.size:
        X.flat[data.draw(st.integers(0, X.size - 1))] = np.nan
    cls = getattr(cat, name)
    out, err = call(lambda: cls().fit(X).transform(X))
    if err is None:
        assert np.asarray(out).shape[0] in (X.shape[0], 0) or np.asarray(out).ndim == 2


@SURFACE
@given(series_matrix(min_rows=1, max_rows=20, max_cols=3, values=ordinary), st.data())
def test_chained_and_window_imputers_never_crash(X, data):
    X = X.copy()
    X[data.draw(st.integers(0, len(X) - 1)), 0] = np.nan
    # scikit-learn's own iterative imputer fails with an IndexError on a column without any
    # value, or whose mean overflows: not this library's to change.
    assume(not np.isnan(X).all(axis=0).any())
    out, err = call(lambda: ChainedFill(max_iter=3, random_state=0).fit(X).transform(X))
    if err is None:
        assert out.shape[0] == X.shape[0]
    call(lambda: FlattenKNNImputer().fit(X).transform(X))


@SURFACE
@given(st.one_of(st.integers(), st.floats(allow_nan=False), st.lists(st.integers(), max_size=5),
                 st.dictionaries(st.text(max_size=5), st.integers(), max_size=3)),
       st.sampled_from(["file", "missing dir", "stream"]))
def test_save_and_load_round_trip(tmp_path_factory, obj, where):
    base = tmp_path_factory.mktemp("save")
    path = base / ("nowhere/x.gz" if where == "missing dir" else "x.gz")
    ok, err = call(Score.save, obj, str(path))
    assert err is None
    if where == "missing dir":
        assert ok is False
        return
    assert ok is True
    assert pickle.dumps(Score.load(str(path))) == pickle.dumps(obj)


@SURFACE
@given(st.lists(value, min_size=0, max_size=50), st.integers(-3, 300), st.integers(-3, 20))
def test_sizing_helpers_never_crash(values, upper, lower):
    out, err = call(QuillcastUtils.get_init_samples, values, upper, lower)
    if err is None:
        assert len(out) == 4 and out[1] >= 1
    call(QuillcastUtils.get_arima_init_size, lower % 6, upper)
    call(QuillcastUtils.compute_metrics, values, values[::-1])
