#!/usr/bin/env bash
# Mutation run: each mutant of the catalogue (scripts/mutants.txt) is one
# small deliberate fault in the daemon's code. It is applied to a scratch
# copy of the tree, built, and run against the host suite; a mutant that no
# test fails "survives". Prints a line per mutant (its id, its time, the
# number of tests chosen for it, the verdict: killed by a test, SURVIVED,
# unbuildable, not applied) and the progress, then the score, the run's time
# and the survivors (kept in build-mutate/last-score.txt). Not part of CI:
# on the project's 2-core machine the whole catalogue took 20 minutes (153
# mutants, a load of 1 from other work); 124 mutants took 21 minutes from
# nothing (no build-mutate/) at a load of 3, and 25 at a load of 6 (12 at
# the highest).
#
#   scripts/mutate.sh                   every mutant
#   scripts/mutate.sh --check           only check that every mutant applies
#   scripts/mutate.sh --only ID,...     the named mutants
#   scripts/mutate.sh --list            the catalogue's ids and what they break
#   scripts/mutate.sh --fresh-coverage  record the coverage map anew even
#                                       though the tree has not changed
#
# Which tests run. First a copy of the unmutated tree built with clang's
# source-based coverage runs every test of the host suite alone. Every
# process a test starts (the daemons in the sandbox, the client run as
# another user) writes its own profile, in continuous mode, so that a daemon
# killed with SIGKILL leaves its counts too. That maps each source line to
# the tests that executed it. A mutant then runs the tests that executed the
# lines its search text spans, fastest first, up to the first failure. Where
# none of those lines holds code (a constant of an enum, a row of a table),
# the tests that executed a line naming what the text defines stand in
# (scripts/mutate-select.pl). A mutant that no chosen test fails, or that no
# test reaches, runs once more against the whole host suite before it is
# called a survivor: what the choice misses costs time, never a verdict.
# The choice misses a test that notices a fault without executing its
# lines (a constant read under another name, a fault that shows only in
# what other code does later) and the lines of a process whose profile is
# lost: one that cannot write below /tmp, or one of a test that failed in
# the coverage run (the run names those).
#
# The map is kept in build-mutate/coverage and serves again while the tree
# has not changed (a hash of its files' contents, uncommitted changes
# included; the catalogue and the documentation do not count).
#
# Each test runs as CTest would run it (its directory, its time limit), but
# for at most 60 s plus ten times what it took in the coverage run: a mutant
# that makes a test ten times slower is "killed by ... (time limit)". Tests
# run with CI=true, so that a sandbox that cannot be built fails rather than
# skips. Left out, as from every mutant's run before: the benchmark's smoke
# run, which checks no behaviour (its gated counts, such as the owner's
# keeper's syncs, are judged by hand); the tests on real kernels (their own
# preset); the device package's tests, which run the package's arm64
# binaries, none of the mutant's (they skipped: the scratch copy has no
# package), and the check of the managers' busybox, which the scratch copy
# does not build. A mutant that does not build is "unbuildable" and not scored.
# Needs root for the sandbox tests, like scripts/test.sh.
#
# Builds. The scratch copy lives in build-mutate/ (kept between runs). Each
# mutant rebuilds only what it touched, and only the binaries its chosen
# tests need, through ccache (its cache in build-mutate/ccache), so that
# undoing a mutant costs no second compilation. Mutants of one file run one
# after another. The build is the default one without debug information,
# and with the test side made cheap to compile (scripts/mutate-scratch.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
top="$PWD"
catalogue="$top/scripts/mutants.txt"
scratch="$top/build-mutate"

mode=run
only=""
fresh=0
while [ $# -gt 0 ]; do
    case "$1" in
        --check) mode=check ;;
        --list) mode=list ;;
        --only) only="$2"; shift ;;
        --fresh-coverage) fresh=1 ;;
        *) echo "usage: $0 [--check | --list | --only ID,... | --fresh-coverage]" >&2; exit 2 ;;
    esac
    shift
done

# Splits the catalogue into one directory per mutant: id, file, why,
# search, replace.
parse_catalogue() {
    rm -rf "$1" && mkdir -p "$1"
    perl -e '
        my ($out, $path) = @ARGV;
        open my $in, "<", $path or die "$path: $!\n";
        my %m; my $part = ""; my $n = 0;
        sub flush {
            my ($m, $out) = @_;
            for my $k (qw(id file why search replace)) {
                die "mutant $m->{id}: no $k\n" unless defined $m->{$k} && ($k eq "replace" || length $m->{$k});
            }
            my $d = "$out/$m->{id}";
            die "mutant $m->{id}: id used twice\n" if -e $d;
            mkdir $d or die "$d: $!\n";
            for my $k (qw(id file why search replace)) {
                open my $f, ">", "$d/$k" or die; print $f $m->{$k}; close $f;
            }
        }
        while (my $line = <$in>) {
            if ($part eq "" && $line =~ /^\s*(#|$)/) { next; }
            if ($part eq "" && $line =~ /^@ (id|file|why): (.*)$/) { $m{$1} = $2; next; }
            if ($line eq "---\n") { $part = "search"; $m{search} = ""; next; }
            if ($line eq "+++\n") { $part = "replace"; $m{replace} = ""; next; }
            if ($line eq "===\n") {
                # The last line break belongs to the block, not to the text,
                # so a text may end inside a line.
                chomp $m{search}; chomp $m{replace};
                flush(\%m, $out); %m = (); $part = ""; $n++; next;
            }
            if ($part ne "") { $m{$part} .= $line; next; }
            die "catalogue line $.: unexpected: $line";
        }
        die "catalogue ends inside a mutant\n" if $part ne "";
        print "$n\n";
    ' "$1" "$catalogue"
}

# Applies mutant directory $1 to tree $2: the search text must occur
# exactly once in the file.
apply_mutant() {
    MUTANT="$1" perl -0777 -i -pe '
        BEGIN { local $/; for my $k (qw(search replace)) {
            open my $f, "<", "$ENV{MUTANT}/$k" or die; $m{$k} = <$f>; close $f; } }
        my $count = () = /\Q$m{search}\E/g;
        die "search text found $count times\n" unless $count == 1;
        s/\Q$m{search}\E/$m{replace}/;
    ' "$2/$(cat "$1/file")"
}

mutants_dir="$(mktemp -d)"
sampler=""
trap 'rm -rf "$mutants_dir"; [ -z "$sampler" ] || kill "$sampler" 2>/dev/null' EXIT
total=$(parse_catalogue "$mutants_dir")
ids=$(ls "$mutants_dir")
if [ -n "$only" ]; then
    ids=$(echo "$only" | tr ',' '\n')
    for id in $ids; do [ -d "$mutants_dir/$id" ] || { echo "mutate: no mutant $id" >&2; exit 2; }; done
fi

if [ "$mode" = list ]; then
    for id in $ids; do printf '%-34s %-28s %s\n' "$id" "$(cat "$mutants_dir/$id/file")" "$(cat "$mutants_dir/$id/why")"; done
    exit 0
fi

# Every mutant must apply to the tree as it is, and change it.
check_dir="$(mktemp -d)"
failed=0
for id in $ids; do
    file=$(cat "$mutants_dir/$id/file")
    mkdir -p "$check_dir/$(dirname "$file")"
    if [ ! -f "$top/$file" ]; then
        echo "mutate: $id: no file $file" >&2; failed=1; continue
    fi
    cp "$top/$file" "$check_dir/$file"
    if ! apply_mutant "$mutants_dir/$id" "$check_dir" 2>/dev/null; then
        echo "mutate: $id: does not apply to $file ($(apply_mutant "$mutants_dir/$id" "$check_dir" 2>&1 | head -1))" >&2
        failed=1
    elif cmp -s "$top/$file" "$check_dir/$file"; then
        echo "mutate: $id: changes nothing" >&2; failed=1
    fi
done
rm -rf "$check_dir"
[ "$failed" -eq 0 ] || exit 1
echo "mutate: $total mutants in the catalogue, all apply"
[ "$mode" = check ] && exit 0

run_start=${EPOCHREALTIME/./}
# The machine's load every 10 s, for the report: other builds slow the run.
mkdir -p "$scratch"
while sleep 10; do cut -d' ' -f1 /proc/loadavg; done >"$scratch/load" &
sampler=$!
# Seconds since the run started, and seconds as m:ss.
elapsed() { echo $(( (${EPOCHREALTIME/./} - run_start) / 1000000 )); }
mmss() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

bash scripts/deps.sh strace clang llvm ccache chromium fonts-dejavu-core
# The page test drives Debian's chromium with playwright-core, pinned in
# tests/page; with CI=true it fails rather than skips without them, and the
# scratch copy takes node_modules along.
command -v npm >/dev/null || bash scripts/deps.sh nodejs npm
[ -d tests/page/node_modules ] || npm ci --prefix tests/page --no-audit --no-fund --loglevel=error </dev/null
# The sloppiness lets ccache serve sources built with a precompiled header.
export CCACHE_DIR="$scratch/ccache" CCACHE_MAXSIZE=2G CCACHE_SLOPPINESS=pch_defines,time_macros
echo "mutate: scratch copy in $scratch"
rm -rf "$scratch/src" "$scratch/pristine" && mkdir -p "$scratch/src" "$scratch/pristine"
# tar keeps the time stamps, so an unchanged file is not rebuilt. Mutants
# are undone from a pristine copy, so the tree may change during a run.
tar -C "$top" --exclude=./.git --exclude='./build*' -cf - . | tee >(tar -C "$scratch/pristine" -xf -) |
    tar -C "$scratch/src" -xf -
# A run cut off inside a mutant left that mutant's objects behind, newer
# than the file's restored time stamp: make the file newer still.
if [ -s "$scratch/applied" ]; then
    touch "$scratch/src/$(cat "$scratch/applied")"
    rm -f "$scratch/applied"
fi

# The table of a build's tests: a line each, tab-separated: name,
# directory, time limit, milliseconds it took in the coverage run (0 when
# unknown), command. $2 (optional) is a coverage map whose times cap the
# limits.
test_table() {
    (cd "$1" && ctest --show-only=json-v1) | perl -MJSON::PP -e '
        my $cov = shift;
        my %ms;
        if ($cov) {
            open my $t, "<", "$cov/times" or die "$cov/times: $!\n";
            while (<$t>) { chomp; my ($name, $ms) = split /\t/; $ms{$name} = $ms; }
        }
        local $/;
        for my $test (@{decode_json(<STDIN>)->{tests}}) {
            my %p = map { $_->{name} => $_->{value} } @{$test->{properties} || []};
            next if grep { $_ eq "kernel" } @{$p{LABELS} || []};
            next if $test->{name} =~ m{^bench|(^|/)(PackageTest|ManagersBusyboxTest)\.};
            my $limit = $p{TIMEOUT} || 1500;    # CTest'"'"'s own default
            my $ms = $ms{$test->{name}} // 0;
            my $cap = 60 + int(10 * $ms / 1000);
            $limit = $cap if $cov && $ms && $cap < $limit;
            print join("\t", $test->{name}, $p{WORKING_DIRECTORY}, $limit, $ms, @{$test->{command}}), "\n";
        }
    ' "${2:-}"
}

# Runs the test on line $1 of the table $MUTATE_TABLE alone, as CTest would:
# in its directory, its process group killed at its time limit; and with
# CI=true. Its output goes to $MUTATE_LOGS/$1, its time in milliseconds to
# $MUTATE_LOGS/$1.ms. With $MUTATE_PROFILES set, every process it starts
# writes a coverage profile below it, and the lines the test executed go to
# $MUTATE_HITS/$1. A failure is added to $MUTATE_LOGS/failed; with
# $MUTATE_STOP set it also ends the run (status 255 stops xargs).
run_one() {
    local -a f
    local status=0 start=${EPOCHREALTIME/./} profiles="" env=(CI=true)
    IFS=$'\t' read -r -a f < <(sed -n "$1p" "$MUTATE_TABLE")
    if [ -n "${MUTATE_PROFILES:-}" ]; then
        profiles="$MUTATE_PROFILES/$1"
        # Written to by processes of every user the tests run.
        mkdir "$profiles" && chmod 1777 "$profiles"
        env+=("LLVM_PROFILE_FILE=$profiles/%c%p.profraw")
    fi
    (cd "${f[1]}" && exec env "${env[@]}" timeout -k 10 "${f[2]}" "${f[@]:4}") >"$MUTATE_LOGS/$1" 2>&1 ||
        status=$?
    echo $(( (${EPOCHREALTIME/./} - start) / 1000 )) >"$MUTATE_LOGS/$1.ms"
    [ -n "$profiles" ] && record_hits "$1" "$profiles"
    if [ "$status" -ne 0 ]; then
        case "$status" in
            124 | 137) echo "${f[0]} (time limit)" ;;
            *) echo "${f[0]}" ;;
        esac >>"$MUTATE_LOGS/failed"
        [ -z "${MUTATE_STOP:-}" ] || return 255
    fi
    return 0
}
# The lines the profiles below $2 executed, as file:line under the scratch
# copy, into $MUTATE_HITS/$1. The first test to get here also writes every
# line that holds code.
record_hits() {
    local all=""
    mkdir "$MUTATE_HITS/lines.taken" 2>/dev/null && all="$MUTATE_HITS/lines"
    if compgen -G "$2/*.profraw" >/dev/null &&
        llvm-profdata merge -sparse -o "$2.profdata" "$2"/*.profraw 2>>"$MUTATE_LOGS/$1"; then
        # shellcheck disable=SC2086 # one word an object
        llvm-cov export -format=lcov -instr-profile "$2.profdata" $MUTATE_OBJECTS 2>/dev/null |
            awk -v src="$MUTATE_SRC/" -v all="$all" '
                /^SF:/ { f = substr($0, 4); keep = index(f, src) == 1; f = substr(f, length(src) + 1); next }
                /^DA:/ && keep {
                    split(substr($0, 4), a, ",")
                    if (a[2] > 0) print f ":" a[1]
                    if (all != "") print f ":" a[1] > all
                }' | sort -u >"$MUTATE_HITS/$1"
    else
        echo "mutate: no coverage profile" >>"$MUTATE_LOGS/$1"
        : >"$MUTATE_HITS/$1"
        [ -z "$all" ] || rmdir "$MUTATE_HITS/lines.taken"
    fi
    rm -rf "$2" "$2.profdata"
}
export -f run_one record_hits

# Runs the tests on the lines of table $1 that file $2 lists, two at a
# time; with $3 = stop, up to the first failure. Logs in $scratch/tests/.
# Fails when a test failed; $scratch/tests/failed names them.
run_tests() {
    local stop=""
    [ "$3" = stop ] && stop=1
    rm -rf "$scratch/tests" && mkdir -p "$scratch/tests" && : >"$scratch/tests/failed"
    # shellcheck disable=SC2016 # expanded by the shell xargs starts
    MUTATE_TABLE="$1" MUTATE_LOGS="$scratch/tests" MUTATE_STOP="$stop" \
        xargs -r -P2 -n1 bash -c 'run_one "$1"' _ <"$2" 2>/dev/null || true
    [ ! -s "$scratch/tests/failed" ]
}

# The whole host suite through CTest, up to the first failure: the
# unmutated tree must pass it.
run_suite() {
    (cd "$scratch/build" && CI=true ctest -j2 --stop-on-failure -E '^bench|(^|/)(PackageTest|ManagersBusyboxTest)\.' -LE kernel \
        >"$scratch/last-ctest.log" 2>&1)
}
# The test that failed first, from CTest's progress lines. The summary's
# list would name a test that --stop-on-failure cut off beside it.
first_failure() {
    local name
    name=$(grep -m1 -E '\*\*\*(Failed|Timeout|Exception)' "$scratch/last-ctest.log" |
        sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/')
    [ -n "$name" ] || name=$(grep -m1 -oE '[0-9]+ - [^ ]+' "$scratch/last-ctest.log" | sed 's/^[0-9]* - //')
    echo "${name:-?}"
}

# The build the mutants run in: the default one without debug information
# (it only serves a debugger), the test side unoptimised.
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DCMAKE_PROJECT_INCLUDE="$scratch/src/scripts/mutate-scratch.cmake" -DVELTARIS_BENCH=OFF >/dev/null
echo "mutate: building the unmutated tree"
ninja -C "$scratch/build" >"$scratch/last-build.log" 2>&1 ||
    { echo "mutate: the unmutated tree does not build; see $scratch/last-build.log" >&2; exit 1; }
build_time=$(elapsed)

# The coverage map, keyed by the contents of the tree but for the catalogue,
# the documentation and what only reads the map or only serves the mutants'
# build, and by the compiler that records it.
coverage_start=$(elapsed)
key=$( (cd "$scratch/pristine" && find . -type f ! -name '*.md' ! -path ./scripts/mutants.txt \
        ! -path ./scripts/mutate-select.pl ! -path ./scripts/mutate-scratch.cmake -print0 |
        sort -z | xargs -0 sha256sum; clang++ --version) | sha256sum | cut -c1-32)
map="$scratch/coverage"
if [ "$fresh" -eq 0 ] && [ "$(cat "$map/key" 2>/dev/null)" = "$key" ]; then
    echo "mutate: the coverage map of this tree, recorded $(date -r "$map/key" '+%F %R'), serves again"
    coverage_how="reused"
else
    echo "mutate: recording the coverage map: every test alone on an instrumented build"
    # Continuous mode (%c in the profile's name) keeps the counts of a
    # process killed with SIGKILL; on Linux it needs the counters relocated
    # at run time.
    cmake -S "$scratch/src" -B "$scratch/cover" -G Ninja -DCMAKE_BUILD_TYPE=Coverage \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DCMAKE_CXX_FLAGS="-O0 -DNDEBUG -fprofile-instr-generate -fcoverage-mapping -mllvm -runtime-counter-relocation -Wno-unused-command-line-argument" \
        -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate -DVELTARIS_BENCH=OFF >/dev/null
    ninja -C "$scratch/cover" >"$scratch/last-build.log" 2>&1 ||
        { echo "mutate: the instrumented tree does not build; see $scratch/last-build.log" >&2; exit 1; }
    rm -rf "$map" "$map.new" && mkdir -p "$map.new/hits"
    test_table "$scratch/cover" >"$map.new/table"
    cut -f1 "$map.new/table" >"$map.new/names"
    # Below /tmp, which the sandbox shows and every user can reach.
    profiles=$(mktemp -d /tmp/mutate-profiles.XXXXXX)
    chmod 755 "$profiles"
    MUTATE_PROFILES="$profiles" MUTATE_HITS="$map.new/hits" MUTATE_SRC="$scratch/src" \
        MUTATE_OBJECTS="$(for b in "$scratch/cover/bin"/*; do printf ' -object %s' "$b"; done)" \
        run_tests "$map.new/table" <(seq "$(wc -l <"$map.new/table")") all || true
    rm -rf "$profiles"
    [ -s "$map.new/hits/lines" ] ||
        { echo "mutate: no test wrote a coverage profile; see $scratch/tests/" >&2; exit 1; }
    mv "$map.new/hits/lines" "$map.new/lines"
    rmdir "$map.new/hits/lines.taken"
    paste "$map.new/names" <(for i in $(seq "$(wc -l <"$map.new/names")"); do cat "$scratch/tests/$i.ms"; done) \
        >"$map.new/times"
    cp "$scratch/tests/failed" "$map.new/failed"
    echo "$key" >"$map.new/key"
    mv "$map.new" "$map"
    coverage_how="recorded"
fi
if [ -s "$map/failed" ]; then
    # Their lines count as far as they ran; what they did not reach costs
    # the whole suite's run at worst.
    echo "mutate: under coverage these tests failed (their lines count as far as they ran):"
    sed 's/^/  /' "$map/failed"
fi
coverage_time=$(( $(elapsed) - coverage_start ))

table="$scratch/table"
test_table "$scratch/build" "$map" >"$table"
dirs=()
for id in $ids; do dirs+=("$mutants_dir/$id"); done
echo "mutate: tests chosen for the mutants: $(perl "$scratch/src/scripts/mutate-select.pl" "$scratch/pristine" \
    "$map" "$table" "${dirs[@]}")"

unmutated_start=$(elapsed)
echo "mutate: the unmutated suite first"
if ! run_suite; then
    echo "mutate: the suite fails without any mutant ($(first_failure) first); see $scratch/last-ctest.log" >&2
    exit 1
fi
unmutated_time=$(( $(elapsed) - unmutated_start ))

# Mutants of one file one after another, so that a header is rebuilt for
# each of its mutants, not also for each undoing.
ids=$(for id in $ids; do echo "$(cat "$mutants_dir/$id/file") $id"; done | sort | cut -d' ' -f2)
count=$(echo "$ids" | wc -w)
killed=0; survived=0; stillborn=0; unapplied=0; whole=0; whole_killed=0; done_count=0
survivors=()
mutants_start=$(elapsed)
for id in $ids; do
    dir="$mutants_dir/$id"
    file=$(cat "$dir/file")
    start=$(elapsed)
    chosen=$(wc -l <"$dir/run")
    echo "$file" >"$scratch/applied"
    verdict=""
    if ! apply_mutant "$dir" "$scratch/src" 2>"$scratch/last-apply.log"; then
        verdict="not applied ($(head -1 "$scratch/last-apply.log"))"; unapplied=$((unapplied + 1))
    elif [ "$chosen" -gt 0 ]; then
        # shellcheck disable=SC2046 # one word a target
        if ! ninja -C "$scratch/build" $(cat "$dir/targets") >"$scratch/last-build.log" 2>&1; then
            verdict="unbuildable"; stillborn=$((stillborn + 1))
        elif ! run_tests "$table" "$dir/run" stop; then
            verdict="killed by $(head -1 "$scratch/tests/failed")"; killed=$((killed + 1))
        fi
    fi
    if [ -z "$verdict" ]; then
        # No chosen test failed, or none was chosen: the whole host suite
        # runs on the mutant once more before it is called a survivor (the
        # chosen tests again too: a timing-dependent one gets a second look).
        whole=$((whole + 1))
        if ! ninja -C "$scratch/build" >"$scratch/last-build.log" 2>&1; then
            verdict="unbuildable"; stillborn=$((stillborn + 1))
        elif run_tests "$table" <(awk -F'\t' '{ print $4 "\t" FNR }' "$table" | sort -n | cut -f2) stop; then
            verdict="SURVIVED"; survived=$((survived + 1)); survivors+=("$id")
        else
            verdict="killed by $(head -1 "$scratch/tests/failed") (not a chosen test)"
            killed=$((killed + 1)); whole_killed=$((whole_killed + 1))
        fi
    fi
    # A plain copy: its new time stamp makes the next build redo the file.
    cp "$scratch/pristine/$file" "$scratch/src/$file"
    rm -f "$scratch/applied"
    done_count=$((done_count + 1))
    now=$(elapsed)
    printf '%-34s %5ss %4d tests  %s\n' "$id" "$((now - start))" "$chosen" "$verdict"
    mean=$(( (now - mutants_start) / done_count ))
    printf '[%d/%d] elapsed %s, about %s left\n' "$done_count" "$count" "$(mmss "$now")" \
        "$(mmss $((mean * (count - done_count))))"
done
# Leave the scratch build matching the tree.
ninja -C "$scratch/build" >/dev/null 2>&1 || true

total_time=$(elapsed)
kill "$sampler" && sampler=""
scored=$((killed + survived))
{
    echo
    echo "mutate: $killed of $scored mutants killed ($(( scored > 0 ? 100 * killed / scored : 0 ))%)," \
        "$stillborn unbuildable, $unapplied not applied; $count of the catalogue's $total mutants ran"
    echo "mutate: $whole ran the whole suite again (no chosen test failed, or none was chosen);" \
        "it killed $whole_killed"
    echo "mutate: run time $(mmss "$total_time"): copy and build $(mmss "$build_time")," \
        "coverage map $(mmss "$coverage_time") ($coverage_how), unmutated suite $(mmss "$unmutated_time")," \
        "mutants $(mmss $((total_time - mutants_start)))"
    awk -v cores="$(nproc)" '{ s += $1; if ($1 > m) m = $1; n++ }
        END { if (n) printf "mutate: load average (1 min) during the run: mean %.1f, highest %.1f, on %d cores\n", s / n, m, cores }' \
        "$scratch/load"
    if [ ${#survivors[@]} -gt 0 ]; then
        echo "survivors:"
        for id in "${survivors[@]}"; do printf '  %-34s %s\n' "$id" "$(cat "$mutants_dir/$id/why")"; done
    fi
} | tee "$scratch/last-score.txt"
