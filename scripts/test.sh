#!/usr/bin/env bash
# Bootstraps, builds and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address|thread] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
  sanitize="$2"
  shift 2
fi
build="build${sanitize:+-$sanitize}"

scripts/bootstrap.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON \
  -DTARN_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
