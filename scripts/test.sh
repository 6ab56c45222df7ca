#!/usr/bin/env bash
# Runs every test of the project from a fresh machine: installs what is needed, then lint and
# format checks, the engine's GoogleTest suite (built with AddressSanitizer and
# UndefinedBehaviorSanitizer), a bounded fuzzing run of the engine, the Python fuzz and
# input-safety suites against sanitized extension modules, and the Python test suite against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh --dev

echo "== lint (ruff) and format (clang-format)"
.venv/bin/ruff check src tests bench
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

echo "== engine tests (ASan + UBSan)"
cmake -S . -B build/engine-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTW_BUILD_PYTHON=OFF \
  -DTW_BUILD_ENGINE_TESTS=ON -DTW_SANITIZE=ON -DTW_WERROR=ON >/dev/null
cmake --build build/engine-asan --target tarn_tests
(cd build/engine-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure --no-tests=error -j2)

if [ -x scripts/fuzz.sh ]; then
  echo "== engine fuzzing (bounded)"
  FUZZ_SECONDS=${FUZZ_SECONDS:-30} scripts/fuzz.sh
fi

echo "== Python surface under ASan + UBSan (random and unusual input)"
scripts/asan-python.sh

echo "== Python tests"
# Run from tests/ so the installed package, not the source tree, is imported.
cd "$root/tests"
"$root/.venv/bin/python" -m pytest -p no:cacheprovider "$@"
