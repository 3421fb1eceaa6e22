#!/usr/bin/env bash
# Generates a fixed set of credentials for the tests of one build folder, laid out as the
# programs keep a user's own in $XDG_DATA_HOME/ZEFAGPKI/ (the test sandboxes start with a
# copy, so a service start does not make an RSA root each time):
#   two roots (elliptic-curve P-256 signed with ECDSA-SHA256, RSA 4096 signed with SHA-1),
#   two localhost server certificates, one issued by each root, signed with SHA-256, and
#   their keys; TestCertificates.h holds the four certificates for the tests' code.
# The roots permit only the names localhost, 127.0.0.1 and ::1. The root keys exist only in
# a temporary folder and are gone when this script ends. Nothing here goes into a program.
# usage: generate.sh <certtool> <output folder>
set -euo pipefail
certtool=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# The roots' validity, to the second; each server certificate shares its root's.
validity() {
  printf 'activation_date = "2017-04-22 %s"\nexpiration_date = "2037-04-17 %s"\n' "$1" "$1"
}

# Key usage (critical): digital signature, non-repudiation, key and data encipherment, key
# agreement, certificate and CRL signing; extended key usage: TLS server and client. Given as
# raw extensions because certtool's own switches drop key encipherment for an EC key.
root_usages='add_critical_extension = "2.5.29.15 0x030201FE"
add_extension = "2.5.29.37 0x301406082B0601050507030106082B06010505070302"'

# A trusted root may vouch for the loopback names only
# (certtool marks the name constraints critical).
root_constraints='nc_permit_dns = "localhost"
nc_permit_ip = "127.0.0.1/32"
nc_permit_ip = "::1/128"'

# Both roots carry the same subject: they belong to one authority.
root_template() {
  cat <<T
organization = "ZEFAGPKI"
cn = "ZEFAGPKI Tessaroll Root CA"
serial = $1
$(validity "$2")
ca
dns_name = "localhost"
$root_usages
$root_constraints
T
}

server_template() {
  cat <<T
organization = "ZEFAGPKI"
cn = "localhost"
serial = $1
$(validity "$2")
signing_key
$3
tls_www_server
dns_name = "localhost"
ip_address = "127.0.0.1"
ip_address = "::1"
T
}

serial_base=$(date +%s)
root_template "$serial_base" 13:29:17 > "$work/ec_root.tmpl"
root_template "$((serial_base + 1))" 13:29:28 > "$work/rsa_root.tmpl"
server_template "$((serial_base + 2))" 13:29:17 "" > "$work/ec_server.tmpl"
server_template "$((serial_base + 3))" 13:29:28 "encryption_key" > "$work/rsa_server.tmpl"

q() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

q "$certtool" --generate-privkey --key-type=ecdsa --curve=secp256r1 --outfile "$work/ec_root.key"
q "$certtool" --generate-privkey --key-type=rsa --bits=4096 --outfile "$work/rsa_root.key"
q "$certtool" --generate-privkey --key-type=ecdsa --curve=secp256r1 --outfile "$work/ec_server.key"
q "$certtool" --generate-privkey --key-type=rsa --bits=2048 --outfile "$work/rsa_server.key"

q "$certtool" --generate-self-signed --load-privkey "$work/ec_root.key" \
  --template "$work/ec_root.tmpl" --hash SHA256 --outfile "$work/ec_root.pem"
q "$certtool" --generate-self-signed --load-privkey "$work/rsa_root.key" \
  --template "$work/rsa_root.tmpl" --hash SHA1 --outfile "$work/rsa_root.pem"
q "$certtool" --generate-certificate --load-privkey "$work/ec_server.key" \
  --load-ca-certificate "$work/ec_root.pem" --load-ca-privkey "$work/ec_root.key" \
  --template "$work/ec_server.tmpl" --hash SHA256 --outfile "$work/ec_server.pem"
q "$certtool" --generate-certificate --load-privkey "$work/rsa_server.key" \
  --load-ca-certificate "$work/rsa_root.pem" --load-ca-privkey "$work/rsa_root.key" \
  --template "$work/rsa_server.tmpl" --hash SHA256 --outfile "$work/rsa_server.pem"

# certtool writes a readable dump before the PEM block; keep only the block.
for c in ec_root rsa_root ec_server rsa_server; do
  sed -n '/-----BEGIN CERTIFICATE-----/,/-----END CERTIFICATE-----/p' "$work/$c.pem" > "$work/$c.crt"
done
for k in ec_server rsa_server; do
  sed -n '/-----BEGIN .*PRIVATE KEY-----/,/-----END .*PRIVATE KEY-----/p' "$work/$k.key" > "$work/$k.keypem"
done

for f in ec_root rsa_root ec_server rsa_server; do
  cp "$work/$f.crt" "$out/$f.pem"
done
for k in ec_server rsa_server; do
  install -m 0600 "$work/$k.keypem" "$out/$k.key"
done
{
  echo "// Generated at build time by certs/generate.sh for the tests. Do not edit, do not commit."
  echo "#pragma once"
  for pair in eccRoot:ec_root rsaRoot:rsa_root ecServer:ec_server rsaServer:rsa_server; do
    printf 'inline constexpr char %sCertificate[] = R"pem(%s\n)pem";\n' "${pair%%:*}" \
      "$(cat "$work/${pair#*:}.crt")"
  done
} > "$out/TestCertificates.h"
