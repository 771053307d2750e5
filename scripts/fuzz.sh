#!/usr/bin/env bash
# Builds the libFuzzer binaries (clang, ASan + UBSan, preset "fuzz" in
# build-fuzz/) and runs each target for the given number of seconds.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS defaults to 60 per target; TARGET names (e.g. node_path) restrict
# the run, by default every target runs one after the other. Each target
# starts from its seeds in fuzz/corpus/<target>/ and its reproducers in
# fuzz/crashes/<target>/; new corpus entries and any crash files go to
# build-fuzz/fuzz-work/<target>/, never into the repository. A crash makes
# the script exit 1 once every target has run: keep the reproducer in
# fuzz/crashes/<target>/ together with the fix, so the ordinary ctest run
# replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

duration="${1:-60}"
shift || true
if ! [[ "$duration" =~ ^[0-9]+$ ]] || [ "$duration" -lt 1 ]; then
    echo "usage: $0 [SECONDS] [TARGET...]" >&2
    exit 2
fi

# Input sizes beyond what the daemon ever reads only slow the search down:
# the lease targets take one or two selector bytes before the text.
declare -A max_len=(
    [main_panel_lease]=161
    [outdoor_lease]=160
    [permission_record]=1199
    [sysfs_value]=31
    [control_request]=239
    [boot_identity]=39
    [node_path]=511
    [mount_table]=4096
    [scan]=256
)
all_targets=(main_panel_lease outdoor_lease permission_record sysfs_value control_request
             boot_identity node_path mount_table scan)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi
for t in "${targets[@]}"; do
    if [ -z "${max_len[$t]:-}" ]; then
        echo "fuzz: unknown target '$t' (known: ${all_targets[*]})" >&2
        exit 2
    fi
done

# clang and its runtime libraries (libFuzzer, the sanitizers) come from
# Debian 12's packages; the rest of the build needs what deps.sh installs.
bash scripts/deps.sh clang libclang-rt-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work="build-fuzz/fuzz-work"
summary=()
crashed=0
for t in "${targets[@]}"; do
    dir="$work/$t"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    log="$dir/fuzz.log"
    echo "fuzz: $t for ${duration}s (log: $log)"
    status=0
    # The scratch corpus comes first: libFuzzer writes new entries only to
    # the first folder and reads the repository's seeds from the others.
    "build-fuzz/bin/fuzz_$t" \
        -max_total_time="$duration" \
        -max_len="${max_len[$t]}" \
        -timeout=10 \
        -rss_limit_mb=2048 \
        -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/" \
        "$dir/corpus" "fuzz/corpus/$t" "fuzz/crashes/$t" \
        </dev/null >"$log" 2>&1 || status=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
    corpus=$(find "$dir/corpus" -type f | wc -l)
    crashes=$(find "$dir/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' \
        -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        crashed=1
        echo "fuzz: $t FAILED (exit $status); reproducers in $dir/artifacts/:" >&2
        find "$dir/artifacts" -type f | sed 's/^/  /' >&2
        grep -m 5 -E 'ERROR|invariant violated|runtime error' "$log" | sed 's/^/  /' >&2 || true
    fi
    summary+=("$(printf '%-18s execs=%-10s exec/s=%-7s cov=%-5s ft=%-6s corpus=%-6s crashes=%s' \
        "$t" "${execs:-?}" "${speed:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$crashes")")
done

echo
echo "fuzz summary (${duration}s per target):"
printf '  %s\n' "${summary[@]}"
exit "$crashed"
