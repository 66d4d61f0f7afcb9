#!/usr/bin/env bash
# clang-tidy (configured by .clang-tidy) and cppcheck over the project's own
# code; any finding fails. Usage: run_static_analysis.sh SOURCE_DIR HOST_BUILD_DIR
# The host build folder holds the compile databases of the host build and of
# the two Windows builds (win32-clang, win32-gcc) beneath it.
set -euo pipefail
source_dir=$1 build=$2
cd "$source_dir"

status=0
tidy() {
  local database=$1
  shift
  echo "clang-tidy: $*"
  clang-tidy --quiet -p "$database" "$@" 2>/dev/null || status=1
}

# The program as the Clang build compiles it for Windows.
tidy "$build/win32-clang" cleanup/*.cpp
# The host tests and the fuzzer.
tidy "$build" tests/host/*.cpp tests/fuzz/*.cpp
# The test driver is built by MinGW-w64 GCC; Clang needs that compiler's C++
# headers spelled out to read it.
gxx_includes=()
while read -r folder; do
  gxx_includes+=("--extra-arg=-isystem$folder")
done < <(i686-w64-mingw32-g++ -E -x c++ -v - </dev/null 2>&1 |
         sed -n '/#include <...> search starts here/,/End of search list/p' | sed -n 's/^ \(.*c++.*\)$/\1/p')
tidy "$build/win32-gcc" "${gxx_includes[@]}" tests/wine/driver.cpp tests/wine/marker_dll.cpp

# Newer cppcheck (2.11 on) cuts its branch analysis short unless told not to,
# and reports that as a finding; older ones know no such option.
depth=()
cppcheck --help | grep -q -- --check-level && depth=(--check-level=exhaustive)
echo "cppcheck: cleanup tests"
cppcheck --quiet "${depth[@]}" --enable=warning,style,performance,portability --std=c++17 --language=c++ \
  --library=windows --library=googletest --inline-suppr --error-exitcode=1 \
  -I cleanup -I tests/host cleanup tests || status=1

[ "$status" -eq 0 ] && echo "static analysis: no findings"
exit "$status"
