#!/usr/bin/env bash
# Mutation run: each mutant of the catalogue (scripts/mutants.txt) is one
# small deliberate fault in the daemon's code. It is applied to a scratch
# copy of the tree, built, and run against the host suite; a mutant that the
# suite lets pass "survives". Prints one line per mutant, then the score and
# the survivors. Not part of CI: a full run takes about an hour.
#
#   scripts/mutate.sh                 every mutant
#   scripts/mutate.sh --check         only check that every mutant applies
#   scripts/mutate.sh --only ID,...   the named mutants
#   scripts/mutate.sh --list          the catalogue's ids and what they break
#
# The scratch copy lives in build-mutate/ (kept between runs so that each
# mutant rebuilds only what it touched). The host suite runs without the
# benchmark's smoke run, which checks no behaviour, and without the tests on
# real kernels (their own preset); it stops at the first
# failing test. Needs root for the sandbox tests, like scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
top="$PWD"
catalogue="$top/scripts/mutants.txt"
scratch="$top/build-mutate"

mode=run
only=""
while [ $# -gt 0 ]; do
    case "$1" in
        --check) mode=check ;;
        --list) mode=list ;;
        --only) only="$2"; shift ;;
        *) echo "usage: $0 [--check | --list | --only ID,...]" >&2; exit 2 ;;
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
trap 'rm -rf "$mutants_dir"' EXIT
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

bash scripts/deps.sh strace
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
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTARIS_BENCH=OFF >/dev/null
run_suite() {
    (cd "$scratch/build" && ctest -j2 --stop-on-failure -E '^bench' -LE kernel >"$scratch/last-ctest.log" 2>&1)
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
echo "mutate: the unmutated suite first"
ninja -C "$scratch/build" >/dev/null
if ! run_suite; then
    echo "mutate: the suite fails without any mutant; see $scratch/last-ctest.log" >&2
    exit 1
fi

killed=0; survived=0; stillborn=0
survivors=()
for id in $ids; do
    file=$(cat "$mutants_dir/$id/file")
    echo "$file" >"$scratch/applied"
    apply_mutant "$mutants_dir/$id" "$scratch/src"
    start=$(date +%s)
    if ! ninja -C "$scratch/build" >"$scratch/last-build.log" 2>&1; then
        verdict="no build"; stillborn=$((stillborn + 1))
    elif run_suite; then
        verdict="SURVIVED"; survived=$((survived + 1)); survivors+=("$id")
    else
        verdict="killed by $(first_failure)"
        killed=$((killed + 1))
    fi
    printf '%-34s %4ss  %s\n' "$id" "$(( $(date +%s) - start ))" "$verdict"
    # A plain copy: its new time stamp makes the next build redo the file.
    cp "$scratch/pristine/$file" "$scratch/src/$file"
    rm -f "$scratch/applied"
done
# Leave the scratch build matching the tree.
ninja -C "$scratch/build" >/dev/null 2>&1 || true

scored=$((killed + survived))
echo
echo "mutate: $killed of $scored mutants killed ($(( scored > 0 ? 100 * killed / scored : 0 ))%), $stillborn did not build"
if [ ${#survivors[@]} -gt 0 ]; then
    echo "survivors:"
    for id in "${survivors[@]}"; do printf '  %-34s %s\n' "$id" "$(cat "$mutants_dir/$id/why")"; done
fi
