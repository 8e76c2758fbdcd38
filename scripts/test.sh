#!/bin/sh
# Installs what is missing, then builds and tests everything:
#  - the Windows build, its unit tests under Wine;
#  - the Linux build: unit tests, tests on pseudo-terminals, and the
#    end-to-end tests of the Linux and the Windows build against the
#    simulated tag;
#  - the same Linux tests under AddressSanitizer and UBSan;
#  - the station, fleet, node-ID and tagterm tests under ThreadSanitizer;
#  - a short run of each fuzz target;
#  - static analysis;
#  - the release packages, installed and run (scripts/check-packages.sh).
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
scripts/build.sh windows
scripts/build.sh linux
scripts/build.sh asan
scripts/build.sh tsan
passed=0
skipped=0
# ctest's own exit status decides, and any report a sanitizer wrote to a
# file (build/<name>/sanitizer-report.<pid>); its log only gives the counts
# of what ran. run_tests BUILD TITLE [CTEST OPTIONS...]
run_tests() {
    build=$1
    title=$2
    shift 2
    echo "== $title"
    status=0
    rm -f "build/$build"/sanitizer-report.*
    ctest --test-dir "build/$build" --output-on-failure -j2 "$@" >"build/$build/ctest.log" 2>&1 ||
        status=$?
    cat "build/$build/ctest.log"
    for report in "build/$build"/sanitizer-report.*; do
        [ -f "$report" ] || continue
        cat "$report"
        echo "$title: a sanitizer reported the above"
        status=1
    done
    if [ "$status" -ne 0 ]; then
        echo "$title: failed (ctest status $status, or a sanitizer's report)"
        exit 1
    fi
    n=$(grep -c 'Test *#[0-9]*: .* Passed' "build/$build/ctest.log" || true)
    s=$(grep -c 'Test *#[0-9]*: .*\*\*\*Skipped' "build/$build/ctest.log" || true)
    passed=$((passed + n))
    skipped=$((skipped + s))
}
run_tests windows "Windows build (under Wine)"
run_tests linux "Linux build"
run_tests asan "Linux build under AddressSanitizer and UBSan"
# The tests run tagfleet and tagterm (and the simulated tags) as processes of
# their own, tagterm's tests tagfleet through tagterm too:
# a report ends the process at once with a status no test expects, and goes
# to a file that run_tests checks, whatever the test made of that status. A
# test that fails on its timing alone (the instrumented programs are several
# times slower, and ThreadSanitizer defers signal handlers) has a second try.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$PWD/build/tsan/sanitizer-report"
run_tests tsan "Station, fleet, node IDs and tagterm under ThreadSanitizer" \
    -R '^linux\.(Station|Fleet|NodeIds|Tagterm)\.' \
    --repeat until-pass:2
unset TSAN_OPTIONS
echo "== Fuzzing"
scripts/fuzz.sh 5
echo "== Static analysis"
scripts/analyze.sh
echo "== Packages"
status=0
scripts/check-packages.sh >build/package-checks.log 2>&1 || status=$?
cat build/package-checks.log
if [ "$status" -ne 0 ]; then
    echo "package checks failed (status $status)"
    exit 1
fi
n=$(sed -n 's/^package checks: \([0-9]*\) passed$/\1/p' build/package-checks.log)
passed=$((passed + n))
echo
echo "tests: $passed passed, 0 failed, $skipped skipped"
