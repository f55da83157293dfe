#!/usr/bin/env bash
# Makes the TLS material of the tests in OUT: a certificate authority (ca.pem) and, each with
# its key (<name>.key), server certificates issued by it for 127.0.0.1 and quorvex.test (the
# name the tests' proxy stands for; good.pem), for another host (wronghost.pem) and expired in
# 2021 (expired.pem), and one that signs itself (selfsigned.pem). Nothing here is trusted anywhere but in the tests that ask for it.
#   tests/support/make-certs.sh OUT
set -euo pipefail
out="$1"
mkdir -p "$out"
cd "$out"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Quorvex test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
mkdir -p ca/new
: >ca/index.txt
cat >ca/ca.cnf <<CNF
[ca]
default_ca = test
[test]
dir = $out/ca
database = \$dir/index.txt
new_certs_dir = \$dir/new
serial = \$dir/serial
certificate = $out/ca.pem
private_key = $out/ca.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = copy
[anything]
commonName = supplied
CNF
issue() { # name san [ca arguments...]
    local name="$1" san="$2"
    shift 2
    openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$name" \
        -addext "subjectAltName=$san" 2>/dev/null
    openssl rand -hex 8 >ca/serial
    openssl ca -batch -config ca/ca.cnf -notext -in "$name.csr" -out "$name.pem" "$@" 2>/dev/null
    rm "$name.csr"
}
issue good "IP:127.0.0.1,DNS:localhost,DNS:quorvex.test" -days 3650
issue wronghost "DNS:wrong.example" -days 3650
issue expired "IP:127.0.0.1" -startdate 20200101000000Z -enddate 20210101000000Z
openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key -out selfsigned.pem -days 3650 \
    -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" 2>/dev/null
rm -rf ca
