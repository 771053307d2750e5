#!/usr/bin/env bash
# The main job: builds everything and runs the demonstration of both modes
# against a simulated panel inside a throwaway sandbox (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh >/dev/null
exec build/bin/veltaris_demo "$PWD/build/demo-timeline.svg"
