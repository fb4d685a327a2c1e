#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and benchmark quorvane.
# Idempotent: does nothing when every package is already installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libboost1.81-dev
  libzmq3-dev cppzmq-dev
  libjsoncpp-dev libhiredis-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  redis-server redis-tools iproute2
  dpkg-dev
  systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
