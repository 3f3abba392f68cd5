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

echo "== the same wheel under every other CPython 3.9 or later that pyenv has"
if command -v pyenv >/dev/null; then
  current=$(python -c 'import platform; print(platform.python_version())')
  for v in $(pyenv versions --bare | grep -E '^3\.(9|[1-9][0-9])\.[0-9]+$'); do
    [[ "$v" == "$current" ]] && continue
    venv="build/py/$v"
    [[ -x "$venv/bin/python" ]] || "$(pyenv root)/versions/$v/bin/python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q pytest
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps build/wheel/*.whl
    if ! out=$(ZEL_WRITE_CAPTURE="$PWD/build/cpp/examples/write_capture" \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python 2>&1); then
      echo "$out"
      echo "CPython $v: the Python tests failed"
      exit 1
    fi
    echo "CPython $v: $(tail -n 1 <<<"$out")"
  done
fi

echo "== fuzzing (short run; tests/fuzz/run.sh SECONDS for a long one)"
tests/fuzz/run.sh "${ZEL_FUZZ_SECONDS:-30}" 2>&1 | tail -n 4
