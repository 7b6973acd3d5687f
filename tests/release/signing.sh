#!/usr/bin/env bash
# signing.sh: make release on copies of the deliverables, with a throwaway chain made here:
# unsigned; signed through a PKCS#12 file with an RFC 3161 timestamp from a local service;
# signed through a PKCS#11 token (SoftHSM2); and keys that must stop it. Each signed file is
# judged by osslsigncode against the throwaway root, as built, with one byte changed, and
# after its certificate has expired. The password and the PIN must never show on a command
# line or in the output, and a release that fails must leave its dist/ as it was.
# Environment: TALLYFOLD_DELIVERABLE_DIR (the built files), TALLYFOLD_BUILD (the build that
# makes packages), TALLYFOLD_RELEASE_WORK (a folder of the test's own).
set -u
here=$(cd "$(dirname "$0")" && pwd)
tools=$(cd "$here/../../tools" && pwd)
work=$TALLYFOLD_RELEASE_WORK
shipped=(Tallyfold.dll Siteward.exe Tallyfold.msi)
failed=0
fail() { echo "FAIL: $*"; failed=1; }
passed() { echo "ok: $*"; }

rm -rf "$work/chain" "$work/dist" "$work/release" "$work/softhsm" "$work/shims" "$work"/*.log
mkdir -p "$work/shims"
"$here/chain.sh" "$work/chain" >/dev/null || { echo "FAIL: no throwaway chain"; exit 1; }
chain=$work/chain
unset SIGN_PKCS12 SIGN_PKCS11_MODULE SIGN_PKCS11_KEY SIGN_CERTS SIGN_PASSWORD_FILE SIGN_TIMESTAMP_URL SIGN_CAFILE

# Every command line of the signing tools is recorded, to be searched for the secrets. With
# TF_REFUSE_SIGNING set, osslsigncode refuses to sign a file of that name, as a token that
# fails part-way would.
for tool in osslsigncode openssl; do
  cat >"$work/shims/$tool" <<EOF
#!/bin/bash
printf '%s\n' "$tool \$*" >>"$work/commands.log"
if [ -n "\${TF_REFUSE_SIGNING:-}" ] && [ "\$1" = sign ] && [[ " \$* " == *"/\$TF_REFUSE_SIGNING "* ]]; then
  echo "refused by the test" >&2
  exit 1
fi
exec $(command -v "$tool") "\$@"
EOF
  chmod +x "$work/shims/$tool"
done
export PATH="$work/shims:$PATH"

# release NAME: make release of a fresh copy of the deliverables into $work/dist; its output in
# $work/NAME.log. The package tools get a prefix of the test's own.
release() {
  rm -rf "$work/dist"
  mkdir -p "$work/dist"
  local name
  for name in "${shipped[@]}"; do cp -p "$TALLYFOLD_DELIVERABLE_DIR/$name" "$work/dist/"; done
  TALLYFOLD_RELEASE_WINEPREFIX=$work/wineprefix "$tools/release.sh" "$work/dist" "$TALLYFOLD_BUILD" "$work/release" \
    >"$work/$1.log" 2>&1
}

# unchanged WHAT: dist/ holds the files as built and no sums.
unchanged() {
  local name
  for name in "${shipped[@]}"; do
    cmp -s "$work/dist/$name" "$TALLYFOLD_DELIVERABLE_DIR/$name" || fail "$1: dist/$name changed"
  done
  [ ! -e "$work/dist/SHA256SUMS" ] || fail "$1: dist/SHA256SUMS was written"
}

judge() { osslsigncode verify -CAfile "$chain/root.pem" -TSA-CAfile "$chain/root.pem" "$@" >"$work/verify.log" 2>&1; }

# signed WHAT SECRET_FILE [timestamped]: the release of $work/dist as it must be once signed.
signed() {
  local what=$1 secret
  secret=$(head -n 1 "$2")
  grep -q "^release: signed and verified Tallyfold.msi" "$work/$what.log" || { fail "$what: no signed release"; cat "$work/$what.log"; return; }
  (cd "$work/dist" && sha256sum -c --quiet SHA256SUMS) && [ "$(wc -l <"$work/dist/SHA256SUMS")" -eq ${#shipped[@]} ] &&
    passed "$what: SHA256SUMS lists the ${#shipped[@]} files and sha256sum -c accepts them" || fail "$what: SHA256SUMS is wrong"
  local name later
  # A root that nothing trusts: the system's roots do not vouch for the throwaway chain.
  osslsigncode verify -CAfile /etc/ssl/certs/ca-certificates.crt -in "$work/dist/Tallyfold.dll" >"$work/verify.log" 2>&1 &&
    fail "$what: the DLL verifies against the system's roots" ||
    passed "$what: the system's roots do not vouch for the throwaway chain"
  for name in "${shipped[@]}"; do
    if judge -in "$work/dist/$name"; then passed "$what: $name verifies against the throwaway root"
    else fail "$what: $name does not verify"; cat "$work/verify.log"; fi
    cp "$work/dist/$name" "$work/flipped"
    "$here/flip-byte.sh" "$work/flipped"
    if judge -in "$work/flipped"; then fail "$what: $name with one byte changed verifies"
    else grep -q MISMATCH "$work/verify.log" && passed "$what: $name with one byte changed is refused (digest mismatch)" ||
           { fail "$what: $name with one byte changed is refused, but not for its digest"; cat "$work/verify.log"; }; fi
  done
  # The package carries the signed programs.
  rm -rf "$work/unpacked" && mkdir -p "$work/unpacked"
  (cd "$work/unpacked" && msiextract "$work/dist/Tallyfold.msi" >/dev/null)
  for name in Tallyfold.dll Siteward.exe; do
    cmp -s "$(find "$work/unpacked" -name "$name")" "$work/dist/$name" && passed "$what: the package holds the signed $name" ||
      fail "$what: the package's $name is not the signed one"
  done
  # After the signing certificate has expired (it is valid for 20 days), only a timestamped
  # signature still verifies.
  later=$(( $(date +%s) + 25 * 86400 ))
  if [ -n "${3:-}" ]; then
    judge -time "$later" -in "$work/dist/Tallyfold.dll" && grep -q 'Timestamp Server Signature verification: ok' "$work/verify.log" &&
      passed "$what: timestamped: the DLL's signature still verifies after the certificate has expired" ||
      { fail "$what: the timestamped signature does not outlive its certificate"; cat "$work/verify.log"; }
  else
    judge -time "$later" -in "$work/dist/Tallyfold.dll" && fail "$what: an untimestamped signature verifies after its certificate expired" ||
      passed "$what: not timestamped: the DLL's signature is refused after the certificate has expired"
  fi
  if grep -q -F -e "$secret" "$work/$what.log" "$work/commands.log"; then
    fail "$what: the secret shows in the output or on a command line"
  else
    passed "$what: the secret is in no output and on no command line ($(wc -l <"$work/commands.log") commands)"
  fi
}

# 1. No key: the files as built, one line that says so, and their sums.
release unsigned || { fail "unsigned release failed"; cat "$work/unsigned.log"; }
[ "$(grep -c '^release: unsigned' "$work/unsigned.log")" -eq 1 ] && passed "unsigned: one line says the release is unsigned" ||
  { fail "unsigned: no line says so"; cat "$work/unsigned.log"; }
(cd "$work/dist" && sha256sum -c --quiet SHA256SUMS) && passed "unsigned: sha256sum -c accepts SHA256SUMS" || fail "unsigned: SHA256SUMS"
for name in "${shipped[@]}"; do
  cmp -s "$work/dist/$name" "$TALLYFOLD_DELIVERABLE_DIR/$name" || fail "unsigned: $name changed"
  judge -in "$work/dist/$name"
  grep -q -E 'No signature found|has no signature' "$work/verify.log" && passed "unsigned: osslsigncode reports $name unsigned" ||
    { fail "unsigned: $name is not reported unsigned"; cat "$work/verify.log"; }
done

# 2. A PKCS#12 file, and a timestamp from a time-stamping service on the loopback address.
rm -f "$work/tsa.port"
python3 "$here/tsa-server.py" "$chain" "$work/tsa.port" 2>"$work/tsa.log" &
tsa=$!
trap 'kill $tsa 2>/dev/null' EXIT
for _ in $(seq 60); do [ -s "$work/tsa.port" ] && break; sleep 1; done
: >"$work/commands.log"
SIGN_PKCS12=$chain/signer.p12 SIGN_PASSWORD_FILE=$chain/password.txt SIGN_CAFILE=$chain/root.pem \
  SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$work/tsa.port")/ release pkcs12
signed pkcs12 "$chain/password.txt" timestamped
[ "$(grep -c '"POST / ' "$work/tsa.log")" -ge 3 ] && passed "pkcs12: the time-stamping service stamped each file" ||
  { fail "pkcs12: the time-stamping service was not asked"; cat "$work/tsa.log"; }
kill $tsa 2>/dev/null

# 3. A key on a PKCS#11 token (SoftHSM2 with a token of the test's own), without a timestamp.
mkdir -p "$work/softhsm/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/softhsm/tokens" >"$work/softhsm/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm/softhsm2.conf
printf '%s\n' "pin-$RANDOM$RANDOM" >"$work/softhsm/pin.txt"
pin=$(cat "$work/softhsm/pin.txt")
softhsm2-util --init-token --free --label tallyfold-test --so-pin "so-$pin" --pin "$pin" >/dev/null &&
  softhsm2-util --import "$chain/signer.key" --token tallyfold-test --label release --id 01 --pin "$pin" >/dev/null ||
  fail "pkcs11: cannot set up the token"
module=/usr/lib/softhsm/libsofthsm2.so
key='pkcs11:token=tallyfold-test;object=release;type=private'
: >"$work/commands.log"
SIGN_PKCS11_MODULE=$module SIGN_PKCS11_KEY=$key SIGN_CERTS=$chain/chain.pem SIGN_PASSWORD_FILE=$work/softhsm/pin.txt \
  SIGN_CAFILE=$chain/root.pem release pkcs11
signed pkcs11 "$work/softhsm/pin.txt"

# 4. Keys that must stop the release, each with the message that says why.
echo "not the password" >"$work/wrong.txt"
refused() { # WHAT MESSAGE VAR=VALUE...
  local what=$1 message=$2
  shift 2
  if (export SIGN_CAFILE="$chain/root.pem" "$@"; release "$what"); then
    fail "$what: the release went through"
  elif grep -q -F -e "$message" "$work/$what.log"; then
    passed "$what: stopped: $(grep -F -e "$message" "$work/$what.log" | head -n 1)"
  else
    fail "$what: stopped without saying \"$message\":"; cat "$work/$what.log"
  fi
  unchanged "$what"
}
refused wrong-password "cannot be opened with the password" SIGN_PKCS12="$chain/signer.p12" SIGN_PASSWORD_FILE="$work/wrong.txt"
refused wrong-pin "PIN incorrect" SIGN_PKCS11_MODULE=$module SIGN_PKCS11_KEY=$key SIGN_CERTS="$chain/chain.pem" SIGN_PASSWORD_FILE="$work/wrong.txt"
refused missing-module "SIGN_PKCS11_MODULE: $work/none.so does not exist" SIGN_PKCS11_MODULE="$work/none.so" SIGN_PKCS11_KEY=$key SIGN_CERTS="$chain/chain.pem" SIGN_PASSWORD_FILE="$work/softhsm/pin.txt"
refused not-for-code-signing "is not for code signing" SIGN_PKCS12="$chain/server.p12" SIGN_PASSWORD_FILE="$chain/password.txt"
refused no-password-file "SIGN_PASSWORD_FILE must name" SIGN_PKCS12="$chain/signer.p12"
# The token fails at the last file, after the programs were signed.
refused fails-part-way "signing Tallyfold.msi failed" TF_REFUSE_SIGNING=Tallyfold.msi SIGN_PKCS12="$chain/signer.p12" SIGN_PASSWORD_FILE="$chain/password.txt"

exit $failed
