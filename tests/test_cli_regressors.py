"""The command line with regressors: --regressors and --future in both modes, and the refusals."""

import numpy as np
import pandas as pd
import pytest
from test_cli import run_in_process


def driven_csv(folder, n=60, horizon=6, long=False):
    """Monthly series driven by a price (a random walk), and the prices of the next months."""
    rng = np.random.default_rng(5)
    months = pd.date_range("2016-01-01", periods=n + horizon, freq="MS")
    frames, futures = [], []
    for i in range(2 if long else 1):
        x = np.cumsum(rng.normal(0, 3, n + horizon)) + 60
        y = 10 + 5 * x + rng.normal(0, 0.5, n + horizon)
        f = pd.DataFrame({"month": months.strftime("%Y-%m-%d"), "sales": y, "price": x})
        if long:
            f.insert(0, "store", f"s{i}")
        frames.append(f.iloc[:n])
        futures.append(f.iloc[n:].drop(columns="sales"))
    data, future = folder / "sales.csv", folder / "prices.csv"
    pd.concat(frames).to_csv(data, index=False)
    pd.concat(futures).to_csv(future, index=False)
    return data, future


def test_one_table_ranks_and_forecasts_with_its_regressors(tmp_path):
    data, future = driven_csv(tmp_path)
    code, out, err = run_in_process(data, "--algorithms", "arima", "--horizon", "6",
                                    "--regressors", "price", "--future", future,
                                    "--output", tmp_path / "with")
    assert code == 0, err
    assert "Regressors: price" in out
    code, plain_out, err = run_in_process(data, "--algorithms", "arima", "--horizon", "6",
                                          "--output", tmp_path / "without")
    assert code == 0, err

    def smape(text):
        return float(next(ln for ln in text.splitlines() if ln.startswith("1 ")).split()[2])

    assert smape(out) < smape(plain_out) / 3
    fc = pd.read_csv(tmp_path / "with" / "forecast.csv")
    truth = pd.read_csv(future)
    assert list(fc.month) == list(truth.month)  # the price is no target
    assert "price" not in fc.columns
    # The forecast follows the future prices (y = 10 + 5 x).
    np.testing.assert_allclose(fc.sales, 10 + 5 * truth.price, rtol=0.03)


def test_long_format_with_regressors(tmp_path):
    data, future = driven_csv(tmp_path, long=True)
    code, out, err = run_in_process(data, "--series-column", "store", "--target", "sales",
                                    "--algorithms", "arima", "--horizon", "6", "--regressors",
                                    "price", "--future", future, "--output", tmp_path / "out")
    assert code == 0, err
    metrics = pd.read_csv(tmp_path / "out" / "metrics_arima.csv")
    assert (metrics.status == "ok").all() and (metrics.smape < 2).all()
    assert set(metrics.n_windows) == {3}
    back = pd.read_csv(tmp_path / "out" / "forecasts_arima.csv")
    assert len(back) == 2 * 3 * 6 and (back.cutoff < back.month).all()
    fc = pd.read_csv(tmp_path / "out" / "forecast.csv")
    truth = pd.read_csv(future)
    np.testing.assert_allclose(fc.forecast, 10 + 5 * truth.price, rtol=0.03)


def _edit(path, change):
    change(pd.read_csv(path)).to_csv(path, index=False)


@pytest.mark.parametrize(
    "extra, change, long, expected",
    [
        (["--regressors", "price"], None, False, "--regressors needs --future"),
        (["--future", "{future}"], None, False, "name their columns with --regressors"),
        (["--regressors", "cost", "--future", "{future}"], None, False,
         "--regressors: no column named 'cost'"),
        (["--regressors", "price", "--future", "{future}", "--one-step"], None, False,
         "--one-step does not take --regressors"),
        (["--regressors", "price", "--future", "{future}"],
         lambda f: f.drop(index=2), False,
         "no regressor values for 2021-03-01 (1 of the 6 forecast times)"),
        (["--regressors", "price", "--future", "{future}"],
         lambda f: f.drop(columns="price"), False, "has no column 'price'"),
        (["--regressors", "price", "--future", "{future}"],
         lambda f: f.assign(price=f.price.where(f.index != 0)), False,
         "regressor 'price' has no finite value at 2021-01-01"),
        (["--regressors", "price", "--future", "{future}", "--series-column", "store",
          "--target", "sales"], lambda f: f.drop(index=7), True,
         "lacks the regressors of series 's1' at 2021-02-01"),
        (["--regressors", "price", "--future", "{future}", "--series-column", "store",
          "--target", "sales"], lambda f: f.drop(index=range(6, 12)), True,
         "has no rows for series 's1'"),
    ],
)
def test_bad_regressor_input_is_one_line_and_writes_nothing(tmp_path, extra, change, long,
                                                            expected):
    data, future = driven_csv(tmp_path, long=long)
    if change is not None:
        _edit(future, change)
    out = tmp_path / "out"
    args = [a.format(future=future) for a in extra]
    code, _out, err = run_in_process(data, "--algorithms", "arima", "--horizon", "6", *args,
                                     "--output", out)
    assert code == 2, err
    lines = [ln for ln in err.splitlines() if ln.strip()]
    assert len(lines) == 1 and expected in lines[0], err
    assert not out.exists() or not any(out.iterdir())
