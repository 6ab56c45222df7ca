import statistics

import numpy as np
import pandas as pd
import pytest
from dateutil import parser
from helpers import message as msg

from tidewell_ts_libs.utils import splitkit
from tidewell_ts_libs.utils.messages.messages import Messages
from tidewell_ts_libs.utils.splitkit import make_holdout_split


def frame(n=100, shuffle=False, with_time=True):
    data = {}
    if with_time:
        data["time"] = pd.date_range("2021-03-01", periods=n, freq="h").strftime("%Y-%m-%dT%H:%M:%S")
    data["a"] = np.arange(n, dtype=float)
    data["b"] = np.arange(n, dtype=float) * 10
    df = pd.DataFrame(data)
    return df.sample(frac=1, random_state=1) if shuffle else df


def test_lookback_window_reaches_back_only_for_inputs():
    X_train, X_test, y_train, y_test, i_xtr, i_xte, i_ytr, i_yte = make_holdout_split(
        frame(with_time=False), "a", test_size=20, lookback_window=3
    )
    assert X_train.shape == (80, 2) and y_train.shape == (80, 2)
    assert X_test.shape == (23, 2) and y_test.shape == (20, 2)
    # data columns: the last column (default feature -1) first, then the target
    np.testing.assert_array_equal(X_test[0], [770.0, 77.0])
    np.testing.assert_array_equal(y_test[0], [800.0, 80.0])
    np.testing.assert_array_equal(i_xte, np.arange(77, 100))
    np.testing.assert_array_equal(i_yte, np.arange(80, 100))
    np.testing.assert_array_equal(i_xtr, np.arange(80))
    np.testing.assert_array_equal(i_ytr, np.arange(80))
    assert X_train.dtype == np.float64


def test_return_only_holdout():
    out = make_holdout_split(frame(with_time=False), ["a"], return_only_holdout=True)
    assert len(out) == 4
    np.testing.assert_array_equal(out[3], np.arange(80, 100))


def test_float_test_size_truncates():
    out = make_holdout_split(frame(101, with_time=False), "a", test_size=0.2)
    assert out[3].shape[0] == 20 and out[0].shape[0] == 81


@pytest.mark.parametrize("test_size", [20, 0, -1, 1.0, 0.0, -0.5])
def test_invalid_test_size(test_size):
    with pytest.raises(Exception) as info:
        make_holdout_split(frame(20, with_time=False), "a", test_size=test_size)
    assert str(info.value) == msg("TIDEWELLTSLIBS0070E", test_size, 20)


@pytest.mark.parametrize("lookback", [-1, 81, 2.5, "3"])
def test_bad_lookback_is_rejected_and_frame_untouched(lookback):
    df = frame()
    df["b"] = df["b"].astype(str)
    before = df.copy()
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "b", timestamp_column="time", lookback_window=lookback)
    assert str(info.value) == msg("TIDEWELLTSLIBS0078E", lookback, 80)
    pd.testing.assert_frame_equal(df, before)


def test_full_lookback_is_allowed():
    out = make_holdout_split(frame(with_time=False), "a", lookback_window=np.int64(80))
    assert out[1].shape[0] == 100


@pytest.mark.parametrize(
    "target, features, expected",
    [
        ("a", -1, ["b", "a"]),
        (["a"], -1, ["b", "a"]),
        (0.9, [1.0], ["b", "a"]),
        (np.int64(0), [], ["a"]),
        ([0, "b"], [np.float64(1.5)], ["b", "a"]),
        (["b", "a"], ["a"], ["a", "b"]),
    ],
)
def test_column_resolution(target, features, expected):
    df = frame(with_time=False)
    X = make_holdout_split(df, target, feature_columns=features)[0]
    np.testing.assert_array_equal(X, df[expected].to_numpy()[:80])


def test_unknown_names_are_reported(capsys):
    df = frame(with_time=False)
    X = make_holdout_split(df, ["zz", "a"], feature_columns=["yy"], timestamp_column="tt")[0]
    out = capsys.readouterr().out.splitlines()
    assert out == ["target: zz is invalid", "feature: yy is invalid", "timestamp_column: tt is invalid"]
    np.testing.assert_array_equal(X[:, 0], df["a"].to_numpy()[:80])


@pytest.mark.parametrize("target,detail", [
    ("zz", "target_columns 'zz' names no column of the dataset (columns: 'a', 'b')"),
    ([None], "target_columns [None] names no column"),
    ([5], "target_columns: column 5 is outside the 2 columns of the dataset (positions 0 to 1)"),
    ([-1], "target_columns: column -1 is outside the 2 columns"),
    ([], "target_columns [] names no column"),
])
def test_no_valid_target(target, detail):
    # The catalogue text, then which setting and value are wrong.
    with pytest.raises(Exception, match="TIDEWELLTSLIBS0072E") as info:
        make_holdout_split(frame(with_time=False), target)
    assert str(info.value).startswith(msg("TIDEWELLTSLIBS0072E") + " ")
    assert detail in str(info.value)


def test_argument_checks():
    with pytest.raises(Exception) as info:
        make_holdout_split(None, "a")
    assert str(info.value) == msg("TIDEWELLTSLIBS0069E")
    for bad in ("classification", None):
        with pytest.raises(Exception) as info:
            make_holdout_split(frame(), "a", learning_type=bad)
        assert str(info.value) == msg("TIDEWELLTSLIBS0068E", bad)
    with pytest.raises(TypeError):
        make_holdout_split(None, "a", learning_type=3)


def test_shuffled_iso_timestamps_come_back_in_order_and_frame_is_converted():
    df = frame(shuffle=True)
    expected = df["time"].map(lambda x: parser.parse(x, fuzzy=False))
    out = make_holdout_split(df, "a", timestamp_column="time")
    np.testing.assert_array_equal(out[0][:, 1], np.arange(80))
    np.testing.assert_array_equal(out[3][:, 1], np.arange(80, 100))
    # the caller's frame holds the parsed timestamps, in its own row order
    pd.testing.assert_series_equal(df["time"], expected)


ISO_FORMS = [
    ["2020-01-01", "2020-01-02", "2020-01-03"],
    ["2020-01-01 10:00", "2020-01-01 11:00", "2020-01-01 12:00"],
    ['"2020-02-28T23:59:59.5"', '"2020-02-29T00:00:00.25"', '"2020-02-29T00:00:01"'],
    ["1999-12-31T23:00:00.000001", "2000-01-01T00:00:00.000002", "2000-01-01T01:00:00"],
    # forms outside the one-pass reader go through dateutil
    ["01/02/2020", "01/03/2020", "01/04/2020"],
    ["2020-01-01T00:00:00.1234567", "2020-01-01T01:00:00", "2020-01-01T02:00:00"],
    ["2020-01-01T00:00:00Z", "2020-01-01T01:00:00Z", "2020-01-01T02:00:00Z"],
    ["Jan 1 2020", "Jan 2 2020", "Jan 3 2020"],
    ["2020-01-01T24:00", "2020-01-02T01:00", "2020-01-02T02:00"],  # isoparse only
]


@pytest.mark.parametrize("values", ISO_FORMS)
@pytest.mark.parametrize("dtype", ["str", object])
def test_timestamp_conversion_matches_dateutil(values, dtype):
    df = pd.DataFrame({"t": pd.Series(values, dtype=dtype), "v": [1.0, 2.0, 3.0]})

    def reference(x):
        text = str(x).strip('"')
        try:
            return parser.parse(text, fuzzy=False)
        except Exception:
            return parser.isoparse(text)

    try:
        expected = pd.Series(values, dtype=dtype).map(lambda x: parser.parse(str(x).strip('"'), fuzzy=False))
    except Exception:
        expected = pd.Series(values, dtype=dtype).map(lambda x: parser.isoparse(str(x).strip('"')))
    make_holdout_split(df, "v", test_size=1, timestamp_column="t", feature_columns=[])
    pd.testing.assert_series_equal(df["t"], expected, check_names=False)
    assert [reference(v) for v in values] == list(df["t"])


def test_time_zone_offsets_that_change():
    # Offsets that change within the column (daylight saving) give an object column.
    df = pd.DataFrame(
        {
            "t": ["2021-03-28T00:00:00+01:00", "2021-03-28T01:00:00+01:00", "2021-03-28T03:00:00+02:00"],
            "v": [1.0, 2.0, 3.0],
        }
    )
    out = make_holdout_split(df, "v", test_size=1, timestamp_column="t", feature_columns=[])
    np.testing.assert_array_equal(out[0].ravel(), [1.0, 2.0])


def test_unparsable_timestamps_leave_column_alone():
    df = pd.DataFrame({"t": ["2020-01-01", "not a date", "2020-01-03"], "v": [1.0, 2.0, 3.0]})
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    assert str(info.value) == msg("TIDEWELLTSLIBS0076E", "t")
    assert df["t"].tolist() == ["2020-01-01", "not a date", "2020-01-03"]


def test_timestamp_errors():
    df = pd.DataFrame({"t": ["x", "x", "y"], "v": [1.0, 2.0, 3.0]})
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    assert str(info.value) == msg("TIDEWELLTSLIBS0075E")  # before any parsing
    with pytest.raises(Exception) as info:
        make_holdout_split(df.assign(t=[5, 6, 7]), ["v", "t"], test_size=1, timestamp_column=0)
    assert str(info.value) == msg("TIDEWELLTSLIBS0074E", "t")
    df = pd.DataFrame({"t": pd.date_range("2020", periods=3), "v": [1.0, 2.0, 3.0]})
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    assert str(info.value) == msg("TIDEWELLTSLIBS0077E")
    df = pd.DataFrame({"t": [1, 2], "v": [1.0, 2.0]})
    with pytest.raises(statistics.StatisticsError):
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    with pytest.raises(IndexError):
        make_holdout_split(df, "v", test_size=1, timestamp_column=7)


def irregular(values):
    d = np.diff(values)
    return 100.0 * statistics.stdev(d.tolist()) / statistics.mean(d.tolist()) > 20.0


@pytest.mark.parametrize("kind", ["int", "float", "iso"])
@pytest.mark.parametrize("jitter", [0.0, 0.05, 0.2, 0.35, 1.0])
def test_spacing_warning_matches_statistics(kind, jitter, capsys):
    rng = np.random.default_rng(int(jitter * 100))
    steps = 3600 * (1 + jitter * rng.uniform(-1, 1, 199))
    stamps = np.concatenate([[0], np.cumsum(np.round(steps))]).astype(np.int64)
    if kind == "int":
        column = stamps
    elif kind == "float":
        column = stamps / 7.0
    else:
        column = (pd.Timestamp("2020-01-01") + pd.to_timedelta(stamps, unit="s")).strftime("%Y-%m-%d %H:%M:%S")
    df = pd.DataFrame({"t": column, "v": np.arange(200.0)})
    make_holdout_split(df, "v", timestamp_column="t")
    printed = capsys.readouterr().out
    expected = irregular(stamps if kind != "float" else stamps / 7.0)
    assert (msg("TIDEWELLTSLIBS0004W") in printed) == expected


def test_spacing_on_the_threshold_is_decided_exactly(capsys):
    # Alternating spacings whose coefficient of variation is just below or just above 20%.
    for tail, warned in ((1.496, False), (1.498, True)):
        steps = [1.0, tail] * 50
        column = np.concatenate([[0.0], np.cumsum(steps)])
        df = pd.DataFrame({"t": column, "v": np.arange(101.0)})
        make_holdout_split(df, "v", timestamp_column="t")
        assert (msg("TIDEWELLTSLIBS0004W") in capsys.readouterr().out) == warned == irregular(column)


def test_text_target_columns_are_converted_in_place():
    df = pd.DataFrame({"v": ['"12.5"', "", " 3", "1e2", None], "w": ["1", "2", "3", "4", "5"]})
    out = make_holdout_split(df, ["v", 1], test_size=1, feature_columns=[])
    np.testing.assert_array_equal(out[0][:, 0], [12.5, np.nan, 3.0, 100.0])
    assert df["v"].dtype == np.float64 and df["w"].dtype == np.float64
    np.testing.assert_array_equal(df["w"], [1.0, 2.0, 3.0, 4.0, 5.0])


def test_text_target_that_is_not_a_number():
    df = pd.DataFrame({"v": ["1", "x2", "3"]})
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, feature_columns=[])
    err = ""
    try:
        float("x2")
    except ValueError as e:
        err = str(e)
    assert str(info.value) == msg("TIDEWELLTSLIBS0073E", "v", err)
    assert df["v"].tolist() == ["1", "x2", "3"]


def test_module_names():
    import logging
    import typing

    assert splitkit.Dict is typing.Dict and splitkit.Optional is typing.Optional  # noqa: UP006
    assert splitkit.pd is pd and splitkit.np is np and splitkit.array is np.array
    assert splitkit.tslogger is logging.getLogger("tidewell_ts_libs.utils.splitkit")
    assert splitkit.Messages is Messages


@pytest.mark.parametrize("dtype", ["int8", "uint64", "Int64", "float32", "Float64", object])
def test_numeric_timestamp_dtypes(dtype, capsys):
    df = pd.DataFrame({"t": pd.array([1, 2, 3, 4, 5, 6, 7, 10], dtype=dtype), "v": np.arange(8.0)})
    out = make_holdout_split(df.iloc[:7], "v", test_size=2, timestamp_column="t")
    np.testing.assert_array_equal(out[3].ravel(), [5.0, 6.0])
    assert capsys.readouterr().out == ""
    make_holdout_split(df, "v", test_size=2, timestamp_column="t")
    assert msg("TIDEWELLTSLIBS0004W") in capsys.readouterr().out


def test_duplicate_iso_texts_and_equal_instants():
    df = pd.DataFrame({"t": ["2020-01-01", "2020-01-02", "2020-01-01"], "v": [1.0, 2.0, 3.0]})
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    assert str(info.value) == msg("TIDEWELLTSLIBS0075E")
    assert df["t"].tolist() == ["2020-01-01", "2020-01-02", "2020-01-01"]
    # different texts of the same instant are not duplicates
    df = pd.DataFrame(
        {"t": ["2020-01-01", '"2020-01-01"', "2020-01-02", "2020-01-03"], "v": [1.0, 2.0, 3.0, 4.0]}
    )
    out = make_holdout_split(df, "v", test_size=1, timestamp_column="t", feature_columns=[])
    assert out[0].shape == (3, 1)


# -- inputs that cannot give a usable split -----------------------------------------------------


@pytest.mark.parametrize("n,test_size", [(100, 0.005), (2, 0.4), (0, 0.5)])
def test_fraction_too_small_for_one_holdout_row(n, test_size):
    with pytest.raises(Exception) as info:
        make_holdout_split(frame(n, with_time=False), "a", test_size=test_size)
    assert type(info.value) is Exception
    assert str(info.value) == msg("TIDEWELLTSLIBS0091E", test_size, n)
    assert "empty holdout" in str(info.value)
    # The smallest fraction that leaves one row still splits.
    out = make_holdout_split(frame(100, with_time=False), "a", test_size=0.01)
    assert out[3].shape == (1, 2) and out[2].shape == (99, 2)


def test_target_without_any_value_is_refused():
    df = frame()
    df["a"] = np.nan
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "a", timestamp_column="time")
    assert str(info.value) == msg("TIDEWELLTSLIBS0092E", "a", 100)
    # Text columns of blanks are converted first, then found empty; a feature may be empty.
    df = frame(with_time=False).assign(a=[""] * 100)
    with pytest.raises(Exception, match="TIDEWELLTSLIBS0092E: Target column a holds no value"):
        make_holdout_split(df, ["b", "a"])
    out = make_holdout_split(frame(with_time=False).assign(b=np.nan), "a", feature_columns="b")
    assert np.isnan(out[0][:, 0]).all() and not np.isnan(out[0][:, 1]).any()
    # One value is enough.
    df = frame(with_time=False)
    df.loc[1:, "a"] = np.nan
    assert make_holdout_split(df, "a")[2].shape == (80, 2)


@pytest.mark.parametrize("stamps,row", [
    ([0.0, 1.0, np.nan, 3.0, 4.0], 2),
    ([np.nan, np.nan, 2.0, 3.0, 4.0], 0),  # not reported as duplicates
    (["2020-01-01", "2020-01-02", None, "2020-01-04", "2020-01-05"], 2),
    (pd.array([0, 1, 2, None, 4], dtype="Int64"), 3),
])
def test_missing_timestamp_is_named_with_its_row(stamps, row):
    df = pd.DataFrame({"t": stamps, "v": np.arange(5.0)})
    before = df.copy()
    with pytest.raises(Exception) as info:
        make_holdout_split(df, "v", test_size=1, timestamp_column="t")
    assert str(info.value) == msg("TIDEWELLTSLIBS0093E", "t", row)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("data,name", [
    (np.arange(20.0).reshape(10, 2), "numpy.ndarray"),
    ([[1.0, 2.0]] * 10, "list"),
    # the module that defines the class: "pandas" from pandas 3 on, "pandas.core.series" before
    (pd.Series(np.arange(10.0)), f"{pd.Series.__module__}.Series"),
])
def test_dataset_must_be_a_data_frame(data, name):
    with pytest.raises(TypeError) as info:
        make_holdout_split(data, 0, test_size=2)
    assert str(info.value) == msg("TIDEWELLTSLIBS0094E", name)
    assert "dataset must be a pandas DataFrame" in str(info.value)


@pytest.mark.parametrize("features", [-1, "t", ["t", "a"]])
def test_the_timestamp_column_is_never_a_feature(features):
    # The default feature (the last column) was the timestamps here: taken twice, the frame's
    # values were reshaped across rows (10 rows gave 12 training rows of mixed values).
    df = pd.DataFrame({"a": np.arange(10.0) + 200, "t": np.arange(10)})
    X_train, X_test, y_train, y_test, *_ = make_holdout_split(
        df, target_columns="a", feature_columns=features, timestamp_column="t", test_size=3
    )
    assert X_train.tolist() == [[v] for v in range(200, 207)]
    assert y_test.ravel().tolist() == [207.0, 208.0, 209.0]
