#!/usr/bin/env bash
# Bootstraps, builds the benchmarks (Release) and prints their figures.
# See BENCHMARKS.md for what each figure means.
#
# Usage: scripts/bench.sh [--long] [--armhf] [--v3-scale]
#   (no option)  walk vs bare Net-SNMP, instructions per walk (callgrind),
#                round completion, memory per device, a 20 s run of
#                1,000 threaded devices, and v2c / SNMPv3 walks with their
#                instructions and a 20 ms round trip; about 3 minutes once
#                built
#   --long       the 1,000-device runs last 65 s instead of 20 s
#   --armhf      also cross builds the scale program for armhf and runs the
#                1,000-device run under qemu-arm (adds about 1-2 minutes)
#   --v3-scale   also the 1,000-device run with SNMPv3 authPriv devices
#                (adds about 40 s)
# Build folders: build-bench (native), build-armhf-bench (armhf).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

long=0
armhf=0
v3_scale=0
for arg in "$@"; do
  case "$arg" in
    --long) long=1 ;;
    --armhf) armhf=1 ;;
    --v3-scale) v3_scale=1 ;;
    *) echo "bench: unknown option '$arg' (--long, --armhf, --v3-scale)" >&2; exit 2 ;;
  esac
done
seconds=20
[ "$long" = 1 ] && seconds=65

# --- bootstrap ----------------------------------------------------------------
scripts/bootstrap.sh
tarn_install_missing bench valgrind python3

# --- build --------------------------------------------------------------------
build=build-bench
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON \
  -DTARN_BUILD_BENCH=ON -DTARN_BUILD_TESTS=ON -DTARN_BUILD_TOOLS=ON \
  >"$build/bench-build.log" 2>&1 || { cat "$build/bench-build.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target walk_bench round_bench scale \
  inverter_sim >>"$build/bench-build.log" 2>&1 || { cat "$build/bench-build.log"; exit 1; }
bin="$root/$build/bench"
sim="$root/$build/tools/inverter_sim/inverter_sim"

started=$(date +%s)
section() { printf '\n=== %s\n' "$1"; }

# --- 1. walk against a bare Net-SNMP loop ----------------------------------------
section "1. Walk of the 16-object subtree: driver vs bare Net-SNMP loop"
"$bin/walk_bench" --walks 2000 --agent scripted

section "1b. Instructions per walk (callgrind, agent in a child process)"
cg="$(mktemp -d)"
valgrind --tool=callgrind --callgrind-out-file="$cg/out" \
  --toggle-collect='SNMP_KEHUA_INVERTER::do_sample()' \
  "$bin/walk_bench" --driver-only 50 --agent sim --sim "$sim" >/dev/null 2>&1
python3 bench/callgrind_split.py "$cg/out" 50
rm -rf "$cg"

# --- 2. round completion --------------------------------------------------------
section "2. Round completion, alarm mode 2 (Google Benchmark)"
"$bin/round_bench" --benchmark_min_time=0.5 --benchmark_color=false 2>&1 |
  grep -v 'Library was built as DEBUG'

# --- 3. memory per device -------------------------------------------------------
section "3. Memory per device (10 simulated inverters, 2 rounds each device)"
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
tmp="$(mktemp -d)"
printf '%-7s %-7s %10s %12s %8s\n' devices mode VmRSS_KiB VmSize_KiB threads
for mode in host thread; do
  for n in 1 100 1000; do
    "$bin/scale" --devices "$n" --mode "$mode" --rounds 2 --sim "$sim" \
      >"$tmp/$mode-$n"
    printf '%-7s %-7s %10s %12s %8s\n' "$n" "$mode" \
      "$(value after_vm_rss_kib "$tmp/$mode-$n")" \
      "$(value after_vm_size_kib "$tmp/$mode-$n")" \
      "$(value after_threads "$tmp/$mode-$n")"
  done
  for from in 1 100; do
    awk -v mode="$mode" -v from="$from" \
      -v r1="$(value after_vm_rss_kib "$tmp/$mode-$from")" \
      -v rn="$(value after_vm_rss_kib "$tmp/$mode-1000")" \
      -v s1="$(value after_vm_size_kib "$tmp/$mode-$from")" \
      -v sn="$(value after_vm_size_kib "$tmp/$mode-1000")" \
      'BEGIN { printf "%s, per device from %d to 1000 devices: VmRSS %.0f bytes, VmSize %.0f bytes\n",
               mode, from, (rn - r1) * 1024 / (1000 - from), (sn - s1) * 1024 / (1000 - from) }'
  done
done

# --- 4. scale --------------------------------------------------------------------
section "4. 1,000 threaded devices, ${seconds} s after every device completed a round"
"$bin/scale" --devices 1000 --mode thread --rounds 1 --seconds "$seconds" \
  --sim "$sim" | grep -v '^started '

section "4c. 100 threaded devices on 10 silent agents, deleted one after another mid-wait"
"$bin/scale" --devices 100 --silent --agents 10

if [ "$armhf" = 1 ]; then
  section "4b. The same on armhf under qemu-arm (simulated inverters native)"
  scripts/bootstrap-armhf.sh build-armhf
  mkdir -p build-armhf-bench
  cmake -S . -B build-armhf-bench --toolchain cmake/toolchain-armhf.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON \
    -DNETSNMP_ROOT="$(tarn_netsnmp_armhf "$root/build-armhf")" \
    -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_TOOLS=OFF -DTARN_BUILD_BENCH=ON \
    >build-armhf-bench/bench-build.log 2>&1 || { cat build-armhf-bench/bench-build.log; exit 1; }
  cmake --build build-armhf-bench -j"$(nproc)" --target scale \
    >>build-armhf-bench/bench-build.log 2>&1 || { cat build-armhf-bench/bench-build.log; exit 1; }
  # -L /: the armhf C library installed beside the native one (libc6:armhf),
  # as the cross build's tests run; see BENCHMARKS.md.
  qemu-arm -L / build-armhf-bench/bench/scale --devices 1000 --mode thread \
    --rounds 1 --seconds "$seconds" --sim "$sim" | grep -v '^started '
fi

# --- 6. SNMP settings and SNMPv3 --------------------------------------------------
# Benchmark users of the simulator; the passphrases are fixed test values.
v3_auth='{"version":"3","user":"ups","auth":"SHA","auth_pass":"authpass1"}'
v3_priv='{"version":"3","user":"ups","auth":"SHA-256","auth_pass":"authpass1","priv":"AES","priv_pass":"privpass1"}'
one_trip='"non_repeaters":0,"max_repetitions":20'
section "6a. Walk time and instructions per walk: v2c, v3 authNoPriv (SHA), v3 authPriv (SHA-256/AES)"
for settings in '{}' "$v3_auth" "$v3_priv"; do
  "$bin/walk_bench" --walks 1000 --agent sim --sim "$sim" --settings "$settings"
  cg="$(mktemp -d)"
  valgrind --tool=callgrind --callgrind-out-file="$cg/out" \
    --toggle-collect='SNMP_KEHUA_INVERTER::do_sample()' \
    "$bin/walk_bench" --driver-only 50 --agent sim --sim "$sim" \
    --settings "$settings" >/dev/null 2>&1
  python3 bench/callgrind_split.py "$cg/out" 50 | sed -n 1,5p
  rm -rf "$cg"
done

section "6b. Walk time at a 20 ms round trip (simulator --delay-ms 20): 17 round trips against 1"
for settings in '{}' "{$one_trip}" "$v3_priv" "${v3_priv%\}},$one_trip}"; do
  "$bin/walk_bench" --walks 20 --warm-up 2 --agent sim --sim "$sim" \
    --delay-ms 20 --settings "$settings" | grep -v '^ratio'
done

if [ "$v3_scale" = 1 ]; then
  section "6c. 1,000 threaded SNMPv3 authPriv devices, ${seconds} s after every device completed a round"
  "$bin/scale" --devices 1000 --mode thread --rounds 1 --seconds "$seconds" \
    --sim "$sim" --settings "$v3_priv" | grep -v '^started '
fi

section "7. Resident memory after 100,000 junk SNMPv3 datagrams during authPriv walks"
"$bin/walk_bench" --junk 100000 --sim "$sim" --settings "$v3_priv"
rm -rf "$tmp"

section "7. Agents that answer with more bindings than asked for (agents in a child process)"
"$bin/walk_bench" --oversized 50

printf '\nbench: figures took %d s\n' "$(($(date +%s) - started))"
