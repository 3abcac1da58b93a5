#!/usr/bin/env bash
# Times making one payload three ways, each run a process of its own: zpack
# create-dir on one thread and on every core, and makensis packing the same
# files with zlib. Appends "PAYLOAD pack-j1|pack-jN|pack-nsis seconds=S" lines
# to RESULTS, the format bench/table.awk reads.
#   bench/packing.sh PAYLOAD FOLDER NSI ZPACK RUNS RESULTS [FLAG]
# NSI is the payload's script; its output goes to a temporary file here.
# FLAG (--any-order) packs a 64-bit build's payload.
set -euo pipefail
payload=$1 folder=$2 nsi=$3 zpack=$4 runs=$5 results=$6
flags=("${@:7}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)
sed "s|^OutFile .*|OutFile \"$work/nsis.exe\"|" "$nsi" >"$work/packing.nsi"

now() { date +%s.%N; }
# timed STEP COMMAND...: one run, its wall time appended to RESULTS.
timed() {
  local step=$1 start end
  shift
  sync
  start=$(now)
  "$@" >"$work/out.log" 2>&1 || { cat "$work/out.log" >&2; return 1; }
  end=$(now)
  awk -v p="$payload" -v s="$step" -v a="$start" -v b="$end" -v j="$jobs" \
    'BEGIN { printf "%s %s seconds=%.3f jobs=%d\n", p, s, b - a, j }' >>"$results"
  rm -f "$work/archive.bin" "$work/nsis.exe"
}

for ((i = 0; i < runs; ++i)); do
  timed pack-j1 "$zpack" create-dir -j1 "${flags[@]}" "$work/archive.bin" "$folder"
  timed pack-jN "$zpack" create-dir -j"$jobs" "${flags[@]}" "$work/archive.bin" "$folder"
  timed pack-nsis makensis -V1 "$work/packing.nsi"
done
