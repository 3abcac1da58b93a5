# Sourced by the scripts that run Windows programs under Wine
# (scripts/run-wine.sh, scripts/bench.sh), so that every prefix is booted,
# set and shown alike.
#   wine_use ARCH [I386_ROOT]  exports Wine's settings for a win32 or win64
#                              prefix; I386_ROOT holds the 32-bit half of a
#                              win64 Wine that qemu-user runs
#   start_display DIR          a private Xvfb display, named through a fifo in
#                              DIR; sets DISPLAY and xvfb_pid, fails when the
#                              server does not start
#   boot_prefix PREFIX         boots a new prefix on the display and settles
#                              its settings
#   stop_display               ends the display
#   stop_wine                  ends the prefix's programs, then the display

wine_use() {
  export WINEARCH=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  wine_i386_root=${2:-}
  if [ "$1" = win64 ]; then
    # The 64-bit loader and server; the loader hands a 32-bit program on to
    # the 32-bit one itself.
    export WINELOADER=${wine_i386_root}/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
    wine() { "$WINELOADER" "$@"; }
    wineboot() { "$WINELOADER" wineboot "$@"; }
    wineserver() { "$WINESERVER" "$@"; }
  fi
}

start_display() {
  local fifo=$1/display number
  rm -f "$fifo"
  mkfifo "$fifo" || return
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 number <"$fifo" || { rm -f "$fifo"; return 1; }
  rm -f "$fifo"
  export DISPLAY=:$number
}

boot_prefix() {
  WINEPREFIX=$1 wineboot -i >/dev/null 2>&1
  if [ -n "$wine_i386_root" ]; then
    # Debian's 64-bit Wine finds no 32-bit DLLs to copy into syswow64 when
    # they are not in its own tree, and the 32-bit loader needs them there.
    # With them in place, booting again runs the 32-bit half of the setup.
    cp "$wine_i386_root"/usr/lib/i386-linux-gnu/wine/i386-windows/* "$1/drive_c/windows/syswow64/"
    WINEPREFIX=$1 wineboot -u >/dev/null 2>&1
  fi
  WINEPREFIX=$1 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  WINEPREFIX=$1 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  WINEPREFIX=$1 wineserver -w
}

stop_display() {
  { kill "$xvfb_pid"; wait "$xvfb_pid"; } 2>/dev/null || true
}

stop_wine() {
  wineserver -k 2>/dev/null || true
  stop_display
}
