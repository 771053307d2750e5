#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer
# (preset "asan", in build-asan/) and runs the whole test suite there. Any
# sanitizer report aborts the test that triggered it. Extra arguments go to
# ctest, e.g. scripts/sanitize.sh -E sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
# The preset runs two jobs and sets ASAN_OPTIONS / UBSAN_OPTIONS so that
# the first report fails the test with a stack trace.
ctest --preset asan "$@"
