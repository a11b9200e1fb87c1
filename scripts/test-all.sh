#!/usr/bin/env bash
# Builds and runs every test: the normal build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the 32-bit big-endian PowerPC
# cross-build under qemu-ppc (tests that need network namespaces or
# third-party servers run in the first two). Then runs the pattern engine's
# fuzz target for a minute. Ends with one line: "tests: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0
passed=0
failed=0
run_suite() {
  local preset=$1; shift
  local folder=build-$preset
  [ "$preset" = default ] && folder=build
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  (cd "$folder" && ctest --output-on-failure -j2 "$@") 2>&1 | tee "$folder/ctest.log" || status=1
  local summary
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$folder/ctest.log" | tail -n 1)
  if [ -z "$summary" ]; then
    status=1
    return
  fi
  local f t
  f=$(sed -E 's/.*, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.*failed out of ([0-9]+).*/\1/' <<<"$summary")
  passed=$((passed + t - f))
  failed=$((failed + f))
  [ "$f" -eq 0 ] || status=1
}

run_suite default
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite sanitize
run_suite ppc -LE 'netns|realpeer'

echo "=== fuzz (60 s) ==="
if ! fuzz/run-pattern-fuzz.sh 60; then
  status=1
  failed=$((failed + 1))
fi

echo "tests: $passed passed, $failed failed"
exit $status
