#!/usr/bin/env bash
# zpack.exe, the kit's Windows packer, under 64-bit Wine: it packs a folder
# whose path has a drive letter, backslashes, blanks and letters beyond ASCII
# into the same bytes as the native zpack, refuses with one line and writes
# nothing, and the setup program it makes runs a whole install.
#   tests/zpack_exe_test.sh SOURCE_DIR BUILD_DIR ZPACK_EXE ZPACK STUB DIR [FLAG...]
# BUILD_DIR is a build with the tests (its zentrova_tests.exe and Wine root
# are reused); FLAGs go to every zpack command.
set -euo pipefail
src=$1 build=$2 zpack_exe=$3 zpack=$4 stub=$5 payload=$6
shift 6
flags=("$@")
e2e_test=Setup.WithoutLauncherTheAppStartsDirectly
export ZENTROVA_WINE_ROOT=$build/wine ZENTROVA_WINE_ARCH=win64

. "$src/tests/work_dir.sh"
make_work "$build" zpack-exe-test
windows() { printf 'Z:%s' "${1//\//\\}"; }
# wine_zpack ARGS...: zpack.exe's exit code; its stderr in $work/err.
wine_zpack() { "$src/scripts/run-wine.sh" "$zpack_exe" "$@" >/dev/null 2>"$work/err"; }

folder="$work/Vendor files Grüße 日本"
cp -r "$payload" "$folder"
"$zpack" create-dir "${flags[@]}" "$work/native.bin" "$folder"
"$zpack" create-setup "${flags[@]}" "$work/native.exe" "$stub" "$folder"

wine_zpack create-dir "${flags[@]}" "$(windows "$work/wine.bin")" \
  "$(windows "$folder")" || { cat "$work/err"; fail "zpack.exe create-dir failed"; }
cmp "$work/native.bin" "$work/wine.bin" || fail "create-dir: zpack.exe and zpack differ"
wine_zpack create-setup "${flags[@]}" "$(windows "$work/wine.exe")" \
  "$(windows "$stub")" "$(windows "$folder")\\" || { cat "$work/err"; fail "zpack.exe create-setup failed"; }
cmp "$work/native.exe" "$work/wine.exe" || fail "create-setup: zpack.exe and zpack differ"
echo "zpack.exe and zpack agree on $(windows "$folder")"

# Refusals: one line naming the file, a non-zero exit and no file written.
refused() {
  local what=$1 named=$2
  shift 2
  if wine_zpack "$@"; then fail "$what: zpack.exe succeeded"; fi
  [ "$(wc -l <"$work/err")" -eq 1 ] && grep -qF "zpack: $named" "$work/err" ||
    { cat "$work/err"; fail "$what: not one line naming $named"; }
  [ ! -e "$work/refused.exe" ] || fail "$what: zpack.exe wrote $work/refused.exe"
  [ -z "$(find "$work" -name 'refused.exe*')" ] || fail "$what: zpack.exe left a temporary file"
}
refused "a setup program as stub" "$(windows "$work/native.exe")" create-setup "${flags[@]}" \
  "$(windows "$work/refused.exe")" "$(windows "$work/native.exe")" "$(windows "$folder")"
refused "a missing folder" "$(windows "$work/no such folder")" create-setup "${flags[@]}" \
  "$(windows "$work/refused.exe")" "$(windows "$stub")" "$(windows "$work/no such folder")"

# The setup program zpack.exe made, run whole by a test of the suite.
ZENTROVA_SETUP_EXE=$(windows "$work/wine.exe") "$src/scripts/run-wine.sh" \
  "$build/tests/zentrova_tests.exe" --gtest_filter="$e2e_test" >"$work/run.log" 2>&1 ||
  { cat "$work/run.log"; fail "$e2e_test failed on zpack.exe's setup program"; }
grep -q "\[  PASSED  \] 1 test" "$work/run.log" || { cat "$work/run.log"; fail "$e2e_test did not run"; }
echo "$e2e_test passed on zpack.exe's setup program"
