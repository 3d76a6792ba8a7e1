#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Idempotent and quiet when everything is already there.
# Usage: scripts/bootstrap.sh [native] [tools] [packaging]
set -euo pipefail

want=(build-essential cmake pkg-config libsnmp-dev libjsoncpp-dev
      libboost-date-time-dev googletest libgtest-dev libbenchmark-dev)
for group in "$@"; do
  case "$group" in
    native) ;;
    tools) want+=(clang libclang-rt-14-dev valgrind clang-format) ;;
    packaging) want+=(lintian python3) ;;
    *) echo "bootstrap: unknown group '$group'" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
tarn_install_missing bootstrap "${want[@]}"
