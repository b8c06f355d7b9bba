#!/bin/sh
# Makes throw-away certificates for the local stamp service in the folder given:
#   ca.pem, ca-key.pem                 a test certificate authority
#   server.pem, server-key.pem         a server certificate for 127.0.0.1, ::1 and localhost,
#                                      signed by that authority
#   untrusted.pem, untrusted-key.pem   a self-signed server certificate for the same names,
#                                      which nothing trusts
#   otherhost.pem, otherhost-key.pem   a server certificate for other-host.invalid only, signed
#                                      by that authority: trusted, but for the wrong name
# EC P-256 keys, so that making them takes no time. Never use these for anything real.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 FOLDER" >&2
    exit 2
fi
folder=$1
mkdir -p "$folder"
cd "$folder"

names="subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost"

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca-key.pem 2>/dev/null
openssl req -x509 -new -key ca-key.pem -sha256 -days 3650 \
    -subj "/CN=TALVERIN Timestamp Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out ca.pem

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server-key.pem 2>/dev/null
openssl req -new -key server-key.pem -subj "/CN=localhost" -out server.csr
printf '%s\n' "basicConstraints=critical,CA:FALSE" \
    "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" \
    "$names" > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
    -sha256 -days 825 -extfile server.ext -out server.pem 2>/dev/null

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out otherhost-key.pem 2>/dev/null
openssl req -new -key otherhost-key.pem -subj "/CN=other-host.invalid" -out otherhost.csr
printf '%s\n' "basicConstraints=critical,CA:FALSE" \
    "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" \
    "subjectAltName=DNS:other-host.invalid" > otherhost.ext
openssl x509 -req -in otherhost.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
    -sha256 -days 825 -extfile otherhost.ext -out otherhost.pem 2>/dev/null
rm -f server.csr server.ext otherhost.csr otherhost.ext ca.srl

openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout untrusted-key.pem -sha256 -days 825 -subj "/CN=localhost" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "extendedKeyUsage=serverAuth" \
    -addext "$names" \
    -out untrusted.pem 2>/dev/null

chmod 600 ca-key.pem server-key.pem untrusted-key.pem otherhost-key.pem
