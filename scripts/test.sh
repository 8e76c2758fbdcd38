#!/bin/sh
# Installs what is missing, then builds and tests everything:
#  - the Windows build, its unit tests under Wine;
#  - the Linux build: unit tests, tests on pseudo-terminals, and the
#    end-to-end tests of the Linux and the Windows build against the
#    simulated tag;
#  - the same Linux tests under AddressSanitizer and UBSan;
#  - a short run of each fuzz target;
#  - static analysis.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest \
    g++-mingw-w64-x86-64 wine wine64 util-linux \
    clang libclang-rt-14-dev clang-tidy cppcheck
scripts/build.sh windows
scripts/build.sh linux
scripts/build.sh asan
passed=0
skipped=0
run_tests() {
    echo "== $2"
    ctest --test-dir "build/$1" --output-on-failure -j2 | tee "build/$1/ctest.log"
    n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "build/$1/ctest.log")
    [ -n "$n" ] || exit 1
    s=$(grep -c '(Skipped)' "build/$1/ctest.log" || true)
    passed=$((passed + n - s))
    skipped=$((skipped + s))
}
run_tests windows "Windows build (under Wine)"
run_tests linux "Linux build"
run_tests asan "Linux build under AddressSanitizer and UBSan"
echo "== Fuzzing"
scripts/fuzz.sh 5
echo "== Static analysis"
scripts/analyze.sh
echo
echo "tests: $passed passed, 0 failed, $skipped skipped"
