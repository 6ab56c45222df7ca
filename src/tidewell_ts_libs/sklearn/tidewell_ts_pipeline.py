"""The service's own pipeline class: a scikit-learn Pipeline recognised by the scoring helpers."""

from sklearn.pipeline import Pipeline
from sklearn.utils.metaestimators import available_if


def _final_estimator_has(attr):
    def check(self):
        getattr(self._final_estimator, attr)
        return True

    return check


class TidewellTSPipeline(Pipeline):
    """A scikit-learn ``Pipeline`` of time-series steps.

    Prediction keywords (``prediction_type``, ``prediction_horizon``, ...) are handed to the final
    estimator's ``predict`` after the earlier steps have transformed ``X``, whether or not
    scikit-learn's metadata routing is enabled (they are arguments of the prediction, not
    metadata).
    """

    def _transform_to_final(self, X):
        Xt = X
        for _, _, transform in self._iter(with_final=False):
            Xt = transform.transform(Xt)
        return Xt

    @available_if(_final_estimator_has("predict"))
    def predict(self, X, **predict_params):
        return self._final_estimator.predict(self._transform_to_final(X), **predict_params)

    @available_if(_final_estimator_has("predict_multi_step_sliding_window"))
    def predict_multi_step_sliding_window(self, X, **predict_params):
        return self._final_estimator.predict_multi_step_sliding_window(
            self._transform_to_final(X), **predict_params
        )
