#!/usr/bin/env bash
# Static analysis of the daemon sources: the include layers
# (scripts/check-layers.pl), clang-tidy (checks in .clang-tidy) and
# cppcheck, over common/ process/ node/ mainpanel/ outdoor/ daemon/ without
# the unit tests; the layers also over client/ and its rooms, tests
# included. Exits non-zero when any of them reports anything.
#
# clang-tidy reads the compile commands of build/ (scripts/build.sh makes
# them); when build/ has none yet, a compile-commands-only configuration is
# made in build-lint/ (without the tests, so it needs nothing but cmake).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh clang-tidy cppcheck

status=0

echo "lint: include layers"
if perl scripts/check-layers.pl $(git ls-files -- 'common/*' 'process/*' 'node/*' 'mainpanel/*' \
        'outdoor/*' 'daemon/*' 'client/*' | grep -E '\.(h|cpp)$'); then
    echo "lint: include layers hold"
else
    status=1
fi

mapfile -t sources < <(find common process node mainpanel outdoor daemon -maxdepth 1 -name '*.cpp' \
    ! -name '*_test.cpp' | sort)
if [ ${#sources[@]} -eq 0 ]; then
    echo "lint: no sources found" >&2
    exit 1
fi

db_dir="${LINT_BUILD_DIR:-build}"
if [ ! -f "$db_dir/compile_commands.json" ]; then
    db_dir="build-lint"
    cmake --preset lint >/dev/null
fi

echo "lint: clang-tidy on ${#sources[@]} files (compile commands from $db_dir)"
tidy_log="$(mktemp)"
trap 'rm -f "$tidy_log"' EXIT
if ! clang-tidy -p "$db_dir" --quiet "${sources[@]}" >"$tidy_log" 2>&1; then
    status=1
fi
# Print the findings themselves, not the counts of suppressed system-header
# warnings that clang-tidy adds to every run.
grep -vE '^[0-9]+ warnings? (generated|treated as errors?)\.?$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
    "$tidy_log" || true
if grep -qE '(warning|error):' "$tidy_log"; then
    status=1
fi
[ "$status" -eq 0 ] && echo "lint: clang-tidy clean"

echo "lint: cppcheck on ${#sources[@]} files"
# The compile definitions that change declarations are given here: the rest
# of the compile flags mean nothing to cppcheck. missingIncludeSystem is
# suppressed because cppcheck reads its own library models (std, posix) in
# place of the system headers.
if cppcheck --enable=warning,performance,portability --library=posix \
        --std=c++20 --language=c++ -I. -D_FILE_OFFSET_BITS=64 \
        --suppress=missingIncludeSystem --inline-suppr \
        --error-exitcode=1 --quiet "${sources[@]}"; then
    echo "lint: cppcheck clean"
else
    status=1
fi

exit "$status"
