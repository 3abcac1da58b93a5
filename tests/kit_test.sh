#!/usr/bin/env bash
# The vendor kit as a vendor gets it: built twice from one source in two
# 32-bit build folders with one SOURCE_DATE_EPOCH, the zips the same bytes;
# unpacked into an empty folder, its sums hold, its programs need nothing
# beyond the system's own, and its zpack, run with a bare environment, makes
# the same setup program as the build does. A vendor's CMake project
# (tests/fixtures/kit_project) makes that program again through the kit's
# CMake package and through `cpack -G External`, whose result then runs a
# whole install; the Debian package installs zpack where it finds its stub.
#   tests/kit_test.sh SOURCE_DIR BUILD_DIR I686_TOOLCHAIN_FILE
# BUILD_DIR is a build with the tests (its zentrova_tests.exe and Wine root
# are reused; the ZENTROVA_WINE_* and ZENTROVA_I386_ROOT settings pass on to
# scripts/run-wine.sh, which must be able to run a 32-bit program).
set -euo pipefail
src=$1 build=$2 toolchain=$3
epoch=1700000000
e2e_test=Setup.WithoutLauncherTheAppStartsDirectly
version=$(sed -n 's/^project(Zentrova VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
name=zentrova-kit-$version

. "$src/tests/work_dir.sh"
make_work "$build" kit-test

first=$work/a
second=$work/second-kit-build
for dir in "$first" "$second"; do
  { SOURCE_DATE_EPOCH=$epoch cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DZENTROVA_TESTS=OFF && SOURCE_DATE_EPOCH=$epoch cmake --build "$dir" -j2 --target kit; } \
    >"$dir.log" 2>&1 || { tail -30 "$dir.log"; fail "could not build the kit in $dir"; }
  [ -d "$dir/$name" ] || fail "no unpacked kit $dir/$name"
done
cmp "$first/$name.zip" "$second/$name.zip" || fail "two kit builds with SOURCE_DATE_EPOCH=$epoch differ"
echo "kit: $(stat -c %s "$first/$name.zip") bytes, the same from two builds"

unpacked=$work/empty
mkdir "$unpacked"
(cd "$unpacked" && unzip -q "$first/$name.zip")
kit=$unpacked/$name
diff -r "$kit" "$first/$name" || fail "the zip does not hold the unpacked kit"
(cd "$kit" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"
file "$kit/zpack" | grep -q "statically linked" || fail "zpack is not statically linked"
/usr/bin/python3 "$src/tests/kit_check.py" "$kit" || fail "the kit's Windows files"
grep -q '^What zpack refuses$' "$kit/README.txt" && ! grep -q '`' "$kit/README.txt" ||
  fail "the kit's README.txt is not docs/vendor.md as plain text"

# Bare environment, as on a vendor's machine without a build toolchain.
# The vendor's files are the demo's without zlib1.dll: the kit's, beside
# zpack, goes in their place. The build makes the demo folder as it packs it.
SOURCE_DATE_EPOCH=$epoch cmake --build "$first" -j2 --target ZentrovaSetup >>"$first.log" 2>&1 ||
  { tail -30 "$first.log"; fail "could not build ZentrovaSetup.exe"; }
folder=$work/files
cp -r "$first/demo" "$folder"
rm "$folder/zlib1.dll"
(cd "$kit" && env -i PATH=/usr/bin:/bin ./zpack create-setup "$work/ZentrovaSetup.exe" \
  ZentrovaSetup-stub.exe "$folder") || fail "the kit's zpack did not make a setup program"
cmp "$work/ZentrovaSetup.exe" "$first/ZentrovaSetup.exe" ||
  fail "the kit's zpack and the build made different setup programs"

# The CMake package, by zentrova_add_setup and by CPack, with a bare
# environment: the same bytes as by hand.
vendor_project() { # BUILD_DIR PREFIX_PATH [-DNAME=VALUE...]
  local dir=$1 prefix=$2
  shift 2
  env -i PATH=/usr/bin:/bin cmake -S "$src/tests/fixtures/kit_project" -B "$dir" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DFILES="$folder" "$@" >"$dir.log" 2>&1 ||
    { cat "$dir.log"; fail "could not configure the vendor's project in $dir"; }
}
in_vendor() { (cd "$1" && shift && env -i PATH=/usr/bin:/bin "$@") >>"$1.log" 2>&1; }
vendor=$work/vendor
vendor_project "$vendor" "$kit"
in_vendor "$vendor" cmake --build . || { cat "$vendor.log"; fail "zentrova_add_setup failed"; }
cmp "$vendor/VendorSetup.exe" "$work/ZentrovaSetup.exe" || fail "zentrova_add_setup made other bytes"
in_vendor "$vendor" cmake --build . && tail -1 "$vendor.log" | grep -q '^ninja: no work to do' ||
  fail "zentrova_add_setup made the setup program again with nothing changed"
touch "$folder/Licence.txt"
in_vendor "$vendor" cmake --build . && tail -2 "$vendor.log" | grep -q 'Making VendorSetup.exe' ||
  fail "zentrova_add_setup did not make the setup program again when a file changed"
in_vendor "$vendor" cpack -G External || { cat "$vendor.log"; fail "cpack -G External failed"; }
cpack_setup=$vendor/VendorApp-3.1.4-Linux.exe
cmp "$cpack_setup" "$work/ZentrovaSetup.exe" || fail "cpack -G External made other bytes"
(cd "$vendor" && sha256sum --quiet -c VendorApp-3.1.4-Linux.exe.sha256) ||
  fail "CPack wrote no checksum of the setup program"
# Signed by ZENTROVA_SIGN_COMMAND, its placeholders filled in.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kit-test -addext \
  extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
vendor_project "$work/signed" "$kit" \
  "-DZENTROVA_SIGN_COMMAND=osslsigncode;sign;-certs;$work/cert.pem;-key;$work/key.pem;-in;<IN>;-out;<OUT>"
in_vendor "$work/signed" cpack -G External || { cat "$work/signed.log"; fail "the signing cpack failed"; }
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed/VendorApp-3.1.4-Linux.exe" |
  grep -q 'Signature verification: ok' || fail "cpack -G External did not sign"
vendor_project "$work/bare" "$kit" -DLEAVE_OUT=InstallZentrova.exe
! in_vendor "$work/bare" cpack -G External &&
  grep -q 'The staged install tree has no InstallZentrova.exe at its top' "$work/bare.log" &&
  [ ! -e "$work/bare/VendorApp-3.1.4-Linux.exe" ] ||
  { cat "$work/bare.log"; fail "cpack -G External did not stop on a tree without the installer"; }
echo "the kit's CMake package and CPack made the same setup program as zpack by hand"

# The Debian package: what it holds, its zpack and CMake package unpacked,
# and lintian, where Debian provides it.
deb=$first/zentrova-kit_${version}_amd64.deb
dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' >"$work/deb.txt"
diff - "$work/deb.txt" <<LIST || fail "the Debian package holds other files"
./usr/bin/zpack
./usr/lib/cmake/ZentrovaKit/ZentrovaCPack.cmake
./usr/lib/cmake/ZentrovaKit/ZentrovaCPackSetup.cmake
./usr/lib/cmake/ZentrovaKit/ZentrovaKitConfig.cmake
./usr/lib/cmake/ZentrovaKit/ZentrovaKitConfigVersion.cmake
./usr/share/doc/zentrova-kit/README.txt
./usr/share/doc/zentrova-kit/changelog.gz
./usr/share/doc/zentrova-kit/copyright
./usr/share/zentrova/ZentrovaSetup-stub.exe
./usr/share/zentrova/zlib1.dll
LIST
dpkg-deb -x "$deb" "$work/root"
env -i PATH=/usr/bin:/bin "$work/root/usr/bin/zpack" create-setup "$work/deb.exe" "$folder" ||
  fail "the Debian package's zpack did not make a setup program without naming the stub"
cmp "$work/deb.exe" "$work/ZentrovaSetup.exe" || fail "the Debian package's zpack made other bytes"
vendor_project "$work/deb-vendor" "$work/root/usr"
in_vendor "$work/deb-vendor" cmake --build . && cmp "$work/deb-vendor/VendorSetup.exe" "$work/deb.exe" ||
  fail "the Debian package's CMake package made other bytes"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || true
  lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian finds errors in the Debian package"
else
  echo "lintian: not installed (Debian provides none here), not run"
fi

setup_w="Z:${vendor//\//\\}\\VendorApp-3.1.4-Linux.exe"
ZENTROVA_SETUP_EXE=$setup_w ZENTROVA_PAYLOAD_ZLIB="Z:${kit//\//\\}\\zlib1.dll" \
  "$src/scripts/run-wine.sh" "$build/tests/zentrova_tests.exe" --gtest_filter="$e2e_test" \
  >"$work/run.log" 2>&1 || { cat "$work/run.log"; fail "$e2e_test failed on the kit's setup program"; }
grep -q "\[  PASSED  \] 1 test" "$work/run.log" || { cat "$work/run.log"; fail "$e2e_test did not run"; }
echo "$e2e_test passed on the setup program the kit's CPack generator made"
