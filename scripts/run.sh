#!/usr/bin/env bash
# Builds the broker and runs it in the foreground, by default on the shipped
# configuration. Arguments replace "-c config/quorvane.json". Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build
cmake --build build -j "$(nproc)" --target quorvane
[ $# -gt 0 ] || set -- -c config/quorvane.json
exec build/src/quorvane "$@"
