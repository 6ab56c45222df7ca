"""Fixtures shared by the test modules."""

import pytest
from threadpoolctl import threadpool_limits


@pytest.fixture
def one_blas_thread():
    """One BLAS thread for the test: kernel PCA does many small dense solves, which threaded BLAS
    only slows on a shared machine. Modules take it with `usefixtures`."""
    with threadpool_limits(1):
        yield
