#!/bin/sh
# Runs each fuzz target for SECONDS (default 5) on its corpus: the seeds in
# tests/fuzz/corpus/<target> and what earlier runs found, kept in
# build/fuzz/corpus/<target>. Builds the fuzz preset first. A longer run:
#   scripts/fuzz.sh 600
# The fuzzer's exit status decides; what it finds is written under
# build/fuzz/artifacts/<target>/, one folder per target and per run.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-5}
scripts/build.sh fuzz >/dev/null
for target in connect upload log telnet relay; do
    mkdir -p "build/fuzz/corpus/$target"
    artifacts="build/fuzz/artifacts/$target"
    rm -rf "$artifacts"
    mkdir -p "$artifacts"
    echo "== fuzz_$target, $seconds s"
    status=0
    build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -artifact_prefix="$artifacts/" \
        "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" >"$artifacts.log" 2>&1 ||
        status=$?
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written' "$artifacts.log" || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target failed (status $status); its input: $(ls "$artifacts")"
        exit 1
    fi
done
