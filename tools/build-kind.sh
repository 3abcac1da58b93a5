# Sourced by the scripts that build and run the program under Wine: sets
# build (the build folder) and toolchain. Some kernels run no 32-bit code at
# all (ia32 emulation off), so neither the 32-bit program nor 32-bit Wine
# can start there; the same sources then run as a 64-bit build under
# 64-bit Wine.
build=build
toolchain=cmake/mingw-i686.cmake
wine_arch=win32
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "$(basename "$0"): this kernel runs no 32-bit code; using the 64-bit build in build-x64"
  build=build-x64
  toolchain=cmake/mingw-x86_64.cmake
  wine_arch=win64
fi
