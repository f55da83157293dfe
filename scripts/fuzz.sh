#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each for a bounded time on a temporary copy of its seed corpus in fuzz/corpus/. Generated
# inputs never go into the repository. Exits non-zero on any crash, sanitizer report, leak,
# timeout or violated invariant, and prints the path of the reproducer.
#
#   FUZZ_SECONDS            run time per target in seconds (default 60)
#   FUZZ_TARGETS            targets to run (default: versionlist record versionnumber manifest)
#   QUORVEX_FUZZ_BUILD_DIR  build directory (default: build-fuzz)
#   FUZZ_ARTIFACT_DIR       where reproducers and logs go (default: <build>/fuzz-results)
#   QUORVEX_SKIP_SETUP=1    do not run scripts/setup-deps.sh first
# Replay a reproducer: <build>/fuzz/fuzz_<target> <file>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ -n "${QUORVEX_SKIP_SETUP:-}" ] || "$root/scripts/setup-deps.sh"

build="${QUORVEX_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
read -r -a targets <<<"${FUZZ_TARGETS:-versionlist record versionnumber manifest}"
results="${FUZZ_ARTIFACT_DIR:-$build/fuzz-results}"

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEX_FUZZ=ON -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target quorvex_fuzzers -j"$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$results"

export ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=64:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=0
for target in "${targets[@]}"; do
    binary="$build/fuzz/fuzz_$target"
    seeds="$root/fuzz/corpus/$target"
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        echo "fuzz: unknown target $target" >&2
        failed=1
        continue
    fi
    corpus="$work/$target"
    mkdir -p "$corpus"
    cp -- "$seeds"/* "$corpus"/
    max_len=8192
    [ "$target" != versionnumber ] || max_len=512
    log="$results/$target.log"
    rm -f "$results/$target"-crash-* "$results/$target"-leak-* "$results/$target"-timeout-* \
        "$results/$target"-oom-* "$results/$target"-slow-unit-*
    start=$(date +%s)
    status=0
    # The outer timeout only guards against a hung process; libFuzzer stops itself in time.
    timeout --kill-after=10 $((seconds + 120)) "$binary" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -dict="$root/fuzz/json.dict" -print_final_stats=1 \
        -artifact_prefix="$results/$target-" "$corpus" >"$log" 2>&1 || status=$?
    elapsed=$(($(date +%s) - start))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    summary=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED|NEW|REDUCE|pulse)' "$log" | tail -n1 || true)
    echo "fuzz_$target: ${execs:-?} executions in ${elapsed}s; ${summary:-no coverage line}"
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "fuzz_$target FAILED (exit $status); log: $log" >&2
        grep -E 'invariant violated|ERROR: |SUMMARY: |runtime error' "$log" | head -n 5 >&2 || true
        reproducer=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n1)
        if [ -n "$reproducer" ]; then
            echo "reproducer: $reproducer (replay: $binary $reproducer)" >&2
        fi
    fi
done
exit "$failed"
