#!/usr/bin/env bash
# Bootstraps, builds and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address|thread] [ctest arguments...]
# TARN_BUILD_BENCH=ON builds the benchmarks too (CI: they must compile).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
  sanitize="$2"
  shift 2
fi
build="build${sanitize:+-$sanitize}"

scripts/bootstrap.sh
if [ -z "$sanitize" ]; then
  tarn_tree_cmake "$build" "$(tarn_native_arch)"  # the native packages' tree too
else
  tarn_cmake=("${tarn_sanitizer_cmake[@]}" -DTARN_WERROR=ON)
fi
# TARN_REQUIRE_ALL_TESTS=ON (CI): configure fails if a test group cannot be built.
cmake -S . -B "$build" "${tarn_cmake[@]}" -DTARN_SANITIZE="$sanitize" \
  -DTARN_REQUIRE_ALL_TESTS="${TARN_REQUIRE_ALL_TESTS:-OFF}" -DTARN_BUILD_BENCH="${TARN_BUILD_BENCH:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$tarn_ctest_jobs" "$@"
