#!/usr/bin/env bash
# Builds everything with warnings as errors and runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR [cmake configure arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
scripts/build.sh "$build_dir" -DQUORVANE_WERROR=ON "$@"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}
