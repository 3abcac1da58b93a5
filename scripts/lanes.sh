# Sourced by scripts/prelude.sh, from the repository's top.
# plan_lanes, before setup, names what this machine should run:
#   lanes      "32-bit" and "WoW64" where the kernel runs i386 code;
#              "64-bit" and "32-bit emulated" where it runs none
# settle_lanes, after setup, keeps what setup could provide, says in a line
# why a lane is dropped, and sets:
#   build, toolchain, wine_arch   the build whose tests every lane shares
#   build32, i386_root            the 32-bit build and the i386 root that
#                                 the emulated lane runs, or empty
. scripts/binfmt.sh
i386_root_default=${ZENTROVA_I386_ROOT:-/var/lib/zentrova/i386-root}

plan_lanes() {
  if scripts/kernel-runs-i386.sh; then
    lanes=("32-bit" "WoW64")
  else
    lanes=("64-bit" "32-bit emulated")
  fi
}

drop_lane() {
  echo "$(basename "$0"): lane $1 cannot run: $2"
  local kept=() lane
  for lane in "${lanes[@]}"; do [ "$lane" = "$1" ] || kept+=("$lane"); done
  lanes=("${kept[@]}")
  dropped+=("$1")
}

has_lane() {
  local lane
  for lane in "${lanes[@]}"; do [ "$lane" = "$1" ] && return 0; done
  return 1
}

settle_lanes() {
  dropped=()
  if has_lane "32-bit" && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    # The 32-bit Wine would not install: the shipped program still runs,
    # under qemu-user beside the 64-bit build.
    drop_lane "32-bit" "the 32-bit Wine (wine32:i386) is not installed"
    drop_lane "WoW64" "the 32-bit Wine (wine32:i386) is not installed"
    lanes=("64-bit" "32-bit emulated")
  fi
  build32="" i386_root=""
  if has_lane "32-bit"; then
    build=build toolchain=cmake/mingw-i686.cmake wine_arch=win32
    return
  fi
  build=build-x64 toolchain=cmake/mingw-x86_64.cmake wine_arch=win64
  if has_lane "32-bit emulated"; then
    if [ ! -x /usr/bin/qemu-i386-static ]; then
      drop_lane "32-bit emulated" "qemu-user-static is not installed"
    elif [ ! -f "$i386_root_default/.packages" ]; then
      drop_lane "32-bit emulated" "no i386 root in $i386_root_default (scripts/i386-root.sh)"
    elif ! in_own_binfmt true; then
      drop_lane "32-bit emulated" "the kernel gives no binfmt_misc of a user namespace's own (Linux 6.7 or later)"
    else
      build32=build i386_root=$i386_root_default
    fi
  fi
}
