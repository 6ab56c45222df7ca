"""Time-series forecasting components, written in C++.

Importing the package imports nothing heavy. The forecaster is a scikit-learn estimator, and
scikit-learn's start-up imports many modules only to keep them at hand, none of which is read
while the importing module loads: scipy.stats and pandas (``sklearn.utils.fixes``), scipy.special
(``sklearn.utils._array_api``), the data-frame layer narwhals (``sklearn.utils.validation`` and
``sklearn.utils._indexing``), numpy's testing, f2py, ma, polynomial, ctypeslib, char, strings,
rec and core submodules (copied from numpy's namespace by the array-API layers, scipy's and
scikit-learn's ``array_api_compat.numpy``), asyncio and pydoc (joblib's cache, the docstring
parsers), json (joblib's cache and process tracker) and html (the estimators' HTML display).
Others are imported for a few functions and classes that are only called later: scipy's sparse
linear algebra (the conjugate-gradient solver of ``sklearn.utils.fixes`` and the linear operator
of ``sklearn.utils.sparsefuncs``; it loads all of scipy.linalg), the graph Laplacian of
scipy.sparse.csgraph, scipy.linalg in ``sklearn.utils.extmath``, psutil (the process
executor's memory check and process-tree kill), threadpoolctl (scikit-learn's thread-pool
limits and version report), and joblib's pools: its process executor loky,
the memory-mapping executor and pool and the standard library's thread pool, which joblib's
backends create when a parallel run first wants workers. Loading them is most of the time it
takes to load a forecaster (scipy.linalg also starts scipy's own BLAS threads).

When scikit-learn is first loaded after this package, those imports get a stand-in that imports
the real module the first time one of its attributes is read, and then puts the real module in
place of every stand-in for it that a module bound. A function or class taken from such a module
is a stand-in that does the same when it is called (or read, or asked ``isinstance``). A
stand-in is never left registered as the module itself: pandas stays absent from ``sys.modules``
until someone imports it (scikit-learn reads that to tell data frames from arrays), and scipy's
and numpy's submodules are reached through their packages' own lazy submodule access. A module
that reads one of them while it loads gets the real module; what is not installed gets no
stand-in, so an optional import fails as it would. Nothing changes once scikit-learn is loaded,
or if it was loaded first.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import sys
import threading
import types

# numpy's submodules that copying numpy's namespace reads but nothing uses while loading.
_NUMPY_EXTRAS = (
    "numpy.testing",
    "numpy.f2py",
    "numpy.random",
    "numpy.ma",
    "numpy.polynomial",
    "numpy.ctypeslib",
    "numpy.char",
    "numpy.strings",
    "numpy.rec",
    "numpy.core",
)
# ``import narwhals.stable.v2 as nw``: the package and its parents, each a stand-in.
_NARWHALS = ("narwhals", "narwhals.stable", "narwhals.stable.v2")

# Module being loaded -> the modules it imports only to keep at hand (parents first).
_LATER = {
    "sklearn.utils._array_api": ("scipy.special",),
    "sklearn.utils.validation": _NARWHALS,
    "sklearn.utils._indexing": _NARWHALS,
    "scipy._lib.array_api_compat.numpy": _NUMPY_EXTRAS,
    "sklearn.externals.array_api_compat.numpy": _NUMPY_EXTRAS,
    "joblib.memory": ("asyncio", "pydoc"),
    "joblib._store_backends": ("json",),
    "joblib.externals.loky.backend.resource_tracker": ("json",),
    "sklearn.utils._repr_html.common": ("html",),
    "sklearn.utils._repr_html.estimator": ("html",),
    "sklearn.utils._repr_html.features": ("html",),
    "sklearn.utils._repr_html.fitted_attributes": ("html",),
    "sklearn.utils._repr_html.params": ("html",),
    "scipy._lib._docscrape": ("pydoc",),
    "sklearn.externals._numpydoc.docscrape": ("pydoc",),
    "sklearn.utils.fixes": ("scipy.stats", "pandas", "scipy.sparse.linalg", "scipy.sparse.csgraph"),
    "sklearn.utils.sparsefuncs": ("scipy.sparse.linalg",),
    "sklearn.utils.extmath": ("scipy.linalg",),
    "joblib.externals.loky.backend.utils": ("psutil",),
    "joblib.externals.loky.process_executor": ("psutil",),
    "sklearn.utils.parallel": ("threadpoolctl",),
    "sklearn.utils._show_versions": ("threadpoolctl",),
    # joblib's process executor (loky) is loaded when a process pool is first wanted.
    "joblib": (),
    "joblib._cloudpickle_wrapper": ("joblib.externals.loky",),
    "joblib._parallel_backends": (
        "joblib.executor",
        "joblib.externals.loky",
        "joblib.externals.loky.process_executor",
        "joblib.pool",
        "multiprocessing.pool",
    ),
    "joblib._utils": ("joblib.externals.loky", "joblib.externals.loky.process_executor"),
    "joblib.parallel": ("joblib.externals.loky",),
}
# Deferred module -> the functions and classes of it that a loading module takes (``from m
# import f``, ``g = m.f``) only to call them later: each is a stand-in that imports the module
# when it is called and then puts the real one in its place.
_CALLED_LATER = {
    "scipy.sparse.linalg": ("cg", "LinearOperator"),
    "scipy.sparse.csgraph": ("laplacian",),
    "psutil": ("Process",),
    "threadpoolctl": ("ThreadpoolController", "threadpool_info"),
    "joblib.executor": ("get_memmapping_executor",),
    "joblib.pool": ("MemmappingPool",),
    "multiprocessing.pool": ("ThreadPool",),
    "joblib.externals.loky": ("cpu_count", "wrap_non_picklable_objects"),
    # The exception is caught by joblib's loky backend only once its executor exists, which
    # imports this module, and an imported module takes the place of its stand-ins at once.
    "joblib.externals.loky.process_executor": ("ShutdownExecutorError", "_ExceptionWithTraceback"),
}
_lock = threading.RLock()


class _OnFirstUse(types.ModuleType):
    """Stands for a module until an attribute is read: then imports the real module and puts it
    in the place of every stand-in for it that a loaded module bound."""

    def __getattr__(self, attr):
        if attr == "__path__" and self.__name__ in _plain:
            raise AttributeError(attr)  # what a module that is no package answers
        return getattr(_load(self), attr)


class _CallOnFirstUse:
    """Stands for a function or class of a module not imported yet: calling it (or reading it
    further) imports the module, and the real one takes the place of every stand-in for it that a
    loaded module bound."""

    def __init__(self, stand_in: _OnFirstUse, attr: str):
        self._stand_in = stand_in
        self._attr = attr
        self.__name__ = self.__qualname__ = attr

    def _real(self):
        return getattr(_load(self._stand_in), self._attr)

    def __call__(self, *args, **kwargs):
        return self._real()(*args, **kwargs)

    def __instancecheck__(self, obj):
        return isinstance(obj, self._real())

    def __subclasscheck__(self, cls):
        return issubclass(cls, self._real())

    def __getattr__(self, attr):
        return getattr(self._real(), attr)

    def __repr__(self):
        return f"<stand-in for {self._stand_in.__name__}.{self._attr}>"


# Module name -> (module, name, stand-in): where a loaded module bound a stand-in for the module
# or for one of its functions or classes.
_bindings: dict = {}
# Stand-ins for modules that are no packages.
_plain: set = set()


def _module_of(stand_in) -> _OnFirstUse:
    return stand_in._stand_in if isinstance(stand_in, _CallOnFirstUse) else stand_in


_MISSING = object()


def _real_for(stand_in, module):
    if isinstance(stand_in, _CallOnFirstUse):
        return getattr(module, stand_in._attr, _MISSING)
    return module


def _put_in_place(name: str, module) -> None:
    """The real module (or its function or class) in place of every stand-in bound for it."""
    with _lock:
        for holder, bound, held in _bindings.pop(name, ()):
            real = _real_for(held, module)
            if real is not _MISSING and vars(holder).get(bound) is held:
                setattr(holder, bound, real)
        _finder.leave_if_done()


def _load(stand_in: _OnFirstUse):
    """The real module of a stand-in, imported if need be; put in place of what was bound."""
    name = stand_in.__name__
    with _lock:
        if sys.modules.get(name) is stand_in:  # still standing in: leave the place to the module
            del sys.modules[name]
    module = importlib.import_module(name)
    _put_in_place(name, module)
    return module


def _place(names) -> dict:
    """Stand-ins for the modules not imported yet, registered and, for a submodule, set as an
    attribute of its package (``import a.b as c`` reads the attribute)."""
    placed = {}
    for name in names:
        if name in sys.modules:
            continue
        parent, _, child = name.rpartition(".")
        package = importlib.import_module(parent) if parent else None
        if not isinstance(package, _OnFirstUse):
            found = importlib.util.find_spec(name)
        elif "__path__" in vars(package):  # found where the package would look
            found = importlib.machinery.PathFinder.find_spec(name, package.__path__)
        else:
            found = None
        # A module that is not installed is left to fail (or be done without) as it would.
        if found is None and not isinstance(package, _OnFirstUse):
            continue
        stand_in = _OnFirstUse(name)
        if name in _CALLED_LATER:
            for attr in _CALLED_LATER[name]:
                setattr(stand_in, attr, _CallOnFirstUse(stand_in, attr))
            # ``from a.b import f`` asks a package for ``__path__`` before it reads ``f``.
            if found is not None and found.submodule_search_locations is not None:
                stand_in.__path__ = list(found.submodule_search_locations)
        if found is not None and found.submodule_search_locations is None:
            _plain.add(name)
        with _lock:
            if name in sys.modules:
                continue
            sys.modules[name] = stand_in
            if package is not None and child not in vars(package):
                setattr(package, child, stand_in)
        placed[name] = (stand_in, package, child)
    return placed


def _withdraw(placed: dict, module) -> None:
    """Removes the stand-ins still in place (what was imported meanwhile stays), and notes where
    the loaded module bound one, so that its first use puts the real module there."""
    with _lock:
        pending = {}
        for name, (stand_in, package, child) in placed.items():
            if sys.modules.get(name) is stand_in:
                del sys.modules[name]
                pending[id(stand_in)] = stand_in
            if package is not None and vars(package).get(child) is stand_in:
                if "__getattr__" in vars(package):  # the package imports it when it is read
                    delattr(package, child)
                elif stand_in is pending.get(id(stand_in)):
                    _bindings.setdefault(name, []).append((package, child, stand_in))
        # Its own stand-ins, and those of a module that is loading it (bound in both).
        for bound, value in list(vars(module).items()):
            if not isinstance(value, (_OnFirstUse, _CallOnFirstUse)):
                continue
            name = _module_of(value).__name__
            real = sys.modules.get(name)
            if real is None or isinstance(real, _OnFirstUse):
                _bindings.setdefault(name, []).append((module, bound, value))
            else:  # used while loading: the real one is there
                setattr(module, bound, _real_for(value, real))


class _LoaderWithStandIns:
    """Runs a module's body with stand-ins for the modules it imports only to keep at hand; once
    a module that has stand-ins bound for it is loaded, puts it in their place."""

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
            _withdraw(placed, module)
            _finder.done(module.__name__)
        _put_in_place(module.__name__, module)

    def __getattr__(self, name):  # everything else of the real loader (get_source, ...)
        return getattr(self.loader, name)


class _Finder:  # a meta path finder (importlib.abc is not imported for its base class)
    """Finds the modules to load with stand-ins, and those that have stand-ins bound for them,
    as long as there are any."""

    def __init__(self):
        self.pending = {m for m in _LATER if m not in sys.modules}

    def find_spec(self, fullname, path, target=None):
        if fullname not in self.pending and fullname not in _bindings:
            return None
        for finder in list(sys.meta_path):
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            module_spec = finder.find_spec(fullname, path, target)
            if module_spec is not None:
                if module_spec.loader is not None and hasattr(module_spec.loader, "exec_module"):
                    names = _LATER[fullname] if fullname in self.pending else ()
                    module_spec.loader = _LoaderWithStandIns(module_spec.loader, names)
                return module_spec
        return None

    def done(self, name):
        self.pending.discard(name)
        self.leave_if_done()

    def leave_if_done(self):
        with _lock:
            if not self.pending and not _bindings:
                try:
                    sys.meta_path.remove(self)
                except ValueError:
                    pass


_finder = _Finder()
if _finder.pending and "sklearn" not in sys.modules:
    sys.meta_path.insert(0, _finder)
