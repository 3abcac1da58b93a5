#!/usr/bin/env bash
# Builds libdeflate for 64-bit Windows, static, from Debian's source package
# of the version the machine's libdeflate-dev has, so that a zpack.exe
# built against it packs the same bytes as the native zpack. The source is
# fetched once into the cache through a private apt source list, state and
# cache: the machine's apt configuration is neither used for it nor changed.
# Installs into PREFIX, or one in the cache, and prints it, for the
# packer's build as LIBDEFLATE_ROOT (the kit's zpack.exe build does this):
#   prefix=$(scripts/libdeflate-mingw.sh)
#   cmake -S packer -B build-zpack-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-x86_64.cmake -DLIBDEFLATE_ROOT=$prefix
#   scripts/libdeflate-mingw.sh [PREFIX]
# The cache is ZENTROVA_LIBDEFLATE_CACHE, or ~/.cache/zentrova when that is
# empty; ZENTROVA_DEBIAN_MIRROR defaults to deb.debian.org.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${ZENTROVA_LIBDEFLATE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrova}
mirror=${ZENTROVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
say() { echo "libdeflate-mingw: $*" >&2; }

version=$(dpkg-query -W -f='${Version}' libdeflate-dev 2>/dev/null) ||
  { say "libdeflate-dev is not installed (scripts/setup.sh installs it)"; exit 1; }
command -v dpkg-source >/dev/null || { say "dpkg-source is missing (package dpkg-dev)"; exit 1; }
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
home=$cache/libdeflate-$version
src=$home/source
prefix=${1:-$home/mingw-x86_64}

if [ ! -e "$src/.unpacked" ]; then
  apt=$(mktemp -d)
  trap 'rm -rf "$apt"' EXIT
  # apt drops to its own user to download; it must reach these folders.
  chmod 755 "$apt"
  mkdir -p "$apt/lists/partial" "$apt/parts" "$apt/get"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$apt/sources.list"
  opts=(-q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
  apt-get "${opts[@]}" update >"$apt/update.log" 2>&1 || { cat "$apt/update.log" >&2; exit 1; }
  (cd "$apt/get" && apt-get "${opts[@]}" source --download-only "libdeflate=$version") \
    >"$apt/source.log" 2>&1 ||
    { grep -h '^[WE]: ' "$apt/update.log" "$apt/source.log" >&2 || cat "$apt/source.log" >&2; exit 1; }
  rm -rf "$src"
  mkdir -p "$home"
  # Unpacked with Debian's patches, as Debian builds it.
  dpkg-source -x "$apt/get"/libdeflate_*.dsc "$src" >"$apt/unpack.log" 2>&1 ||
    { cat "$apt/unpack.log" >&2; exit 1; }
  touch "$src/.unpacked"
fi

if [ "$(cat "$prefix/version" 2>/dev/null)" != "$version" ]; then
  build=$(mktemp -d)
  cmake -S "$root/cmake/libdeflate" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DLIBDEFLATE_SOURCE="$src" \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 1; }
  cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { tail -40 "$build/build.log" >&2; exit 1; }
  cmake --install "$build" >/dev/null
  rm -rf "$build"
  echo "$version" >"$prefix/version"
fi
echo "$prefix"
