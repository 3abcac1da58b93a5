#!/usr/bin/env bash
# Rebuilds the fuzz seed corpora: archives made by zpack from a tiny fake
# zlib1.dll and a few text files, plus hand-made damaged ones the fuzzers
# would take long to find on their own.
# Usage: tests/fuzz/make_corpus.sh [path/to/zpack]   (default build/host/zpack)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
zpack="${1:-$root/build/host/zpack}"
[ -x "$zpack" ] || { echo "make_corpus.sh: no zpack at $zpack" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seeds="$work/seeds"
mkdir -p "$seeds" "$work/tree/docs"

# Little-endian u32 as raw bytes.
le32() {
  printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"
  printf "\\$(printf %03o $(($1 >> 16 & 255)))\\$(printf %03o $(($1 >> 24 & 255)))"
}
# One entry: name, then the file holding its data as stored.
entry() {
  le32 "$(stat -c %s "$2")"
  le32 "${#1}"
  printf '%s' "$1"
  cat "$2"
}
# Entries already in $1, then the trailer giving their length.
finish() {
  cat "$1"
  le32 "$(stat -c %s "$1")"
}

printf 'MZ\220\000\003\000fake zlib1.dll\000\377\376' > "$work/tree/zlib1.dll"
printf 'Licence text.\nLicence text.\nLicence text.\n' > "$work/tree/Licence.txt"
printf 'readme\r\n' > "$work/tree/docs/readme.txt"
printf '' > "$work/tree/empty.txt"
printf 'x' > "$work/a.txt"

"$zpack" create-dir "$seeds/tree.bin" "$work/tree"
"$zpack" create "$seeds/dll_only.bin" "$work/tree/zlib1.dll"
"$zpack" create "$seeds/two.bin" "$work/tree/zlib1.dll" "Licence.txt=$work/tree/Licence.txt"
"$zpack" create --any-order "$seeds/dll_last.bin" "$work/a.txt" "$work/tree/zlib1.dll"
"$zpack" create --any-order "$seeds/empty.bin"

# The zlib stream of a.txt, cut from an archive that holds only it.
"$zpack" create --any-order "$work/a.bin" "$work/a.txt"
size=$(($(stat -c %s "$work/a.bin") - 4 - 8 - 5))
tail -c +14 "$work/a.bin" | head -c "$size" > "$work/a.z"

dll="$work/tree/zlib1.dll"
bad() {  # name, then entries built by the commands on stdin
  bash -c "$(declare -f le32 entry); $(cat)" > "$work/body"
  finish "$work/body" > "$seeds/$1"
}
head -c 6 "$seeds/two.bin" > "$seeds/cut_header.bin"
head -c -1 "$seeds/two.bin" > "$seeds/cut_trailer.bin"
{ head -c -4 "$seeds/two.bin"; le32 7; } > "$seeds/wrong_trailer.bin"
bad huge_size.bin <<<"le32 4294967295; le32 9; printf zlib1.dll"
bad name_size_0.bin <<<"le32 0; le32 0"
bad name_size_256.bin <<<"le32 0; le32 256; printf '%0256d' 0"
bad dotdot.bin <<<"entry zlib1.dll '$dll'; entry '..\\a.txt' '$work/a.z'"
bad nul_name.bin <<<"entry zlib1.dll '$dll'; le32 1; le32 3; printf 'a\\000b'; printf x"
bad device.bin <<<"entry zlib1.dll '$dll'; entry 'docs\\nul.txt' '$work/a.z'"
bad dup.bin <<<"entry zlib1.dll '$dll'; entry a.txt '$work/a.z'; entry A.TXT '$work/a.z'"
head -c -1 "$work/a.z" > "$work/a_cut.z"
bad stream_cut.bin <<<"entry zlib1.dll '$dll'; entry a.txt '$work/a_cut.z'"
cat "$work/a.z" "$work/a.z" > "$work/a_twice.z"
bad stream_twice.bin <<<"entry zlib1.dll '$dll'; entry a.txt '$work/a_twice.z'"
{ cat "$work/a.z"; printf 'junk'; } > "$work/a_junk.z"
bad stream_junk.bin <<<"entry zlib1.dll '$dll'; entry a.txt '$work/a_junk.z'"

for corpus in archive packer; do
  rm -rf "$here/corpus/$corpus"
  mkdir -p "$here/corpus/$corpus"
  cp "$seeds"/* "$here/corpus/$corpus/"
done
du -cb "$here"/corpus/*/* | tail -1
