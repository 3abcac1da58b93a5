#!/usr/bin/env bash
# Runs one Windows program under Wine in a private copy of a booted template
# prefix, on a private Xvfb display, so that tests share no files, registry
# or windows. Used as CTest's cross-compiling emulator.
#   ZENTROVA_WINE_ROOT  where the template and the copies live (required)
#   ZENTROVA_WINE_ARCH  win32 (default) or win64, the prefix's kind; a 32-bit
#                       program in a win64 prefix runs as on 64-bit Windows
#   ZENTROVA_KEEP_PREFIX=1  keep the copy for a look afterwards
set -u
# A private mount namespace lets each run have a small disk and a read-only
# folder of its own (see below). Without one those folders stay ordinary.
if [ -z "${ZENTROVA_WINE_NS:-}" ]; then
  userns=()
  [ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
  if unshare --mount "${userns[@]}" true 2>/dev/null; then
    ZENTROVA_WINE_NS=1 exec unshare --mount --propagation private "${userns[@]}" "$0" "$@"
  fi
fi
root=${ZENTROVA_WINE_ROOT:?set ZENTROVA_WINE_ROOT}
arch=${ZENTROVA_WINE_ARCH:-win32}
# Bump the number when the template's settings change.
template=$root/template-3-$arch
mkdir -p "$root/runs"
export WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$arch" = win64 ]; then
  # The 64-bit loader and server; the loader hands a 32-bit program on to
  # the 32-bit one itself.
  export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
  wine() { "$WINELOADER" "$@"; }
  wineboot() { "$WINELOADER" wineboot "$@"; }
  wineserver() { "$WINESERVER" "$@"; }
fi

start_display() {
  local fifo=$1/display
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local number
  read -r -t 20 number <"$fifo" || { echo "run-wine: Xvfb did not start" >&2; exit 125; }
  export DISPLAY=:$number
}

make_template() {
  local work=$root/template.new
  rm -rf "$work"
  mkdir -p "$work"
  start_display "$root"
  WINEPREFIX=$work wineboot -i >/dev/null 2>&1
  WINEPREFIX=$work wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  WINEPREFIX=$work wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  WINEPREFIX=$work wineserver -w
  kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null
  rm -f "$root/display"
  # A boot that failed would poison every later run.
  [ -f "$work/system.reg" ] || { echo "run-wine: wineboot failed in $work" >&2; exit 125; }
  mv "$work" "$template"
}

(
  flock 9
  [ -d "$template" ] || make_template
) 9>"$root/template.lock"
[ -d "$template" ] || { echo "run-wine: no template prefix" >&2; exit 125; }

run=$(mktemp -d "$root/runs/run.XXXXXX")
# Hard links keep a copy cheap; the registry files are rewritten by rename,
# but take real copies so that no write can reach the template.
cp -al "$template/." "$run/prefix"
for f in "$run"/prefix/*.reg; do cp --remove-destination "$template/$(basename "$f")" "$f"; done
export WINEPREFIX=$run/prefix
# A folder link that a test can move into the program's reach; Wine cannot
# make one itself. Its target must survive whatever the program removes.
mkdir -p "$WINEPREFIX/drive_c/outside" "$WINEPREFIX/drive_c/carrier"
echo keep >"$WINEPREFIX/drive_c/outside/keep.txt"
ln -s "$WINEPREFIX/drive_c/outside" "$WINEPREFIX/drive_c/carrier/link"
# C:\full is a 2 MiB disk that a payload can fill; C:\readonly shows
# C:\writable without write access.
drive=$WINEPREFIX/drive_c
mkdir -p "$drive/full" "$drive/writable" "$drive/readonly"
mounts=()
if [ -n "${ZENTROVA_WINE_NS:-}" ]; then
  mount -t tmpfs -o size=2m zentrova-full "$drive/full" && mounts+=("$drive/full")
  mount --bind "$drive/writable" "$drive/readonly" && mounts+=("$drive/readonly") &&
    mount -o remount,bind,ro "$drive/readonly"
fi

start_display "$run"
cleanup() {
  wineserver -k 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null
  for m in "${mounts[@]}"; do umount "$m"; done
  [ "${ZENTROVA_KEEP_PREFIX:-0}" = 1 ] && echo "run-wine: kept $run" >&2 || rm -rf "$run"
}
trap cleanup EXIT
wine "$@"
rc=$?
wineserver -w
exit $rc
