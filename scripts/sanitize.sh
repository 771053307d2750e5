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
ctest --preset asan -E 'Fault/' "$@"
# The fault-injection cases run the daemon under strace, and LeakSanitizer
# cannot do its work in a process that is already traced; they run with
# leak checking off (the daemon allocates nothing anyway), everything else
# still on. This run ends the script, so its summary is the last line.
ASAN_OPTIONS="abort_on_error=1:detect_leaks=0:strict_string_checks=1:check_initialization_order=1" \
    ctest --test-dir build-asan --output-on-failure -j2 -R 'Fault/' "$@"
