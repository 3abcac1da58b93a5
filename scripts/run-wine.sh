#!/usr/bin/env bash
# Runs one Windows program under Wine in a private copy of a booted template
# prefix, on a private Xvfb display, so that tests share no files, registry
# or windows. Used as CTest's cross-compiling emulator.
#   ZENTROVA_WINE_ROOT  where the template and the copies live (required)
#   ZENTROVA_WINE_ARCH  win32 (default) or win64, the prefix's kind; a 32-bit
#                       program in a win64 prefix runs as on 64-bit Windows
#   ZENTROVA_I386_ROOT  with win64: a private i386 root (scripts/i386-root.sh)
#                       from which qemu-user runs the 32-bit programs, on a
#                       kernel that runs no i386 code itself
#   ZENTROVA_KEEP_PREFIX=1  keep the copy for a look afterwards
set -u
i386_root=${ZENTROVA_I386_ROOT:-}
# A private mount namespace lets each run have a small disk and a read-only
# folder of its own (see below). Without one those folders stay ordinary.
# Emulation needs a user namespace too: its binfmt_misc is the run's own, so
# the qemu handler reaches no other process and needs no machine setting.
if [ -z "${ZENTROVA_WINE_NS:-}" ]; then
  userns=()
  [ "$(id -u)" -eq 0 ] && [ -z "$i386_root" ] || userns=(--user --map-root-user)
  if unshare --mount "${userns[@]}" true 2>/dev/null; then
    ZENTROVA_WINE_NS=1 exec unshare --mount --propagation private "${userns[@]}" "$0" "$@"
  fi
fi
root=${ZENTROVA_WINE_ROOT:?set ZENTROVA_WINE_ROOT}
arch=${ZENTROVA_WINE_ARCH:-win32}
# Bump the number when the template's settings change.
template=$root/template-3-$arch
if [ -n "$i386_root" ]; then
  [ "$arch" = win64 ] || { echo "run-wine: emulation runs in a win64 prefix" >&2; exit 125; }
  [ -n "${ZENTROVA_WINE_NS:-}" ] && mount -t binfmt_misc none /proc/sys/fs/binfmt_misc 2>/dev/null ||
    { echo "run-wine: no binfmt_misc of our own (Linux 6.7 or later) for qemu-user" >&2; exit 125; }
  # i386 ELF programs (the 32-bit Wine loader and its preloader) to qemu;
  # F opens the interpreter now, so it is found from any mount namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    >/proc/sys/fs/binfmt_misc/register || { echo "run-wine: cannot register qemu-i386" >&2; exit 125; }
  # Wine reserves most of the 32-bit address space up front, which qemu
  # maps slowly unless it reserves that space itself; below 0x90000000
  # 32-bit programs no longer start.
  export QEMU_LD_PREFIX=$i386_root QEMU_RESERVED_VA=0x90000000
  template=$root/template-3-$arch-emulated
fi
mkdir -p "$root/runs"
. "$(dirname "$0")/wine-env.sh"
wine_use "$arch" "$i386_root"
no_display() { echo "run-wine: Xvfb did not start" >&2; exit 125; }

make_template() {
  local work=$root/template.new
  rm -rf "$work"
  mkdir -p "$work"
  start_display "$root" || no_display
  boot_prefix "$work"
  stop_display
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
# R: is a network drive, as Windows sees a mapped share: R:\ shows C:\remote.
mkdir -p "$WINEPREFIX/drive_c/remote"
ln -s ../drive_c/remote "$WINEPREFIX/dosdevices/r:"
printf '\n[Software\\\\Wine\\\\Drives] 1700000000\n"r:"="network"\n' >>"$WINEPREFIX/system.reg"
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

start_display "$run" || no_display
cleanup() {
  stop_wine
  for m in "${mounts[@]}"; do umount "$m"; done
  [ "${ZENTROVA_KEEP_PREFIX:-0}" = 1 ] && echo "run-wine: kept $run" >&2 || rm -rf "$run"
}
trap cleanup EXIT
wine "$@"
rc=$?
wineserver -w
exit $rc
