#!/usr/bin/env bash
# zel against nvtx, viztracer, tensorboardX, rerun and csv (bench/peers.py), in a
# virtual environment of its own, bench/.venv-peers: the peers come from PyPI at the
# versions bench/BENCHMARKS.md quotes, zel is built from this tree. None of them becomes a
# dependency of zel. Needs the network for the first install; scripts/setup.sh first.
#   bench/peers.sh            the full run (about 5 minutes on 2 cores)
#   bench/peers.sh --quick    a smoke run of a few seconds
# Other arguments go to bench/peers.py (--rounds N, --frames N, --loops N, --json PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=bench/.venv-peers
[[ -x $venv/bin/python ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  nvtx==0.2.17 viztracer==1.1.1 tensorboardX==2.6.5 "rerun-sdk[catalog]==0.41.0" numpy
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$venv/bin/python" -m pip install -q --disable-pip-version-check .
exec "$venv/bin/python" bench/peers.py "$@"
