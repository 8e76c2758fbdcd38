#!/bin/sh
# Builds both builds and runs the tagterm benchmark (about four minutes).
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
scripts/build.sh windows >/dev/null
scripts/build.sh linux >/dev/null
exec python3 bench/term_bench.py
