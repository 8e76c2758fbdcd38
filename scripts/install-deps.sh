#!/bin/sh
# Installs the Debian packages a task needs, only those that are missing.
# Usage: scripts/install-deps.sh demo|test|bench|package
#   demo:  build the Linux programs and run them against the simulated tag;
#   test:  everything the test command builds and runs (both builds, Wine,
#          sanitizers, fuzzing, static analysis);
#   bench: both builds and the upload benchmark;
#   package: both builds and their packages (dpkg-shlibdeps, lintian).
set -e
build="cmake ninja-build g++ libgtest-dev googletest"
case "$1" in
demo) wanted="$build" ;;
test) wanted="$build g++-mingw-w64-x86-64 wine wine64 util-linux ser2net python3 clang clang-tidy cppcheck
               dpkg-dev lintian man-db unzip" ;;
package) wanted="$build g++-mingw-w64-x86-64 wine wine64 dpkg-dev" ;;
bench) wanted="$build g++-mingw-w64-x86-64 wine wine64 util-linux ser2net parallel python3 time" ;;
*) echo "usage: $0 demo|test|bench|package" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
updated=""
install_missing() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    [ -n "$updated" ] || { $SUDO apt-get update -qq; updated=yes; }
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
}
install_missing $wanted
if [ "$1" = test ]; then
    # The fuzzers' and sanitizers' runtime of the clang that is installed.
    version=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
    install_missing "libclang-rt-$version-dev"
fi
