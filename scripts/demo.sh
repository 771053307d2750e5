#!/usr/bin/env bash
# The main job: builds what the demonstration runs (the daemon, the client,
# the sandbox and the demonstration itself; no tests, no benchmark) and
# runs the demonstration of both modes against a simulated panel inside a
# throwaway sandbox (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target veltaris_demo >/dev/null
exec build/bin/veltaris_demo "$PWD/build/demo-timeline.svg"
