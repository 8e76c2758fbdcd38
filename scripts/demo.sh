#!/bin/sh
# Installs what is missing, builds flashtag and the simulated tag, and runs
# flashtag against the simulated tag: no board needed.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
scripts/build.sh linux
ports=$(mktemp -d)
build/linux/pc_utils/tagsim/tagsim --link "$ports/COM4" --node-id 12 \
    --save-script "$ports/received.bas" --save-meta "$ports/received.meta" >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$ports"' EXIT
# The simulated tag makes its link once its terminal is ready.
tries=0
while [ ! -e "$ports/COM4" ]; do
    if ! kill -0 $sim 2>/dev/null; then
        echo "The simulated tag stopped before it was ready." >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ $tries -gt 100 ]; then
        echo "The simulated tag did not make its link within 10 s." >&2
        exit 1
    fi
    sleep 0.1
done
echo "\$ flashtag -c 4 -r examples/hello.bas"
status=0
FLASHTAG_PORT_DIR="$ports" build/linux/pc_utils/flashtag/flashtag -c 4 -r examples/hello.bas || status=$?
echo "Exit status: $status"
echo
echo "== What the simulated tag received (the file's CR LF line ends go as LF):"
cat "$ports/received.bas"
echo "== Its metadata record:"
cat "$ports/received.meta"
