#!/usr/bin/env bash
# Builds and runs the benchmark: the real daemon in the test sandbox, each
# figure against a baseline measured in the same run. Prints a table and
# writes the figures to build/bench-results.json. Needs root (namespaces,
# FUSE); strace and valgrind are installed when missing.
#
#   scripts/bench.sh [--quick] [--json PATH] [--only startup,control,hold,outdoor,heap,size]
#
# A full run takes about five minutes; --quick takes about twenty seconds
# and only shows that every measurement works.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh strace valgrind
cmake --preset default >/dev/null
cmake --build --preset default --target veltaris_bench
exec build/bin/veltaris_bench "$@"
