#!/usr/bin/env bash
# Installs what is needed, builds the server, prepares the working folder
# run/server and starts the server there in the foreground.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh server
bash scripts/build.sh build "" server
mkdir -p run/server
[ -f run/server/connection.cfg ] || echo "127.0.0.1" > run/server/connection.cfg
[ -f run/server/test.lxfml ] || cp assets/designs/test.lxfml run/server/test.lxfml
cd run/server
exec "$root/build/core/server/tavserver" "$@"
