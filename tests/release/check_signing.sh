#!/usr/bin/env bash
# Signs the release both ways a publisher can, with a PKCS#12 file (and a time
# stamp) and with a key on a token (a SoftHSM2 one), using a throwaway CA and
# time-stamping authority made here; then checks what a user can: the
# signature verifies, one changed byte breaks it, removing it gives back the
# unsigned release's exact bytes, and under Wine WinVerifyTrust agrees and
# the signed program behaves as the unsigned one.
# Usage: check_signing.sh SOURCE_DIR SCRATCH_DIR BUILT_PROGRAM DRIVER WINE_WORK
set -euo pipefail
source_dir=$1 scratch=$2 built=$3 driver=$4 work=$5

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

# Each form of the release script, run in a copy of the sources; NAME.exe
# keeps what it released.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C sources -xf -
release() {  # release NAME [OPTIONS...]
  local name=$1
  shift
  check "$name: the release script succeeds" bash -c 'cd sources && scripts/release.sh "$@"' release "$@"
  cp sources/build/release/zelvorin-cleanup.exe "$name.exe"
  check "$name: SHA256SUMS covers the released program" bash -c 'cd sources/build/release && sha256sum -c SHA256SUMS'
}
release unsigned
check "the unsigned release is the program the tests build" cmp unsigned.exe "$built"
ZELVORIN_SIGN_PASSWORD=throwaway release pkcs12 --pkcs12 "$scratch/keys/signer.p12" --timestamp "http://127.0.0.1:$(cat tsa.port)"
ZELVORIN_SIGN_PASSWORD=12345678 release pkcs11 --pkcs11-module /usr/lib/softhsm/libsofthsm2.so \
  --key "pkcs11:token=zelvorin-test;object=signer;type=private" --cert "$scratch/keys/chain.pem"

for form in pkcs12 pkcs11; do
  check "$form: the signature verifies against the throwaway CA" \
    osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in $form.exe
  cp $form.exe $form-changed.exe
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(0x400); b = f.read(1)[0]; f.seek(0x400); f.write(bytes([b ^ 0xFF]))' \
    $form-changed.exe
  check "$form: a copy with one byte changed does not verify" \
    fails osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in $form-changed.exe
  check "$form: removing the signature gives the unsigned release's bytes" \
    bash -c "osslsigncode remove-signature -in $form.exe -out $form-removed.exe && cmp $form-removed.exe unsigned.exe"
done
check "pkcs12: the signature carries a verified time stamp" \
  bash -c 'osslsigncode verify -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt -in pkcs12.exe |
           grep "Timestamp Server Signature verification: ok"'
for options in "--pkcs12" "--pkcs13 x" "--timestamp http://127.0.0.1/"; do
  check "the release script refuses '$options'" fails bash -c "cd sources && scripts/release.sh $options"
done

echo "$passed passed, $failed failed"
# On the real platform: WinVerifyTrust, and the registry cases run by the signed program.
python3 "$source_dir/tests/wine/run_wine_tests.py" --exe pkcs12.exe --unsigned unsigned.exe --driver "$driver" \
  --work "$work" --group signature --group registry
[ "$failed" -eq 0 ]
