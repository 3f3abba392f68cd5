#!/usr/bin/env bash
# The main job: installs what is missing, builds zel, records a small capture (a 60 Hz
# loop of 240 frames with scopes on two threads, user metrics, system columns and
# flame frames) and prints what it holds with zel.Reader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
python -m pip install -q --no-build-isolation .
cmake -S . -B build/demo -G Ninja -DZEL_BUILD_EXAMPLES=ON -DZEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/demo --target write_capture >/dev/null
build/demo/examples/write_capture demo.zel
python examples/show_capture.py demo.zel
