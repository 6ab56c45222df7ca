"""Prints the package's Python dependencies and those of the given extras, one a line.

    python scripts/requirements.py plot,test    (needs Python 3.11+: reads pyproject.toml)
"""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())[
    "project"
]
requirements = list(project["dependencies"])
for extra in filter(None, (sys.argv[1] if len(sys.argv) > 1 else "").split(",")):
    requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
