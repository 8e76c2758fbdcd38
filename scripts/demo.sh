#!/bin/sh
# Installs what is missing, builds flashtag and the simulated tag, and runs
# flashtag against the simulated tag: no board needed.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev googletest
scripts/build.sh linux
ports=$(mktemp -d)
build/linux/pc_utils/tagsim/tagsim --link "$ports/COM4" --node-id 12 \
    --save-script "$ports/received.bas" --save-meta "$ports/received.meta" >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$ports"' EXIT
while [ ! -e "$ports/COM4" ]; do sleep 0.1; done
echo "\$ flashtag -c 4 -r examples/hello.bas"
status=0
FLASHTAG_PORT_DIR="$ports" build/linux/pc_utils/flashtag/flashtag -c 4 -r examples/hello.bas || status=$?
echo "Exit status: $status"
echo
echo "== What the simulated tag received (the file's CR LF line ends go as LF):"
cat "$ports/received.bas"
echo "== Its metadata record:"
cat "$ports/received.meta"
