"""A stand-in that offers an engine model's operations through Python, so the forecaster drives
it on its general path instead of the C++ loop; both paths must give the same results."""

import pickle


class Proxy:
    """Offers an engine model's operations through Python."""

    def __init__(self, model):
        self.m = model

    def update_model(self, t, v):
        return self.m.update_model(t, v)

    def is_initialized(self):
        return self.m.is_initialized()

    def reset_model(self):
        self.m.reset_model()

    def forecast_at(self, t):
        return self.m.forecast_at(t)

    @property
    def last_time_updated(self):
        return self.m.last_time_updated

    @property
    def average_interval(self):
        return self.m.average_interval


def proxied(forecaster):
    """A copy of a fitted forecaster whose engine models answer through `Proxy`."""
    copy = pickle.loads(pickle.dumps(forecaster))
    copy.model = [Proxy(m) for m in copy.model]
    return copy
