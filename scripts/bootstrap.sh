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

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"$(dirname "$0")/apt-update.sh"
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
