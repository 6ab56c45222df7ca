"""Time-series forecasting components, written in C++.

Importing the package imports nothing heavy. The forecaster is a scikit-learn estimator, and
scikit-learn's own start-up (``sklearn.utils.fixes``) imports scipy.stats and pandas only to
keep them at hand, about four fifths of the time it takes to load a forecaster; neither is read
while that module loads. When scikit-learn is first loaded after this package, those two imports
get a stand-in that imports the real module on first use and is never registered as the module
itself: pandas stays absent from ``sys.modules`` until someone imports it (scikit-learn reads
that to tell data frames from arrays), and scipy.stats is reached through scipy's own lazy
submodule access. Nothing changes once scikit-learn is loaded, or if it was loaded first.
"""

from __future__ import annotations

import importlib
import sys
import threading
import types
from importlib.abc import MetaPathFinder

_LOADS_FOR_LATER = "sklearn.utils.fixes"
_LATER = ("scipy.stats", "pandas")
_lock = threading.Lock()


class _OnFirstUse(types.ModuleType):
    """Stands for a module until an attribute is read: then imports the real module."""

    def __getattr__(self, attr):
        name = self.__name__
        with _lock:
            if sys.modules.get(name) is self:  # still standing in: leave the place to the module
                del sys.modules[name]
        return getattr(importlib.import_module(name), attr)


class _LoaderWithStandIns:
    """Runs a module's body with stand-ins for the modules in ``_LATER`` not yet imported."""

    def __init__(self, loader):
        self.loader = loader

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        with _lock:
            placed = {n: _OnFirstUse(n) for n in _LATER if n not in sys.modules}
            sys.modules.update(placed)
        try:
            self.loader.exec_module(module)
        finally:
            with _lock:
                for name, stand_in in placed.items():
                    if sys.modules.get(name) is stand_in:
                        del sys.modules[name]
            _reach_scipy_stats()
            _finder.remove()

    def __getattr__(self, name):  # everything else of the real loader (get_source, ...)
        return getattr(self.loader, name)


def _reach_scipy_stats():
    """``scipy.stats`` as an attribute of scipy: a scipy without lazy submodules gets a stand-in
    (newer ones import the submodule when the attribute is read)."""
    scipy = sys.modules.get("scipy")
    if scipy is None or "scipy.stats" in sys.modules:
        return
    names = vars(scipy)
    if "__getattr__" not in names and "stats" not in names:
        scipy.stats = _OnFirstUse("scipy.stats")


class _Finder(MetaPathFinder):
    def find_spec(self, fullname, path, target=None):
        if fullname != _LOADS_FOR_LATER:
            return None
        for finder in list(sys.meta_path):
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            spec = finder.find_spec(fullname, path, target)
            if spec is not None:
                if spec.loader is not None and hasattr(spec.loader, "exec_module"):
                    spec.loader = _LoaderWithStandIns(spec.loader)
                return spec
        return None

    def install(self):
        if _LOADS_FOR_LATER not in sys.modules and self not in sys.meta_path:
            sys.meta_path.insert(0, self)

    def remove(self):
        try:
            sys.meta_path.remove(self)
        except ValueError:
            pass


_finder = _Finder()
_finder.install()
