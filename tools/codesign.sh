#!/usr/bin/env bash
# codesign.sh check | sign IN OUT | verify FILE
# Authenticode signatures (SHA-256, RSA) with osslsigncode, made with the key that the
# environment names:
#   SIGN_PKCS12           a PKCS#12 file holding the key and its certificates, or
#   SIGN_PKCS11_MODULE    a PKCS#11 module (the token's), with
#   SIGN_PKCS11_KEY       the key on the token, as a pkcs11: URI, and
#   SIGN_CERTS            the PEM certificate chain, the signing certificate first;
#   SIGN_PASSWORD_FILE    the file whose first line is the PKCS#12 password or the token's PIN;
#   SIGN_TIMESTAMP_URL    optional: an RFC 3161 time-stamping service;
#   SIGN_CAFILE           optional: the roots (PEM) that signatures are verified against,
#                         by default the system's; timestamps are checked against both.
# The password is handed over as a file name: it is on no command line and in no output.
#   check   says "unsigned" (exit 0) when no key is given, "signed" when one is and it holds
#           together (files there, a certificate for code signing), else why not (exit 1).
#   sign    writes a signed copy of IN to OUT; OUT is left absent on failure.
#   verify  checks FILE's signature (and timestamp) against the roots; prints osslsigncode's
#           report on failure.
set -u
work=$(mktemp -d "${TMPDIR:-/tmp}/tallyfold-sign.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

die() { echo "codesign: $*" >&2; exit 1; }

pkcs12=${SIGN_PKCS12:-}
module=${SIGN_PKCS11_MODULE:-}
passfile=${SIGN_PASSWORD_FILE:-}

# The signing certificate (PEM) into $work/leaf.pem.
certificates() {
  if [ -n "$pkcs12" ]; then
    # OpenSSL 3 reads older PKCS#12 files (RC2, 3DES) only with its legacy algorithms.
    local legacy
    for legacy in "" -legacy; do
      openssl pkcs12 $legacy -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts -out "$work/leaf.pem" 2>/dev/null &&
        [ -s "$work/leaf.pem" ] && return 0
    done
    die "SIGN_PKCS12: $pkcs12 cannot be opened with the password in SIGN_PASSWORD_FILE (wrong password?)"
  fi
  openssl x509 -in "$SIGN_CERTS" -out "$work/leaf.pem" 2>/dev/null ||
    die "SIGN_CERTS: $SIGN_CERTS holds no PEM certificate"
}

check() {
  if [ -z "$pkcs12" ] && [ -z "$module" ]; then
    echo unsigned
    return 0
  fi
  [ -n "$pkcs12" ] && [ -n "$module" ] && die "give SIGN_PKCS12 or SIGN_PKCS11_MODULE, not both"
  [ -n "$passfile" ] || die "SIGN_PASSWORD_FILE must name the file that holds the ${pkcs12:+password}${module:+PIN}"
  [ -r "$passfile" ] || die "SIGN_PASSWORD_FILE: $passfile cannot be read"
  if [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || die "SIGN_PKCS12: $pkcs12 cannot be read"
  else
    [ -f "$module" ] || die "SIGN_PKCS11_MODULE: $module does not exist"
    [ -n "${SIGN_PKCS11_KEY:-}" ] || die "SIGN_PKCS11_KEY must name the key on the token (a pkcs11: URI)"
    case $SIGN_PKCS11_KEY in pkcs11:*) ;; *) die "SIGN_PKCS11_KEY must be a pkcs11: URI, not $SIGN_PKCS11_KEY" ;; esac
    [ -r "${SIGN_CERTS:-}" ] || die "SIGN_CERTS must name the PEM file of the certificate chain"
  fi
  certificates
  local subject
  subject=$(openssl x509 -in "$work/leaf.pem" -noout -subject -nameopt oneline 2>/dev/null)
  # Windows accepts an Authenticode signature only from a certificate for code signing.
  openssl x509 -in "$work/leaf.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    die "the signing certificate ($subject) is not for code signing (no Code Signing extended key usage)"
  openssl x509 -in "$work/leaf.pem" -noout -checkend 0 >/dev/null 2>&1 ||
    die "the signing certificate ($subject) has expired or is not valid yet"
  echo signed
}

sign() {
  local in=$1 out=$2 args=(-h sha256 -n Tallyfold -readpass "$passfile")
  if [ -n "$pkcs12" ]; then
    args+=(-pkcs12 "$pkcs12")
  else
    # On Debian the token is reached through OpenSSL's pkcs11 engine (libengine-pkcs11-openssl).
    args+=(-pkcs11module "$module" -key "$SIGN_PKCS11_KEY" -certs "$SIGN_CERTS")
  fi
  [ -z "${SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$SIGN_TIMESTAMP_URL")
  rm -f "$out"
  if ! osslsigncode sign "${args[@]}" -in "$in" -out "$work/signed" >"$work/log" 2>&1; then
    rm -f "$out"
    # The tool's last words name the cause (a wrong PIN, a key not found on the token).
    die "signing $(basename "$in") failed: $(grep -v -e '^Engine "pkcs11" set' -e '^Failed$' "$work/log" | tail -n 3 | tr '\n' ' ')"
  fi
  mv "$work/signed" "$out"
}

verify() {
  local file=$1 system=/etc/ssl/certs/ca-certificates.crt
  local roots=${SIGN_CAFILE:-$system}
  # A public time-stamping service's root is the system's, whatever CA issued the signer.
  cat "$roots" "$system" >"$work/tsa-roots.pem" 2>/dev/null
  if ! osslsigncode verify -CAfile "$roots" -TSA-CAfile "$work/tsa-roots.pem" -in "$file" >"$work/log" 2>&1; then
    echo "codesign: the signature of $file does not verify against the roots in $roots${SIGN_CAFILE:+ (SIGN_CAFILE)}:" >&2
    grep -i -E 'error|mismatch|failed|no signature|unsupported' "$work/log" | grep -v '^Failed$' | sort -u | sed 's/^/  /' >&2
    [ -n "${SIGN_CAFILE:-}" ] || echo "  (a certificate of a private CA verifies with its root in SIGN_CAFILE)" >&2
    return 1
  fi
}

case ${1:-} in
  check) check ;;
  sign) [ $# -eq 3 ] || die "usage: codesign.sh sign IN OUT"; check >/dev/null && sign "$2" "$3" ;;
  verify) [ $# -eq 2 ] || die "usage: codesign.sh verify FILE"; verify "$2" ;;
  *) echo "usage: codesign.sh check | sign IN OUT | verify FILE" >&2; exit 2 ;;
esac
