#!/usr/bin/env bash
# Builds the engine's libFuzzer targets (engine/fuzz/*.cpp) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, and runs each for a bounded time. Exits non-zero
# when a target finds a crash; the input that caused it is left in build/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [seconds per target]   (default $FUZZ_SECONDS or 60)
# TARN_FUZZ_BUILDERS=hws,arima restricts fuzz_model_state to some builders.
# Needs clang and the libFuzzer runtime (Debian: clang libclang-rt-14-dev, or the version at hand).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-${FUZZ_SECONDS:-60}}
dir=${TW_FUZZ_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-2}
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi
san="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$san" \
    -DTW_BUILD_FUZZ=ON -DTW_BUILD_PYTHON=OFF >/dev/null
fi
targets=()
for src in engine/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
build_args=()
for t in "${targets[@]}"; do build_args+=(--target "$t"); done
cmake --build "$dir" -j "$jobs" "${build_args[@]}"
status=0
for t in "${targets[@]}"; do
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus" "$dir/artifacts"
  echo "fuzz.sh: running $t for ${secs}s"
  if ! "$dir/engine/$t" -max_total_time="$secs" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$dir/artifacts/$t-" -print_final_stats=1 "$corpus" >"$dir/$t.log" 2>&1; then
    echo "fuzz.sh: $t found a failure; see $dir/$t.log and $dir/artifacts/" >&2
    tail -40 "$dir/$t.log" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$dir/$t.log" | head -2
  fi
done
exit $status
