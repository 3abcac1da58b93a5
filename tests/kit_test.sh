#!/usr/bin/env bash
# The vendor kit as a vendor gets it: built twice from one source in two
# 32-bit build folders with one SOURCE_DATE_EPOCH, the zips the same bytes;
# unpacked into an empty folder, its sums hold, its programs need nothing
# beyond the system's own, and its zpack, run with a bare environment, makes
# the same setup program as the build does, which then runs a whole install.
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

setup_w="Z:${work//\//\\}\\ZentrovaSetup.exe"
ZENTROVA_SETUP_EXE=$setup_w ZENTROVA_PAYLOAD_ZLIB="Z:${kit//\//\\}\\zlib1.dll" \
  "$src/scripts/run-wine.sh" "$build/tests/zentrova_tests.exe" --gtest_filter="$e2e_test" \
  >"$work/run.log" 2>&1 || { cat "$work/run.log"; fail "$e2e_test failed on the kit's setup program"; }
grep -q "\[  PASSED  \] 1 test" "$work/run.log" || { cat "$work/run.log"; fail "$e2e_test did not run"; }
echo "$e2e_test passed on the setup program the kit made"
