#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite
# in every lane this machine can run, then says how each lane went.
. "$(dirname "$0")/prelude.sh"
start=$(date +%s)
if [ -n "$build32" ]; then build_shipped32; fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" \
  -DZENTROVA_EMULATED_BUILD="${build32:+$PWD/$build32}" -DZENTROVA_I386_ROOT="$i386_root"
cmake --build "$build" -j2
echo "test.sh: built in $(($(date +%s) - start)) s"
junit=$PWD/$build/test-results.xml
rc=0
ctest --test-dir "$build" -j2 --output-on-failure --output-junit "$junit" || rc=$?

# One line per lane, from each test's name: NAME.wow64 ran in the WoW64
# lane, NAME.emu32 in the emulated one, the rest in the build's own lane.
base_lane=${lanes[0]}
/usr/bin/python3 - "$junit" "$base_lane" "${lanes[@]}" <<'PY'
import sys, xml.etree.ElementTree as ET
junit, base, lanes = sys.argv[1], sys.argv[2], sys.argv[3:]
counts = {lane: [0, 0, 0, 0.0] for lane in lanes}
for case in ET.parse(junit).getroot().iter("testcase"):
    name = case.get("name", "")
    lane = "WoW64" if name.endswith(".wow64") else "32-bit emulated" if name.endswith(".emu32") else base
    entry = counts.setdefault(lane, [0, 0, 0, 0.0])
    # A skipped test says why in its output; it neither passed nor failed.
    skipped = case.find("skipped") is not None
    failed = case.get("status") not in ("run", "passed") or case.find("failure") is not None
    entry[2 if skipped else 1 if failed else 0] += 1
    entry[3] += float(case.get("time", 0))
for lane, (passed, failed, skipped, seconds) in counts.items():
    also = f", {skipped} skipped" if skipped else ""
    print(f"lane {lane}: {passed} passed, {failed} failed{also} ({seconds:.0f} s of test time)")
PY
for lane in "${dropped[@]}"; do echo "lane $lane: not run"; done
[ $rc -eq 0 ] || exit $rc
# One quick pass of the benchmark keeps it working; its figures mean nothing.
out=$(scripts/bench.sh --tiny 2>&1) || { printf '%s\n' "$out"; exit 1; }
