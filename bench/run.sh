#!/usr/bin/env bash
# Builds and runs the stream benchmarks: the C++ writer and reader, then Python
# iteration over the stream they leave behind. Expects `_zel` importable (pip install .).
set -euo pipefail
cd "$(dirname "$0")/.."
export ZEL_BENCH_FILE=${ZEL_BENCH_FILE:-/tmp/zel-bench.zel}
cmake -S . -B build/bench -G Ninja -DZEL_BUILD_BENCH=ON -DZEL_BUILD_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench --target stream_bench >/dev/null
build/bench/bench/stream_bench --benchmark_report_aggregates_only=true "$@"
python3 bench/read_bench.py "$ZEL_BENCH_FILE" 5
cmake --build build/bench --target system_bench >/dev/null
build/bench/bench/system_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
rm -f "$ZEL_BENCH_FILE"
