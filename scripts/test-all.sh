#!/usr/bin/env bash
# Builds and runs every test, in three builds: the normal one, the
# AddressSanitizer + UndefinedBehaviorSanitizer one (leak checks on), and the
# 32-bit big-endian PowerPC cross-build under qemu-ppc (tests needing network
# namespaces or third-party servers run only in the first two). Each build
# goes through its CMake presets (configure, build, `ctest --preset`); counts
# come from ctest's JUnit file. Then the packages are built and checked
# (scripts/check-package.sh), and every fuzz/run-*-fuzz.sh runs for
# $FUZZ_SECONDS (default 15 each: a smoke run on every change, from the
# seeds and the kept corpus; long runs are fuzz/run-*-fuzz.sh by hand).
#
# A build that fails to configure or compile counts as one failed test of
# that build, and the other builds still run. The output ends with one line
# per build, the skipped and failed tests by name, and last:
#   tests: N passed, N failed, N skipped
# where a test is counted once for each build it ran in and each fuzz run is
# one test. Exits 0 only when nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

builds=(default sanitize ppc)
total_passed=0 total_failed=0 total_skipped=0
build_lines=()  # "default: 312 passed, 0 failed, 3 skipped"
notes=()        # "skipped (ppc): Name: reason", "failed (sanitize): Name"

# junit_results FILE: one line per test that did not pass,
# "skipped<TAB>name<TAB>reason" or "failed<TAB>name<TAB>why", then
# "counts<TAB>passed failed skipped".
junit_results() {
  python3 - "$1" <<'PY'
import re, sys
import xml.etree.ElementTree as ET

def skip_reason(output):
    # GoogleTest prints "file:line: Skipped" and then the message, if any.
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = lines[i + 1].strip() if i + 1 < len(lines) else ""
            return reason or "no reason given"
    return "no reason given"

counts = {"passed": 0, "failed": 0, "skipped": 0}
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    name, status = case.get("name"), case.get("status")
    output = case.findtext("system-out") or ""
    skipped = case.find("skipped")
    why = skipped.get("message", "") if skipped is not None else ""
    if status == "disabled":
        kind, detail = "skipped", "disabled (DISABLED_ test name or DISABLED property)"
    elif status == "notrun" and why.startswith("SKIP_"):
        kind, detail = "skipped", skip_reason(output)
    elif status == "run" and re.search(r"^\[  SKIPPED \] ", output, re.M):
        # A GoogleTest skip that ctest was not told to recognise.
        kind, detail = "skipped", skip_reason(output)
    elif status == "run":
        kind, detail = "passed", ""
    else:
        # "fail", or "notrun" for a test ctest could not start.
        kind, detail = "failed", why
    counts[kind] += 1
    if kind != "passed":
        print(f"{kind}\t{name}\t{detail}")
print(f"counts\t{counts['passed']} {counts['failed']} {counts['skipped']}")
PY
}

# record BUILD PASSED FAILED SKIPPED [REMARK]
record() {
  local line="$1: $2 passed, $3 failed, $4 skipped"
  [ -n "${5:-}" ] && line+=" ($5)"
  build_lines+=("$line")
  total_passed=$((total_passed + $2))
  total_failed=$((total_failed + $3))
  total_skipped=$((total_skipped + $4))
}

run_build() {
  local build=$1 folder=build-$1
  [ "$build" = default ] && folder=build
  echo "=== $build ==="
  if ! cmake --preset "$build" >/dev/null; then
    notes+=("failed ($build): configure")
    record "$build" 0 1 0 "configure failed, no tests ran"
    return
  fi
  if ! cmake --build --preset "$build" -j"$(nproc)"; then
    notes+=("failed ($build): build")
    record "$build" 0 1 0 "build failed, no tests ran"
    return
  fi

  local junit=$PWD/$folder/junit.xml ctest_status=0
  rm -f "$junit"
  ctest --preset "$build" --output-junit "$junit" || ctest_status=$?

  local kind name detail passed="" failed=0 skipped=0
  if [ -s "$junit" ]; then
    while IFS=$'\t' read -r kind name detail; do
      case $kind in
        counts) read -r passed failed skipped <<<"$name" ;;
        skipped) notes+=("skipped ($build): $name: $detail") ;;
        failed) notes+=("failed ($build): $name${detail:+: $detail}") ;;
      esac
    done < <(junit_results "$junit")
  fi
  if [ -z "$passed" ]; then
    notes+=("failed ($build): ctest left no readable $junit (exit status $ctest_status)")
    record "$build" 0 1 0 "no test results"
  elif [ "$ctest_status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    # For instance no tests found: ctest failed without a failing test.
    notes+=("failed ($build): ctest exited with status $ctest_status")
    record "$build" "$passed" 1 "$skipped" "ctest failed"
  else
    record "$build" "$passed" "$failed" "$skipped"
  fi
}

echo "=== dependencies ==="
if ! scripts/install-deps.sh; then
  notes+=("failed: scripts/install-deps.sh (building and testing anyway)")
  total_failed=$((total_failed + 1))
fi

for build in "${builds[@]}"; do
  run_build "$build"
done

# The packages: a .deb installed into this machine, run and purged, and the
# device's tarball (scripts/check-package.sh, root only), counted as one test.
echo "=== packages ==="
if [ "$(id -u)" -ne 0 ]; then
  build_lines+=("packages: skipped (needs root for dpkg)")
  total_skipped=$((total_skipped + 1))
elif scripts/check-package.sh; then
  build_lines+=("packages: 1 passed, 0 failed")
  total_passed=$((total_passed + 1))
else
  build_lines+=("packages: 0 passed, 1 failed")
  notes+=("failed (packages): scripts/check-package.sh")
  total_failed=$((total_failed + 1))
fi

shopt -s nullglob
fuzzers=(fuzz/run-*-fuzz.sh)
seconds=${FUZZ_SECONDS:-15}
fuzz_passed=0 fuzz_failed=0
for script in "${fuzzers[@]}"; do
  target=${script#fuzz/run-}
  target=${target%-fuzz.sh}
  echo "=== fuzz: $target ($seconds s) ==="
  if "$script" "$seconds"; then
    fuzz_passed=$((fuzz_passed + 1))
  else
    fuzz_failed=$((fuzz_failed + 1))
    notes+=("failed (fuzz): $target")
  fi
done
build_lines+=("fuzz: $fuzz_passed passed, $fuzz_failed failed ($seconds s per target)")
total_passed=$((total_passed + fuzz_passed))
total_failed=$((total_failed + fuzz_failed))

echo "=== summary ==="
for line in "${notes[@]}" "${build_lines[@]}"; do
  echo "$line"
done
printf -v names '%s, ' "${builds[@]}"
echo "(each test counted once per build it ran in: ${names%, }; fuzz runs counted as one test each)"
echo "tests: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ] && exit 0
exit 1
