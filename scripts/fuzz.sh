#!/usr/bin/env bash
# Fuzzes the command-line tail cutter for longer than the test run does.
# Usage: scripts/fuzz.sh [SECONDS]   (default: one hour)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
# A build folder of its own: the host preset's folder keeps its Wine tests.
cmake --preset host-only >/dev/null
cmake --build --preset host-only --target tail-fuzz tail-fuzz-seeds
bash tests/fuzz/run_fuzz.sh build/host-only/tests/fuzz/tail-fuzz build/host-only/tests/fuzz/tail-fuzz-seeds \
  build/fuzz-long "${1:-3600}"
