#!/bin/sh
# Installs what is missing, builds the Linux and the Windows build, and runs
# every test: unit tests on both builds (Windows under Wine), the tests on
# pseudo-terminals, and the end-to-end tests of both builds against the
# simulated tag.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest \
    g++-mingw-w64-x86-64 wine wine64 util-linux
scripts/build.sh windows
scripts/build.sh linux
echo "== Windows build (under Wine)"
ctest --test-dir build/windows --output-on-failure -j2
echo "== Linux build"
ctest --test-dir build/linux --output-on-failure -j2
