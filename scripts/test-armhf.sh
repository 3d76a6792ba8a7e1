#!/usr/bin/env bash
# Cross builds for armhf (32-bit ARM, hard-float) and runs the test suite
# under qemu-arm. The build folder is build-armhf (preset "armhf").
# Usage: scripts/test-armhf.sh [ctest arguments...]
# TARN_NATIVE_TOOLS_DIR in the environment is passed on to CMake: the tools/
# folder of a native build (e.g. "$PWD/build/tools" after scripts/test.sh),
# whose helper programs (the simulated inverter) tests of the cross build may
# start, since they cannot exec the armhf ones.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap-armhf.sh build-armhf
cmake --preset armhf -DTARN_WERROR=ON -DTARN_BUILD_BENCH=OFF \
  ${TARN_NATIVE_TOOLS_DIR:+-DTARN_NATIVE_TOOLS_DIR="$TARN_NATIVE_TOOLS_DIR"} >/dev/null
cmake --build --preset armhf -j"$(nproc)"
ctest --preset armhf -j"$(nproc)" "$@"
