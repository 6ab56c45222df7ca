#!/usr/bin/env bash
# Runs the Python tests that feed random and unusual input to the public surface (the fuzz and
# input-safety suites) against extension modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The modules are built in build/py-asan and installed with the
# package's Python files into build/py-asan/stage; the interpreter itself is not instrumented,
# so the sanitizer runtimes are preloaded. Leak checking is off: the interpreter keeps objects
# alive until exit by design.
# Usage: scripts/asan-python.sh [pytest arguments]   (needs scripts/setup.sh --dev first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=.venv/bin/python
dir=build/py-asan
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_SANITIZE=ON \
    -DPython_EXECUTABLE="$(realpath "$py")" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
fi
cmake --build "$dir"
stage="$dir/stage"
rm -rf "$stage"
mkdir -p "$stage"
cp -r src/tidewell_ts_libs "$stage/"
find "$stage" \( -name '*.so' -o -name '*.cpp' -o -name '*.hpp' -o -name __pycache__ \) -prune \
  -exec rm -rf {} +
cmake --install "$dir" --prefix "$stage" >/dev/null
runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
cd "$root/tests"
LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$root/$stage" \
  "$root/$py" -m pytest -p no:cacheprovider "$@" test_fuzz_forecaster.py test_fuzz_utilities.py \
  test_input_safety.py
