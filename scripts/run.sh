#!/usr/bin/env bash
# Builds zelvorin-cleanup.exe and runs it under Wine, passing the arguments
# through. The registry it cleans is the Wine prefix's: WINEPREFIX if set,
# else a project-local 32-bit prefix in build/wineprefix.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake --preset win32-release >/dev/null
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
