#!/usr/bin/env bash
# The test suite under the sanitizers:
#   - AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included):
#     the whole suite, through scripts/test.sh (build folder build-address);
#   - ThreadSanitizer: the tests that run threads (the scripted agent's,
#     the driver's and the fault tests), build folder build-thread.
# Both build at -O1 with line tables (scripts/lib.sh). Any sanitizer report
# fails the run. Extra arguments go to both ctest runs.
# Usage: scripts/test-sanitizers.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
scripts/test.sh --sanitize address "$@"

echo "== ThreadSanitizer: threaded tests"
threaded=(test_agent_tests driver_tests fault_tests)
# driver_tests starts the simulated inverter (SNMPv3 devices on threads).
cmake -S . -B build-thread "${tarn_sanitizer_cmake[@]}" -DTARN_WERROR=ON \
  -DTARN_SANITIZE=thread -DTARN_BUILD_BENCH=OFF -DTARN_BUILD_TOOLS=ON >/dev/null
cmake --build build-thread -j"$(nproc)" --target "${threaded[@]}" inverter_sim
regex="^($(IFS='|'; echo "${threaded[*]}"))\$"
# The two stack-budget tests measure the sampling thread's 256 KiB stack and
# the walk's use of it. ThreadSanitizer's instrumentation needs more stack,
# and its runtime enlarges every thread's stack (to 900 KiB here), so these
# two measurements run in the other builds only. The junk-datagram test's
# relay decodes SNMPv3 messages with Net-SNMP on the scripted agent's own
# thread, outside the driver's library lock (the library's error detail
# buffer is shared), so ThreadSanitizer reports the test's relay, not the
# driver; that test runs in the other builds only too.
(cd build-thread &&
  GTEST_FILTER="-WalkTest.AWalkAndItsRoundUseAQuarterOfTheSamplingStackAtMost:SamplingThread.RunsOnTheSmallStack:SimWalkTest.JunkFromTheAgentLeavesTheEngineTableAndTheLogAlone" \
  ctest --output-on-failure -j"$(nproc)" -R "$regex" "$@")  # one a core: these compute
