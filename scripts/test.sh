#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite three times:
# plain, under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# multithreaded tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 4)

echo "== plain build"
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" --timeout 600)

echo "== ThreadSanitizer (threaded tests)"
bash scripts/build.sh build-tsan thread
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" --timeout 900 -L threaded)
