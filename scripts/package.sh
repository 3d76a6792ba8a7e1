#!/usr/bin/env bash
# Builds the Debian packages of the plug-in and of the tools for amd64 and
# armhf into dist/:
#   tarn-inverter-plugin_VERSION_ARCH.deb  the plug-in, in the plug-in folder
#                                          (TARN_PLUGIN_DIR, cmake/Install.cmake)
#   tarn-inverter-tools_VERSION_ARCH.deb   tarn_host and inverter_sim in /usr/bin
# VERSION is the project's version (top-level CMakeLists.txt). CPack makes
# them (cmake/Package.cmake: `cpack` in each build folder), with the
# dependencies from the binaries (dpkg-shlibdeps); TARN_MAINTAINER sets the
# Maintainer field. Build folders: the suites' own, build (native) and
# build-armhf (scripts/test.sh, scripts/test-armhf.sh: the same settings),
# so that the packages hold the binaries the suites ran; what a suite built
# already is not built again.
# Extra arguments go to both CMake configurations (this run only), e.g.
#   scripts/package.sh -DTARN_PLUGIN_DIR=lib/monitor/drivers
#
# scripts/package.sh --sysroot DIR [cmake args]: the two armhf packages only,
# built against the Debian armhf sysroot DIR (scripts/make-sysroot.sh) in
# build-armhf-NAME (NAME: DIR's last component; scripts/test-armhf.sh
# --sysroot DIR's tree), version VERSION+debN (N: the major number of
# DIR/etc/debian_version), with the dependencies that release's own
# libraries call for (dpkg-shlibdeps with DIR's dpkg database). The native
# tree's plug-in and programs are built too (no packages): check-packages.sh
# runs its simulator and compares with its host program and plug-in.
#
# scripts/package.sh --amd64-only [cmake args]: the two amd64 packages only,
# for a machine that cannot install the armhf packages beside its own
# (scripts/bootstrap-armhf.sh exits 3); --sysroot makes the armhf ones.
#
# scripts/check-packages.sh checks the result (lintian, install, run).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
umask 022
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

sysroot=""
amd64_only=0
if [ "${1:-}" = "--amd64-only" ]; then
  amd64_only=1
  shift
elif tarn_sysroot_option package 2 "$@"; then
  shift 2
  tarn_check_sysroot package "$sysroot" debian
fi

scripts/bootstrap.sh
native_build="$root/build"
if [ -n "$sysroot" ]; then
  scripts/make-sysroot.sh --relative-links "$sysroot"
  scripts/bootstrap-armhf.sh --sysroot
  armhf_build="$root/$(tarn_build_dir build-armhf "$sysroot")"
  archs=(armhf)
elif [ "$amd64_only" = 1 ]; then
  archs=(amd64)
else
  armhf_build="$root/build-armhf"
  # With GoogleTest: cpack builds the whole tree, the suite's tests too.
  scripts/bootstrap-armhf.sh "$armhf_build"
  archs=(amd64 armhf)
fi
build_of() { if [ "$1" = armhf ]; then echo "$armhf_build"; else echo "$native_build"; fi; }
# Reproducible file times and changelog date (CPack and
# cmake/PackageStage.cmake read it): those of the last commit.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"

# --- build ----------------------------------------------------------------------
# $1 arch; the rest go to cmake. The suites' tree of the arch (scripts/lib.sh,
# tarn_tree_cmake): what they built already is not built again.
configure_and_build() {
  local arch="$1" build
  build="$(build_of "$1")"
  shift
  local target_sysroot=""
  if [ "$arch" = armhf ]; then
    target_sysroot="$sysroot"
    [ -z "$sysroot" ] || tarn_forget_other_sysroot "$build" "$sysroot"
  fi
  tarn_tree_cmake "$build" "$arch" "$target_sysroot"
  mkdir -p "$build"
  local log="$build/package-build.log"
  if ! { cmake -S "$root" -B "$build" "${tarn_cmake[@]}" -DTARN_BUILD_TOOLS=ON \
           -UTARN_PLUGIN_DIR "$@" &&
         cmake --build "$build" -j"$(nproc)" \
           --target SocketSNMP_KEHUA_INVERTER tarn_host inverter_sim; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "package: the $arch build failed (log: $log)" >&2
    exit 1
  fi
}

# --- the packages -----------------------------------------------------------------
# $1 arch: cpack makes the build's two packages (cmake/Package.cmake) in dist/.
make_packages() {
  local arch="$1" build deb a package
  build="$(build_of "$arch")"
  local log="$build/package-cpack.log"
  local -a cpack_args=() dirs=()
  for a in "${shlibdeps_args[@]}"; do
    case "$a" in
      --admindir=*) cpack_args+=(-D "CPACK_TARN_ADMINDIR=${a#--admindir=}") ;;
      -l*) dirs+=("${a#-l}") ;;
    esac
  done
  [ ${#dirs[@]} -eq 0 ] ||
    cpack_args+=(-D "CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS=$(IFS=';'; echo "${dirs[*]}")")
  if ! (cd "$build" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$root/dist" \
          "${cpack_args[@]}") >"$log" 2>&1; then
    cat "$log" >&2
    echo "package: cpack failed for $arch (log: $log)" >&2
    exit 1
  fi
  for package in tarn-inverter-plugin tarn-inverter-tools; do
    deb="$root/dist/${package}_${version}_${arch}.deb"
    [ -f "$deb" ] || { cat "$log" >&2; echo "package: cpack made no $deb" >&2; exit 1; }
    echo "package: $deb"
    echo "  Depends: $(dpkg-deb --field "$deb" Depends)"
    dpkg-deb --contents "$deb" | awk '$6 !~ /\/$/ { print "  " $6 }'
  done
}

# dpkg-shlibdeps (run by cpack) takes each library from DIR (-l) and asks
# dpkg-query --search which package owns it, by the path it has here:
# DIR/usr/lib/... The sysroot's database knows /usr/lib/... only, so
# dpkg-shlibdeps is given a copy whose file lists carry DIR in front (the
# rest is the sysroot's own: status, shlibs, symbols). A library of this
# machine's is in no package of the copy: it cannot lend its dependency
# information (CPack runs dpkg-shlibdeps --ignore-missing-info: a library
# that no package of the copy owns adds no dependency).
# make_packages hands these options to cpack as CPack variables.
shlibdeps_args=()
database_view() {
  local view="$armhf_build/package/dpkg-database"
  rm -rf "$view"
  mkdir -p "$view/info" "$view/updates"
  cp "$sysroot/var/lib/dpkg/status" "$view/status"
  [ ! -f "$sysroot/var/lib/dpkg/arch" ] || cp "$sysroot/var/lib/dpkg/arch" "$view/arch"
  for f in "$sysroot"/var/lib/dpkg/info/*; do
    case "$f" in
      *.list) sed "s|^|$sysroot|" "$f" >"$view/info/${f##*/}" ;;
      *) ln -s "$f" "$view/info/${f##*/}" ;;
    esac
  done
  shlibdeps_args=(--admindir="$view" -l"$sysroot/usr/lib/arm-linux-gnueabihf"
                  -l"$sysroot/lib/arm-linux-gnueabihf")
}

if [ -n "$sysroot" ]; then
  echo "== armhf against $sysroot: the native tree for the check (no packages)"
  configure_and_build amd64 "$@"
fi

for arch in "${archs[@]}"; do
  build="$(build_of "$arch")"
  echo "== $arch: configure and build (folder ${build#"$root"/})"
  configure_and_build "$arch" "$@"
  [ -z "$sysroot" ] || database_view
  # shellcheck disable=SC1090,SC1091
  . "$build/package.env"
  version="$TARN_VERSION${sysroot:++deb$TARN_DEBIAN_RELEASE}"
  rm -f "dist/tarn-inverter-plugin_${version}_$arch.deb" "dist/tarn-inverter-tools_${version}_$arch.deb"
  make_packages "$arch"
done
echo "== packages of version $version in dist/"
