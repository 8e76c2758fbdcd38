#!/bin/sh
# Static analysis of the programs' code: clang-tidy (checks in .clang-tidy,
# every finding an error) on the Linux build's compile commands, and
# cppcheck on all of it, the Windows backends included.
set -e
cd "$(dirname "$0")/.."
# The compile commands and generated headers of what is analysed, up to date.
scripts/build.sh linux >/dev/null
echo "== clang-tidy"
# Its count of (suppressed) warnings in system headers goes to a file.
clang-tidy -p build/linux --quiet $(git ls-files 'pc_utils/*.cpp' | grep -v '_w32\.cpp$') \
    2>build/clang-tidy.log || { cat build/clang-tidy.log; exit 1; }
echo "== cppcheck"
cppcheck --quiet --std=c++20 --enable=warning,performance,portability --error-exitcode=1 \
    --inline-suppr --suppress=missingIncludeSystem -I pc_utils/flashtag pc_utils
echo "static analysis: clean"
