#!/usr/bin/env bash
# Prepares this (Debian) machine and a build tree for the armhf cross build.
# Idempotent and quiet when everything is already there.
#
#   - the native packages (scripts/bootstrap.sh);
#   - the cross compiler (crossbuild-essential-armhf) and qemu-arm (qemu-user);
#   - the armhf libraries, installed beside the native ones (multiarch);
#   - Net-SNMP's armhf headers: libsnmp-dev:armhf cannot be installed beside
#     the native libsnmp-dev, so its .deb is unpacked into BUILD/_deps/netsnmp-armhf
#     (pass BUILD/_deps/netsnmp-armhf as NETSNMP_ROOT);
#   - GoogleTest for armhf, built from Debian's sources in /usr/src/googletest
#     and installed into BUILD/_deps/gtest (on CMAKE_PREFIX_PATH); left out
#     with --no-gtest (the armhf packages and headers only, as .ci/run's
#     first armhf step asks).
#
# Usage: scripts/bootstrap-armhf.sh [--no-gtest] [BUILD]   (default: build-armhf)
#        scripts/bootstrap-armhf.sh --sysroot
# --sysroot: only what a sysroot build needs of the build machine (clang,
# the armhf binutils, qemu-arm, debootstrap for scripts/make-sysroot.sh);
# the target's libraries are the sysroot's.
#
# Exits 3 when the armhf packages cannot be installed beside the native ones
# from this machine's package lists (e.g. the mirror serves an armhf index
# that fails its check, so armhf and native versions of a Multi-Arch: same
# library differ); nothing is installed then. The sysroot route does not
# need them.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

# shellcheck source=scripts/lib.sh
. scripts/lib.sh
install_missing() {
  tarn_check_missing bootstrap-armhf "$@" || return 0
  local missing=("${tarn_missing[@]}")
  local multiarch=0 added=0
  if printf '%s\n' "${missing[@]}" | grep -q ':armhf$'; then
    multiarch=1
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
      dpkg --add-architecture armhf
      added=1
    fi
  fi
  tarn_apt_update
  # --no-remove: never trade a native package for an armhf one (apt stops
  # instead, e.g. for libsnmp-dev:armhf, which is why it is unpacked below).
  local -a install=(apt-get install -y --no-install-recommends --no-remove "${missing[@]}")
  # A dry run first: when apt cannot resolve the armhf packages beside the
  # native ones, say so (status 3) and leave the machine as it was.
  if [ "$multiarch" = 1 ]; then
    local log
    log="$(mktemp)"
    if ! "${install[@]}" -s -q >"$log" 2>&1; then
      grep -E '^(E: | )' "$log" | sed 's/^ \{0,1\}/  apt: /' >&2 || true
      rm -f "$log"
      [ "$added" = 0 ] || dpkg --remove-architecture armhf
      echo "bootstrap-armhf: the armhf packages cannot be installed beside the native" \
        "ones from this machine's package lists (a sysroot build does without them:" \
        "scripts/make-sysroot.sh)" >&2
      exit 3
    fi
    rm -f "$log"
  fi
  "${install[@]}" -qq >/dev/null
}

if [ "${1:-}" = "--sysroot" ]; then
  install_missing clang binutils-arm-linux-gnueabihf qemu-user debootstrap
  exit 0
fi
gtest=1
if [ "${1:-}" = "--no-gtest" ]; then
  gtest=0
  shift
fi
build="${1:-build-armhf}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
triplet=arm-linux-gnueabihf
toolchain="$root/cmake/toolchain-armhf.cmake"

scripts/bootstrap.sh

# --- packages ---------------------------------------------------------------
install_missing crossbuild-essential-armhf qemu-user libc6:armhf libstdc++6:armhf \
  libjsoncpp-dev:armhf libboost-date-time-dev:armhf libssl-dev:armhf libsnmp40:armhf

# --- Net-SNMP headers for armhf -----------------------------------------------
# The headers must match the installed armhf library's version exactly.
snmp_version="$(dpkg-query -W -f='${Version}' libsnmp40:armhf)"
snmp_dir="$(tarn_netsnmp_armhf "$build")"
if [ "$(cat "$snmp_dir/.version" 2>/dev/null)" != "$snmp_version" ] ||
   [ ! -f "$snmp_dir/usr/include/net-snmp/net-snmp-config.h" ]; then
  rm -rf "$snmp_dir" "$build/_deps/netsnmp-deb"
  mkdir -p "$build/_deps/netsnmp-deb"
  log="$build/_deps/netsnmp-deb/log"
  if ! (cd "$build/_deps/netsnmp-deb" &&
        apt-get download -o APT::Sandbox::User=root \
          "libsnmp-dev:armhf=$snmp_version") >"$log" 2>&1; then
    cat "$log" >&2
    echo "bootstrap-armhf: could not download libsnmp-dev:armhf=$snmp_version" >&2
    exit 1
  fi
  dpkg -x "$build"/_deps/netsnmp-deb/libsnmp-dev_*_armhf.deb "$snmp_dir"
  echo "$snmp_version" >"$snmp_dir/.version"
  rm -rf "$build/_deps/netsnmp-deb"
fi

# --- GoogleTest for armhf -----------------------------------------------------
[ "$gtest" = 1 ] || exit 0
gtest_prefix="$build/_deps/gtest"
gtest_stamp="$(dpkg-query -W -f='${Version}' googletest) $(sha1sum "$toolchain" | cut -c1-40)"
if [ "$(cat "$gtest_prefix/.stamp" 2>/dev/null)" != "$gtest_stamp" ] ||
   [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  rm -rf "$gtest_prefix" "$build/_deps/gtest-build"
  mkdir -p "$build/_deps/gtest-build"
  log="$build/_deps/gtest-build/log"
  if ! { cmake -S /usr/src/googletest -B "$build/_deps/gtest-build" \
           -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DCMAKE_INSTALL_LIBDIR=lib \
           -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON &&
         cmake --build "$build/_deps/gtest-build" -j"$(nproc)" &&
         cmake --install "$build/_deps/gtest-build"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "bootstrap-armhf: building GoogleTest for $triplet failed" >&2
    exit 1
  fi
  echo "$gtest_stamp" >"$gtest_prefix/.stamp"
  rm -rf "$build/_deps/gtest-build"
fi
