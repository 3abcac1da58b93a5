#!/usr/bin/env bash
# Builds the setup program from the demo payload and runs it once under Wine
# on a private virtual display, answering its questions, then prints what
# happened.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
. tools/build-kind.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain"
cmake --build "$build" -j2
ZENTROVA_WINE_ROOT=$PWD/$build/wine ZENTROVA_WINE_ARCH=$wine_arch \
  tools/run-wine.sh "$build/tests/zentrova_tests.exe" --gtest_filter=Demo.TypicalRun
echo "Screenshot of the Status window: $build/demo-status.png"
