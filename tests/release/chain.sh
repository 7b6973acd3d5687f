#!/usr/bin/env bash
# chain.sh DIR: a throwaway RSA certificate chain for the signing tests, made anew each run so
# that no key outlives it: root.pem (self-signed CA), intermediate.pem, and under them
#   signer.pem / signer.key    code signing (extended key usage codeSigning)
#   server.pem / server.key    a certificate for TLS servers only, which must not sign code
#   tsa.pem / tsa.key          a time-stamping authority (critical timeStamping usage)
# with signer.p12 and server.p12 (each with the intermediate) under the password in
# password.txt, chain.pem (signer, then intermediate) and root.cer (the root in DER).
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
rm -f ./*.pem ./*.key ./*.p12 ./*.csr ./*.srl root.cer password.txt

cat >extensions.cnf <<'EOF'
[req]
distinguished_name = name
[name]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -subj "/O=Tallyfold Test/CN=Throwaway Root $$" \
  -config extensions.cnf -extensions root -days 30 -out root.pem 2>/dev/null
# issue NAME ISSUER SUBJECT
issue() {
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -subj "$3" -config extensions.cnf -out "$1.csr" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 20 \
    -extfile extensions.cnf -extensions "$1" -out "$1.pem" 2>/dev/null
}
issue intermediate root "/O=Tallyfold Test/CN=Throwaway Intermediate $$"
issue signer intermediate "/O=Tallyfold Test/CN=Tallyfold Test Publisher"
issue server intermediate "/O=Tallyfold Test/CN=tls.example.com"
issue tsa root "/O=Tallyfold Test/CN=Throwaway Time-Stamping"

cat signer.pem intermediate.pem >chain.pem
openssl x509 -in root.pem -outform DER -out root.cer
printf 'pw-%s-%s\n' "$$" "$(od -An -N6 -tx1 /dev/urandom | tr -d ' ')" >password.txt
for leaf in signer server; do
  openssl pkcs12 -export -inkey "$leaf.key" -in "$leaf.pem" -certfile intermediate.pem \
    -passout file:password.txt -out "$leaf.p12"
done
rm -f ./*.csr
