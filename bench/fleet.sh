#!/bin/sh
# Builds the Linux build and runs the fleet benchmark (about two minutes).
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
scripts/build.sh linux >/dev/null
exec python3 bench/fleet_bench.py
