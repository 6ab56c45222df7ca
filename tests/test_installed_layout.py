"""The installed package: every extension module at its own path, none from a module's parts."""

from pathlib import Path

import tidewell_ts_libs


def test_no_extension_module_is_built_from_a_modules_part_folder():
    root = Path(tidewell_ts_libs.__file__).parent
    modules = sorted(p.relative_to(root) for p in root.rglob("*.so") if "libtarn" not in p.name)
    strays = [m for m in modules if any(part.startswith("_") and part != "__init__"
                                        for part in m.parts[:-1])]
    assert not strays, strays
    names = {m.name.split(".")[0] for m in modules}
    assert {"quillcast_estimator", "_tarn", "score", "splitkit"} <= names
