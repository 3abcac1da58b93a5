#!/usr/bin/env bash
# Unpacks 32-bit Wine and the i386 libraries it needs into a private root
# for qemu-user (QEMU_LD_PREFIX), without installing them: a mirror caught
# mid-sync can leave the i386 twins of updated packages behind their amd64
# versions, and then apt will not install wine32:i386 at all. Nothing in
# the machine's own package state changes.
#   scripts/i386-root.sh ROOT    prints why and exits 1 when it cannot
set -euo pipefail
root=${1:?usage: i386-root.sh ROOT}
work=$root.work
fail() { echo "i386-root: $*" >&2; exit 1; }

# Resolve wine32's closure as if nothing were installed on an i386 machine,
# from whatever i386 index apt has; the private root shares no package
# with the host, so its versions need only agree with each other.
rm -rf "$work"
mkdir -p "$work/debs" "$work/root"
: >"$work/status"
apt_i386=(-o Dir::State::status="$work/status" -o APT::Architecture=i386
          -o APT::Architectures::=i386 -o Debug::NoLocking=1)
apt-get -qq "${apt_i386[@]}" -o Dir::Cache="$work/cache" --no-install-recommends \
  --print-uris -y install wine32 >"$work/uris" 2>"$work/resolve.log" ||
  fail "cannot resolve wine32:i386: $(tail -n 1 "$work/resolve.log")"
# Each line: 'URL' name_version_arch.deb size hash; the version in the file
# name has its epoch's colon escaped as %3a.
sed -n "s/^'[^']*' \([^ ]*\)_\([^_ ]*\)_\([a-z0-9]*\)\.deb .*/\1 \2 \3/p" "$work/uris" |
  sed 's/%3a/:/g' | sort >"$work/packages"
[ -s "$work/packages" ] || fail "apt found no i386 packages for wine32"
# Bump the format when what this script makes of the packages changes.
sed -i '1i format 2' "$work/packages"
if [ -f "$root/.packages" ] && cmp -s "$work/packages" "$root/.packages"; then
  rm -rf "$work"
  exit 0
fi
awk 'NR > 1 { print $1 ($3 == "all" ? "" : ":" $3) "=" $2 }' "$work/packages" >"$work/names"
(cd "$work/debs" && apt-get -qq "${apt_i386[@]}" download $(cat "$work/names")) \
  >"$work/download.log" 2>&1 || fail "cannot download the i386 packages: $(tail -n 1 "$work/download.log")"
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/root"; done

# What libwine's own postinst does: Wine's user32 needs zlib1.dll, taken
# from libz-mingw-w64 and marked as a Wine builtin.
in=$work/root/usr/i686-w64-mingw32/lib/zlib1.dll
out=$work/root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
[ -f "$in" ] || fail "libz-mingw-w64 brought no 32-bit zlib1.dll"
{ head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } >"$out"

# The root's own loader cache: the host's would hand i386 programs the
# host's /lib32 libraries, of another version, where libc6-i386 is installed.
[ -f "$work/root/etc/ld.so.conf" ] || echo 'include /etc/ld.so.conf.d/*.conf' >"$work/root/etc/ld.so.conf"
ldconfig -r "$work/root"

# The 64-bit loader starts a 32-bit program through the "wine" beside its
# own real path: a copy of it here finds this root's 32-bit loader, and the
# link lets it find its own libraries as it would in /usr/lib.
cp /usr/lib/wine/wine64 "$work/root/usr/lib/wine/wine64"
mkdir -p "$work/root/usr/lib/x86_64-linux-gnu"
ln -s /usr/lib/x86_64-linux-gnu/wine "$work/root/usr/lib/x86_64-linux-gnu/wine"
host_wine=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
root_wine=$(awk '$1 == "wine32" { print $2 }' "$work/packages")
[ "$host_wine" = "$root_wine" ] ||
  fail "wine64 $host_wine and the i386 index's wine32 $root_wine differ; the two halves must match"

cp "$work/packages" "$work/root/.packages"
rm -rf "$root"
mv "$work/root" "$root"
rm -rf "$work"
