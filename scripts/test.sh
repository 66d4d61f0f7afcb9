#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: the host
# tests and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --workflow --preset test
