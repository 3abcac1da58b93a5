#!/usr/bin/env bash
# Extraction benchmark: our unpacking against a minimal inflate loop under
# Wine, the same loop natively, a plain copy and an NSIS installer, with
# memory figures; and packing Wine's DLLs with zpack on one thread and on
# every core against makensis. Prints one table; a slow time never fails it.
#   scripts/bench.sh          every payload, 5 runs of each step
#   scripts/bench.sh --tiny   one tiny payload, one run: keeps the tool working
#   scripts/bench.sh [--runs N] [NAME...]  N runs of each step, only these
#                           payloads (demo wine-dlls small-10k one-100M ten-10M)
# Everything lands in build-bench/ (build-bench-x64/ where the kernel runs no
# i386 code: there it measures the 64-bit build, against 64-bit NSIS; times
# under an emulator would measure the emulator); remove its bench/ folder to
# regenerate the payloads.
. "$(dirname "$0")/prelude.sh"
root=$PWD
tiny=0
runs=5
[ "${1:-}" = --tiny ] && { tiny=1; runs=1; shift; }
# Fewer runs for a quick look; the table still says how many.
[ "${1:-}" = --runs ] && { runs=${2:?--runs takes a number}; shift 2; }
if [ "$wine_arch" = win32 ]; then
  bb=$root/build-bench
  measured="the 32-bit program (i686) in a 32-bit prefix"
  zlib_dll=/usr/i686-w64-mingw32/lib/zlib1.dll
  wine_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
  nsis_target=x86-unicode
  zpack_flags=()
else
  bb=$root/build-bench-x64
  measured="the 64-bit build (x86-64) in a 64-bit prefix; this kernel runs no i386 code"
  zlib_dll=/usr/x86_64-w64-mingw32/lib/zlib1.dll
  wine_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  nsis_target=amd64-unicode
  # The packer rightly refuses a 64-bit zlib1.dll for the shipped program.
  zpack_flags=(--any-order)
fi
mkdir -p "$bb"
cmake -S . -B "$bb" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DZENTROVA_BENCH=ON \
  -DZENTROVA_TESTS=OFF >"$bb/bench-configure.log" || { cat "$bb/bench-configure.log"; exit 1; }
cmake --build "$bb" -j2 >"$bb/bench-build.log" || { tail -40 "$bb/bench-build.log"; exit 1; }

work=$bb/bench
host=$bb/bench-host/zentrova_bench_host
zpack=$bb/host/zpack
results=$work/results.txt
failures=0
mkdir -p "$work/src" "$work/nsis"

# ---- payloads: a folder of files (bench/payload.sh), packed by zpack and by
# makensis; made once, then kept.
make_installer() {
  [ -e "$work/nsis/$1.exe" ] && return
  bench/nsis-script.sh "$1" "$nsis_target" "$work/nsis/$1.exe" ${2:+"$2"} >"$work/nsis/$1.nsi"
  makensis -V1 "$work/nsis/$1.nsi" >/dev/null
}

make_payload() {
  local name=$1 dir=$work/src/$1
  bench/payload.sh "$name" "$dir" "$bb/demo" "$host" "$zlib_dll" "$wine_dlls"
  [ -e "$work/$name.bin" ] || "$zpack" create-dir "${zpack_flags[@]}" "$work/$name.bin" "$dir"
  # The smallest archive must not unpack slower.
  [ -e "$work/$name-best.bin" ] ||
    "$zpack" create-dir --best "${zpack_flags[@]}" "$work/$name-best.bin" "$dir"
  make_installer "$name" "$dir"
}

# ---- one Wine prefix for every Windows step, booted once, on a display of
# its own.
. scripts/wine-env.sh
wine_use "$wine_arch"
export WINEPREFIX=$bb/wine/prefix
export ZENTROVA_STANDIN_MODE=cancel
mkdir -p "$bb/wine"
start_display "$bb/wine" || { echo "bench: Xvfb did not start" >&2; exit 1; }
trap stop_wine EXIT
if [ ! -e "$bb/wine/booted" ]; then
  rm -rf "$WINEPREFIX"
  boot_prefix "$WINEPREFIX"
  touch "$bb/wine/booted"
fi

drive=$WINEPREFIX/drive_c/zb
bbw='Z:'${bb//\//\\}
workw='Z:'${work//\//\\}
bench() { timeout 900 wine "$bbw\\zentrova_bench.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# Runs one measured step in a process of its own, from a clean destination
# and with no writes still pending; appends "payload step fields".
step() {
  local payload=$1 name=$2 line
  shift 2
  rm -rf "$drive/$payload/out" "$drive/$payload/setup"/tmp-* "$drive/$payload/nsis-out"
  sync
  case $name in
    native) line=$("$host" inflate "$work/$payload.bin" "$drive/$payload/out" || true) ;;
    *) line=$(bench "$@" || true) ;;
  esac
  case $line in
    seconds=*) echo "$payload $name $line" >>"$results" ;;
    *) echo "bench: $payload $name failed: ${line:-no output}" >&2; failures=$((failures + 1)) ;;
  esac
}

measure() {
  local p=$1 pw="$workw\\$1.bin" dw="C:\\zb\\$1" i
  mkdir -p "$drive/$p/setup"
  bench embed "$bbw\\ZentrovaSetup.exe" "$dw\\setup\\ZentrovaSetup.exe" "$pw" >/dev/null
  cp "$work/nsis/$p.exe" "$drive/$p/nsis.exe"
  for ((i = 0; i < runs; ++i)); do
    step "$p" ours extract "$pw" "$dw\\out"
    step "$p" best extract "$workw\\$p-best.bin" "$dw\\out"
    step "$p" whole run "$dw\\setup\\ZentrovaSetup.exe"
    step "$p" limit limit "$pw" "$dw\\out"
    step "$p" native
    step "$p" copy copy "$pw" "$workw\\src\\$p" "$dw\\out"
    step "$p" nsis run "$dw\\nsis.exe" /S "/D=$dw\\nsis-out"
  done
  step "$p" mem-ours --memory extract "$pw" "$dw\\out"
  step "$p" mem-whole --memory run "$dw\\setup\\ZentrovaSetup.exe"
  step "$p" mem-nsis --memory run "$dw\\nsis.exe" /S "/D=$dw\\nsis-out"
  rm -rf "$drive/$p/out" "$drive/$p/nsis-out"
}

if [ $tiny = 1 ]; then payloads=(tiny); else payloads=(demo wine-dlls small-10k one-100M ten-10M); fi
[ $# -gt 0 ] && payloads=("$@")
for p in "${payloads[@]}"; do make_payload "$p"; done
make_payload handoff
printf '\0\0\0\0' >"$work/empty.bin"
make_installer empty

: >"$results"
mkdir -p "$drive/empty/setup"
bench embed "$bbw\\ZentrovaSetup.exe" 'C:\zb\empty\setup\ZentrovaSetup.exe' "$workw\\empty.bin" >/dev/null
cp "$work/nsis/empty.exe" "$drive/empty/nsis.exe"
# The shortest run through the whole sequence, hand-off to the installer and
# folder removal included.
mkdir -p "$drive/handoff/setup"
bench embed "$bbw\\ZentrovaSetup.exe" 'C:\zb\handoff\setup\ZentrovaSetup.exe' "$workw\\handoff.bin" >/dev/null
# Warm-up: the prefix's first programs pay for its caches; thrown away.
step empty ours-warm run 'C:\zb\empty\setup\ZentrovaSetup.exe'
step empty nsis-warm run 'C:\zb\empty\nsis.exe' /S '/D=C:\zb\empty\nsis-out'
: >"$results"
for ((i = 0; i < runs; ++i)); do
  step empty whole run 'C:\zb\empty\setup\ZentrovaSetup.exe'
  step empty nsis run 'C:\zb\empty\nsis.exe' /S '/D=C:\zb\empty\nsis-out'
  step empty handoff run 'C:\zb\handoff\setup\ZentrovaSetup.exe'
done
for p in "${payloads[@]}"; do measure "$p"; done
# Packing, natively: the large folder, or the tiny one in a tiny run.
for p in "${payloads[@]}"; do
  case $p in
    wine-dlls | tiny)
      bench/packing.sh "$p" "$work/src/$p" "$work/nsis/$p.nsi" "$zpack" "$runs" \
        "$results" "${zpack_flags[@]}" || { echo "bench: packing $p failed" >&2; failures=$((failures + 1)); } ;;
  esac
done

# ---- the table
for p in "${payloads[@]}"; do
  "$zpack" list "${zpack_flags[@]}" "$work/$p.bin" |
    awk -v p="$p" '/^total/ { print p, "sizes files=" $2, "stored=" $4, "unpacked=" $7 }' >>"$results"
done
echo
echo "Extraction benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $runs run(s) per step, median [min-max]"
echo "CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores$(lscpu | awk -F': *' '/Hypervisor vendor/ { print ", virtual machine (" $2 ")" }')"
echo "Measured: $measured"
echo "Wine: $(wine --version)  prefix: $WINEPREFIX"
echo "Extraction disk: $drive on $(df -T "$drive" | awk 'NR == 2 { print $2 " (" $1 ", " ($2 == "tmpfs" ? "" : "not ") "tmpfs)" }')"
zlib_in=$(grep -o 'zlib="C:[^"]*"' "$results" | sort -u | tr '\n' ' ' || true)
zlib_native=$(grep -m1 -o 'zlib="1[^"]*"' "$results" || echo 'zlib=?')
echo "zlib under Wine, ours and the limit loop alike: ${zlib_in#zlib=}"
case $zlib_in in
  *\\zb\\*) echo "  (the payload's own zlib1.dll)" ;;
  *) echo "  (Wine's builtin zlib1: under Debian's Wine any load of a file named zlib1.dll returns it,"
     echo "  so ours and the limit loop use the same zlib; it is not the payload's file)" ;;
esac
echo "zlib native: ${zlib_native#zlib=} (system zlib, 64-bit). Payloads are zpack's default level"
echo "  (libdeflate $(dpkg-query -W -f='${Version}' libdeflate-dev 2>/dev/null || echo '?'));"
echo "  packing times the whole zpack create-dir or makensis process, natively, output included."
echo "  NSIS ($nsis_target): SetCompressor zlib, not solid, silent, CRC check on (its default);"
echo "  its lzma packing row is SetCompressor /SOLID lzma, for the size."
nsis_stub=/usr/share/nsis/Stubs/zlib-$nsis_target
echo "Stub, what every setup program carries before its payload: ours $(stat -c %s "$bb/ZentrovaSetup-stub.exe")" \
  "bytes, NSIS's $(stat -c %s "$nsis_stub") bytes ($nsis_stub)"
echo
awk -f bench/table.awk "$results"
# A step that could not run is a broken benchmark, unlike a slow one.
[ $failures -eq 0 ] || { echo "bench: $failures step(s) failed" >&2; exit 1; }
