#!/usr/bin/env bash
# Prints the NSIS script of one benchmark payload: a silent installer that
# packs FOLDER's files (none without it) with zlib, for makensis.
#   bench/nsis-script.sh NAME TARGET OUT [FOLDER]
#   TARGET  NSIS's stubs, x86-unicode or amd64-unicode
#   OUT     the installer that makensis writes
set -euo pipefail
name=$1 target=$2 out=$3 src=${4:-}
echo 'Unicode true'
echo "Target $target"
echo 'SetCompressor zlib'
echo 'SilentInstall silent'
echo 'RequestExecutionLevel user'
echo "Name \"bench-$name\""
echo "OutFile \"$out\""
echo 'InstallDir "C:\zb\nsis-default"'
echo 'Section'
if [ -n "$src" ]; then
  # One SetOutPath per folder, in sorted order, so that files land in place.
  last=""
  while IFS= read -r rel; do
    folder=$(dirname "$rel")
    if [ "$folder" != "$last" ]; then
      [ "$folder" = . ] && echo 'SetOutPath "$INSTDIR"' ||
        echo "SetOutPath \"\$INSTDIR\\${folder//\//\\}\""
      last=$folder
    fi
    echo "File \"$src/$rel\""
  done < <(cd "$src" && find -L . -type f | sed 's|^\./||' | LC_ALL=C sort)
fi
echo 'SectionEnd'
