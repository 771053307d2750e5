#!/usr/bin/env bash
# Configures and builds the host build in build/ (daemon, tests, demo).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTARIS_WERROR=ON >/dev/null
ninja -C build
