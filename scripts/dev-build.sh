#!/usr/bin/env bash
# Incremental developer build: compiles the extension modules into build/dev (or $TW_BUILD_DIR)
# and copies them next to their sources, so `PYTHONPATH=src python -m pytest` runs the tree as is.
# Usage: scripts/dev-build.sh [cmake target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
dir=${TW_BUILD_DIR:-build/dev}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_INPLACE=ON \
    -DPython_EXECUTABLE="$(realpath "$py")" \
    -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
fi
if [ $# -gt 0 ]; then
  targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$dir" "${targets[@]}"
else
  cmake --build "$dir"
fi
