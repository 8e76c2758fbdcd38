#!/bin/sh
# Installs what is missing, builds flashtag and the simulated tag, and runs
# flashtag against the simulated tag: no board needed.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest
scripts/build.sh linux
ports=$(mktemp -d)
build/linux/pc_utils/tagsim/tagsim --link "$ports/COM4" --node-id 12 >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$ports"' EXIT
while [ ! -e "$ports/COM4" ]; do sleep 0.1; done
echo "\$ flashtag -c 4 -r examples/hello.bas"
FLASHTAG_PORT_DIR="$ports" build/linux/pc_utils/flashtag/flashtag -c 4 -r examples/hello.bas
