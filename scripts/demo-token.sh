#!/usr/bin/env bash
# Creates, once, a software demo token for the card-crypto component: its own SoftHSM2
# configuration in the user's data folder, a key pair on the token and a certificate for it
# issued by a demo CA. Running it again changes nothing.
#
#   bash scripts/demo-token.sh [--key rsa|ec] [--label LABEL] [--pin PIN] [--dir DIR]
#
# Prints the line `SOFTHSM2_CONF=<file>` last, so callers can pick the configuration up.
# The demo PIN is 123456 (security officer PIN 12345678) unless --pin says otherwise.
set -euo pipefail

key=rsa
label="Tessaroll Demo"
pin=123456
so_pin=12345678
dir="${XDG_DATA_HOME:-$HOME/.local/share}/ZEFAGPKI/demo-token"
while [ $# -gt 0 ]; do
  case "$1" in
    --key) key="$2"; shift 2 ;;
    --label) label="$2"; shift 2 ;;
    --pin) pin="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    *) echo "demo-token: unknown option $1" >&2; exit 2 ;;
  esac
done
case "$key" in rsa|ec) ;; *) echo "demo-token: --key is rsa or ec" >&2; exit 2 ;; esac

module=""
for m in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  [ -f "$m" ] && { module="$m"; break; }
done
[ -n "$module" ] || { echo "demo-token: SoftHSM2 is not installed (scripts/setup.sh installs it)" >&2; exit 1; }

umask 077
mkdir -p "$dir/tokens"
conf="$dir/softhsm2.conf"
if [ ! -f "$conf" ]; then
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' "$dir" >"$conf"
fi
export SOFTHSM2_CONF="$conf"

# Token names in file names and URLs: keep it simple and safe.
slug=$(printf '%s' "$label" | tr -c 'A-Za-z0-9' '-')
cert="$dir/$slug-$key.pem"
url="pkcs11:token=$(printf '%s' "$label" | sed 's/ /%20/g')"

if softhsm2-util --show-slots 2>/dev/null | grep -q "Label:[[:space:]]*$label[[:space:]]*\$" && [ -f "$cert" ]; then
  echo "demo-token: token \"$label\" is ready"
  echo "SOFTHSM2_CONF=$conf"
  exit 0
fi

# A half-made token from an interrupted run is removed and made again.
if softhsm2-util --show-slots 2>/dev/null | grep -q "Label:[[:space:]]*$label[[:space:]]*\$"; then
  softhsm2-util --delete-token --token "$label" >/dev/null
fi
softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" >/dev/null

export GNUTLS_PIN="$pin" GNUTLS_SO_PIN="$so_pin"
p11() { p11tool --provider "$module" "$@"; }
if [ "$key" = rsa ]; then
  p11 --login --generate-privkey=rsa --bits 2048 --label "Demo key" --id 01 "$url" >/dev/null 2>&1
else
  p11 --login --generate-privkey=ecdsa --curve secp256r1 --label "Demo key" --id 01 "$url" >/dev/null 2>&1
fi

# The demo CA: one per folder, shared by every demo token in it. Its key stays in the data
# folder so later tokens can be issued by the same CA; it signs nothing but demo certificates.
ca_key="$dir/demo-ca-key.pem"
ca="$dir/demo-ca.pem"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ ! -f "$ca" ]; then
  certtool --generate-privkey --key-type ecdsa --curve secp256r1 --outfile "$ca_key" 2>/dev/null
  cat >"$tmp/ca.tmpl" <<EOF
cn = "Tessaroll Demo CA"
organization = "Tessaroll Demo"
country = TW
serial = 1
expiration_days = 3650
ca
cert_signing_key
crl_signing_key
EOF
  certtool --generate-self-signed --load-privkey "$ca_key" --template "$tmp/ca.tmpl" \
    --outfile "$ca" 2>/dev/null
fi

# Subject directory attributes: dateOfBirth (1.3.6.1.5.5.7.9.1) and countryOfCitizenship
# (1.3.6.1.5.5.7.9.4), so the component has something to read from the extension.
sda=3031301d06082b060105050709013111180f31393930303130313030303030305a301006082b06010505070904310413025457

cat >"$tmp/user.tmpl" <<EOF
dn = "CN=Demo User,title=Engineer,O=Tessaroll Demo,C=TW,serialNumber=A123456789,2.5.4.97=#0c0e4e545254572d3132333435363738"
serial = $(date +%s)
expiration_days = 730
signing_key
encryption_key
tls_www_client
email_protection_key
policy1 = 1.3.6.1.4.1.59999.1.1
policy2 = 1.3.6.1.4.1.59999.2.3
add_extension = "2.5.29.9 0x$sda"
EOF
p11 --export "$url;object=Demo%20key;type=public" >"$tmp/pub.pem"
certtool --generate-certificate --load-pubkey "$tmp/pub.pem" \
  --load-ca-privkey "$ca_key" --load-ca-certificate "$ca" --template "$tmp/user.tmpl" \
  --outfile "$tmp/cert.pem" 2>/dev/null
p11 --login --write --load-certificate "$tmp/cert.pem" --label "Demo certificate" --id 01 "$url" >/dev/null 2>&1
cp "$tmp/cert.pem" "$cert"
echo "demo-token: token \"$label\" created ($key key, PIN $pin)"
echo "SOFTHSM2_CONF=$conf"
