#!/usr/bin/env bash
# Fails, naming each place, when a C++ file is not as .clang-format lays it
# out. To format: git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/setup.sh
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
