#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh DIR [SANITIZER]   SANITIZER: "", address or thread
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
san=${2:-}
jobs=$(nproc 2>/dev/null || echo 4)
cmake -S "$root" -B "$root/$dir" -DTAV_SANITIZE="$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/$dir" -j "$jobs"
