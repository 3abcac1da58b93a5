# Sourced first by scripts/test.sh, scripts/demo.sh and scripts/bench.sh.
# From the repository's top, it names the lanes this machine should run,
# installs what is missing (scripts/setup.sh) and keeps the lanes that setup
# could provide, setting what scripts/lanes.sh says (build, toolchain,
# wine_arch, build32, i386_root). It also gives
#   build_shipped32   the shipped 32-bit program in $build32, built as users
#                     get it (no tests), which the emulated lane runs
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lanes.sh
plan_lanes
echo "$(basename "$0"): lanes: $(IFS=,; echo "${lanes[*]}" | sed 's/,/, /g')"
scripts/setup.sh
settle_lanes

build_shipped32() {
  cmake -S . -B "$build32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
    -DZENTROVA_TESTS=OFF >/dev/null
  cmake --build "$build32" -j2
}
