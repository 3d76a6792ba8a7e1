#!/usr/bin/env bash
# Cross builds for armhf (32-bit ARM, hard-float) and runs the test suite
# under qemu-arm. The build folder is build-armhf (preset "armhf").
# Usage: scripts/test-armhf.sh [ctest arguments...]
# TARN_NATIVE_TOOLS_DIR is the tools/ folder of a native build, whose helper
# programs (the simulated inverter) tests of the cross build start, since they
# cannot exec the armhf ones. It defaults to build/tools when that exists
# (after scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TARN_NATIVE_TOOLS_DIR:-}" ] && [ -x build/tools/inverter_sim/inverter_sim ]; then
  TARN_NATIVE_TOOLS_DIR="$PWD/build/tools"
fi

scripts/bootstrap-armhf.sh build-armhf
cmake --preset armhf -DTARN_WERROR=ON -DTARN_BUILD_BENCH=OFF \
  ${TARN_NATIVE_TOOLS_DIR:+-DTARN_NATIVE_TOOLS_DIR="$TARN_NATIVE_TOOLS_DIR"} >/dev/null
cmake --build --preset armhf -j"$(nproc)"
ctest --preset armhf -j"$(nproc)" "$@"
