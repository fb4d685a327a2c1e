#!/usr/bin/env bash
# Builds the broker and its two clients, and runs the broker in the foreground, by default on the
# shipped configuration. Arguments replace "-c config/quorvane.json". Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build
cmake --build build -j "$(nproc)" --target quorvane quorvane-pub quorvane-sub quorvane-keygen
[ $# -gt 0 ] || set -- -c config/quorvane.json
exec build/src/quorvane "$@"
