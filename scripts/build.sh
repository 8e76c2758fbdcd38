#!/bin/sh
# Configures and builds flashtag. Usage: scripts/build.sh linux|windows
# (build/linux or build/windows). The Linux build also runs the end-to-end
# tests against the Windows build under Wine when that has been built first.
set -e
cd "$(dirname "$0")/.."
case "$1" in
linux)
    windows="$PWD/build/windows"
    [ -f "$windows/pc_utils/flashtag/flashtag.exe" ] || windows=""
    cmake -S . -B build/linux -G Ninja -DFLASHTAG_WINDOWS_BUILD="$windows" >/dev/null
    ;;
windows)
    cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
    ;;
*)
    echo "usage: $0 linux|windows" >&2
    exit 2
    ;;
esac
cmake --build "build/$1"
