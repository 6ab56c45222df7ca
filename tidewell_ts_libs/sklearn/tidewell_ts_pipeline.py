"""The service's own pipeline class: a scikit-learn Pipeline recognised by the scoring helpers."""

from sklearn.pipeline import Pipeline


class TidewellTSPipeline(Pipeline):
    """A scikit-learn ``Pipeline`` of time-series steps.

    Prediction keywords (``prediction_type``, ``prediction_horizon``, ...) are handed to the final
    estimator's ``predict`` after the earlier steps have transformed ``X``.
    """
