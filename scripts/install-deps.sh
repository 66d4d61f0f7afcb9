#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 or 13, and nothing
# that is already there. Usage: scripts/install-deps.sh run|release|sign|test
#   run:     what builds the program and runs it under Wine
#   release: what builds a release, or checks one, in a Debian root of its own
#   sign:    that, and what signs a release
#   test:    all of it, and what the tests use
# Compilers and tools come as Debian's unversioned packages, so each Debian
# release brings its own versions; the ones found are printed at the end.
set -euo pipefail

need=${1:-test}
case $need in
  run | release | sign | test) ;;
  *) echo "usage: $0 run|release|sign|test" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
wants() { [[ " $* " == *" $need "* ]]; }

if wants run test; then
  have cmake || missing+=(cmake)
  have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
  have wine || missing+=(wine)
  package wine32:i386 || missing+=(wine32:i386)
  # The box's title bar draws its close button with Wine's Marlett font.
  package fonts-wine || missing+=(fonts-wine)
fi
if wants release sign test; then
  have mmdebstrap || missing+=(mmdebstrap)
  # Shows the certificates of a signature that is checked.
  have openssl || missing+=(openssl)
fi
if wants sign test; then
  have osslsigncode || missing+=(osslsigncode)
  # osslsigncode reaches a token or HSM through OpenSSL's pkcs11 engine.
  package libengine-pkcs11-openssl || missing+=(libengine-pkcs11-openssl)
fi
if wants test; then
  have softhsm2-util || missing+=(softhsm2)
  have g++ || missing+=(g++)
  have python3 || missing+=(python3)
  have Xvfb || missing+=(xvfb)
  # A convert on the PATH may be a stand-in; the screenshots need the real one.
  package imagemagick || missing+=(imagemagick)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  package wine64 || missing+=(wine64)
  # Debian's default Clang, with its resource compiler (llvm) and the
  # runtimes of libFuzzer and the sanitizers (libclang-rt-dev).
  package clang || missing+=(clang)
  package lld || missing+=(lld)
  package llvm || missing+=(llvm)
  package libclang-rt-dev || missing+=(libclang-rt-dev)
  have clang-tidy || missing+=(clang-tidy)
  have cppcheck || missing+=(cppcheck)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if wants run test && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

wants run test || exit 0
# The presets need CMake 3.25. The other versions are only said, so that a
# failure can be matched to what it ran with: the tests have run on Debian
# 12's and 13's (Wine 8.0 and 10.0, MinGW-w64 GCC 12 and 14, Clang 14 and 19).
cmake_version=$(cmake --version | sed -n '1s/^cmake version //p')
if ! printf '3.25\n%s\n' "$cmake_version" | sort -C -V; then
  echo "$0: found CMake $cmake_version; the presets need 3.25 or later" >&2
  exit 1
fi
found="CMake $cmake_version, $(wine --version), MinGW-w64 GCC $(i686-w64-mingw32-g++ -dumpfullversion)"
! wants test || found+=", Clang $(clang++ -dumpversion), $(cppcheck --version)"
echo "install-deps: found $found"
