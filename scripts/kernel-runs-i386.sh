#!/usr/bin/env bash
# Exits 0 when this kernel runs i386 code itself (ia32 emulation on). A
# binfmt_misc handler such as qemu-user makes i386 programs "run" too, so
# the probe runs where none is registered: in the fresh binfmt_misc of a
# new user namespace (Linux 6.7 and later). Where that cannot be had, an
# enabled i386 handler makes the answer "no": emulated is the safe guess.
set -u
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# The smallest i386 ELF program: exit(42) through int 0x80.
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >"$probe"
chmod +x "$probe"
. "$(dirname "$0")/binfmt.sh"
if in_own_binfmt true; then
  in_own_binfmt "$probe"
  [ $? -eq 42 ]
  exit
fi
for handler in /proc/sys/fs/binfmt_misc/*; do
  [ -f "$handler" ] && grep -qx enabled "$handler" 2>/dev/null &&
    grep -q '^magic 7f454c4601010100' "$handler" && exit 1
done
"$probe" 2>/dev/null
[ $? -eq 42 ]
