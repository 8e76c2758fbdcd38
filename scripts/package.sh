#!/bin/sh
# Makes the release packages into dist/:
#   flashtag_<version>_amd64.deb   from the Linux build
#   flashtag-<version>-win64.zip   from the Windows build
# The version is the project's (CMakeLists.txt); see "Making a release" in
# the README.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
scripts/build.sh windows >/dev/null
scripts/build.sh linux >/dev/null
rm -rf dist
mkdir -p dist
for build in linux windows; do
    rm -rf "build/$build/cpack"
    cpack --config "build/$build/CPackConfig.cmake" -B "build/$build/cpack" >/dev/null
    made=$(find "build/$build/cpack" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \))
    if [ -z "$made" ]; then
        echo "package.sh: CPack made no package from build/$build" >&2
        exit 1
    fi
    cp $made dist/
done
ls -l dist
