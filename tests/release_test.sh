#!/usr/bin/env bash
# A release as a vendor makes it: signed with a throw-away certificate, built
# twice from one source in two folders with one SOURCE_DATE_EPOCH. The two
# programs must be the same bytes, the signature must verify, an unsigned
# rebuild must be the signed program less its signature, and the signed
# program must run a whole install under Wine.
#   tests/release_test.sh SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE
# BUILD_DIR is a build with the tests (its zentrova_tests.exe and Wine root
# are reused, ZENTROVA_WINE_ARCH passes on to scripts/run-wine.sh); the release
# builds use its toolchain and go to a temporary folder inside it.
set -euo pipefail
src=$1
build=$2
toolchain=$3
epoch=1700000000
e2e_test=Setup.WithoutLauncherTheAppStartsDirectly

work=$(mktemp -d "$build/release-test.XXXXXX")
finish() {
  local rc=$?
  if [ $rc -eq 0 ]; then rm -rf "$work"; else echo "release test: kept $work" >&2; fi
}
trap finish EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# RSA: its signatures are a function of key and data alone (ECDSA's are not),
# which a reproducible signed build needs.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Zentrova throw-away signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$work/key.pem" -out "$work/cert.pem" >"$work/openssl.log" 2>&1 ||
  { cat "$work/openssl.log"; fail "openssl could not make a certificate"; }
sign_args=(-DZENTROVA_SIGN_CERT="$work/cert.pem" -DZENTROVA_SIGN_KEY="$work/key.pem")

# configure DIR ARGS...: fails the test when cmake fails.
configure() {
  local dir=$1
  shift
  SOURCE_DATE_EPOCH=$epoch cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DZENTROVA_TESTS=OFF "$@" >>"$dir.log" 2>&1 ||
    { tail -30 "$dir.log"; fail "cmake could not configure $dir"; }
}
build_program() {
  local dir=$1
  SOURCE_DATE_EPOCH=$epoch cmake --build "$dir" -j2 --target ZentrovaSetup >>"$dir.log" 2>&1 ||
    { tail -30 "$dir.log"; fail "cmake could not build $dir"; }
}

# Two folders whose paths differ in length too, so that no path can hide.
first=$work/a
second=$work/second-release-build
for dir in "$first" "$second"; do
  start=$(now)
  configure "$dir" "${sign_args[@]}"
  build_program "$dir"
  echo "signed build in $(basename "$dir"): $(since "$start") s"
done
signed=$work/signed.exe
cp "$first/ZentrovaSetup.exe" "$signed"
cmp "$first/ZentrovaSetup.exe" "$second/ZentrovaSetup.exe" ||
  fail "two signed builds with SOURCE_DATE_EPOCH=$epoch differ"
echo "identical: $(stat -c %s "$signed") bytes, sha256 $(sha256sum <"$signed" | cut -c1-16)"

verify=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$signed" 2>&1) ||
  { printf '%s\n' "$verify"; fail "the signature does not verify"; }
signing_time="$(date -u -d "@$epoch" '+%b %e %H:%M:%S %Y') GMT"
for line in "Message digest algorithm  : SHA256" "Text description: Zentrova Installer" \
  "Signing time: $signing_time" "Signature verification: ok"; do
  grep -qF "$line" <<<"$verify" || { printf '%s\n' "$verify"; fail "no \"$line\" in the signature"; }
done
# A changed byte (in the payload, well inside the file) must break it.
cp "$signed" "$work/changed.exe"
printf 'X' | dd of="$work/changed.exe" bs=1 seek=$(($(stat -c %s "$signed") / 2)) conv=notrunc \
  status=none
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/changed.exe" >/dev/null 2>&1; then
  fail "a changed program still verifies"
fi

# Signing settings that cannot work stop the configure, with a message.
refuses() {
  local expected=$1
  shift
  if SOURCE_DATE_EPOCH=$epoch cmake -S "$src" -B "$first" "$@" >"$work/refused.log" 2>&1; then
    fail "configured with $*"
  fi
  # cmake wraps long messages: compare with the line breaks as blanks.
  tr -s '[:space:]' ' ' <"$work/refused.log" | grep -qF "$expected" ||
    { cat "$work/refused.log"; fail "no \"$expected\""; }
}
refuses "Signing needs both ZENTROVA_SIGN_CERT and ZENTROVA_SIGN_KEY" -DZENTROVA_SIGN_KEY=
refuses "ZENTROVA_SIGN_KEY: no such file: $work/missing.pem" \
  "${sign_args[0]}" -DZENTROVA_SIGN_KEY="$work/missing.pem"
refuses "Signing needs osslsigncode, which was not found" "${sign_args[@]}" \
  -DZENTROVA_OSSLSIGNCODE="$work/no-osslsigncode"
refuses "ZENTROVA_SIGN_TIMESTAMP_URL is set but nothing signs" -DZENTROVA_SIGN_CERT= \
  -DZENTROVA_SIGN_KEY= -DZENTROVA_SIGN_TIMESTAMP_URL=http://timestamp.invalid

# Without the settings the same folder builds the program unsigned, and that
# is the signed program less its signature.
start=$(now)
configure "$first" -DZENTROVA_SIGN_CERT= -DZENTROVA_SIGN_KEY= -DZENTROVA_SIGN_TIMESTAMP_URL=
build_program "$first"
echo "unsigned relink: $(since "$start") s"
if osslsigncode extract-signature -in "$first/ZentrovaSetup.exe" -out "$work/sig.der" \
  >/dev/null 2>&1; then
  fail "the build without signing settings carries a signature"
fi
osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >/dev/null
cmp "$work/unsigned.exe" "$first/ZentrovaSetup.exe" ||
  fail "signing changed more than the signature"

# The signed program, run whole under Wine by an existing test of the suite.
start=$(now)
wine_path="Z:${second//\//\\}\\ZentrovaSetup.exe"
ZENTROVA_WINE_ROOT=$build/wine ZENTROVA_KEEP_PREFIX=1 ZENTROVA_SETUP_EXE=$wine_path \
  "$src/scripts/run-wine.sh" "$build/tests/zentrova_tests.exe" --gtest_filter="$e2e_test" \
  >"$work/wine.log" 2>&1 || { cat "$work/wine.log"; fail "$e2e_test failed on the signed program"; }
kept=$(sed -n 's/^run-wine: kept //p' "$work/wine.log")
[ -n "$kept" ] || { cat "$work/wine.log"; fail "run-wine.sh kept no prefix"; }
ran=$kept/prefix/drive_c/zt/run/ZentrovaSetup.exe
same=0
cmp -s "$ran" "$signed" && same=1
rm -rf "$kept"
grep -q "\[  PASSED  \] 1 test" "$work/wine.log" || { cat "$work/wine.log"; fail "$e2e_test did not run"; }
[ $same = 1 ] || fail "the program that ran under Wine is not the signed one"
echo "$e2e_test on the signed program: passed in $(since "$start") s"
