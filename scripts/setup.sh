#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: it only installs what is missing. A package mirror
# caught mid-sync (an index of the wrong size, i386 twins behind their
# amd64 versions) must not stop it: what one lane cannot have is said in a
# line, and the other lanes go on. It never removes or downgrades packages.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every lane: the 64-bit Wine, both cross compilers, the host tools, and
# qemu-user for the shipped 32-bit program where the kernel runs no i386 code.
packages=(
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-apps imagemagick
  googletest cmake ninja-build
  g++ zlib1g-dev libdeflate-dev clang libclang-rt-14-dev clang-format dpkg-dev
  nsis osslsigncode openssl python3-pefile qemu-user-static lintian
)
i386_root=${ZENTROVA_I386_ROOT:-/var/lib/zentrova/i386-root}
native32=0
scripts/kernel-runs-i386.sh && native32=1
# The 32-bit Wine proper is needed only where the kernel runs it.
[ $native32 = 1 ] && packages+=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ] || { [ $native32 = 0 ] && [ ! -f "$i386_root/.packages" ]; }; then
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  # A failed index is ignored by apt and the old one kept; what it then
  # cannot install shows below.
  $sudo apt-get update -q >/tmp/zentrova-apt-update.log 2>&1 ||
    echo "setup: apt-get update reported: $(grep -m1 '^E: ' /tmp/zentrova-apt-update.log || tail -n 1 /tmp/zentrova-apt-update.log); going on"
fi
if [ ${#missing[@]} -gt 0 ]; then
  # All at once first; if one package cannot be had, each on its own, so
  # that one broken package costs only what depends on it.
  if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/zentrova-apt-install.log 2>&1; then
    for p in "${missing[@]}"; do
      installed "$p" && continue
      $sudo apt-get install -y -q --no-install-recommends "$p" >/tmp/zentrova-apt-install.log 2>&1 ||
        echo "setup: cannot install $p: $(grep -m1 '^E: ' /tmp/zentrova-apt-install.log || tail -n 1 /tmp/zentrova-apt-install.log)"
    done
  fi
fi

# Where the kernel runs no i386 code, or the 32-bit Wine would not install,
# the shipped program runs under qemu-user from a private i386 root.
if [ $native32 = 0 ] || ! installed wine32:i386; then
  if [ ! -x /usr/bin/qemu-i386-static ]; then
    echo "setup: lane 32-bit emulated cannot be set up: qemu-user-static is not installed"
  elif ! installed wine64; then
    echo "setup: lane 32-bit emulated cannot be set up: wine64 is not installed"
  else
    $sudo scripts/i386-root.sh "$i386_root" 2>&1 | sed 's/^/setup: lane 32-bit emulated cannot be set up: /' || true
  fi
fi
exit 0
