#!/usr/bin/env bash
# Builds the stream fuzzer with clang (address and undefined-behaviour sanitizers)
# and runs it for the given number of seconds (default 60) from a seed corpus of
# real streams. Usage: tests/fuzz/run.sh [SECONDS] [EXTRA LIBFUZZER FLAGS...]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
build=build/fuzz
CXX=clang++ cmake -S . -B "$build" -G Ninja -DZEL_BUILD_FUZZ=ON -DZEL_BUILD_PYTHON=OFF \
  -DZEL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target stream_fuzz stream_seeds >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
corpus="$build/corpus"
mkdir -p "$corpus"
"$build/tests/fuzz/stream_seeds" "$corpus"
UBSAN_OPTIONS=halt_on_error=1 "$build/tests/fuzz/stream_fuzz" "$corpus" \
  -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 "$@"
