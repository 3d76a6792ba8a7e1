#!/usr/bin/env bash
# apt-get update, tried again a few times: a mirror caught mid-sync gives
# "File has unexpected size" for a minute or two, then serves again.
set -euo pipefail
for attempt in 1 2 3 4; do
  if apt-get update -qq; then exit 0; fi
  [ "$attempt" -lt 4 ] || break
  echo "apt-update: attempt $attempt failed; trying again in $((attempt * 15)) s" >&2
  sleep $((attempt * 15))
done
echo "apt-update: the package lists could not be updated" >&2
exit 1
