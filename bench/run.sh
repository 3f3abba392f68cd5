#!/usr/bin/env bash
# Builds and runs every benchmark: the stream (C++ writer and reader, then Python
# iteration over the stream they leave behind), building a system sample, the scope
# path and flame frames in C++, Python scopes against native context managers, and the
# frame mark with its metrics and flame frames, in C++ and from Python, loading and
# exporting a capture of 1,000,000 frames, zel summary and zel report on 20,000 metric
# names, zel flame --frames ALL on 1,000,000 frames, zel scopes on 100,000 flame
# frames of 100 scopes, and zel compare of two 1,000,000-frame captures.
# Expects `_zel` importable (pip install .). With --peers it then also runs
# bench/peers.sh, zel against the tools users would pick instead (installs them from
# PyPI into bench/.venv-peers, so it needs the network).
set -euo pipefail
cd "$(dirname "$0")/.."
export ZEL_BENCH_FILE=${ZEL_BENCH_FILE:-/tmp/zel-bench.zel}
cmake -S . -B build/bench -G Ninja -DZEL_BUILD_BENCH=ON -DZEL_BUILD_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench >/dev/null
aggregates=(--benchmark_report_aggregates_only=true)
build/bench/bench/stream_bench "${aggregates[@]}"
python3 bench/read_bench.py "$ZEL_BENCH_FILE" 5
rm -f "$ZEL_BENCH_FILE"
build/bench/bench/system_bench --benchmark_repetitions=5 "${aggregates[@]}"
build/bench/bench/scope_bench "${aggregates[@]}"
env -u ZEL_RECORD python3 bench/scope_bench.py
build/bench/bench/capture_bench --benchmark_repetitions=5 "${aggregates[@]}"
python3 bench/capture_bench.py
env -u ZEL_RECORD python3 bench/load_bench.py 1000000 5
env -u ZEL_RECORD python3 bench/summary_bench.py
env -u ZEL_RECORD python3 bench/flame_bench.py
env -u ZEL_RECORD python3 bench/scopes_bench.py
env -u ZEL_RECORD python3 bench/compare_bench.py
if [[ "${1:-}" == "--peers" ]]; then
  bash bench/peers.sh
fi
