#!/usr/bin/env bash
# Builds the program and its do-nothing baselines and prints the size and
# speed figures. Extra arguments go to bench/benchmark.py (e.g. --rounds 300).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --preset win32-release >/dev/null
cmake --build --preset win32-release >/dev/null
python3 bench/benchmark.py --build build/win32-release --work build/bench-work "$@"
