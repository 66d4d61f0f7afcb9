#!/usr/bin/env bash
# Builds the program twice, from copies of the sources in two different
# folders, a few seconds apart, and checks that the executables (and their
# checksums) are identical byte for byte.
# Usage: check_reproducible.sh SOURCE_DIR TOOLCHAIN_FILE SCRATCH_DIR
set -euo pipefail
source_dir=$1 toolchain=$2 scratch=$3

rm -rf "$scratch"
build() {
  local copy=$1
  mkdir -p "$copy"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
  cmake -S "$copy" -B "$copy/out" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/$(basename "$toolchain")" \
    -DCMAKE_BUILD_TYPE=Release -DCLEANUP_TEST_DRIVER=OFF >/dev/null
  cmake --build "$copy/out" --target zelvorin-cleanup >/dev/null
}
build "$scratch/one"
sleep 2
build "$scratch/a/much/longer/folder/two"

status=0
for file in zelvorin-cleanup.exe SHA256SUMS; do
  if cmp "$scratch/one/out/$file" "$scratch/a/much/longer/folder/two/out/$file"; then
    echo "ok   - $file is identical in both builds"
  else
    echo "FAIL - $file differs between the builds"
    status=1
  fi
done
# A build path anywhere in the binary would make it depend on the folder.
if grep -q -a -e "$scratch" "$scratch/one/out/zelvorin-cleanup.exe"; then
  echo "FAIL - the executable holds its build path"
  status=1
else
  echo "ok   - the executable holds no build path"
fi
rm -rf "$scratch"
exit $status
