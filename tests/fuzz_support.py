"""Strategies and checks shared by the property-based tests of the Python surface."""

import contextlib
import io
import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# Bounded runs: the whole fuzz suite stays within about a minute. TW_FUZZ_EXAMPLES raises the
# number of examples for a longer local run.
settings.register_profile(
    "surface",
    max_examples=int(os.environ.get("TW_FUZZ_EXAMPLES", "25")),
    deadline=30000,  # generous: a hang, not a slow shared machine, should fail
    derandomize=os.environ.get("TW_FUZZ_RANDOM") is None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much],
    database=None,
)
SURFACE = settings.get_profile("surface")

# What the library documents it raises for bad input: its own Exception (catalogue texts), the
# ValueError / TypeError of argument checks, RuntimeError of the engine and the Warning of the
# log transform. Anything else (IndexError, AttributeError, ZeroDivisionError, ...) is an
# internal error that leaked out.
DOCUMENTED = (ValueError, TypeError, RuntimeError, Warning)


def documented(exc):
    return type(exc) is Exception or isinstance(exc, DOCUMENTED)


@contextlib.contextmanager
def quiet():
    with contextlib.redirect_stdout(io.StringIO()), np.errstate(all="ignore"):
        yield


def call(fn, *args, also=(), **kwargs):
    """(result, None) or (None, exception) for a documented exception (or one of `also`);
    anything else fails the test."""
    try:
        with quiet():
            return fn(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - the test decides what is allowed
        assert documented(e) or isinstance(e, also), f"undocumented {type(e).__name__}: {e}"
        assert str(e), f"{type(e).__name__} without a message"
        return None, e


ordinary = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)
special = st.sampled_from([np.nan, np.inf, -np.inf, 1e308, -1e308, 1e-302, -1e-302, 5e-324,
                           0.0, -0.0, -2.0, -1.0, -3.0, 1e15])
value = st.one_of(ordinary, ordinary, ordinary, special)


@st.composite
def series_matrix(draw, min_rows=0, max_rows=40, max_cols=3, values=value):
    rows = draw(st.integers(min_rows, max_rows))
    cols = draw(st.integers(1, max_cols))
    kind = draw(st.sampled_from(["wave", "free"]))
    if kind == "wave":
        t = np.arange(rows, dtype=float)
        base = draw(st.floats(-1e3, 1e6))
        amp = draw(st.floats(0, 1e3))
        period = draw(st.integers(2, 12))
        X = np.column_stack([base + amp * np.sin(2 * np.pi * t / period + c) for c in range(cols)])
        X = X.reshape(rows, cols)
        for _ in range(draw(st.integers(0, 3))):
            if rows:
                X[draw(st.integers(0, rows - 1)), draw(st.integers(0, cols - 1))] = draw(values)
    else:
        X = np.array(draw(st.lists(st.lists(values, min_size=cols, max_size=cols),
                                   min_size=rows, max_size=rows)), dtype=float).reshape(rows, cols)
    return X


def layout(draw, X):
    """X as a plain copy or as a view of another memory layout."""
    how = draw(st.sampled_from(["c", "fortran", "strided", "reversed", "read-only", "object"]))
    if how == "fortran":
        return np.asfortranarray(X)
    if how == "strided":
        return np.repeat(X, 2, axis=0)[::2]
    if how == "reversed":
        return np.ascontiguousarray(X[::-1])[::-1]
    if how == "read-only":
        Y = X.copy()
        Y.setflags(write=False)
        return Y
    if how == "object":
        return X.astype(object)
    return X.copy()
