#!/usr/bin/env bash
# Makes a throwaway CA and a code-signing certificate under it, for signing a release in
# tests only: DIR/ca.pem, DIR/signing.p12 (password in DIR/password). Valid for two days.
# SUBJECT, in openssl's -subj form, is the signing certificate's; by default one that is
# not the team's, so that only a test build may sign with it. CA_SUBJECT, likewise, is the
# CA's (the guide's kiv_reset -v example shows a card maker's names).
# Usage: make_test_certificate.sh DIR [SUBJECT [CA_SUBJECT]]
set -euo pipefail
dir=$1
subject=${2:-/CN=PELK throwaway code signing}
ca_subject=${3:-/CN=PELK throwaway test CA}
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "$ca_subject" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "$subject" \
    -keyout signing.key -out signing.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >signing.ext
openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signing.ext -out signing.pem 2>/dev/null
printf 'throwaway' >password
openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem \
    -passout file:password -out signing.p12
