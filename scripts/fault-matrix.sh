#!/usr/bin/env bash
# Runs the fault-injection cases (tests/integration/fault_injection_test.cpp)
# and prints their matrix: for each case the system call that strace makes
# fail, the moment of the hold cycle, the injection, the documented outcome,
# the observed outcome and the verdict ("ok", "DIFFERS" when the outcome is
# not the documented one, "MISSED" when the injection never hit the
# intended call). The invariants (no hang, no node left without write bits
# and without a record, no torn record, a clean --recover afterwards) are
# asserted by the test itself; its exit status is this script's.
#
# Needs root (the sandbox) and strace. Options:
#   -c   also print the exact call each case made fail (strace's line)
#   -f   a gtest filter for the cases (default: all), e.g. -f '*arming*'
# Environment: BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

show_calls=0
filter='*'
while getopts "cf:" opt; do
    case "$opt" in
        c) show_calls=1 ;;
        f) filter="$OPTARG" ;;
        *) echo "usage: $0 [-c] [-f gtest-filter]" >&2; exit 2 ;;
    esac
done

bash scripts/deps.sh strace
build_dir="${BUILD_DIR:-build}"
if [ ! -x "$build_dir/bin/sandbox_tests" ]; then
    cmake --preset default -B "$build_dir" >/dev/null
fi
ninja -C "$build_dir" sandbox_tests veltarisd >/dev/null

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
"$build_dir/bin/sandbox_tests" --gtest_filter="Fault/FaultInjectionTest.Case/${filter}" >"$out" 2>&1 || status=$?

if ! grep -q '^FAULT-MATRIX|' "$out"; then
    cat "$out"
    echo "fault-matrix: no case ran (exit $status)" >&2
    exit "${status:-1}"
fi

# One block per case: the matrix columns are too wide for one table row.
awk -F'|' '
/^FAULT-MATRIX\|/ {
    n++
    printf "%-3d %-18s %-30s %s  [%s]\n", n, $3, $4, $5, $2
    printf "    expected: %s\n", $6
    if ($7 != $6) printf "    observed: %s\n", $7
    else printf "    observed: (as expected)\n"
    printf "    verdict:  %s\n", $8
    total++; if ($8 == "ok") ok++
}
END { printf "\n%d of %d cases as documented\n", ok, total }
' "$out"

if [ "$show_calls" = 1 ]; then
    echo
    echo "injected calls:"
    # The call itself may hold "|" (flag sets), so split only twice.
    grep '^FAULT-CALL|' "$out" | awk '{
        sub(/^FAULT-CALL\|/, ""); id = substr($0, 1, index($0, "|") - 1)
        printf "  %-28s %s\n", id, substr($0, index($0, "|") + 1) }'
fi

if [ "$status" -ne 0 ]; then
    echo
    echo "failures:"
    grep -E '^\[  FAILED  \]|Failure$' "$out" | sort -u || true
fi
exit "$status"
