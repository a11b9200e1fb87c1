#!/usr/bin/env bash
# Builds the client's batch-file fuzz target with clang and runs it for a
# while: run-batch-fuzz.sh [seconds] (default 60). See fuzz-common.sh for
# the build folder, the corpus and the output. Exits non-zero when the
# fuzzer finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
. fuzz/fuzz-common.sh
run_fuzz_target batch "${1:-60}" -max_len=4096 -dict=fuzz/batch.dict
