# Sourced by the shell-driven tests: a work folder inside the build folder,
# removed when the test passes and kept for a look when it fails.
#   make_work BUILD_DIR NAME   sets work
make_work() {
  work=$(mktemp -d "$1/$2.XXXXXX")
  work_name=$2
  trap finish_work EXIT
}
finish_work() {
  local rc=$?
  if [ $rc -eq 0 ]; then rm -rf "$work"; else echo "$work_name: kept $work" >&2; fi
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
