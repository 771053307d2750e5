#!/usr/bin/env bash
# Configures and builds the host build in build/ (daemon, tests, demo).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
