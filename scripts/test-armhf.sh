#!/usr/bin/env bash
# Cross builds for armhf (32-bit ARM, hard-float) and runs the whole test
# suite under qemu-arm.
#
# Usage: scripts/test-armhf.sh [--sysroot DIR] [ctest arguments...]
#   without --sysroot  Debian 12 multiarch route (cross GCC, armhf packages
#                      beside the native ones), build folder build-armhf
#   --sysroot DIR      against the target userland in DIR only (clang for the
#                      target, or CC/CXX), build folder build-armhf-NAME (NAME:
#                      DIR's last component); tests run under qemu-arm -L DIR
#
# Tests that start the simulated inverter run the native build's one
# (TARN_NATIVE_TOOLS_DIR, default build/tools; built there when missing):
# a test under qemu-arm cannot exec an armhf child.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

sysroot=""
if tarn_sysroot_option test-armhf 2 "$@"; then
  shift 2
  tarn_check_sysroot test-armhf "$sysroot"
fi

if [ -z "${TARN_NATIVE_TOOLS_DIR:-}" ]; then
  TARN_NATIVE_TOOLS_DIR="$root/build/tools"
  if [ ! -x build/tools/inverter_sim/inverter_sim ]; then
    scripts/bootstrap.sh
    tarn_tree_cmake build "$(tarn_native_arch)"
    cmake -S . -B build "${tarn_cmake[@]}" >/dev/null
    cmake --build build -j"$(nproc)" --target inverter_sim
  fi
fi

build="$root/$(tarn_build_dir build-armhf "$sysroot")"
if [ -z "$sysroot" ]; then
  scripts/bootstrap-armhf.sh "$build"
else
  scripts/make-sysroot.sh --relative-links "$sysroot"
  scripts/bootstrap-armhf.sh --sysroot
  tarn_forget_other_sysroot "$build" "$sysroot"
fi
# The armhf packages' tree too (scripts/package.sh).
tarn_tree_cmake "$build" armhf "$sysroot"
cmake -S . -B "$build" "${tarn_cmake[@]}" -DTARN_BUILD_BENCH=OFF -DTARN_REQUIRE_ALL_TESTS=ON \
  -DTARN_NATIVE_TOOLS_DIR="$TARN_NATIVE_TOOLS_DIR" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$tarn_ctest_jobs" "$@"
