#!/usr/bin/perl
# The tests that could notice each mutant of scripts/mutate.sh, read from
# the coverage map of the unmutated tree.
#
#   mutate-select.pl TREE COVERAGE TABLE MUTANT_DIR...
#
# TREE is the unmutated tree; COVERAGE holds the map: "lines" (every line
# that holds code, as file:line), "names" (the tests, one a line) and
# hits/N (the lines the test on line N of names executed). TABLE is the
# table of the build the mutants run in (a test a line: name, directory,
# time limit, milliseconds it took, command; its line numbers name the
# tests). Into each mutant's directory (as mutate.sh's parse_catalogue
# writes it) go
#   lines    the mutated lines: those the search text spans in the file
#   how      what the selection rests on
#   run      the selected tests as TABLE line numbers, fastest first
#   targets  the build targets those tests need
# A mutated line that holds code selects the tests that executed it. When
# none of them holds code (a constant of an enum, a row of a table), the
# tests that executed any line naming what the text defines stand in: the
# name it gives a value, or else every name it uses and the table it is a
# row of.
use strict;
use warnings;

my ($tree, $cov, $table, @mutants) = @ARGV;

sub slurp {
    my ($path) = @_;
    open my $in, '<', $path or die "$path: $!\n";
    local $/;
    my $text = <$in>;
    close $in;
    return $text;
}

my %code = map { $_ => 1 } split /\n/, slurp("$cov/lines");
my @names = split /\n/, slurp("$cov/names");
my %tested;    # file:line -> indexes of the tests that executed it
for my $i (0 .. $#names) {
    push @{$tested{$_}}, $i for split /\n/, slurp("$cov/hits/" . ($i + 1));
}

# The table of the mutants' build: line numbers, times and executables.
my (%row, %ms, %exe);
my $n = 0;
for my $line (split /\n/, slurp($table)) {
    my ($name, undef, undef, $ms, $command) = split /\t/, $line;
    $n++;
    $row{$name} = $n;
    $ms{$name} = $ms;
    ($exe{$name}) = $command =~ m{([^/]+)$};
}

# The files with code, line by line, for the search by identifier.
my %source;
for my $key (keys %code) {
    my ($file) = $key =~ /^(.*):\d+$/;
    $source{$file} //= [split /\n/, slurp("$tree/$file"), -1];
}

# Words that name nothing a mutant could change.
my %common = map { $_ => 1 } qw(
    alignas alignof auto bool break case catch char class const constexpr continue
    default delete do double else enum explicit extern false float for friend goto if
    inline int long namespace new noexcept nullptr operator private protected public
    return short signed sizeof static static_assert struct switch template this throw
    true try typedef typename union unsigned using void volatile while
    size_t ssize_t int8_t int16_t int32_t int64_t uint8_t uint16_t uint32_t uint64_t
    mode_t pid_t uid_t gid_t off_t time_t std errno);

# The text without its string literals and comments.
sub strip {
    my ($text) = @_;
    $text =~ s{"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*'|//.*}{}g;
    return $text;
}

# The identifiers a text names, but for keywords and common types.
sub names {
    my %seen;
    return grep { !$common{$_} && !$seen{$_}++ } strip($_[0]) =~ /\b([A-Za-z_]\w*)\b/g;
}

my %kinds;
for my $dir (@mutants) {
    my ($file, $search) = (slurp("$dir/file"), slurp("$dir/search"));
    my $text = slurp("$tree/$file");
    my $at = index($text, $search);
    die "$dir: search text not in $file\n" if $at < 0;
    my $first = 1 + (substr($text, 0, $at) =~ tr/\n//);
    my $last = $first + ($search =~ tr/\n//);
    my @lines = grep { $code{"$file:$_"} } $first .. $last;
    my %hit;
    my $how;
    if (@lines) {
        $hit{$_} = 1 for map { @{$tested{"$file:$_"} // []} } @lines;
        $how = "lines $first-$last";
        $kinds{%hit ? 'by their lines' : 'reached by no test'}++;
    } else {
        my @words = names($search);
        # A name given a value there (a constant, an enum's member) stands
        # for the line; otherwise every name the text uses, and the table or
        # list the text is a row of.
        my @defined = grep { !$common{$_} } strip($search) =~ /\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\])?\s*=(?!=)/g;
        if (@defined) {
            @words = @defined;
        } else {
            my @above = split /\n/, substr($text, 0, $at);
            for my $line (reverse @above[-30 .. -1]) {
                next unless defined $line && $line =~ /\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\])?\s*=\s*\{\s*$/;
                push @words, $1;
                last;
            }
        }
        if (@words) {
            my $pattern = join '|', map { quotemeta } @words;
            for my $other (sort keys %source) {
                my $lines = $source{$other};
                for my $i (0 .. $#$lines) {
                    next unless $lines->[$i] =~ /\b(?:$pattern)\b/;
                    $hit{$_} = 1 for @{$tested{"$other:" . ($i + 1)} // []};
                }
            }
        }
        $how = @words ? "uses of @words" : "no code, no names";
        $kinds{%hit ? 'by the uses of their names' : 'reached by no test'}++;
    }
    my @run = sort { $ms{$a} <=> $ms{$b} || $a cmp $b } grep { $row{$_} } map { $names[$_] } keys %hit;
    my %targets = map { $exe{$_} => 1 } @run;
    for (["lines", "$first-$last\n"], ["how", "$how\n"],
         ["run", join('', map { "$row{$_}\n" } @run)],
         ["targets", join('', map { "$_\n" } sort keys %targets)]) {
        open my $out, '>', "$dir/$_->[0]" or die "$dir/$_->[0]: $!\n";
        print $out $_->[1];
        close $out;
    }
}
print join(', ', map { "$kinds{$_} $_" } sort keys %kinds), "\n";
