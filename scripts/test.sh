#!/usr/bin/env bash
# Every test: installs what is missing, builds the wheel and checks that it is
# really stable-ABI, runs the C++ tests, the Python tests and a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test
export PATH="$PWD/.venv/bin:$PATH"

echo "== wheel and stable-ABI check"
rm -rf build/wheel
python -m pip wheel -q --no-build-isolation --no-deps . -w build/wheel
abi3audit --strict --report build/wheel/*.whl
python -m pip install -q --force-reinstall --no-deps build/wheel/*.whl

echo "== C++ tests"
cmake -S . -B build/cpp -G Ninja -DZEL_BUILD_TESTS=ON -DZEL_BUILD_BENCH=ON -DZEL_BUILD_EXAMPLES=ON \
  -DZEL_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure

echo "== Python tests"
ZEL_WRITE_CAPTURE="$PWD/build/cpp/examples/write_capture" python -m pytest -q tests/python

echo "== fuzzing (short run; tests/fuzz/run.sh SECONDS for a long one)"
tests/fuzz/run.sh "${ZEL_FUZZ_SECONDS:-30}" 2>&1 | tail -n 4
