#!/usr/bin/env bash
# Installs every Debian package the build, the service and the tests need.
# Idempotent: packages already present are left alone, and `apt-get update`
# runs once, only when something is missing.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config
  # service and common library
  libmicrohttpd-dev libgnutls28-dev gnutls-bin nettle-dev libjsmn-dev libfmt-dev
  libsystemd-dev libxml2-dev
  # monitor; a font that draws its Chinese (Traditional and Simplified) and Japanese texts
  qt6-base-dev libx11-dev fonts-wqy-microhei
  # certificates and card access; the system trust store the root import writes
  p11-kit libnss3-tools softhsm2 opensc ca-certificates
  # tests
  googletest libgmock-dev libgtest-dev libbenchmark-dev
  xvfb xdotool openbox trayer chromium firefox-esr python3-dbusmock dbus
  xmlsec1 openssl procps iproute2 curl util-linux
  # fuzzing (libFuzzer is in clang's runtime package)
  clang libclang-rt-14-dev
  # lint stage: format and function-size checks
  clang-format clang-tidy
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
