#!/usr/bin/env bash
# Installs what is missing, then configures a build directory.
# Usage: scripts/build.sh BUILD_DIR [cmake configure arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
shift
if [ "$(id -u)" -eq 0 ]; then
  scripts/install-deps.sh
else
  sudo scripts/install-deps.sh
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
