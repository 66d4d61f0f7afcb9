#!/usr/bin/env bash
# Builds the release in its pinned root and signs it both ways a publisher
# can, with a PKCS#12 file (and a time stamp) and with a key on a token (a
# SoftHSM2 one, at a fixed signing time), using a throwaway CA and
# time-stamping authority made here; then checks what a user can: the
# release's files are flat and all in SHA256SUMS, the pages' links work, the
# signature verifies, one changed byte breaks it, the release's own check
# rebuilds the program, attaches the detached signature and gets the signed
# file back (exit status 0, 1 or 2 as cmp's), BUILDINFO says what the root
# held, and under Wine
# WinVerifyTrust agrees and the signed program behaves as the unsigned one.
# Needs the Debian archive (or a mirror of it) and root or user namespaces.
# Usage: check_signing.sh SOURCE_DIR SCRATCH_DIR DRIVER WINE_WORK
set -euo pipefail
source_dir=$1 scratch=$2 driver=$3 work=$4

rm -rf "$scratch"
mkdir -p "$scratch/keys" "$scratch/tokens" "$scratch/sources"
cd "$scratch"
tsa=
trap '[ -z "$tsa" ] || kill "$tsa"' EXIT

passed=0 failed=0
check() {  # check WHAT COMMAND...: the command must succeed
  local what=$1
  shift
  if "$@" >"$scratch/check.log" 2>&1; then
    echo "ok   - $what"
    passed=$((passed + 1))
  else
    echo "FAIL - $what"
    sed 's/^/#   /' "$scratch/check.log" | tail -n 5
    failed=$((failed + 1))
  fi
}
fails() { ! "$@"; }

# The throwaway CA, and a code-signing and a time-stamping certificate from it.
(
  cd keys
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Throwaway test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  for use in codeSigning timeStamping; do
    openssl req -newkey rsa:2048 -nodes -keyout $use.key -out $use.csr -subj "/CN=Throwaway test $use"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n' $use >$use.ext
    openssl x509 -req -in $use.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile $use.ext -out $use.crt
  done
  cat codeSigning.crt ca.crt >chain.pem
  openssl pkcs12 -export -inkey codeSigning.key -in codeSigning.crt -certfile ca.crt -passout pass:throwaway \
    -out signer.p12
) >keys.log 2>&1

# A token holding the signing key.
export SOFTHSM2_CONF=$scratch/softhsm2.conf
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$scratch/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label zelvorin-test --so-pin 87654321 --pin 12345678 >/dev/null
softhsm2-util --import keys/codeSigning.key --token zelvorin-test --label signer --id 01 --pin 12345678 >/dev/null

# The time-stamping authority, on the loopback.
echo 01 >keys/tsa-serial
cat >keys/tsa.cnf <<TSA
[tsa]
default_tsa = throwaway
[throwaway]
serial = $scratch/keys/tsa-serial
signer_cert = $scratch/keys/timeStamping.crt
signer_key = $scratch/keys/timeStamping.key
certs = $scratch/keys/ca.crt
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
TSA
python3 "$source_dir/tests/release/tsa.py" keys/tsa.cnf >tsa.port &
tsa=$!
for _ in $(seq 100); do [ -s tsa.port ] && break; sleep 0.1; done
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

# Each form of the release script, run in a copy of the sources committed
# and tagged as a release is; NAME.exe keeps what it released. The first run
# fetches the pinned toolchain, the others take the .deb files it kept.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C sources -xf -
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/\1/p' sources/CMakeLists.txt)
git -C sources init -q
git -C sources add -A
git -C sources -c user.name=test -c user.email=test@example.invalid commit -q -m "the release"
git -C sources tag "v$version"
release() {  # release NAME [OPTIONS...]
  local name=$1
  shift
  check "$name: the release script succeeds" bash -c 'cd sources && scripts/release.sh "$@"' release "$@"
  cp sources/build/release/zelvorin-cleanup.exe "$name.exe"
  cp sources/build/release/zelvorin-cleanup-"$version"-pages.zip "$name.zip"
  check "$name: flat files, every one in SHA256SUMS, every link in the pages alive" \
    python3 "$source_dir/tests/release/check_release.py" sources/build/release
  check "$name: BUILDINFO has their sizes and SHA-256" bash -c 'cd sources/build/release &&
    grep -q "^ [0-9a-f]\{64\} [0-9]* zelvorin-cleanup.exe$" BUILDINFO &&
    sed -n "/^Checksums-Sha256:/,\$p" BUILDINFO | tail -n +2 | while read -r sum size file; do
      [ "$(sha256sum <"$file" | cut -d" " -f1) $(stat -c %s "$file")" = "$sum $size" ] || exit 1
    done'
  check "$name: the release is the program, LICENSE and the pages' archive, no more" bash -c 'cd sources/build/release &&
    [ "$(find . -type f | sed "s|^\./||" | grep -v -x -E "SHA256SUMS|BUILDINFO|zelvorin-cleanup\.(exe\.pem|unsigned\.exe)" | LC_ALL=C sort)" = \
      "$(printf "%s\n" LICENSE "zelvorin-cleanup-$1-pages.zip" zelvorin-cleanup.exe)" ]' release "$version"
  [ "$name" = unsigned ] || check "$name: the pages' archive is the same bytes as in the first release" cmp "$name.zip" unsigned.zip
  cp sources/build/release/BUILDINFO "$name.buildinfo"
  [ ! -f sources/build/release/zelvorin-cleanup.exe.pem ] || cp sources/build/release/zelvorin-cleanup.exe.pem "$name.pem"
}
release unsigned
rm -rf debs
cp -a sources/build/release-debs debs
check "BUILDINFO: the root held every pinned package at its version" bash -c '
  grep -v -E "^(#|suite |\$)" sources/scripts/release-toolchain.txt | while read -r name version arch sha; do
    grep -q -x -F " $name:$arch (= $version)" unsigned.buildinfo || exit 1
  done'
ZELVORIN_SIGN_PASSWORD=throwaway release pkcs12 --debs "$scratch/debs" --pkcs12 "$scratch/keys/signer.p12" \
  --timestamp "http://127.0.0.1:$(cat tsa.port)"
check "pkcs12: BUILDINFO names the tag of the version" grep -q -x "Tag: v$version" pkcs12.buildinfo
# A file git does not know of makes the tree a modified one: only a snapshot may be built from it.
echo "a note" >sources/untracked-note
check "a tree with uncommitted changes is refused as a release" \
  bash -c 'cd sources && ! scripts/release.sh >../modified.log 2>&1 && grep -q "uncommitted changes" ../modified.log'
ZELVORIN_SIGN_PASSWORD=12345678 release pkcs11 --snapshot --debs "$scratch/debs" --pkcs11-module /usr/lib/softhsm/libsofthsm2.so \
  --key "pkcs11:token=zelvorin-test;object=signer;type=private" --cert "$scratch/keys/chain.pem" \
  --signing-time 1767225600
check "pkcs11: BUILDINFO says it is a snapshot of a modified tree" \
  bash -c 'grep -q -x "Tag: none (a snapshot)" pkcs11.buildinfo && grep -q -x "Modified: yes" pkcs11.buildinfo'
check "pkcs11: the signed release holds the unsigned program it signed" cmp sources/build/release/zelvorin-cleanup.unsigned.exe unsigned.exe

verdict() {  # verdict STATUS LAST-LINE FOLDER PROGRAM [MORE...]: the release's own check, run in FOLDER
  local status=$1 last=$2 folder=$3 got=0
  shift 3
  (cd "$folder" && scripts/release.sh verify "$@") >verify.log 2>&1 || got=$?
  echo "exit status $got, last line: $(tail -n 1 verify.log)"
  [ "$got" -eq "$status" ] && tail -n 1 verify.log | grep -q -x -e "$last"
}
check "verify in a tree with uncommitted changes refuses to compare (2)" \
  verdict 2 ".*the tree has uncommitted changes.*" sources "$scratch/pkcs11.exe" "$scratch/pkcs11.pem" --debs "$scratch/debs"
rm sources/untracked-note
check "unsigned: rebuilt, the program is the release (0)" \
  verdict 0 identical sources "$scratch/unsigned.exe" "$scratch/unsigned.buildinfo" --debs "$scratch/debs"
for form in pkcs12 pkcs11; do
  check "$form: the signature verifies against the throwaway CA" \
    osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in $form.exe
  cp $form.exe $form-changed.exe
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(0x400); b = f.read(1)[0]; f.seek(0x400); f.write(bytes([b ^ 0xFF]))' \
    $form-changed.exe
  check "$form: a copy with one byte changed does not verify" \
    fails osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in $form-changed.exe
  check "$form: rebuilt and given the detached signature, the program is the signed release (0)" \
    verdict 0 identical sources "$scratch/$form.exe" "$scratch/$form.pem" "$scratch/$form.buildinfo" --debs "$scratch/debs"
  check "$form: verify names the signer" grep -q "^signer: CN = Throwaway test codeSigning" verify.log
done
check "pkcs11: the copy with one byte changed differs at that byte (1)" \
  verdict 1 "differs at byte 1025" sources "$scratch/pkcs11-changed.exe" "$scratch/pkcs11.pem" --debs "$scratch/debs"
check "pkcs12: the signature carries a verified time stamp" \
  bash -c 'osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in pkcs12.exe |
           grep "Timestamp Server Signature verification: ok"'

# A pin the archive no longer serves, and a kept .deb that is not the pinned
# one: each stops the build, saying why, and nothing is released.
rm -rf gone && cp -a sources gone && rm -rf gone/build
sed -i 's/^make [^ ]* /make 0.gone /' gone/scripts/release-toolchain.txt
git -C gone -c user.name=test -c user.email=test@example.invalid commit -q -a -m "a pin that is gone"
check "a pin no longer served stops the release, naming it" \
  bash -c 'cd gone && ! scripts/release.sh --snapshot >../gone.log 2>&1 && grep -q "no longer serves make=0.gone$" ../gone.log &&
           [ ! -e build/release ]'
check "a pin no longer served: verify could not compare (2)" \
  verdict 2 "A point release has replaced them.*" gone "$scratch/unsigned.exe"
rm -rf tampered && cp -a debs tampered && make_deb=$(cd tampered && echo make_*.deb) && printf x >>"tampered/$make_deb"
check "a kept .deb that is not the pinned one stops the release" \
  bash -c 'cd sources && ! scripts/release.sh --snapshot --debs ../tampered >../tampered.log 2>&1 &&
           grep -q "$1 is not the pinned package" ../tampered.log' tampered "$make_deb"
git -C sources tag -d "v$version" >/dev/null
check "a commit without the version's tag is refused as a release" \
  bash -c 'cd sources && ! scripts/release.sh >../untagged.log 2>&1 && grep -q "HEAD is not tagged v$1" ../untagged.log' \
  untagged "$version"
for options in "--pkcs12" "--pkcs13 x" "--timestamp http://127.0.0.1/" "--signing-time 1" "verify x.exe"; do
  check "the release script refuses '$options'" fails bash -c "cd sources && scripts/release.sh $options"
done

echo "$passed passed, $failed failed"
# On the real platform: WinVerifyTrust, and the registry cases run by the signed program.
wine_status=0
python3 "$source_dir/tests/wine/run_wine_tests.py" --exe pkcs12.exe --unsigned unsigned.exe --driver "$driver" \
  --work "$work" --group signature --group registry || wine_status=$?
[ "$failed" -eq 0 ] || exit 1
# 77: Wine cannot run the program on this machine, so the test is not whole.
exit "$wine_status"
