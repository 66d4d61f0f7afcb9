#!/usr/bin/env bash
# Builds zelvorin-cleanup.exe and runs it under Wine, passing the arguments
# through. The registry it cleans is the Wine prefix's: WINEPREFIX if set,
# else a project-local 32-bit prefix in build/wineprefix.
# Where this machine cannot run 32-bit programs, it runs in the emulated
# machine instead (tests/emulated), against a prefix kept between runs on the
# disk build/emulated-prefix.img; a box appears on that machine's own screen,
# so its text is printed, a screenshot saved as build/box.png, and the box
# dismissed (scripts/run_unattended.py).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake --preset win32-release >/dev/null
if python3 tests/emulated/emulated_machine.py needed; then
  cmake --build --preset win32-release --target zelvorin-cleanup cleanup-test-driver
  status=0
  python3 tests/emulated/emulated_machine.py run --disk build/emulated-prefix.img:/var/lib/cleanup-prefixes \
    --env CLEANUP_WINE_PREFIXES=/var/lib/cleanup-prefixes -- \
    python3 scripts/run_unattended.py build/win32-release "$@" || status=$?
  exit "$status"
fi
cmake --build --preset win32-release --target zelvorin-cleanup

export WINEPREFIX=${WINEPREFIX:-$PWD/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
if [ ! -d "$WINEPREFIX" ]; then
  echo "Creating a 32-bit Wine prefix in $WINEPREFIX"
  WINEARCH=win32 WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1
  # The title bar's close button needs Wine's Marlett font in the prefix.
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi

status=0
wine build/win32-release/zelvorin-cleanup.exe "$@" || status=$?
echo "zelvorin-cleanup.exe exit status: $status"
exit "$status"
