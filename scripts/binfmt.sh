# Sourced by scripts/kernel-runs-i386.sh and scripts/lanes.sh: the one probe
# for a binfmt_misc of a new user namespace's own (Linux 6.7 and later),
# where none of the machine's handlers is registered.
#   in_own_binfmt CMD [ARG...]  runs CMD there, with its exit status; fails
#                               without running it where the kernel gives none
in_own_binfmt() {
  unshare --user --map-root-user --mount sh -c \
    'mount -t binfmt_misc none /proc/sys/fs/binfmt_misc && exec "$@"' sh "$@" 2>/dev/null
}
