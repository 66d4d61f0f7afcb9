#!/usr/bin/env bash
# Fuzzes the command-line tail cutter for longer than the test run does.
# Usage: scripts/fuzz.sh [SECONDS]   (default: one hour)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --preset host -DCLEANUP_WINE_TESTS=OFF >/dev/null
cmake --build --preset host --target tail-fuzz tail-fuzz-seeds
bash tests/fuzz/run_fuzz.sh build/host/tests/fuzz/tail-fuzz build/host/tests/fuzz/tail-fuzz-seeds \
  build/fuzz-long "${1:-3600}"
