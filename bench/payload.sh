#!/usr/bin/env bash
# Makes the folder of one benchmark payload, unless an earlier run made it:
# zlib1.dll and the stand-in installer at its top, then the payload's files.
#   bench/payload.sh NAME FOLDER DEMO HOST ZLIB_DLL WINE_DLLS
#   NAME       demo (the DEMO folder's files), wine-dlls (Wine's DLLs from
#              WINE_DLLS), small-10k, one-100M, ten-10M, tiny (text files
#              that HOST, zentrova_bench_host, writes) or handoff (no more)
#   DEMO       the build's demo payload, which holds the stand-in installer
#   ZLIB_DLL   the zlib1.dll that the payload ships
set -euo pipefail
name=$1 dir=$2 demo=$3 host=$4 zlib_dll=$5 wine_dlls=$6
[ -e "$dir.done" ] && exit 0

base_files() {
  ln -sf "$zlib_dll" "$dir/zlib1.dll"
  ln -sf "$demo/InstallZentrova.exe" "$dir/InstallZentrova.exe"
}

rm -rf "$dir"
mkdir -p "$dir"
case $name in
  demo) for f in "$demo"/*; do ln -sf "$f" "$dir/"; done ;;
  wine-dlls)
    base_files
    for f in "$wine_dlls"/*.dll; do
      [ "$(basename "$f")" = zlib1.dll ] || ln -sf "$f" "$dir/"
    done ;;
  small-10k) base_files; "$host" gen-small "$dir" 10000 ;;
  one-100M) base_files; "$host" gen-big "$dir" 1 104857600 ;;
  ten-10M) base_files; "$host" gen-big "$dir" 10 10485760 ;;
  tiny) base_files; "$host" gen-small "$dir" 20 ;;
  handoff) base_files ;;
esac
touch "$dir.done"
