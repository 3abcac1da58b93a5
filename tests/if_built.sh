#!/usr/bin/env bash
# Runs a test that needs a file the build may go without (the kit's
# zpack.exe, where libdeflate cannot be built for Windows). Without it,
# prints why, from WHY_FILE, and exits 77, which CTest counts as skipped.
#   tests/if_built.sh FILE WHY_FILE COMMAND [ARG...]
file=$1 why=$2
shift 2
if [ ! -e "$file" ]; then
  cat "$why" 2>/dev/null || echo "$file was not built"
  exit 77
fi
exec "$@"
