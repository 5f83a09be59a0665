#!/usr/bin/env bash
# Installs the Debian packages that are missing.
#   scripts/install-deps.sh          what the server, its tests and benchmarks need
#   scripts/install-deps.sh server   what the server alone needs to build and run
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config
  libenet-dev
  libsqlite3-dev
  zlib1g-dev
  liblua5.2-dev
  libluabind-dev
  libbullet-dev
  libpugixml-dev
  libboost-dev libboost-date-time-dev libboost-regex-dev
)
if [ "${1:-all}" != server ]; then
  PKGS+=(libgtest-dev libgmock-dev libbenchmark-dev)
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
