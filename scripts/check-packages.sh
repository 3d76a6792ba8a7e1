#!/usr/bin/env bash
# Checks the packages scripts/package.sh made in dist/ (run that first; its
# build folders build and build-armhf are used too). As root:
#   1. lintian on the four packages: no error (its output is printed);
#   2. installs the armhf plug-in and tools packages beside the native system
#      (multiarch, dpkg -i);
#   3. the installed programs' --version, run under qemu-arm, is the package
#      version;
#   4. the installed tarn_host runs the installed plug-in under qemu-arm
#      against the native simulated inverter; its events must equal those of
#      the armhf build tree's host and plug-in and those of the amd64 build
#      tree's (round times masked: they are the clock);
#   5. removes the two packages again (dpkg -r), also when a step fails.
# Usage: scripts/check-packages.sh
#
# scripts/check-packages.sh --sysroot DIR checks the armhf packages of
# scripts/package.sh --sysroot DIR the same way, but installs them into DIR
# (dpkg --root=DIR: their Depends must be met by the release's own packages
# there) and runs them under qemu-arm -L DIR; the armhf build tree is
# build-armhf-NAME. Each of their dependencies must be a package of DIR.
#
# scripts/check-packages.sh --amd64-only: step 1 only, on the two amd64
# packages of scripts/package.sh --amd64-only (their build tree's events are
# compared in the --sysroot check).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

fail() { echo "check-packages: $*" >&2; exit 1; }
sysroot=""
amd64_only=0
if [ "${1:-}" = "--amd64-only" ]; then
  amd64_only=1
else
  tarn_sysroot_option check-packages 1 "$@" || true
fi
tarn_require_root check-packages "installs packages: run as root"
scripts/bootstrap.sh packaging
if [ "$amd64_only" = 1 ]; then
  armhf_tree=build  # no armhf tree: the version is read from this one
  archs=(amd64)
elif [ -n "$sysroot" ]; then
  armhf_tree="$(tarn_build_dir build-armhf "$sysroot")"
  archs=(armhf)
  # dpkg and the programs work on the sysroot; the plug-in's path is
  # DIR/PATH here and PATH in the emulated programs (qemu-arm -L DIR).
  dpkg=(dpkg --root="$sysroot")
  dpkg_query=(dpkg-query --root="$sysroot")
  emulate=(timeout 120 qemu-arm -L "$sysroot")
else
  armhf_tree=build-armhf
  archs=(amd64 armhf)
  dpkg=(dpkg)
  dpkg_query=(dpkg-query)
  emulate=(timeout 120 qemu-arm -L /)
fi
for tree in build "$armhf_tree"; do
  [ -f "$tree/package.env" ] ||
    fail "no $tree: run scripts/package.sh ${sysroot:+--sysroot $sysroot }first"
done
# shellcheck disable=SC1090,SC1091
. "$armhf_tree/package.env"
version="$TARN_VERSION"
if [ -n "$sysroot" ]; then
  tarn_built_against "$armhf_tree" "$sysroot" ||
    fail "$armhf_tree was built against another sysroot: run scripts/package.sh --sysroot $sysroot"
  version="$TARN_VERSION+deb$TARN_DEBIAN_RELEASE"
fi
packages=(tarn-inverter-plugin tarn-inverter-tools)
debs=()
for arch in "${archs[@]}"; do
  for p in "${packages[@]}"; do
    deb="dist/${p}_${version}_$arch.deb"
    [ -f "$deb" ] || fail "$deb is missing: run scripts/package.sh ${sysroot:+--sysroot $sysroot }first"
    debs+=("$deb")
  done
done

echo "== lintian ${debs[*]}"
lintian --display-info --fail-on error "${debs[@]}" || fail "lintian reports errors"
echo "lintian: no errors"
if [ "$amd64_only" = 1 ]; then
  echo "check-packages: passed (amd64 packages: lintian only)"
  exit 0
fi

# Every dependency of a per-release package is one of the release's own
# packages (the sysroot's database), not a name of this machine's release.
if [ -n "$sysroot" ]; then
  for deb in "${debs[@]}"; do
    depends="$(dpkg-deb --field "$deb" Depends)"
    echo "$(basename "$deb"): Depends: $depends"
    for dep in $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends"); do
      "${dpkg_query[@]}" -W "$dep" >/dev/null 2>&1 ||
        fail "$deb depends on $dep, which is no package of $sysroot"
    done
  done
fi

# --- install ----------------------------------------------------------------------
for p in "${packages[@]}"; do
  if "${dpkg_query[@]}" -W -f='${db:Status-Abbrev}\n' "$p" 2>/dev/null | grep -q '^.[^nc]'; then
    fail "$p is already installed${sysroot:+ in $sysroot}; remove it first (${dpkg[*]} -r $p), this check installs and removes it"
  fi
done
tmp="$(mktemp -d)"
installed=0
cleanup() {
  tarn_stop_sim
  if [ "$installed" = 1 ]; then
    echo "== ${dpkg[*]} -r ${packages[*]/%/:armhf}"
    "${dpkg[@]}" -r "${packages[@]/%/:armhf}" >/dev/null || echo "check-packages: dpkg -r failed" >&2
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "== ${dpkg[*]} -i (armhf)"
installed=1
hint="the armhf libraries come with scripts/bootstrap-armhf.sh"
[ -z "$sysroot" ] || hint="the packages of $sysroot do not meet their Depends"
"${dpkg[@]}" -i "dist/tarn-inverter-plugin_${version}_armhf.deb" \
  "dist/tarn-inverter-tools_${version}_armhf.deb" >"$tmp/dpkg.log" 2>&1 ||
  { cat "$tmp/dpkg.log" >&2; fail "dpkg -i failed ($hint)"; }
"${dpkg_query[@]}" -W -f='${binary:Package} ${Version} ${db:Status-Abbrev}\n' "${packages[@]/%/:armhf}"
"${dpkg[@]}" -L "${packages[@]/%/:armhf}" | grep -E '/(bin|plugins)/.'
# Paths as the emulated programs see them; the files lie under $sysroot.
plugin="$TARN_PLUGIN_PATH/$TARN_PLUGIN_FILE"
[ -f "$sysroot$plugin" ] || fail "the plug-in is not at $sysroot$plugin"

for program in tarn_host inverter_sim; do
  out="$("${emulate[@]}" "$sysroot/usr/bin/$program" --version 2>&1)" || true
  echo "$program --version: $out"
  grep -qF "$TARN_VERSION" <<<"$out" ||
    fail "$sysroot/usr/bin/$program --version does not give $TARN_VERSION"
done

# --- the same events as the build trees ---------------------------------------------
sim="build/tools/inverter_sim/inverter_sim"
# The inverter's objects and the record's layout, from the plug-in's table.
"$sim" --describe >"$tmp/describe.json" || fail "$sim --describe failed"
# A fixed profile (no timeline): every run sees the same values and the UPS
# fault flag set, so each round sends the same record and raises one alarm.
python3 - "$tmp" <<'PY'
import json, sys
tmp = sys.argv[1]
with open(f"{tmp}/describe.json", encoding="utf-8") as f:
    objects = {o["name"]: o for o in json.load(f)["objects"]}
values = {"input voltage": 230, "input frequency": 50.1,
          "battery voltage": -12.75, "UPS fault": 1}
profile = {"description": "Package check: fixed values, UPS fault flag set.",
           "objects": {str(objects[name]["key"]): {"type": objects[name]["type"],
                                                   "value": value}
                       for name, value in values.items()}}
with open(f"{tmp}/profile.json", "w", encoding="utf-8") as f:
    json.dump(profile, f)
PY
tarn_start_sim "$sim" "$tmp/profile.json" 300 "$tmp/sim.log" 10
address="$sim_address"
[ -n "$address" ] || { cat "$tmp/sim.log" >&2; fail "the simulated inverter did not start"; }
cat >"$tmp/config.json" <<JSON
{"devices": [
  {"data_id": 7, "address": "$address",
   "settings": {"appSetting": {"use_thread": "0", "b_mode": "2"}}},
  {"data_id": 8, "address": "$address", "rounds": 1,
   "settings": {"appSetting": {"use_thread": "1", "b_mode": "2"}}}
]}
JSON
# $1 name; the rest: the host program (with its emulator) and the plug-in.
run_host() {
  local name="$1" plugin_path="${*: -1}"
  local -a host=("${@:2:$#-2}")
  "${host[@]}" --plugin "$plugin_path" --config "$tmp/config.json" --rounds 3 \
    --interval 0.2 --events "$tmp/$name.jsonl" --plugin-output "$tmp/$name.plugin.log" \
    >"$tmp/$name.out" 2>&1 || { cat "$tmp/$name.out" >&2; fail "$name: the host program failed"; }
}
echo "== tarn_host against the simulated inverter on $address: 2 devices, 3 + 1 rounds"
run_host installed "${emulate[@]}" "$sysroot/usr/bin/tarn_host" "$plugin"
run_host armhf-tree "${emulate[@]}" "$armhf_tree/host/tarn_host" \
  "$armhf_tree/Drivers/SocketSNMP_KEHUA_INVERTER/$TARN_PLUGIN_FILE"
run_host amd64-tree timeout 120 build/host/tarn_host \
  "build/Drivers/SocketSNMP_KEHUA_INVERTER/$TARN_PLUGIN_FILE"

python3 - "$tmp" <<'PY'
import collections, json, sys
tmp = sys.argv[1]

with open(f"{tmp}/describe.json", encoding="utf-8") as f:
    record = json.load(f)["record"]
# The round time's hex digits in a record's hex.
time_from = 2 * record["round_time"]["offset"]
time_to = time_from + 2 * record["round_time"]["size"]

def events(name):
    """Each device's events in order, round times masked."""
    by_device = collections.defaultdict(list)
    with open(f"{tmp}/{name}.jsonl", encoding="utf-8") as f:
        for line in f:
            e = json.loads(line)
            if isinstance(e.get("record"), dict):
                e["record"]["round_time"] = "-"
            hex_ = e.get("hex", "")
            if e.get("length") == record["length"] and len(hex_) == 2 * record["length"]:
                e["hex"] = hex_[:time_from] + "-" + hex_[time_to:]
            by_device[e["device"]].append(json.dumps(e, sort_keys=True, ensure_ascii=False))
    return dict(by_device)

installed = events("installed")
kinds = collections.Counter(json.loads(e)["event"] for d in installed.values() for e in d)
print("installed package run:", sum(kinds.values()), "events:",
      ", ".join(f"{k} {n}" for k, n in sorted(kinds.items())))
if kinds["send"] != 4 or kinds["history"] != 4 or not any(
        '"state": true' in e for d in installed.values() for e in d):
    sys.exit("check-packages: expected 4 records sent and stored and the UPS fault alarm")
for other in ("armhf-tree", "amd64-tree"):
    theirs = events(other)
    if theirs != installed:
        for device in sorted(set(installed) | set(theirs)):
            a, b = installed.get(device, []), theirs.get(device, [])
            for i in range(max(len(a), len(b))):
                if i >= len(a) or i >= len(b) or a[i] != b[i]:
                    print(f"device {device}, event {i + 1}:\n  installed: "
                          f"{a[i] if i < len(a) else '(none)'}\n  {other}: "
                          f"{b[i] if i < len(b) else '(none)'}", file=sys.stderr)
                    break
        sys.exit(f"check-packages: the installed packages' events differ from the {other} run's")
    print(f"same events as the {other} run (round times masked)")
PY
echo "check-packages: passed"
