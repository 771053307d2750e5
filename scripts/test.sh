#!/usr/bin/env bash
# Runs every test: unit tests and the sandbox tests that run the real
# daemon in private namespaces. Needs root for the sandbox tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
cd build
# Two jobs: this is a small machine, and the sandbox tests keep real timers.
ctest --output-on-failure -j2 "$@"
