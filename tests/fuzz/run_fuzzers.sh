#!/usr/bin/env bash
# Builds a libFuzzer harness with clang (address and undefined-behaviour sanitizers)
# and runs it for the given number of seconds (default 60), starting from its seed
# corpus (written by the build into build/fuzz/tests/fuzz/corpus/HARNESS) and the
# inputs of past findings in tests/fuzz/corpus/HARNESS. New inputs gather in
# build/fuzz/corpus/HARNESS; a crashing input is left as build/fuzz/crash-*. HARNESS
# "all" runs each in turn.
# Usage: tests/fuzz/run_fuzzers.sh HARNESS [SECONDS] [EXTRA LIBFUZZER FLAGS...]
set -euo pipefail
cd "$(dirname "$0")/../.."
harnesses=(stream flame scopes)
harness=${1:?usage: tests/fuzz/run_fuzzers.sh HARNESS|all [SECONDS] [LIBFUZZER FLAGS...]}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
if [[ "$harness" == all ]]; then
  for h in "${harnesses[@]}"; do "$0" "$h" "$seconds" "$@"; done
  exit 0
fi
[[ " ${harnesses[*]} " == *" $harness "* ]] || { echo "unknown harness $harness (${harnesses[*]})"; exit 2; }

build=build/fuzz
mkdir -p "$build"
CXX=clang++ cmake -S . -B "$build" -G Ninja -DZEL_BUILD_FUZZ=ON -DZEL_BUILD_TESTS=OFF \
  -DZEL_BUILD_PYTHON=OFF -DZEL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${harness}_fuzz" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
corpus="$build/corpus/$harness"
mkdir -p "$corpus"
seeds=("$build/tests/fuzz/corpus/$harness")
[[ -d "tests/fuzz/corpus/$harness" ]] && seeds+=("tests/fuzz/corpus/$harness")
echo "== $harness: ${seconds}s"
ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/tests/fuzz/${harness}_fuzz" "$corpus" "${seeds[@]}" \
  -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$build/" -print_final_stats=1 "$@"
