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
# The presets run two jobs and set ASAN_OPTIONS / UBSAN_OPTIONS so that
# the first report fails the test with a stack trace. The fault-injection
# cases and the count of flash syncs run the daemon under strace, and
# LeakSanitizer cannot do its work in a process that is already traced;
# their preset runs them with leak checking off (the daemon allocates
# nothing anyway), everything else still on. That run ends the script,
# so its summary is the last line.
ctest --preset asan "$@"
ctest --preset asan-fault "$@"
