#!/usr/bin/env bash
# Makes a Debian armhf sysroot with what the build and the tests need, from
# Debian's archive: the C library, the release's own libstdc++ and GCC start
# files, Net-SNMP, JsonCpp, Boost.Date_Time, OpenSSL and GoogleTest, each of
# the release's own build. Reused when already made for the same release and
# package list.
#
# Usage: scripts/make-sysroot.sh RELEASE DIR   (bullseye, bookworm, trixie)
#        scripts/make-sysroot.sh --flat DEBIAN_SYSROOT DIR [TRIPLE]
#          (default TRIPLE: arm-buildroot-linux-gnueabihf)
# MIRROR overrides the archive (default: the build machine's Debian mirror).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

usage() {
  echo "usage: scripts/make-sysroot.sh bullseye|bookworm|trixie DIR" \
    "| --flat DEBIAN_SYSROOT DIR [TRIPLE]" >&2
  exit 2
}

# check_made DIR FILE...: exits unless DIR is an armhf sysroot with the
# headers the build takes from it and FILE... (GCC's start files).
check_made() {
  local dir="$1" f
  shift
  tarn_check_sysroot make-sysroot "$dir"
  for f in "${tarn_sysroot_headers[@]}" "$@"; do
    [ -e "$dir/$f" ] || { echo "make-sysroot: $dir has no $f" >&2; exit 1; }
  done
}

# flatten SRC DIR TRIPLE: DIR gets SRC's usr/include and usr/lib without the
# multiarch folders: the C library, libgcc_s and libstdc++ (the packages
# libc6, libgcc-s1, libstdc++6 in SRC's dpkg database) in lib, every other
# library in usr/lib, every header in usr/include; GCC's folder and
# libstdc++'s target headers under TRIPLE (usr/lib/gcc/TRIPLE/N,
# usr/include/c++/N/TRIPLE). Links, linker scripts, pkg-config and CMake
# package files are rewritten for the new places. Copies, so SRC is never
# changed; made again only when SRC or TRIPLE changed.
flatten() {
  local src dir="$2" triple="$3" ma=arm-linux-gnueabihf stamp tmp
  src="$(realpath "$1")"
  case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
  if [ ! -f "$src/.tarn-sysroot" ] || [ ! -d "$src/usr/lib/$ma" ]; then
    echo "make-sysroot: $src is not a Debian sysroot made by this script" >&2
    exit 2
  fi
  stamp="flat $triple from $(cat "$src/.tarn-sysroot") layout-1"
  if [ "$(cat "$dir/.tarn-sysroot" 2>/dev/null)" = "$stamp" ]; then
    echo "make-sysroot: $dir (flat, $triple) already made"
    return 0
  fi
  tmp="$dir.new"
  rm -rf "$tmp"
  mkdir -p "$tmp/usr" "$tmp/lib"
  cp -a "$src/usr/include" "$src/usr/lib" "$tmp/usr/"
  rm -f "$tmp/usr/lib/ld-linux-armhf.so.3"  # a link into the multiarch folder
  local pkg f
  for pkg in libc6 libgcc-s1 libstdc++6; do
    while IFS= read -r f; do
      f="$tmp/usr/lib/$ma/${f##*/}"
      if [ -e "$f" ] || [ -L "$f" ]; then mv "$f" "$tmp/lib/"; fi
    done < <(grep -E "^(/usr)?/lib/$ma/[^/]+\$" "$src/var/lib/dpkg/info/$pkg:armhf.list")
  done
  local gcc_dir v
  gcc_dir="$(ls -d "$tmp/usr/lib/gcc/$ma"/[0-9]* | head -n1)"
  v="${gcc_dir##*/}"
  mv "$tmp/usr/lib/gcc/$ma" "$tmp/usr/lib/gcc/$triple"
  mv "$tmp/usr/include/$ma/c++/$v" "$tmp/usr/include/c++/$v/$triple"
  rmdir "$tmp/usr/include/$ma/c++"
  # Merge what is left of the multiarch folders into their parents.
  for f in usr/lib usr/include; do
    (cd "$tmp/$f/$ma" && tar -cf - .) | tar -xf - -C "$tmp/$f"
    rm -rf "${tmp:?}/$f/$ma"
  done
  # Links that led into a multiarch folder: to the same file's new place.
  local link target base found
  while IFS= read -r -d '' link; do
    [ ! -e "$link" ] || continue
    base="$(basename "$(readlink "$link")")"
    found=""
    for f in lib usr/lib; do
      if [ -e "$tmp/$f/$base" ]; then found="$tmp/$f/$base"; break; fi
    done
    if [ -z "$found" ]; then
      echo "make-sysroot: ${link#"$tmp"/} leads to $(readlink "$link"), not in the flat layout" >&2
      exit 1
    fi
    ln -sfrn "$found" "$link"
  done < <(find "$tmp/lib" "$tmp/usr" -type l -print0)
  # Linker scripts name their libraries by absolute path in the sysroot.
  local script path
  while IFS= read -r script; do
    for path in $(grep -oE "(/usr)?/lib/$ma/[^ )]+" "$script" | sort -u); do
      base="${path##*/}"
      if [ -e "$tmp/lib/$base" ]; then target="/lib/$base"; else target="/usr/lib/$base"; fi
      sed -i "s,$path,$target,g" "$script"
    done
  done < <(grep -lIE "^(GROUP|INPUT)" "$tmp"/lib/*.so "$tmp"/usr/lib/*.so 2>/dev/null || true)
  # pkg-config and CMake package files: the multiarch folder is gone, and
  # the CMake files, one folder higher now, climb one folder fewer.
  sed -i "s,/$ma,,g" "$tmp"/usr/lib/pkgconfig/*.pc
  find "$tmp/usr/lib/cmake" -name '*.cmake' -print0 | xargs -0 sed -i -E \
    -e "s,/$ma,,g" -e 's|((\.\./){2,})\.\./|\1|g' \
    -e '0,/^get_filename_component\(_IMPORT_PREFIX "\$\{_IMPORT_PREFIX\}" PATH\)$/{//d}'
  if grep -rlq "$ma" "$tmp/lib" "$tmp/usr/lib/pkgconfig" "$tmp/usr/lib/cmake" \
       --include='*.so' --include='*.pc' --include='*.cmake'; then
    echo "make-sysroot: $ma still named in $tmp" >&2
    exit 1
  fi
  check_made "$tmp" "usr/lib/gcc/$triple/$v/crtbegin.o"
  echo "$stamp" >"$tmp/.tarn-sysroot"
  rm -rf "$dir"
  mv "$tmp" "$dir"
  echo "make-sysroot: $dir (flat from $src, GCC $v under $triple) made"
}

# --relative-links DIR: absolute links among the sysroot's libraries and
# headers (usr/lib/arm-linux-gnueabihf/libpthread.so -> /lib/...) would lead
# the linker and qemu onto the build machine's files; each is made relative
# to the sysroot. Links elsewhere (dev/stdout -> /proc/self/fd/1) stay.
if [ "${1:-}" = "--relative-links" ] && [ $# -eq 2 ]; then
  n=0
  for top in usr lib lib32 lib64 libhf; do
    [ -d "$2/$top" ] && [ ! -L "$2/$top" ] || continue
    while IFS= read -r -d '' link; do
      ln -sfrn "$2$(readlink "$link")" "$link"
      n=$((n + 1))
    done < <(find "$2/$top" -xdev -type l -lname '/*' -print0)
  done
  [ "$n" -eq 0 ] || echo "make-sysroot: $n absolute links in $2 made relative"
  exit 0
fi
# --flat SRC DIR [TRIPLE]: an SDK-style sysroot derived from the Debian one in
# SRC, as Buildroot- or Yocto-made SDKs lay theirs out (see flatten above).
if [ "${1:-}" = "--flat" ] && { [ $# -eq 3 ] || [ $# -eq 4 ]; }; then
  flatten "$2" "$3" "${4:-arm-buildroot-linux-gnueabihf}"
  exit 0
fi
[ $# -eq 2 ] || usage
release="$1"
dir="$2"
tarn_sysroot_release "$release" || { echo "make-sysroot: unknown release '$release'" >&2; usage; }
gcc="$tarn_gcc"
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac

pkgs=("${tarn_sysroot_pkgs[@]}")
# The last word names the layout: sysroots made before it are made again.
stamp="$release ${pkgs[*]} dpkg-database"
if [ "$(cat "$dir/.tarn-sysroot" 2>/dev/null)" = "$stamp" ]; then
  echo "make-sysroot: $dir ($release) already made"
  exit 0
fi

tarn_require_root make-sysroot "run as root (debootstrap)"
tarn_install_missing make-sysroot debootstrap
if [ -z "${MIRROR:-}" ]; then
  MIRROR="$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
            grep -v security | head -n1)"
  MIRROR="${MIRROR:-http://deb.debian.org/debian}"
fi

rm -rf "$dir"
mkdir -p "$dir"
log="$dir.log"
echo "make-sysroot: $release armhf into $dir (log: $log)"
# --foreign: download and unpack the base only, run nothing of the target.
if ! debootstrap --arch=armhf --foreign --variant=minbase \
       --include="$(IFS=,; echo "${pkgs[*]}")" "$release" "$dir" "$MIRROR" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "make-sysroot: debootstrap of $release failed (log: $log)" >&2
  exit 1
fi
# --foreign leaves the extra packages unpacked: unpack every one. tar keeps
# the merged-/usr links (lib -> usr/lib); dpkg -x would replace them.
# What is unpacked is recorded as installed in the sysroot's own dpkg
# database (var/lib/dpkg: status, info/PKG.list and the shlibs, symbols and
# md5sums of each package's control area): dpkg-shlibdeps finds there which
# package owns a library and what depending on it takes, and
# dpkg --root=DIR checks a package's Depends against it.
admin="$dir/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates"
: >"$admin/status"
echo 1 >"$admin/info/format"  # info files of Multi-Arch: same packages are PKG:ARCH.*
echo armhf >"$admin/arch"  # a foreign architecture to this machine's dpkg (dpkg --root)
control="$dir.control"
for deb in "$dir"/var/cache/apt/archives/*.deb; do
  IFS=$'\t' read -r name arch multiarch < <(dpkg-deb --show \
    --showformat='${Package}\t${Architecture}\t${Multi-Arch}\n' "$deb")
  if [ "$multiarch" = same ]; then name="$name:$arch"; fi
  # tar -v names what it unpacks: "./usr/lib/" is "/usr/lib" in the list.
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -v --quoting-style=literal --keep-directory-symlink -C "$dir" |
    sed -e 's,^\./,/,' -e 's,\(.\)/$,\1,' -e 's,^/$,/.,' >"$admin/info/$name.list"
  { dpkg-deb --field "$deb" | sed '/^Package:/a Status: install ok installed'; echo; } \
    >>"$admin/status"
  rm -rf "$control"
  dpkg-deb --control "$deb" "$control"
  for part in shlibs symbols md5sums; do
    [ ! -f "$control/$part" ] || cp "$control/$part" "$admin/info/$name.$part"
  done
done
rm -rf "$control"
scripts/make-sysroot.sh --relative-links "$dir"
rm -rf "$dir"/var/cache/apt/archives/*.deb

check_made "$dir" "usr/lib/gcc/arm-linux-gnueabihf/$gcc/crtbegin.o"
tarn_check_sysroot make-sysroot "$dir" debian
echo "$stamp" >"$dir/.tarn-sysroot"
echo "make-sysroot: $dir ($release, GCC $gcc runtime) made"
