#!/usr/bin/env bash
# Every test: installs what is missing, builds the wheel and checks that it is
# really stable-ABI, runs the C++ tests (with gcc, then built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, and under ThreadSanitizer), the
# Python tests (the threaded ones also with the extension under ThreadSanitizer) and a
# short run of every fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test
export PATH="$PWD/.venv/bin:$PATH"

echo "== layers: no include runs upward; formatting and lint"
python scripts/check_layers.py
clang-format --dry-run --Werror $(git ls-files '*.h' '*.cc')
ruff check python tests bench examples scripts
ruff format --check python tests bench examples scripts

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

# Any sanitizer report fails the test it happens in.
export ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1
for san in asan:address,undefined tsan:thread; do
  echo "== C++ tests under -fsanitize=${san#*:}"
  CXX=clang++ cmake -S . -B "build/${san%%:*}" -G Ninja -DZEL_BUILD_TESTS=ON -DZEL_BUILD_PYTHON=OFF \
    -DZEL_SANITIZE="${san#*:}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "build/${san%%:*}"
  ctest --test-dir "build/${san%%:*}" --output-on-failure
done

echo "== Python tests"
ZEL_WRITE_CAPTURE="$PWD/build/cpp/examples/write_capture" python -m pytest -q tests/python

# The extension built under ThreadSanitizer in an ordinary interpreter: gcc's runtime,
# preloaded (clang's cannot be preloaded), sees the threads of the stress and scope tests.
echo "== thread stress and scope tests with the extension under -fsanitize=thread"
CXX=g++ cmake -S . -B build/pytsan -G Ninja -DZEL_BUILD_PYTHON=ON -DZEL_SANITIZE=thread \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/pytsan
rm -rf build/pytsan/site && mkdir -p build/pytsan/site && cp -r python/zel build/pytsan/site/
cp build/pytsan/python/ext/_zel.*.so build/pytsan/site/ && cp build/pytsan/python/ext/_native.*.so build/pytsan/site/zel/
TSAN_OPTIONS="$TSAN_OPTIONS suppressions=$PWD/scripts/tsan.supp" \
  LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" PYTHONPATH=build/pytsan/site \
  python -m pytest -q -p no:cacheprovider tests/python/test_stress.py tests/python/test_scopes.py

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

echo "== fuzzing, ${ZEL_FUZZ_SECONDS:=20}s per harness (tests/fuzz/run_fuzzers.sh HARNESS SECONDS for a long run)"
if ! tests/fuzz/run_fuzzers.sh all "$ZEL_FUZZ_SECONDS" >build/fuzz.log 2>&1; then
  tail -n 60 build/fuzz.log
  exit 1
fi
grep -E '^== |^stat::number_of_executed_units' build/fuzz.log
