#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, and nothing that
# is already there. Usage: scripts/install-deps.sh run|sign|test
# (sign: also what signs a release; test: all of it, and what the tests use)
set -euo pipefail

need=${1:-test}
case $need in
  run | sign | test) ;;
  *) echo "usage: $0 run|sign|test" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

have cmake || missing+=(cmake)
have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
have wine || missing+=(wine)
package wine32:i386 || missing+=(wine32:i386)
# The box's title bar draws its close button with Wine's Marlett font.
package fonts-wine || missing+=(fonts-wine)
if [ "$need" != run ]; then
  have osslsigncode || missing+=(osslsigncode)
  # osslsigncode reaches a token or HSM through OpenSSL's pkcs11 engine.
  package libengine-pkcs11-openssl || missing+=(libengine-pkcs11-openssl)
fi
if [ "$need" = test ]; then
  have openssl || missing+=(openssl)
  have softhsm2-util || missing+=(softhsm2)
  have g++ || missing+=(g++)
  have python3 || missing+=(python3)
  have Xvfb || missing+=(xvfb)
  # A convert on the PATH may be a stand-in; the screenshots need the real one.
  package imagemagick || missing+=(imagemagick)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  package wine64 || missing+=(wine64)
  have clang++ || missing+=(clang)
  have ld.lld || missing+=(lld)
  have llvm-windres-14 || missing+=(llvm-14)
  package libclang-rt-14-dev || missing+=(libclang-rt-14-dev)
  have clang-tidy || missing+=(clang-tidy)
  have cppcheck || missing+=(cppcheck)
fi

[ ${#missing[@]} -gt 0 ] || exit 0
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
