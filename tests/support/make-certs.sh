#!/usr/bin/env bash
# Makes the TLS material of the tests in OUT: a certificate authority (ca.pem) and, each with
# its key (<name>.key), server certificates issued by it for 127.0.0.1 and quorvex.test (the
# name the tests' proxy stands for; good.pem), for another host (wronghost.pem) and expired in
# 2021 (expired.pem), and one that signs itself (selfsigned.pem). Nothing here is trusted
# anywhere but in the tests that ask for it.
#   tests/support/make-certs.sh OUT
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 OUT" >&2
    exit 2
fi
# The programs this script runs, each with the Debian package that provides it. Their own
# error output is hidden below, so a missing one would otherwise end the build with only the
# shell's exit status (127).
for needed in openssl:openssl mkdir:coreutils rm:coreutils cat:coreutils; do
    if ! command -v "${needed%%:*}" >/dev/null; then
        echo "make-certs.sh: the program ${needed%%:*} is missing; install the Debian package" \
            "${needed#*:} (apt-get install ${needed#*:}, as root)" >&2
        exit 1
    fi
done
out="$(mkdir -p "$1" && cd "$1" && pwd)"
cd "$out"
# Runs openssl with its chatter kept aside; when it fails, shows what it said.
openssl() {
    if ! command openssl "$@" 2>openssl.log; then
        echo "make-certs.sh: openssl $1 failed while making the certificates in $out:" >&2
        cat openssl.log >&2
        exit 1
    fi
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Quorvex test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
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
        -addext "subjectAltName=$san"
    openssl rand -hex 8 >ca/serial
    openssl ca -batch -config ca/ca.cnf -notext -in "$name.csr" -out "$name.pem" "$@"
    rm "$name.csr"
}
issue good "IP:127.0.0.1,DNS:localhost,DNS:quorvex.test" -days 3650
issue wronghost "DNS:wrong.example" -days 3650
issue expired "IP:127.0.0.1" -startdate 20200101000000Z -enddate 20210101000000Z
openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key -out selfsigned.pem -days 3650 \
    -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1"
rm -rf ca openssl.log
