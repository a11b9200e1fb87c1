#!/usr/bin/env bash
# Builds the client's command-line fuzz target with clang and runs it for a
# while: run-commandline-fuzz.sh [seconds] (default 60). See fuzz-common.sh for
# the build folder, the corpus and the output. Exits non-zero when the
# fuzzer finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
. fuzz/fuzz-common.sh
run_fuzz_target commandline "${1:-60}" -max_len=1024 -dict=fuzz/commandline.dict
