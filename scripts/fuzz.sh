#!/bin/sh
# Runs each fuzz target for SECONDS (default 5) on its corpus: the seeds in
# tests/fuzz/corpus/<target> and what earlier runs found, kept in
# build/fuzz/corpus/<target>. Builds the fuzz preset first. A longer run:
#   scripts/fuzz.sh 600
set -e
cd "$(dirname "$0")/.."
seconds=${1:-5}
scripts/build.sh fuzz >/dev/null
for target in connect upload log; do
    mkdir -p "build/fuzz/corpus/$target"
    echo "== fuzz_$target, $seconds s"
    build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -artifact_prefix=build/fuzz/ \
        "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" 2>&1 |
        grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written' || true
    # libFuzzer leaves a crash-/timeout-/oom-/leak- file for what it finds.
    found=$(ls build/fuzz/crash-* build/fuzz/timeout-* build/fuzz/oom-* build/fuzz/leak-* 2>/dev/null || true)
    if [ -n "$found" ]; then
        echo "fuzz_$target found a failure; its input: $found"
        exit 1
    fi
done
