#!/usr/bin/env bash
# Builds the release in a throwaway Debian root (mmdebstrap, as root or in a
# user namespace) with the exact toolchain of scripts/release-toolchain.txt,
# whatever Linux runs it: its bytes depend only on the sources and that list.
# It goes to build/release, flat, each file ready to upload as it is: the
# program, LICENSE, the pages and their pictures in one archive, BUILDINFO
# (what the root held) and SHA256SUMS (every other file); the toolchain's
# .deb files go to build/release-debs, to keep beside it.
#
#   scripts/release.sh [--snapshot] [--debs FOLDER] [SIGNING]
#   scripts/release.sh verify PROGRAM [SIGNATURE] [BUILDINFO] [--debs FOLDER]
#
# A release is built from a clean checkout of the commit tagged vX.Y.Z, X.Y.Z
# being project(VERSION); --snapshot builds whatever the tree holds, and says
# so in BUILDINFO. SIGNING (Authenticode, SHA-256, with osslsigncode) is
#   --pkcs12 FILE | --pkcs11-module LIBRARY --key PKCS11-URI --cert CERTIFICATE
#   [--timestamp URL] [--signing-time UNIX-TIME]
# with the password or PIN in ZELVORIN_SIGN_PASSWORD, never on the command
# line, where other users could see it; a signed release also holds the
# detached signature (.exe.pem) and the unsigned program (.unsigned.exe).
#
# verify rebuilds the program the same way from a clean checkout, attaches
# the signature (a PEM file) if one is given, and compares. Its last line is
# the verdict, its exit status that of cmp: 0 identical, 1 differs, 2 could
# not compare, whatever the reason. --debs takes the .deb files from FOLDER,
# checked against the toolchain list, instead of the archive, which serves a
# version only until a point release replaces it.
set -euo pipefail

usage() {
  echo "usage: $0 [--snapshot] [--debs FOLDER] [--pkcs12 FILE | --pkcs11-module LIBRARY --key PKCS11-URI --cert CERTIFICATE]" \
    "[--timestamp URL] [--signing-time UNIX-TIME]" >&2
  echo "       $0 verify PROGRAM [SIGNATURE] [BUILDINFO] [--debs FOLDER]" >&2
  exit 2
}
fail() {
  echo "$0: $*" >&2
  exit 2
}
# A file given on the command line, as an absolute path: the build runs from
# the project's folder.
existing_file() {
  realpath -e -- "$1" 2>/dev/null || fail "no such file: $1"
}

script=$(realpath -e -- "$0")
project=$(dirname "$(dirname "$script")")
toolchain=$project/scripts/release-toolchain.txt
suite=$(sed -n 's/^suite //p' "$toolchain")
pins() { grep -v -E '^(#|suite |$)' "$toolchain"; }
# The pins as BUILDINFO lists them.
pinned_packages() { pins | awk '{ printf " %s:%s (= %s) %s\n", $1, $3, $2, $4 }'; }
deb_name() { echo "${1}_${2//:/%3a}_$3.deb"; }
sha256() { sha256sum <"$1" | cut -d' ' -f1; }
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/\1/p' "$project/CMakeLists.txt")
tag=v$version
# The commit the sources are at, as BUILDINFO names it.
source_commit() {
  git -C "$project" rev-parse HEAD 2>/dev/null || echo "unknown (the sources are not a git checkout)"
}
# A change not committed would be in the program but in no commit that
# BUILDINFO could name: refuse_changes WHAT-ELSE-TO-DO.
refuse_changes() {
  git -C "$project" rev-parse HEAD >/dev/null 2>&1 || fail "the sources are not a git checkout; $1"
  [ -z "$(git -C "$project" status --porcelain)" ] || fail "the tree has uncommitted changes; commit them, or $1"
}
# The build inside the root: a fixed place, environment and command.
build_path=/build/zelvorin-cleanup
build_env=(LC_ALL=C.UTF-8 TZ=UTC HOME=/build PATH=/usr/bin:/bin)
build_command="cmake --preset win32-release && cmake --build --preset win32-release --target zelvorin-cleanup \
&& cmake --install build/win32-release --prefix build/release"

# Run inside the root, once mmdebstrap has made it: puts the pinned toolchain
# in it, builds, and leaves what it made in STAGE/out. STAGE holds the
# sources, the kept .deb files if any, and the signature to attach if any.
# Everything happens inside, so that it works alike as root and in a user
# namespace, whose root may not reach the caller's files; a failure is said
# on a line of its own that starts with "zelvorin-release: ".
in_root() {
  local stage=$1 name version arch sha file gone=()
  local out=$stage/out
  said() {
    echo "zelvorin-release: $*" >&2
    exit 1
  }
  mkdir -p /pinned "$out"
  if [ -d "$stage/debs" ]; then
    cp "$stage"/debs/*.deb /pinned/
  else
    while read -r name version arch sha; do
      # apt-cache says nothing of a version it lacks, and exits 0.
      [ -n "$(apt-cache show "$name=$version" 2>/dev/null </dev/null)" ] || gone+=("$name=$version")
    done < <(pins)
    [ ${#gone[@]} -eq 0 ] || said "Debian's archive no longer serves ${gone[*]}"
    chown _apt /pinned
    # shellcheck disable=SC2046
    (cd /pinned && apt-get download -q $(pins | awk '{ printf "%s=%s ", $1, $2 }'))
  fi
  while read -r name version arch sha; do
    file=$(deb_name "$name" "$version" "$arch")
    [ "$(sha256 "/pinned/$file")" = "$sha" ] ||
      said "$file is not the pinned package: its SHA-256 differs"
  done < <(pins)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends /pinned/*.deb
  cp /pinned/*.deb "$out/"
  dpkg-query -W -f='${Package}:${Architecture} (= ${Version})\n' | sort >"$out/installed"
  while read -r name version arch sha; do
    grep -q -x -F "$name:$arch (= $version)" "$out/installed" ||
      said "the root does not hold $name at its pinned version $version"
  done < <(pins)

  mkdir -p "$build_path"
  cp -a "$stage/sources/." "$build_path/"
  env -i "${build_env[@]}" sh -c "cd $build_path && $build_command"
  cp -a "$build_path/build/release" "$out/release"
  if [ -f "$stage/signature.pem" ]; then
    # osslsigncode checks the chain as it attaches, and writes nothing when it
    # has no certificates to check it against; given the signature's own, it
    # writes the file, and exits 1 when the chain ends in no trusted root.
    # The comparison that follows is the verdict, not that status.
    osslsigncode attach-signature -sigin "$stage/signature.pem" -CAfile "$stage/carried.pem" \
      -in "$build_path/build/release/zelvorin-cleanup.exe" -out "$out/attached.exe" || true
  fi
}
# Only ever as mmdebstrap's hook, inside the root it has just made.
if [ "${1:-}" = in-root ] && [ "${MMDEBSTRAP_HOOK:-}" = customize ]; then
  in_root "$2"
  exit 0
fi

# Builds in a fresh root: pinned_build WORK [DEBS-FOLDER]. WORK/stage goes
# into the root, WORK/out comes out of it.
pinned_build() {
  local work=$1 debs=${2:-} name version arch sha file
  local stage=$work/stage
  mkdir -p "$stage/sources"
  tar -C "$project" --exclude=./build --exclude=./.git -cf - . | tar -C "$stage/sources" -xf -
  if [ -n "$debs" ]; then
    mkdir -p "$stage/debs"
    while read -r name version arch sha; do
      file=$debs/$(deb_name "$name" "$version" "$arch")
      [ -f "$file" ] || fail "the folder $debs lacks $(basename "$file")"
      cp "$file" "$stage/debs/"
    done < <(pins)
  fi
  echo "Building in a Debian $suite root with the toolchain of scripts/release-toolchain.txt ..."
  if ! mmdebstrap --quiet --variant=apt --architectures=amd64 \
      --customize-hook="copy-in $stage /" \
      --customize-hook='chroot "$1" bash /stage/sources/scripts/release.sh in-root /stage' \
      --customize-hook="copy-out /stage/out $work" "$suite" /dev/null \
      "deb http://deb.debian.org/debian $suite main" "deb http://deb.debian.org/debian $suite-updates main" \
      "deb http://deb.debian.org/debian-security $suite-security main" >"$work/mmdebstrap.log" 2>&1; then
    if grep -q '^zelvorin-release: ' "$work/mmdebstrap.log"; then
      sed -n "s|^zelvorin-release: |$0: |p" "$work/mmdebstrap.log" >&2
      ! grep -q '^zelvorin-release: .*no longer serves' "$work/mmdebstrap.log" ||
        echo "A point release has replaced them. Build with the .deb files kept beside the release" \
          "(--debs FOLDER); nothing is built with other versions." >&2
    else
      tail -n 20 "$work/mmdebstrap.log" >&2
      echo "$0: making the build root failed (log above)" >&2
    fi
    exit 1
  fi
}

# What the release is and what made it, after Debian's .buildinfo.
write_buildinfo() {  # write_buildinfo WORK RELEASE-FOLDER FILES...
  local work=$1 folder=$2 modified=unknown file
  shift 2
  if git -C "$project" rev-parse HEAD >/dev/null 2>&1; then
    modified=no
    [ -z "$(git -C "$project" status --porcelain)" ] || modified=yes
  fi
  {
    echo "Format: 1.0"
    echo "Source: zelvorin-cleanup"
    echo "Commit: $(source_commit)"
    echo "Modified: $modified"
    echo "Version: $version"
    if [ -n "$snapshot" ]; then
      echo "Tag: none (a snapshot)"
    else
      echo "Tag: $tag"
    fi
    echo "Build-Origin: Debian $suite"
    echo "Build-Architecture: amd64"
    echo "Build-Path: $build_path"
    echo "Build-Command: $build_command"
    echo "Environment:"
    printf ' %s\n' "${build_env[@]}"
    echo "Pinned-Packages:"
    pinned_packages
    echo "Installed-Build-Depends:"
    sed 's/^/ /' "$work/out/installed"
    echo "Checksums-Sha256:"
    for file in "$@"; do
      echo " $(sha256 "$folder/$file") $(stat -c %s "$folder/$file") $file"
    done
  } >"$folder/BUILDINFO"
}

# The certificates a detached signature carries, the signer's first.
show_signer() {
  local signature=$1 certs serial cert
  certs=$(mktemp -d)
  openssl pkcs7 -in "$signature" -print_certs | awk -v dir="$certs" '
    /BEGIN CERTIFICATE/ { n++; on = 1 } on { print > (dir "/" n ".pem") } /END CERTIFICATE/ { on = 0 }'
  # The signature names its signer by issuer and serial number; openssl
  # prints a large serial in hex, a small one in decimal.
  serial=$(openssl pkcs7 -in "$signature" -print | awk '/signer_info:/ { s = 1 } s && /^ *serial:/ && !n++ { print $2 }')
  if [[ $serial == 0x* ]]; then serial=${serial#0x}; else serial=$(printf '%X' "$serial"); fi
  serial=$(echo "$serial" | tr a-f A-F | sed 's/^0*//')
  describe() {
    echo "$1 $(openssl x509 -in "$2" -noout -subject -nameopt oneline | sed 's/^subject= *//')"
    echo "  SHA-256 $(openssl x509 -in "$2" -noout -fingerprint -sha256 | sed 's/^.*=//')"
  }
  for cert in "$certs"/*.pem; do
    [ "$(openssl x509 -in "$cert" -noout -serial | sed 's/^serial=0*//')" != "$serial" ] || describe "signer:" "$cert"
  done
  for cert in "$certs"/*.pem; do describe "carried:" "$cert"; done
  rm -rf "$certs"
}

verify() {
  [ $# -ge 1 ] || usage
  local signed signature= buildinfo= debs= at file
  signed=$(existing_file "$1")
  shift
  while [ $# -gt 0 ]; do
    case $1 in
      --debs) [ $# -ge 2 ] || usage; debs=$(realpath -e -- "$2") || fail "no such folder: $2"; shift 2 ;;
      -*) usage ;;
      *) file=$(existing_file "$1"); shift
        if grep -q -- '-----BEGIN PKCS7-----' "$file"; then [ -z "$signature" ] || usage; signature=$file
        else [ -z "$buildinfo" ] || usage; buildinfo=$file; fi ;;
    esac
  done
  refuse_changes "verify from a clean checkout of the release's tag"
  "$project/scripts/install-deps.sh" release
  [ -z "$signature" ] || show_signer "$signature"
  if [ -n "$buildinfo" ]; then
    # Other sources or another toolchain cannot give the same bytes: say so
    # before building rather than after.
    local want have
    want=$(sed -n 's/^Commit: //p' "$buildinfo")
    have=$(source_commit)
    [ "$want" = "$have" ] || fail "BUILDINFO is for commit $want; these sources are at $have"
    diff <(sed -n '/^Pinned-Packages:/,/^[^ ]/p' "$buildinfo" | grep '^ ') \
         <(pinned_packages) >/dev/null ||
      fail "BUILDINFO pins another toolchain than scripts/release-toolchain.txt"
    echo "BUILDINFO: commit $want, the same pinned toolchain"
  fi
  work=$(mktemp -d "${TMPDIR:-/tmp}/zelvorin-verify.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/stage"
  local rebuilt=$work/out/release/zelvorin-cleanup.exe
  if [ -n "$signature" ]; then
    cp "$signature" "$work/stage/signature.pem"
    openssl pkcs7 -in "$signature" -print_certs >"$work/stage/carried.pem"
    rebuilt=$work/out/attached.exe
  fi
  pinned_build "$work" "$debs"
  [ -f "$rebuilt" ] || fail "osslsigncode did not attach the signature"
  echo "rebuilt:     $(sha256 "$work/out/release/zelvorin-cleanup.exe")  zelvorin-cleanup.exe, unsigned"
  at=$(cmp "$rebuilt" "$signed" 2>&1) && { echo "identical"; return 0; }
  # cmp says "differ: byte N, line M", or "EOF on FILE after byte N" when
  # one is the other's beginning, or that one is empty.
  case $at in
    *"is empty"*) at=1 ;;
    *"after byte "*) at=${at##*after byte }; at=$((${at%%[^0-9]*} + 1)) ;;
    *) at=${at#*byte }; at=${at%%,*} ;;
  esac
  echo "differs at byte $at"
  return 3
}

if [ "${1:-}" = verify ]; then
  shift
  # Whatever stops it before the comparison, a pin gone or no network
  # included, is "could not compare", never "differs".
  set +e
  (set -e; verify "$@")
  case $? in 0) exit 0 ;; 3) exit 1 ;; *) exit 2 ;; esac
fi

pkcs12= module= key= cert= timestamp= signing_time= debs= snapshot=
while [ $# -gt 0 ]; do
  [ "$1" != --snapshot ] || { snapshot=yes; shift; continue; }
  [ $# -ge 2 ] && [ -n "$2" ] || usage
  case $1 in
    --pkcs12) pkcs12=$(existing_file "$2") ;;
    --pkcs11-module) module=$(existing_file "$2") ;;
    --key) key=$2 ;;
    --cert) cert=$(existing_file "$2") ;;
    --timestamp) timestamp=$2 ;;
    --signing-time) [[ $2 =~ ^[0-9]+$ ]] || usage; signing_time=$2 ;;
    --debs) debs=$(realpath -e -- "$2") || fail "no such folder: $2" ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$pkcs12" ]; then
  [ -z "$module$key$cert" ] || usage
elif [ -n "$module$key$cert" ]; then
  [ -n "$module" ] && [ -n "$key" ] && [ -n "$cert" ] || usage
else
  [ -z "$timestamp$signing_time" ] || usage
fi
signing=$pkcs12$module

cd "$project"
# A release is what its tag names, and nothing else.
if [ -z "$snapshot" ]; then
  refuse_changes "build a snapshot with --snapshot"
  git tag --points-at HEAD | grep -q -x -F "$tag" ||
    fail "HEAD is not tagged $tag (project(VERSION) in CMakeLists.txt is $version); tag it, or build a snapshot with --snapshot"
fi
scripts/install-deps.sh "$([ -n "$signing" ] && echo sign || echo release)"
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvorin-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
pinned_build "$work" "$debs"
rm -rf build/release build/release-debs
mkdir -p build
cp -a "$work/out/release" build/release
mkdir build/release-debs
mv "$work"/out/*.deb build/release-debs/

if [ -n "$signing" ]; then
  program=build/release/zelvorin-cleanup.exe
  unsigned=build/release/zelvorin-cleanup.unsigned.exe
  mv "$program" "$unsigned"
  sign=(osslsigncode sign -h sha256 -n "Zelvorin registry clean-up" -in "$unsigned" -out "$program")
  if [ -n "$pkcs12" ]; then
    sign+=(-pkcs12 "$pkcs12")
  else
    # Given only the module, osslsigncode finds OpenSSL's pkcs11 engine by
    # name; older versions fail when also given the engine's path.
    sign+=(-pkcs11module "$module" -key "$key" -certs "$cert")
  fi
  [ -z "$timestamp" ] || sign+=(-ts "$timestamp")
  [ -z "$signing_time" ] || sign+=(-time "$signing_time")
  if [ -n "${ZELVORIN_SIGN_PASSWORD:-}" ]; then
    "${sign[@]}" -readpass <(printf '%s' "$ZELVORIN_SIGN_PASSWORD")
  else
    "${sign[@]}"
  fi
  osslsigncode extract-signature -pem -in "$program" -out "$program.pem"
fi
# BUILDINFO names every other file, and SHA256SUMS every file but itself.
mapfile -t files < <(cd build/release && find . -type f ! -name SHA256SUMS ! -name BUILDINFO | sed 's|^\./||' | LC_ALL=C sort)
write_buildinfo "$work" build/release "${files[@]}"
(cd build/release && sha256sum "${files[@]}" BUILDINFO >SHA256SUMS)
cat build/release/SHA256SUMS
