#!/usr/bin/env bash
# The main job: installs what is missing, builds and installs zel, runs the example
# frame loop (a particle simulation at 60 Hz for four seconds, with user metrics,
# nested and decorated scopes, and a second thread) recording it with flame frames,
# and prints what the capture holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
python -m pip install -q --no-build-isolation .
rm -f demo.zel
env -u ZEL_RECORD -u ZEL_RECORD_FLAME -u ZEL_RECORD_EVERY -u ZEL_RECORD_MAX_FRAMES \
  python examples/frame_loop.py demo.zel
python -m zel report demo.zel -o report.html
