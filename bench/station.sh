#!/bin/sh
# Builds the Linux build and runs the station benchmark (about six minutes),
# or the parts named: idle, reaction, soak.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
scripts/build.sh linux >/dev/null
exec python3 bench/station_bench.py "$@"
