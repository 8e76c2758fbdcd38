#!/bin/sh
# Configures and builds one of the presets: linux, windows, asan, tsan or fuzz
# (into build/<preset>). The Linux build also runs the end-to-end tests
# against the Windows build under Wine when that has been built first.
set -e
cd "$(dirname "$0")/.."
case "$1" in
linux)
    windows="$PWD/build/windows"
    if [ -f "$windows/pc_utils/flashtag/flashtag.exe" ]; then
        echo "linux: its end-to-end tests also run against build/windows under Wine"
    else
        echo "linux: no Windows build yet, so no end-to-end tests under Wine"
        windows=""
    fi
    cmake --preset linux -DFLASHTAG_WINDOWS_BUILD="$windows" >/dev/null
    ;;
windows|asan|tsan|fuzz)
    cmake --preset "$1" >/dev/null
    ;;
*)
    echo "usage: $0 linux|windows|asan|tsan|fuzz" >&2
    exit 2
    ;;
esac
cmake --build "build/$1"
