#!/usr/bin/env bash
# Times making one payload five ways, each run a process of its own: zpack
# create-dir on one thread, on every core and on every core with --best, and
# makensis packing the same files with zlib and, for size only, with solid
# LZMA. Appends "PAYLOAD pack-j1|pack-jN|pack-best|pack-nsis|pack-lzma
# seconds=S bytes=B" lines to RESULTS, the format bench/table.awk reads.
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
sed "s|^SetCompressor .*|SetCompressor /SOLID lzma|" "$work/packing.nsi" >"$work/lzma.nsi"

now() { date +%s.%N; }
# timed STEP OUTPUT COMMAND...: one run, its wall time and OUTPUT's size
# appended to RESULTS.
timed() {
  local step=$1 output=$2 start end
  shift 2
  sync
  start=$(now)
  "$@" >"$work/out.log" 2>&1 || { cat "$work/out.log" >&2; return 1; }
  end=$(now)
  awk -v p="$payload" -v s="$step" -v a="$start" -v b="$end" -v j="$jobs" \
    -v n="$(stat -c %s "$output")" \
    'BEGIN { printf "%s %s seconds=%.3f jobs=%d bytes=%d\n", p, s, b - a, j, n }' >>"$results"
  rm -f "$work/archive.bin" "$work/nsis.exe"
}

# packed STEP OPTION...: zpack create-dir with these options, timed.
packed() {
  local step=$1
  shift
  timed "$step" "$work/archive.bin" "$zpack" create-dir "$@" "${flags[@]}" "$work/archive.bin" "$folder"
}

for ((i = 0; i < runs; ++i)); do
  packed pack-j1 -j1
  packed pack-jN -j"$jobs"
  packed pack-best -j"$jobs" --best
  timed pack-nsis "$work/nsis.exe" makensis -V1 "$work/packing.nsi"
  timed pack-lzma "$work/nsis.exe" makensis -V1 "$work/lzma.nsi"
done
