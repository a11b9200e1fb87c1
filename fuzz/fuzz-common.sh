# Sourced by the fuzz/run-<name>-fuzz.sh scripts, from the top of the tree:
#   run_fuzz_target <name> <seconds> [libFuzzer options...]
# Configures the build folder ($FUZZ_BUILD_DIR, default build-fuzz) for the
# fuzz targets with clang, builds <name>_fuzz, and fuzzes it for <seconds>
# with print_final_stats. The committed seeds (fuzz/corpus/<name>/) are
# copied into <build>/<name>-corpus, where the run adds what it finds, so
# the seeds stay as committed and later runs start from where this one
# ended. The whole output goes to <build>/<name>-fuzz.log.
#
# Prints one line with the number of executions. On a fault (a crash, a
# trap, a leak, a timeout, running out of memory) prints the report, says
# where the failing input was saved (<build>/<name>-crash-..., and the like)
# and returns libFuzzer's non-zero status.

run_fuzz_target() {
    local name="$1" seconds="$2"
    shift 2
    local dir="${FUZZ_BUILD_DIR:-build-fuzz}"
    mkdir -p "$dir"
    # One build at a time when several scripts run side by side.
    (
        flock 9
        cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DNETPROBE_TESTS=OFF -DNETPROBE_FUZZ=ON >"$dir/$name-configure.log" 2>&1 ||
            { cat "$dir/$name-configure.log" >&2; exit 1; }
        cmake --build "$dir" --target "${name}_fuzz" -j"$(nproc)" >"$dir/$name-build.log" 2>&1 ||
            { cat "$dir/$name-build.log" >&2; exit 1; }
    ) 9>"$dir/.fuzz-build.lock" || { echo "$name fuzz: the build failed" >&2; return 1; }

    local corpus="$dir/$name-corpus" log="$dir/$name-fuzz.log"
    mkdir -p "$corpus"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -p "fuzz/corpus/$name"/* "$corpus"/
    fi

    local status=0
    "$dir/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/$name-" "$@" "$corpus" >"$log" 2>&1 || status=$?
    local executions
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    if [ "$status" -ne 0 ]; then
        local first
        first="$(grep -n -m 1 -E '^==[0-9]+==|deadly signal|^ERROR: libFuzzer|^SUMMARY' "$log" | cut -d: -f1)"
        if [ -n "$first" ]; then tail -n "+$first" "$log" >&2; else tail -n 40 "$log" >&2; fi
        local input
        input="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)"
        echo "$name fuzz: FAULT after ${executions:-an unknown number of} executions;" \
            "input: ${input:-see $log} (status $status)" >&2
        return "$status"
    fi
    echo "$name fuzz: ${executions:-?} executions in $seconds s, no fault;" \
        "corpus $(find "$corpus" -type f | wc -l) inputs"
}
