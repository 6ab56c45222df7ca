#!/usr/bin/env bash
# Runs every test of the project from a fresh machine: installs what is needed, then lint and
# format checks, the engine's GoogleTest suite (built with AddressSanitizer and
# UndefinedBehaviorSanitizer), a bounded fuzzing run of the engine, the Python fuzz and
# input-safety suites against sanitized extension modules, and the Python test suite against the
# installed package (current pandas) and once more against pandas 2.
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
# A failure here still lets the pandas 2 leg run; the script then exits non-zero.
cd "$root/tests"
status=0
"$root/.venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=1

# The set-up installs the current pandas; the package also supports pandas 2 (pyproject.toml:
# pandas>=2.0), so the suite runs again in a second environment with pandas 2, installed from the
# wheel the set-up built (no second C++ build); it costs about 1.5 CPU minutes. TW_PANDAS2_TESTS
# names test files to run there instead (e.g. "test_cli.py test_dates.py"); TW_PANDAS2=0 skips
# the leg.
read -r -a pandas2_tests <<<"${TW_PANDAS2_TESTS:-}"
if [ "${TW_PANDAS2:-1}" != 0 ]; then
  echo "== Python tests against pandas 2"
  cd "$root"
  venv2=build/venv-pandas2
  [ -x "$venv2/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv2"
  mapfile -t deps < <("$venv2/bin/python" scripts/requirements.py plot,test,dask)
  "$venv2/bin/python" -m pip install -q "${deps[@]}" "pandas<3" 2>&1 |
    { grep -v "^WARNING: Location" || true; }
  "$venv2/bin/python" -m pip install -q --no-deps --force-reinstall build/wheel/tidewell_ts_libs-*.whl \
    2>&1 | { grep -v "^WARNING: Location" || true; }
  "$venv2/bin/python" -c 'import pandas; print("pandas", pandas.__version__)'
  cd "$root/tests"
  timeout "${TW_PANDAS2_TIMEOUT:-1200}" "$root/$venv2/bin/python" -m pytest -p no:cacheprovider \
    "$@" "${pandas2_tests[@]}" || status=1
  [ "$status" -eq 0 ] || echo "test.sh: Python tests failed (see above)" >&2
fi
exit "$status"
