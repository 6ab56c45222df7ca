"""The forecaster's score is a negative sMAPE: always within [-200, 0] for finite values."""

import numpy as np
import pytest

from tidewell_ts_libs.quillcast.quillcast_estimator import QuillcastForecaster


@pytest.fixture(scope="module")
def fitted():
    t = np.arange(80.0)
    values = np.column_stack([25 + 0.1 * t + 4 * np.sin(2 * np.pi * t / 12), 30 + 0 * t])
    f = QuillcastForecaster(samples_per_season=12).fit(values[:60], None, _reset_model=True)
    return f, values[60:]


@pytest.mark.parametrize("huge", [1e307, -1.7e308, np.finfo(float).max])
def test_huge_truth_scores_the_worst_not_minus_infinity(fitted, huge):
    f, X = fitted
    assert f.score(X, np.full_like(X, huge)) == -200.0
