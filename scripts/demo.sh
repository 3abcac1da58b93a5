#!/usr/bin/env bash
# Builds the setup program from the demo payload and runs it once under Wine
# on a private virtual display, answering its questions, then prints what
# happened. Where the kernel runs no i386 code, the shipped 32-bit program
# runs under qemu-user beside the 64-bit stand-ins, as the tests run it.
. "$(dirname "$0")/prelude.sh"
env=(ZENTROVA_WINE_ROOT="$PWD/$build/wine" ZENTROVA_WINE_ARCH="$wine_arch")
if [ -n "$build32" ]; then
  build_shipped32
  w32="Z:${PWD//\//\\}\\$build32"
  env+=(ZENTROVA_I386_ROOT="$i386_root" ZENTROVA_SETUP_EXE="$w32\\ZentrovaSetup.exe"
        ZENTROVA_PAYLOAD_ZLIB="$w32\\demo\\zlib1.dll")
  echo "demo.sh: running the shipped 32-bit $build32/ZentrovaSetup.exe under qemu-user"
elif [ "$wine_arch" = win64 ]; then
  echo "demo.sh: running the 64-bit build; the 32-bit program cannot run here"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain"
# Only what the demo shows: the program, its stand-ins and the test program
# that runs it, not the rest of the suite's fixtures, the kit or the native
# tests.
cmake --build "$build" -j2 --target zentrova_tests
env "${env[@]}" scripts/run-wine.sh "$build/tests/zentrova_tests.exe" --gtest_filter=Demo.TypicalRun
echo "Screenshot of the Status window: $build/demo-status.png"
