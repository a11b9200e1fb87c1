#!/usr/bin/env bash
# Builds and runs every test: the normal build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the 32-bit big-endian PowerPC
# cross-build under qemu-ppc. Then runs the fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0
run_suite() {
  local preset=$1; shift
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  local folder=build-$preset
  [ "$preset" = default ] && folder=build
  (cd "$folder" && ctest --output-on-failure -j2 "$@") || status=1
}

run_suite default
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite sanitize
run_suite ppc -LE 'netns|realpeer'

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz ==="
  scripts/fuzz.sh || status=1
fi
exit $status
