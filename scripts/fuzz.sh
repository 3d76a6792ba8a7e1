#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz, then runs each target for
# SECONDS (default 60), both at once, starting from its seed corpus in
# fuzz/corpus/<target>. New inputs go to build-fuzz/corpus/<target>, crash
# reproducers to build-fuzz/artifacts/. Exits non-zero on any finding.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build-fuzz
targets=(settings answers)

scripts/bootstrap.sh tools
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARN_FUZZ=ON -DTARN_SANITIZE=address -DTARN_BUILD_TESTS=OFF \
  -DTARN_BUILD_BENCH=OFF -DTARN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  # -close_fd_mask=1: the driver's progress lines on standard output go.
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  t="${targets[$i]}"
  if wait "${pids[$i]}"; then
    echo "fuzz_$t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$build/fuzz_$t.log" | tail -1)"
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
      "$build/fuzz_$t.log" | sed "s/^/  /"
  else
    status=1
    echo "fuzz_$t: FAILED (log: $build/fuzz_$t.log)"
    tail -60 "$build/fuzz_$t.log"
  fi
done
exit "$status"
