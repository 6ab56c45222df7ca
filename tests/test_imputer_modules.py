"""The layout of the imputer modules: they import one another without a cycle, and the classes
keep the module paths that callers and saved pickles name."""

import ast
import pickle
from pathlib import Path

import numpy as np

import tidewell_ts_libs.kelp.imputers as package
from tidewell_ts_libs.kelp.imputers import base, core, interpolators
from tidewell_ts_libs.kelp.imputers.base import FlattenImputer


def imported_modules(path):
    """The modules of this package that a source file imports, at its top or inside functions."""
    prefix = package.__name__ + "."
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module:
            names = [node.module] + [f"{node.module}.{a.name}" for a in node.names]
        elif isinstance(node, ast.Import):
            names = [a.name for a in node.names]
        else:
            continue
        found.update(n[len(prefix) :].split(".")[0] for n in names if n.startswith(prefix))
    return found


def test_imputer_modules_import_one_another_without_a_cycle():
    sources = {p.stem: p for p in Path(package.__file__).parent.glob("*.py")}
    graph = {
        name: (imported_modules(path) & set(sources)) - {name} for name, path in sources.items()
    }
    assert graph["core"] == set()
    assert "base" not in set().union(*graph.values())

    done, on_path = set(), []

    def visit(name):
        assert name not in on_path, " -> ".join(on_path + [name])
        if name in done:
            return
        on_path.append(name)
        for other in sorted(graph[name]):
            visit(other)
        on_path.pop()
        done.add(name)

    for name in sorted(graph):
        visit(name)


def test_classes_keep_the_module_paths_pickles_name():
    assert FlattenImputer.__module__ == "tidewell_ts_libs.kelp.imputers.base"
    assert interpolators.PreMLImputer.__module__ == "tidewell_ts_libs.kelp.imputers.interpolators"
    for name in ["TSImputer", "fill_ends", "time_column_index"]:
        assert getattr(base, name) is getattr(core, name)

    X = np.column_stack([np.arange(30.0), np.sin(np.arange(30.0) / 3)])
    X[[4, 11, 12, 20], 1] = np.nan
    imp = FlattenImputer(time_column=0, order=3).fit(X)
    blob = pickle.dumps(imp)
    assert b"tidewell_ts_libs.kelp.imputers.base" in blob
    again = pickle.loads(blob)
    assert type(again) is FlattenImputer
    assert type(again.base_imputer_) is interpolators.PreMLImputer
    np.testing.assert_array_equal(again.transform(X), imp.transform(X))
