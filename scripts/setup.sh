#!/usr/bin/env bash
# Installs what building and testing zel needs, skipping what is already there, and
# prepares the virtual environment .venv. Safe to run again.
#   scripts/setup.sh          build tools and liblz4
#   scripts/setup.sh --test   also GoogleTest, Google Benchmark, clang and the test tools
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(liblz4-dev pkg-config g++)
pip_packages=(cmake ninja scikit-build-core)
if [[ "${1:-}" == "--test" ]]; then
  # chromium: the report test opens the page in a headless browser
  packages+=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format chromium)
  pip_packages+=(pytest abi3audit build numpy pandas pyarrow duckdb ruff)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

[[ -x .venv/bin/python ]] || python3 -m venv .venv
.venv/bin/python -m pip install -q "${pip_packages[@]}"
