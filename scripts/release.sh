#!/usr/bin/env bash
# Builds the release from scratch and puts it in build/release: the program,
# SHA256SUMS, and the README with its pictures. The build is reproducible:
# the same sources give the same bytes, whatever the folder or the time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
rm -rf build/win32-release build/release
cmake --preset win32-release >/dev/null
cmake --build --preset win32-release --target zelvorin-cleanup
cmake --install build/win32-release --prefix build/release >/dev/null
cat build/release/SHA256SUMS
