#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 or 13, and nothing
# that is already there. Usage: scripts/install-deps.sh run|build|release|sign|test
#   run:     what builds the program and runs it under Wine
#   build:   what builds the program and what tests it on Windows itself, no Wine
#   release: what builds a release, or checks one, in a Debian root of its own
#   sign:    that, and what signs a release
#   test:    all of it, and what the tests use
# Compilers and tools come as Debian's unversioned packages, so each Debian
# release brings its own versions; the ones found are printed at the end.
set -euo pipefail

need=${1:-test}
case $need in
  run | build | release | sign | test) ;;
  *) echo "usage: $0 run|build|release|sign|test" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
wants() { [[ " $* " == *" $need "* ]]; }

if wants run build test; then
  have cmake || missing+=(cmake)
  have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
fi
# The copy of the program as an older Windows runs it is made by a script.
! wants build || have python3 || missing+=(python3)
if wants run test; then
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

# apt-get update, with apt's own retries for a short glitch. An index that
# still cannot be fetched is named, with what usually causes it: apt says no
# more than that it failed, and exits 100.
update_package_lists() {
  local log status=0
  log=$(mktemp)
  $sudo apt-get update -q -o Acquire::Retries=3 2>&1 | tee "$log" || status=$?
  if [ "$status" -ne 0 ] || grep -q '^[EW]: Failed to fetch' "$log"; then
    {
      echo "$0: apt-get update could not fetch these package indexes (exit status $status):"
      sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/  \1\n    \2/p' "$log"
      echo "The usual cause is a mirror that is still syncing: it serves an index whose size or"
      echo "checksum does not match its Release file (apt: \"Mirror sync in progress?\"). That mends"
      echo "itself, often within hours, sometimes only after a day: run this script again later, or"
      echo "point /etc/apt/sources.list at another mirror. Until then nothing installs from that index;"
      echo "with the i386 architecture added, wine32:i386 cannot be installed while the security"
      echo "suite's i386 index is the one missing, since its amd64 siblings are newer there."
    } >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if wants run test && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  update_package_lists
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

wants run test || exit 0
# Where the kernel cannot run 32-bit programs (or CLEANUP_EMULATED=1 asks for
# it), the program and its tests run in an emulated x86-64 machine: QEMU, and
# what makes its Debian image (tests/emulated/emulated_machine.py).
if [ "${CLEANUP_EMULATED:-}" != 0 ] && { [ "${CLEANUP_EMULATED:-}" = 1 ] || ! wine --version >/dev/null 2>&1; }; then
  emulator=()
  have qemu-system-x86_64 || emulator+=(qemu-system-x86)
  have mmdebstrap || emulator+=(mmdebstrap)
  have mkfs.ext4 || emulator+=(e2fsprogs)
  have python3 || emulator+=(python3)
  if [ ${#emulator[@]} -gt 0 ]; then
    echo "Installing the emulated machine's parts: ${emulator[*]}"
    [ ${#missing[@]} -gt 0 ] || update_package_lists
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${emulator[@]}"
  fi
fi
# The presets need CMake 3.25. The other versions are only said, so that a
# failure can be matched to what it ran with: the tests have run on Debian
# 12's and 13's (Wine 8.0 and 10.0, MinGW-w64 GCC 12 and 14, Clang 14 and 19).
cmake_version=$(cmake --version | sed -n '1s/^cmake version //p')
if ! printf '3.25\n%s\n' "$cmake_version" | sort -C -V; then
  echo "$0: found CMake $cmake_version; the presets need 3.25 or later" >&2
  exit 1
fi
if ! wine_version=$(wine --version 2>&1); then
  # Some kernels (and virtual machines) have 32-bit emulation turned off.
  echo "$0: Wine cannot run here natively: $wine_version" >&2
  echo "$0: so it runs in the emulated machine, and so do the tests under Wine" >&2
  wine_version="Wine (not natively)"
fi
found="CMake $cmake_version, $wine_version, MinGW-w64 GCC $(i686-w64-mingw32-g++ -dumpfullversion)"
! have qemu-system-x86_64 || found+=", $(qemu-system-x86_64 --version | sed -n '1s/ (.*//p')"
! wants test || found+=", Clang $(clang++ -dumpversion), $(cppcheck --version)"
echo "install-deps: found $found"
