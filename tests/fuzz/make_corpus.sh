#!/usr/bin/env bash
# Rebuilds the fuzz seed corpora: archives made by zpack from a tiny stand-in
# zlib1.dll and a few text files, plus hand-made damaged ones the fuzzers
# would take long to find on their own; and for the PE reader, tiny images
# that pass or fail the zlib1.dll check each at another step; and for
# create-setup, tiny stubs the linker made.
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

# Little-endian u16 and u32 as raw bytes.
le16() {
  printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"
}
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
# A minimal PE image with one section that holds an export directory of the
# names given, each bound to a function: pe MACHINE MAGIC FLAGS NAME...
# One data directory only, and no alignment, to keep the seeds small.
pe() {
  local machine=$1 magic=$2 flags=$3
  shift 3
  local count=$# rva=4096 optional=104 countField=92 name i at strings=0
  if [ "$magic" -eq $((0x20B)) ]; then optional=120 countField=108; fi
  for name; do strings=$((strings + ${#name} + 1)); done
  local size=$((40 + 10 * count + strings)) data=$((0x58 + optional + 40))
  printf 'MZ'; head -c 58 /dev/zero; le32 64
  printf 'PE\000\000'
  le16 "$machine"; le16 1; le32 0; le32 0; le32 0; le16 "$optional"; le16 "$flags"
  le16 "$magic"; head -c $((countField - 2)) /dev/zero; le32 1; le32 $rva; le32 40
  printf '.edata\000\000'; le32 $size; le32 $rva; le32 $size; le32 $data; head -c 16 /dev/zero
  head -c 20 /dev/zero; le32 "$count"; le32 "$count"
  le32 $((rva + 40)); le32 $((rva + 40 + 4 * count)); le32 $((rva + 40 + 8 * count))
  i=0; for name; do le32 $((8192 + 16 * i)); i=$((i + 1)); done
  at=$((rva + 40 + 10 * count))
  for name; do le32 $at; at=$((at + ${#name} + 1)); done
  i=0; for name; do le16 $i; i=$((i + 1)); done
  for name; do printf '%s\000' "$name"; done
}
zlib_exports=(inflateEnd inflate inflateInit_ inflateInit2_ deflateEnd deflate deflateInit_
              gzopen gzclose gzread gzwrite inflateSync crc32 get_crc_table deflateInit2_)
i386=$((0x14C)) amd64=$((0x8664)) pe32=$((0x10B)) pe32plus=$((0x20B))
dll_flags=$((0x2102)) exe_flags=$((0x0102))

# Entries already in $1, then the trailer giving their length.
finish() {
  cat "$1"
  le32 "$(stat -c %s "$1")"
}

pe $i386 $pe32 $dll_flags "${zlib_exports[@]}" > "$work/tree/zlib1.dll"
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
: > "$work/none"
bad empty_entry.bin <<<"entry zlib1.dll '$dll'; entry empty.txt '$work/none'"
bad long_name.bin <<<"entry zlib1.dll '$dll'; entry '$(printf '%0247d' 0)' '$work/a.z'"
printf 'MZ not a library' > "$work/not_pe.dll"
bad not_pe.bin <<<"entry zlib1.dll '$work/not_pe.dll'; entry a.txt '$work/a.z'"

pe_seeds="$work/pe"
mkdir -p "$pe_seeds"
cp "$dll" "$pe_seeds/zlib.bin"
pe $amd64 $pe32plus $((0x2022)) "${zlib_exports[@]}" > "$pe_seeds/x64.bin"
pe $i386 $pe32 $exe_flags "${zlib_exports[@]}" > "$pe_seeds/program.bin"
pe $i386 $pe32 $dll_flags "${zlib_exports[@]:0:7}" "${zlib_exports[@]:8:4}" \
  "${zlib_exports[@]:13}" > "$pe_seeds/no_gzopen_crc32.bin"
pe $i386 $pe32 $dll_flags > "$pe_seeds/no_names.bin"
head -c 300 "$dll" > "$pe_seeds/cut.bin"

# Stubs for create-setup: tiny programs linked as the setup program is, a
# dialog 1000 among other resources (one named, one in two languages) and
# .reloc after .rsrc; and ones it must refuse.
stub_seeds="$work/stub"
mkdir -p "$stub_seeds"
printf 'void *self = &self;\nvoid Start(void) {}\n' > "$work/stub.c"
cat > "$work/stub.rc" <<'RC'
LANGUAGE 9, 2
1000 DIALOG 0, 0, 10, 10
BEGIN
END
50 RCDATA { "fifty" }
ZNAME RCDATA { "named" }
LANGUAGE 9, 1
50 RCDATA { "us" }
RC
sed '/^1000 DIALOG/,/^END/d' "$work/stub.rc" > "$work/no_dialog.rc"
# tiny_stub ARCH RC OUT LDFLAGS...
tiny_stub() {
  local arch=$1 rc=$2 out=$3 entry=Start
  shift 3
  [ "$arch" = i686 ] && entry=_Start
  "$arch-w64-mingw32-windres" "$rc" -O coff -o "$work/stub.res"
  "$arch-w64-mingw32-gcc" -Os -s -nostdlib -fno-ident -fno-asynchronous-unwind-tables \
    -Wl,--file-alignment,0x200 -Wl,--no-insert-timestamp -Wl,-e,$entry "$@" \
    "$work/stub.c" "$work/stub.res" -o "$out"
}
tiny_stub i686 "$work/stub.rc" "$stub_seeds/i386.bin" -mwindows -Wl,--dynamicbase
tiny_stub x86_64 "$work/stub.rc" "$stub_seeds/x64.bin" -mwindows -Wl,--dynamicbase
tiny_stub i686 "$work/stub.rc" "$stub_seeds/rsrc_last.bin" -mwindows -Wl,--disable-dynamicbase \
  -Wl,--disable-reloc-section
tiny_stub i686 "$work/stub.rc" "$stub_seeds/console.bin" -mconsole -Wl,--dynamicbase
tiny_stub i686 "$work/no_dialog.rc" "$stub_seeds/no_dialog.bin" -mwindows -Wl,--dynamicbase
mkdir -p "$work/payload"
cp "$dll" "$work/payload/zlib1.dll"
"$zpack" create-setup "$stub_seeds/setup.bin" "$stub_seeds/i386.bin" "$work/payload"
{ cat "$stub_seeds/i386.bin"; printf 'overlay'; } > "$stub_seeds/overlay.bin"
openssl req -x509 -newkey rsa:1024 -nodes -days 1 -subj /CN=seed -keyout "$work/key.pem" \
  -out "$work/cert.pem" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$stub_seeds/i386.bin" \
  -out "$stub_seeds/signed.bin" >/dev/null

for corpus in archive packer pe stub; do
  rm -rf "$here/corpus/$corpus"
  mkdir -p "$here/corpus/$corpus"
done
cp "$seeds"/* "$here/corpus/archive/"
cp "$seeds"/* "$here/corpus/packer/"
cp "$pe_seeds"/* "$here/corpus/pe/"
chmod 644 "$stub_seeds"/*
cp "$stub_seeds"/* "$here/corpus/stub/"
du -cb "$here"/corpus/*/* | tail -1
