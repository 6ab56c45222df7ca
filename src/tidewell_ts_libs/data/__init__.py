"""Data sets shipped with the library.

``load_default()`` returns the library's default example series: the monthly totals of
international airline passengers (thousands), January 1949 to December 1960, 144 values. It is
the classic public-domain "Series G" of Box and Jenkins (Time Series Analysis: Forecasting and
Control), a trending series with a yearly season whose amplitude grows with the level.
"""

from importlib import resources

import pandas as pd

DEFAULT_DATASET = "airline_passengers.csv"
TIME_COLUMN = "month"
VALUE_COLUMN = "passengers"


def load_default():
    """The default dataset as a DataFrame with a time column ``month`` (ISO dates, text) and a
    value column ``passengers`` (integers), in time order."""
    with resources.files(__name__).joinpath(DEFAULT_DATASET).open("r", encoding="utf-8") as f:
        frame = pd.read_csv(f, dtype={TIME_COLUMN: str, VALUE_COLUMN: "int64"})
    return frame
