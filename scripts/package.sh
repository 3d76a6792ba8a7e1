#!/usr/bin/env bash
# Builds the Debian packages of the plug-in and of the tools for amd64 and
# armhf into dist/:
#   tarn-inverter-plugin_VERSION_ARCH.deb  the plug-in, in the plug-in folder
#                                          (TARN_PLUGIN_DIR, cmake/Install.cmake)
#   tarn-inverter-tools_VERSION_ARCH.deb   tarn_host and inverter_sim in /usr/bin
# VERSION is the project's version (top-level CMakeLists.txt). Dependencies
# come from the binaries (dpkg-shlibdeps). Build folders: build-pkg-amd64,
# build-pkg-armhf (the plug-in and the two programs only, no tests).
# Extra arguments go to both CMake configurations (this run only), e.g.
#   scripts/package.sh -DTARN_PLUGIN_DIR=lib/monitor/drivers
#
# scripts/package.sh --sysroot DIR [cmake args]: the two armhf packages only,
# built against the Debian armhf sysroot DIR (scripts/make-sysroot.sh) in
# build-pkg-armhf-NAME (NAME: DIR's last component), version VERSION+debN
# (N: the major number of DIR/etc/debian_version), with the dependencies
# that release's own libraries call for (dpkg-shlibdeps with DIR's dpkg
# database). build-pkg-amd64 is built too (no packages): check-packages.sh
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

maintainer="${TARN_MAINTAINER:-Plug-in Dev <dev@example.invalid>}"
source_name=tarn-inverter

sysroot=""
amd64_only=0
if [ "${1:-}" = "--amd64-only" ]; then
  amd64_only=1
  shift
elif [ "${1:-}" = "--sysroot" ]; then
  [ $# -ge 2 ] || { echo "package: --sysroot needs a folder" >&2; exit 2; }
  sysroot="$(realpath "$2")"
  shift 2
  for f in lib/ld-linux-armhf.so.3 etc/debian_version; do
    [ -e "$sysroot/$f" ] || { echo "package: $sysroot has no $f: not a Debian armhf sysroot" >&2; exit 2; }
  done
  if [ ! -s "$sysroot/var/lib/dpkg/status" ]; then
    echo "package: $sysroot has no dpkg database: make it again with scripts/make-sysroot.sh" >&2
    exit 2
  fi
fi

scripts/bootstrap.sh
if [ -n "$sysroot" ]; then
  scripts/make-sysroot.sh --relative-links "$sysroot"
  scripts/bootstrap-armhf.sh --sysroot
  armhf_build="$root/build-pkg-armhf-$(basename "$sysroot")"
  archs=(armhf)
elif [ "$amd64_only" = 1 ]; then
  archs=(amd64)
else
  scripts/bootstrap-armhf.sh --no-gtest build-pkg-armhf
  armhf_build="$root/build-pkg-armhf"
  archs=(amd64 armhf)
fi
build_of() { if [ "$1" = armhf ]; then echo "$armhf_build"; else echo "$root/build-pkg-$1"; fi; }
# Reproducible file times and changelog date: those of the last commit.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"

# --- build ----------------------------------------------------------------------
# $1 arch; the rest go to cmake. Debian's hardening flags for the arch.
configure_and_build() {
  local arch="$1" build
  build="$(build_of "$1")"
  shift
  local -a cross=()
  local link=""
  if [ "$arch" = armhf ] && [ -n "$sysroot" ]; then
    # Debian's GCC links --as-needed by default, clang does not: without it
    # a library the build names but whose symbols go unused (libm, say)
    # would become a dependency.
    link="-Wl,--as-needed"
    if [ -f "$build/CMakeCache.txt" ] &&
       ! grep -qx "CMAKE_SYSROOT:[A-Z]*=$sysroot" "$build/CMakeCache.txt"; then
      rm -rf "$build"  # made for another sysroot
    fi
    cross=(--toolchain "$root/cmake/toolchain-armhf.cmake" -DCMAKE_SYSROOT="$sysroot")
  elif [ "$arch" = armhf ]; then
    cross=(--toolchain "$root/cmake/toolchain-armhf.cmake"
           -DNETSNMP_ROOT="$build/_deps/netsnmp-armhf")
  fi
  flags() {
    DEB_BUILD_MAINT_OPTIONS=hardening=+all \
      dpkg-architecture -a"$arch" -c dpkg-buildflags --get "$1" 2>/dev/null
  }
  mkdir -p "$build"
  local log="$build/package-build.log"
  if ! { CFLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
         CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" LDFLAGS="$(flags LDFLAGS)${link:+ $link}" \
         cmake -S "$root" -B "$build" "${cross[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DCMAKE_INSTALL_PREFIX=/usr -DTARN_WERROR=ON -DTARN_BUILD_TESTS=OFF \
           -DTARN_BUILD_BENCH=OFF -DTARN_BUILD_TOOLS=ON -UTARN_PLUGIN_DIR "$@" &&
         cmake --build "$build" -j"$(nproc)" \
           --target SocketSNMP_KEHUA_INVERTER tarn_host inverter_sim; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "package: the $arch build failed (log: $log)" >&2
    exit 1
  fi
}

# --- one package ----------------------------------------------------------------
# $1 arch, $2 CMake install component, $3 package name, $4 synopsis,
# $5 extended description, $6 extra control fields (may be empty).
make_package() {
  local arch="$1" component="$2" package="$3" synopsis="$4" description="$5" extra="$6"
  local build
  build="$(build_of "$arch")"
  local stage="$build/package/$package" work="$build/package/$package.work"
  rm -rf "$stage" "$work"
  mkdir -p "$stage/DEBIAN" "$work/debian"
  DESTDIR="$stage" cmake --install "$build" --component "$component" >/dev/null
  # Stripped as Debian strips; shared objects are not executable.
  while IFS= read -r -d '' f; do
    case "$f" in
      *.so | *.so.*) "$TARN_STRIP" --remove-section=.comment --remove-section=.note \
                       --strip-unneeded "$f"
                     chmod 0644 "$f" ;;
      *) "$TARN_STRIP" --remove-section=.comment --remove-section=.note "$f" ;;
    esac
  done < <(find "$stage/usr/bin" "$stage/usr/lib" -type f -print0 2>/dev/null)
  if [ -d "$stage/usr/share/man" ]; then
    find "$stage/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
  fi

  local doc="$stage/usr/share/doc/$package"
  mkdir -p "$doc"
  cp packaging/copyright "$doc/copyright"
  {
    echo "$source_name ($version) $distribution; urgency=medium"
    echo
    echo "  * Release $TARN_VERSION${release:+ for Debian $release}: see the project's history."
    echo
    echo " -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -9n >"$doc/changelog.gz"

  # Dependencies of every ELF file in the package, from its dynamic section.
  # The plug-in's host operations are bound from the host program at load
  # time: its "symbol not found" notes (warning bit 4) are expected.
  local -a elves=()
  while IFS= read -r -d '' f; do
    if [ "$(od -An -tx1 -N4 "$f" | tr -d ' \n')" = 7f454c46 ]; then elves+=("$f"); fi
  done < <(find "$stage/usr" -type f -print0)
  local depends=""
  if [ ${#elves[@]} -gt 0 ]; then
    printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$source_name" "$package" \
      >"$work/debian/control"
    depends="$(cd "$work" && dpkg-architecture -a"$arch" -c \
      dpkg-shlibdeps -O --warnings=3 "${shlibdeps_args[@]}" "${elves[@]}" \
        2>"$work/shlibdeps.log" |
      sed -n 's/^shlibs:Depends=//p')" || { cat "$work/shlibdeps.log" >&2; exit 1; }
    [ -n "$depends" ] || { echo "package: no dependencies found for $package" >&2; exit 1; }
  fi

  (cd "$stage" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z |
     xargs -0 md5sum >DEBIAN/md5sums)
  local size
  size="$(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
  {
    echo "Package: $package"
    echo "Source: $source_name"
    echo "Version: $version"
    echo "Architecture: $arch"
    [ -n "$extra" ] && echo "$extra"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $size"
    [ -n "$depends" ] && echo "Depends: $depends"
    echo "Section: net"
    echo "Priority: optional"
    echo "Description: $synopsis"
    printf '%s\n' "$description" | fmt -w 72 | sed 's/^/ /'
  } >"$stage/DEBIAN/control"
  rm -rf "$work"
  mkdir -p "$root/dist"
  local deb="$root/dist/${package}_${version}_${arch}.deb"
  dpkg-deb --build --root-owner-group -Zxz "$stage" "$deb" >/dev/null
  echo "package: $deb"
  echo "  Depends: ${depends:-(none)}"
  dpkg-deb --contents "$deb" | awk '$6 !~ /\/$/ { print "  " $6 }'
}

# dpkg-shlibdeps takes each library from DIR (-l) and asks dpkg-query
# --search which package owns it, by the path it has here: DIR/usr/lib/...
# The sysroot's database knows /usr/lib/... only, so dpkg-shlibdeps is given
# a copy whose file lists carry DIR in front (the rest is the sysroot's own:
# status, shlibs, symbols). A library of this machine's is in no package of
# the copy: it cannot lend its dependency information.
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
  echo "== armhf against $sysroot: build-pkg-amd64 for the check (no packages)"
  configure_and_build amd64 "$@"
fi

version=""
for arch in "${archs[@]}"; do
  build="$(build_of "$arch")"
  echo "== $arch: configure and build (folder ${build#"$root"/})"
  configure_and_build "$arch" "$@"
  # shellcheck disable=SC1090,SC1091
  . "$build/package.env"
  release="" distribution=unstable
  if [ -n "$sysroot" ]; then
    database_view
    release="$TARN_DEBIAN_RELEASE"
    [ -n "$release" ] ||
      { echo "package: no release number in $sysroot/etc/debian_version" >&2; exit 1; }
    distribution="$(sed -n 's/^VERSION_CODENAME=//p' "$sysroot/etc/os-release")"
    distribution="${distribution:-unstable}"
  fi
  if [ -n "$version" ] && [ "$version" != "$TARN_VERSION" ]; then
    echo "package: version $TARN_VERSION of $arch differs from $version" >&2
    exit 1
  fi
  version="$TARN_VERSION${release:++deb$release}"
  rm -f "dist/tarn-inverter-plugin_${version}_$arch.deb" "dist/tarn-inverter-tools_${version}_$arch.deb"
  # Plug-ins of several architectures install side by side only in a
  # multiarch folder.
  multiarch=""
  case "$TARN_PLUGIN_PATH/" in */"$TARN_MULTIARCH"/*) multiarch="Multi-Arch: same" ;; esac
  make_package "$arch" plugin tarn-inverter-plugin \
    "UPS inverter plug-in for the monitoring host" \
    "Device-driver plug-in that watches UPS inverters over SNMP. The monitoring host loads the shared object from its plug-in folder and obtains its provider through the exported get_providers; each device walks one inverter's readings every round, publishes a 75-byte record and reports six alarms." \
    "$multiarch"
  make_package "$arch" tools tarn-inverter-tools \
    "host program and simulated inverter for the UPS inverter plug-in" \
    "tarn_host loads a device plug-in as the monitoring host does, runs its devices for a number of rounds and writes every call they make into the host to an events file. inverter_sim is a simulated UPS inverter: an SNMP agent serving a JSON profile with a timeline." \
    ""
done
echo "== packages of version $version in dist/"
