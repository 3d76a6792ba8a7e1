# Shell functions the scripts share; sourced (". scripts/lib.sh"), never run.

# tarn_check_sysroot WHO DIR: exits 2 with one line unless DIR has the armhf
# loader and its own C library (libc.so.6 in lib, usr/lib or their
# arm-linux-gnueabihf folders: Debian's layout or an SDK's flat one).
# qemu-arm -L silently takes the build machine's file for anything missing.
tarn_check_sysroot() {
  local who="$1" dir="$2" d
  if [ ! -e "$dir/lib/ld-linux-armhf.so.3" ]; then
    echo "$who: $dir has no lib/ld-linux-armhf.so.3: not an armhf sysroot" >&2
    exit 2
  fi
  for d in lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf lib usr/lib; do
    [ ! -e "$dir/$d/libc.so.6" ] || return 0
  done
  echo "$who: $dir has no libc.so.6 in lib, usr/lib or their arm-linux-gnueabihf" \
    "folders: not an armhf sysroot" >&2
  exit 2
}
