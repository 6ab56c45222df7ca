"""Time-series forecasting components, written in C++.

Importing the package imports nothing heavy. The forecaster is a scikit-learn estimator, and
scikit-learn's start-up imports scipy.stats and pandas (``sklearn.utils.fixes``) and
scipy.special (``sklearn.utils._array_api``) only to keep them at hand: most of the time it
takes to load a forecaster, and none of them is read while those modules load. When scikit-learn
is first loaded after this package, those imports get a stand-in that imports the real module
the first time one of its attributes is read. A stand-in is never left registered as the module
itself: pandas stays absent from ``sys.modules`` until someone imports it (scikit-learn reads
that to tell data frames from arrays), and scipy's submodules are reached through scipy's own
lazy submodule access. Nothing changes once scikit-learn is loaded, or if it was loaded first.
"""

from __future__ import annotations

import importlib
import sys
import threading
import types
from importlib.abc import MetaPathFinder

# Module being loaded -> the modules it imports only to keep at hand.
_LATER = {
    "sklearn.utils.fixes": ("scipy.stats", "pandas"),
    "sklearn.utils._array_api": ("scipy.special",),
}
_lock = threading.Lock()


class _OnFirstUse(types.ModuleType):
    """Stands for a module until an attribute is read: then imports the real module."""

    def __getattr__(self, attr):
        name = self.__name__
        with _lock:
            if sys.modules.get(name) is self:  # still standing in: leave the place to the module
                del sys.modules[name]
        return getattr(importlib.import_module(name), attr)


def _place(names) -> dict:
    """Stand-ins for the modules not imported yet, registered and, for a submodule, set as an
    attribute of its package (``import a.b as c`` reads the attribute)."""
    placed = {}
    for name in names:
        if name in sys.modules:
            continue
        parent, _, child = name.rpartition(".")
        package = importlib.import_module(parent) if parent else None
        stand_in = _OnFirstUse(name)
        with _lock:
            if name in sys.modules:
                continue
            sys.modules[name] = stand_in
            if package is not None and child not in vars(package):
                setattr(package, child, stand_in)
        placed[name] = (stand_in, package, child)
    return placed


def _withdraw(placed: dict) -> None:
    """Removes the stand-ins still in place (what was imported meanwhile stays)."""
    with _lock:
        for name, (stand_in, package, child) in placed.items():
            if sys.modules.get(name) is stand_in:
                del sys.modules[name]
            if package is not None and vars(package).get(child) is stand_in:
                if "__getattr__" in vars(package):  # the package imports it when it is read
                    delattr(package, child)


class _LoaderWithStandIns:
    """Runs a module's body with stand-ins for the modules it imports only to keep at hand."""

    def __init__(self, loader, names):
        self.loader = loader
        self.names = names

    def create_module(self, module_spec):
        return self.loader.create_module(module_spec)

    def exec_module(self, module):
        placed = _place(self.names)
        try:
            self.loader.exec_module(module)
        finally:
            _withdraw(placed)
            _finder.done(module.__name__)

    def __getattr__(self, name):  # everything else of the real loader (get_source, ...)
        return getattr(self.loader, name)


class _Finder(MetaPathFinder):
    def __init__(self):
        self.pending = {m for m in _LATER if m not in sys.modules}

    def find_spec(self, fullname, path, target=None):
        if fullname not in self.pending:
            return None
        for finder in list(sys.meta_path):
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            module_spec = finder.find_spec(fullname, path, target)
            if module_spec is not None:
                if module_spec.loader is not None and hasattr(module_spec.loader, "exec_module"):
                    module_spec.loader = _LoaderWithStandIns(module_spec.loader, _LATER[fullname])
                return module_spec
        return None

    def done(self, name):
        self.pending.discard(name)
        if not self.pending:
            try:
                sys.meta_path.remove(self)
            except ValueError:
                pass


_finder = _Finder()
if _finder.pending and "sklearn" not in sys.modules:
    sys.meta_path.insert(0, _finder)
