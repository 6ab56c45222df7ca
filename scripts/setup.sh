#!/usr/bin/env bash
# Installs what the project needs on a fresh machine and builds the package into .venv.
#   scripts/setup.sh            Python package only (what the main job needs)
#   scripts/setup.sh --dev      also the C++ test tools (GoogleTest, Google Benchmark, clang)
set -euo pipefail
cd "$(dirname "$0")/.."

dev=0
[ "${1:-}" = "--dev" ] && dev=1

apt_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "== installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

apt_install g++ cmake python3-venv python3-dev
if [ "$dev" -eq 1 ]; then
  apt_install libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev clang-format
fi

py=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$py" -m venv .venv
fi
# Quiet pip; keep its errors (and drop notes about package sources that this machine lacks).
pip_install() {
  .venv/bin/python -m pip install -q "$@" 2>&1 | { grep -v "^WARNING: Location" || true; }
}
pip_install --upgrade pip
echo "== building and installing tidewell_ts_libs into .venv"
extras="plot"
[ "$dev" -eq 1 ] && extras="plot,test,dask"
# Development builds (and CI) treat compiler warnings as errors.
werror=()
[ "$dev" -eq 1 ] && werror=(--config-settings=cmake.define.TW_WERROR=ON)
pip_install "${werror[@]}" ".[$extras]"
