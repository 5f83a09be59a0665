#!/usr/bin/env bash
# Installs every Debian package that the server needs to build, run and test.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config
  libenet-dev
  libsqlite3-dev
  zlib1g-dev
  liblua5.2-dev lua5.2
  libluabind-dev
  libbullet-dev
  libpugixml-dev
  libboost-dev libboost-thread-dev libboost-date-time-dev libboost-regex-dev libboost-system-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev
)
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
