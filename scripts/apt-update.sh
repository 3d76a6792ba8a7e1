#!/usr/bin/env bash
# apt-get update, tried again a few times: a mirror caught mid-sync refuses
# an index ("File has unexpected size") for a while. When one still fails,
# apt has updated the others and keeps the old one (or none): the install
# that follows tells whether what it needs is there.
set -euo pipefail
for attempt in 1 2 3; do
  if apt-get update -qq; then exit 0; fi
  [ "$attempt" -lt 3 ] && sleep $((attempt * 10))
done
echo "apt-update: some package lists could not be updated; going on with the others" >&2
