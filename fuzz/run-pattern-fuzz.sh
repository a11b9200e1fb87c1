#!/usr/bin/env bash
# Builds the pattern engine's fuzz target with clang and runs it for a
# while: run-pattern-fuzz.sh [seconds] (default 60). The build folder is
# $FUZZ_BUILD_DIR, default build-fuzz. Exits non-zero when the fuzzer finds
# a fault; the failing input is left in the current folder.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
dir="${FUZZ_BUILD_DIR:-build-fuzz}"
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNETPROBE_TESTS=OFF -DNETPROBE_FUZZ=ON >/dev/null
cmake --build "$dir" --target pattern_fuzz -j2
mkdir -p "$dir/pattern-corpus"
exec "$dir/pattern_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/pattern.dict "$dir/pattern-corpus"
