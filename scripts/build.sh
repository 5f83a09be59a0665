#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh DIR [SANITIZER] [server]
#     SANITIZER: "" (none), address or thread
#     server:    only the program tavserver, configured without the tests
#                and benchmarks (GoogleTest and Google Benchmark not needed)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
san=${2:-}
what=${3:-all}
jobs=$(nproc 2>/dev/null || echo 4)
case "$what" in
  all) with=ON; target=() ;;
  server) with=OFF; target=(--target tavserver) ;;
  *) echo "usage: scripts/build.sh DIR [SANITIZER] [server]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/$dir" -DTAV_SANITIZE="$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=$with -DTAV_BUILD_BENCH=$with >/dev/null
cmake --build "$root/$dir" -j "$jobs" "${target[@]}"
