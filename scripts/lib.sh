# Shell functions and facts the scripts share; sourced (". scripts/lib.sh"), never run.

tarn_scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
tarn_root="$(dirname "$tarn_scripts")"

# --- this machine's packages -------------------------------------------------

# tarn_installed PKG: whether dpkg has PKG installed.
tarn_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# tarn_require_root WHO WHY: exits 1 with "WHO: WHY" unless run as root.
tarn_require_root() {
  [ "$(id -u)" -eq 0 ] || { echo "$1: $2" >&2; exit 1; }
}

# tarn_check_missing WHO PKG...: tarn_missing gets those of PKG that are not
# installed. Returns 1 when none is missing; exits 1 with one line when some
# are and this is not root; otherwise says what WHO installs.
tarn_missing=()
tarn_check_missing() {
  local who="$1" p
  shift
  tarn_missing=()
  for p in "$@"; do
    tarn_installed "$p" || tarn_missing+=("$p")
  done
  [ ${#tarn_missing[@]} -gt 0 ] || return 1
  tarn_require_root "$who" "missing packages (${tarn_missing[*]}); run as root to install them"
  echo "$who: installing ${tarn_missing[*]}"
}

# tarn_apt_update: fresh package lists (tried again on a mirror mid-sync).
tarn_apt_update() {
  export DEBIAN_FRONTEND=noninteractive
  "$tarn_scripts/apt-update.sh"
}

# tarn_install_missing WHO PKG...: installs those of PKG that are missing.
tarn_install_missing() {
  tarn_check_missing "$@" || return 0
  tarn_apt_update
  apt-get install -y -qq --no-install-recommends "${tarn_missing[@]}" >/dev/null
}

# --- sysroots -------------------------------------------------------------------

# tarn_sysroot_release RELEASE: tarn_gcc and tarn_sysroot_pkgs get the GCC
# runtime and the Debian packages scripts/make-sysroot.sh makes a sysroot of
# RELEASE from; returns 1 for a release it does not know.
tarn_sysroot_release() {
  case "$1" in
    bullseye) tarn_gcc=10 ;;
    bookworm) tarn_gcc=12 ;;
    trixie) tarn_gcc=14 ;;
    *) return 1 ;;
  esac
  tarn_sysroot_pkgs=(libc6-dev "libstdc++-$tarn_gcc-dev" "libgcc-$tarn_gcc-dev" libjsoncpp-dev
                     libboost-date-time-dev libssl-dev libsnmp-dev libgtest-dev libgmock-dev)
}
# Headers the build and the tests take from a made sysroot (the same place in
# Debian's layout and the flat one).
tarn_sysroot_headers=(usr/include/net-snmp/net-snmp-config.h usr/include/jsoncpp/json/json.h
                      usr/include/gtest/gtest.h)

# tarn_check_sysroot WHO DIR [debian]: exits 2 with one line unless DIR has
# the armhf loader and its own C library (libc.so.6 in lib, usr/lib or their
# arm-linux-gnueabihf folders: Debian's layout or an SDK's flat one).
# qemu-arm -L silently takes the build machine's file for anything missing.
# With "debian", DIR must be a Debian sysroot with its dpkg database too
# (scripts/make-sysroot.sh RELEASE), as packaging against it needs.
tarn_check_sysroot() {
  local who="$1" dir="$2" d
  if [ "${3:-}" = debian ]; then
    for d in lib/ld-linux-armhf.so.3 etc/debian_version; do
      [ -e "$dir/$d" ] || { echo "$who: $dir has no $d: not a Debian armhf sysroot" >&2; exit 2; }
    done
    if [ ! -s "$dir/var/lib/dpkg/status" ]; then
      echo "$who: $dir has no dpkg database: make it again with scripts/make-sysroot.sh" >&2
      exit 2
    fi
  fi
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

# tarn_sysroot_option WHO STATUS ARG...: when ARG... starts with
# "--sysroot DIR", sysroot gets DIR's absolute path and this returns 0 (the
# caller shifts the two away); exits STATUS with one line when DIR is
# missing; returns 1 otherwise.
tarn_sysroot_option() {
  local who="$1" status="$2"
  shift 2
  [ "${1:-}" = --sysroot ] || return 1
  [ $# -ge 2 ] || { echo "$who: --sysroot needs a folder" >&2; exit "$status"; }
  sysroot="$(realpath "$2")"
}

# --- build folders --------------------------------------------------------------

# tarn_build_dir PREFIX [SYSROOT]: a route's build folder: PREFIX, or
# PREFIX-NAME against a sysroot (NAME: its last component), so that builds
# against different sysroots keep folders of their own.
tarn_build_dir() {
  echo "$1${2:+-$(basename "$2")}"
}

# tarn_built_against BUILD SYSROOT: whether BUILD was configured against SYSROOT.
tarn_built_against() {
  grep -qx "CMAKE_SYSROOT:[A-Z]*=$2" "$1/CMakeCache.txt" 2>/dev/null
}

# tarn_forget_other_sysroot BUILD SYSROOT: removes BUILD when it was
# configured against another sysroot (CMake cannot change it in place).
tarn_forget_other_sysroot() {
  if [ -f "$1/CMakeCache.txt" ] && ! tarn_built_against "$1" "$2"; then
    rm -rf "$1"
  fi
}

# tarn_netsnmp_armhf BUILD: where scripts/bootstrap-armhf.sh BUILD unpacks
# Net-SNMP's armhf headers (NETSNMP_ROOT of that build).
tarn_netsnmp_armhf() {
  echo "$1/_deps/netsnmp-armhf"
}

# tarn_tree_cmake BUILD ARCH [SYSROOT]: tarn_cmake gets the CMake settings of
# the build tree BUILD for ARCH (amd64, or armhf: against SYSROOT, else the
# Debian 12 multiarch route with scripts/bootstrap-armhf.sh BUILD's headers
# and GoogleTest). RelWithDebInfo with Debian's build flags for ARCH
# (dpkg-buildflags, all hardening), prefix /usr, warnings as errors. The
# suites and the packages build in the same trees (scripts/package.sh makes
# its packages there), so the suites run the binaries the packages ship.
tarn_tree_cmake() {
  local build="$1" arch="$2" sysroot="${3:-}" link=""
  tarn_cmake=()
  if [ "$arch" = armhf ]; then
    tarn_cmake=(--toolchain "$tarn_root/cmake/toolchain-armhf.cmake")
    if [ -n "$sysroot" ]; then
      # Debian's GCC links --as-needed by default, clang does not: without it
      # a library the build names but whose symbols go unused (libm, say)
      # would become a dependency.
      link=" -Wl,--as-needed"
      tarn_cmake+=(-DCMAKE_SYSROOT="$sysroot")
    else
      tarn_cmake+=(-DNETSNMP_ROOT="$(tarn_netsnmp_armhf "$build")"
                   -DCMAKE_PREFIX_PATH="$build/_deps/gtest")
    fi
  fi
  local cpp cflags cxxflags ldflags
  cpp="$(tarn_buildflags "$arch" CPPFLAGS)"
  cflags="$(tarn_buildflags "$arch" CFLAGS)"
  cxxflags="$(tarn_buildflags "$arch" CXXFLAGS)"
  ldflags="$(tarn_buildflags "$arch" LDFLAGS)$link"
  # On the build type's flags: CMAKE_<LANG>_FLAGS keep what the toolchain
  # file starts them with (the armhf baseline, the linker).
  local type=RELWITHDEBINFO
  tarn_cmake+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DTARN_WERROR=ON
               "-DCMAKE_C_FLAGS_$type=-O2 -g -DNDEBUG $cpp $cflags"
               "-DCMAKE_CXX_FLAGS_$type=-O2 -g -DNDEBUG $cpp $cxxflags"
               "-DCMAKE_EXE_LINKER_FLAGS_$type=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS_$type=$ldflags"
               "-DCMAKE_MODULE_LINKER_FLAGS_$type=$ldflags")
}

# tarn_buildflags ARCH NAME: Debian's NAME (CFLAGS, LDFLAGS, ...) for ARCH,
# with all hardening.
tarn_buildflags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all \
    dpkg-architecture -a"$1" -c dpkg-buildflags --get "$2" 2>/dev/null
}

# tarn_native_arch: this machine's Debian architecture.
tarn_native_arch() {
  dpkg --print-architecture
}

# CMake settings of the sanitizer builds (scripts/test.sh --sanitize,
# scripts/test-sanitizers.sh): -O1, as the sanitizers' guides advise, and
# line tables only (-g1), which is all their reports need for file and line;
# the instrumented build compiles in much less time than at -O2 -g.
tarn_sanitizer_cmake=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
                      "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
                      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

# --- running the suites ---------------------------------------------------------

# ctest's parallel tests: twice the cores. The suites mostly wait (on
# answers, time-outs and pauses): a native run takes 6 s of CPU in 59 s, an
# armhf one under qemu-arm 24 s in 63 s.
tarn_ctest_jobs=$(($(nproc) * 2))

# --- the simulated inverter -----------------------------------------------------

# tarn_start_sim SIM PROFILE SECONDS LOG WAIT: runs the simulated inverter SIM
# with PROFILE for SECONDS in the background, on a free port of 127.0.0.1
# (port 0: it names the one it took in its "ready ADDRESS" line). sim_pid
# gets its process id; sim_address its address once that line is in LOG,
# waited for up to WAIT seconds, or nothing when it did not start (LOG says why).
sim_pid=""
sim_address=""
tarn_start_sim() {
  local i
  "$1" --listen 127.0.0.1:0 --profile "$2" --duration "$3" >"$4" 2>&1 &
  sim_pid=$!
  sim_address=""
  for ((i = 0; i < $5 * 10; i++)); do
    sim_address="$(sed -n 's/^ready //p' "$4")"
    if [ -n "$sim_address" ] || ! kill -0 "$sim_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
}

# tarn_stop_sim: ends the simulated inverter tarn_start_sim started, if it runs.
tarn_stop_sim() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
