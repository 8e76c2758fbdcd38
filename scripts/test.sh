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
echo "== Windows build (under Wine)"
ctest --test-dir build/windows --output-on-failure -j2
echo "== Linux build"
ctest --test-dir build/linux --output-on-failure -j2
echo "== Linux build under AddressSanitizer and UBSan"
ctest --test-dir build/asan --output-on-failure -j2
echo "== Fuzzing"
scripts/fuzz.sh 5
echo "== Static analysis"
scripts/analyze.sh
