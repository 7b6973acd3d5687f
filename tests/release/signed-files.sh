#!/usr/bin/env bash
# signed-files.sh DIST OUT: what the trust tests judge, made anew: a throwaway chain (OUT/chain,
# its root also as OUT/root.cer), DIST's DLL and EXE signed with it through the release's own
# signing (OUT/signed), the same with one byte changed (OUT/flipped), and as built (OUT/unsigned).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dist=$1
out=$2
rm -rf "$out"
mkdir -p "$out/signed" "$out/flipped" "$out/unsigned"
"$here/chain.sh" "$out/chain" >/dev/null
cp "$out/chain/root.cer" "$out/root.cer"
export SIGN_PKCS12=$out/chain/signer.p12 SIGN_PASSWORD_FILE=$out/chain/password.txt SIGN_CAFILE=$out/chain/root.pem
for name in Tallyfold.dll Siteward.exe; do
  cp "$dist/$name" "$out/unsigned/$name"
  "$here/../../tools/codesign.sh" sign "$dist/$name" "$out/signed/$name"
  "$here/../../tools/codesign.sh" verify "$out/signed/$name"
  cp "$out/signed/$name" "$out/flipped/$name"
  "$here/flip-byte.sh" "$out/flipped/$name"
done
echo "signed with $(openssl x509 -in "$out/chain/signer.pem" -noout -subject): $out/signed"
