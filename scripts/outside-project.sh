#!/usr/bin/env bash
# Installs the runtime from a built tree into BUILD_DIR/stage, builds the health-watch example
# against that prefix only, as any other project would (with CMake, then with pkg-config), and
# runs it end to end against a real broker, redis-server and HTTP server.
# Usage: scripts/outside-project.sh [BUILD_DIR]   (after scripts/test.sh BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
stage=$PWD/$build_dir/stage
example=$PWD/$build_dir/health-watch

rm -rf "$stage" "$example"
cmake --install "$build_dir" --prefix "$stage" --component dev
# Relocatable: no path of this machine in what the package holds as text.
if grep -rlI "$PWD" "$stage"; then
  echo "the installed package names the build tree" >&2
  exit 1
fi

cmake -S examples/health-watch -B "$example" -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror"
cmake --build "$example" -j "$(nproc)"
pc_dir=$(dirname "$(find "$stage" -name kelm-core.pc)")
# shellcheck disable=SC2046  # pkg-config's flags are words
g++ -Wall -Wextra -Wpedantic -Werror -o "$example/health-watch-pc" examples/health-watch/*.cpp \
  $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs kelm-core kelm-config)
# Both run: without -c they explain their usage and exit with 64.
for program in "$example/health-watch" "$example/health-watch-pc"; do
  status=0
  "$program" 2>"$example/usage" || status=$?
  grep -q 'Usage: ' "$example/usage" && [ "$status" -eq 64 ] ||
    { echo "$program: status $status, $(cat "$example/usage")" >&2; exit 1; }
done

cmake -S . -B "$build_dir" -DQUORVANE_HEALTH_WATCH="$example/health-watch" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target health_watch_tests
ctest --test-dir "$build_dir" --output-on-failure -R '^HealthWatch\.'
