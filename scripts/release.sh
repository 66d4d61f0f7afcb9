#!/usr/bin/env bash
# Builds the release from scratch and puts it in build/release: the program,
# SHA256SUMS, and the README with its pictures. The build is reproducible:
# the same sources give the same bytes, whatever the folder or the time.
#
# Asked to, it signs the program (Authenticode, SHA-256) with osslsigncode:
#   scripts/release.sh --pkcs12 FILE [--timestamp URL]
#   scripts/release.sh --pkcs11-module LIBRARY --key PKCS11-URI --cert CERTIFICATE [--timestamp URL]
# The PKCS#12 file's password, or the token's PIN, is read from the
# environment variable ZELVORIN_SIGN_PASSWORD (empty when unset), never from
# the command line, where other users of the machine could see it.
set -euo pipefail

usage() {
  echo "usage: $0 [--pkcs12 FILE | --pkcs11-module LIBRARY --key PKCS11-URI --cert CERTIFICATE] [--timestamp URL]" >&2
  exit 2
}

# A file given on the command line, as an absolute path: the build runs from
# the project's folder.
existing_file() {
  realpath -e -- "$1" 2>/dev/null || { echo "$0: no such file: $1" >&2; exit 2; }
}

pkcs12= module= key= cert= timestamp=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] && [ -n "$2" ] || usage
  case $1 in
    --pkcs12) pkcs12=$(existing_file "$2") ;;
    --pkcs11-module) module=$(existing_file "$2") ;;
    --key) key=$2 ;;
    --cert) cert=$(existing_file "$2") ;;
    --timestamp) timestamp=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$pkcs12" ]; then
  [ -z "$module$key$cert" ] || usage
elif [ -n "$module$key$cert" ]; then
  [ -n "$module" ] && [ -n "$key" ] && [ -n "$cert" ] || usage
else
  [ -z "$timestamp" ] || usage
fi
signing=$pkcs12$module

cd "$(dirname "$0")/.."
scripts/install-deps.sh "$([ -n "$signing" ] && echo sign || echo run)"
rm -rf build/win32-release build/release
cmake --preset win32-release >/dev/null
cmake --build --preset win32-release --target zelvorin-cleanup
cmake --install build/win32-release --prefix build/release >/dev/null

if [ -n "$signing" ]; then
  program=build/release/zelvorin-cleanup.exe
  sign=(osslsigncode sign -h sha256 -n "Zelvorin registry clean-up"
    -in build/win32-release/zelvorin-cleanup.exe -out "$program.signed")
  if [ -n "$pkcs12" ]; then
    sign+=(-pkcs12 "$pkcs12")
  else
    # Given only the module, osslsigncode finds OpenSSL's pkcs11 engine by
    # name; older versions fail when also given the engine's path.
    sign+=(-pkcs11module "$module" -key "$key" -certs "$cert")
  fi
  [ -z "$timestamp" ] || sign+=(-ts "$timestamp")
  if [ -n "${ZELVORIN_SIGN_PASSWORD:-}" ]; then
    "${sign[@]}" -readpass <(printf '%s' "$ZELVORIN_SIGN_PASSWORD")
  else
    "${sign[@]}"
  fi
  mv "$program.signed" "$program"
  cmake -DOUTPUT=build/release/SHA256SUMS -DFILES="$program" -P cmake/write-checksums.cmake
fi
cat build/release/SHA256SUMS
