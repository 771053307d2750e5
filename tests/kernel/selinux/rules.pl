#!/usr/bin/perl
# Writes one copy of the policy fragment per permission of each rule, with
# that one permission left out (a rule whose last permission goes is left
# out whole; a type transition is left out whole), for the SELinux
# scenario's rule check:
#
#   rules.pl FRAGMENT OUTDIR
#
# OUTDIR/rule-N.cil is the fragment without it; OUTDIR/rules lists
# "rule-N SOURCE TARGET CLASS PERMISSION" for each (SOURCE "-" for a type
# transition) and OUTDIR/rules.txt "rule-N: RULE without PERMISSION".
# A rule whose comment says "[not exercised: WHY]" is not left out; it is
# listed in OUTDIR/kept.txt with the reason.
use strict;
use warnings;

my ($fragment, $out) = @ARGV;
die "usage: rules.pl FRAGMENT OUTDIR\n" unless defined $out;
open(my $in, '<', $fragment) or die "rules.pl: $fragment: $!\n";
my @lines = <$in>;
close $in;

open(my $list, '>', "$out/rules") or die "rules.pl: $out/rules: $!\n";
open(my $text, '>', "$out/rules.txt") or die "rules.pl: $out/rules.txt: $!\n";
open(my $kept, '>', "$out/kept.txt") or die "rules.pl: $out/kept.txt: $!\n";
my $n = 0;

sub variant {
    my ($at, $replacement, $fields, $what) = @_;
    $n++;
    my @copy = @lines;
    $copy[$at] = $replacement;
    open(my $f, '>', "$out/rule-$n.cil") or die "rules.pl: rule-$n.cil: $!\n";
    print $f @copy;
    close $f;
    print $list "rule-$n $fields\n";
    print $text "rule-$n: $what\n";
}

for my $i (0 .. $#lines) {
    my $line = $lines[$i];
    (my $rule = $line) =~ s/\s*;.*//s;
    chomp $rule;
    if ($line =~ /\[not exercised: ([^\]]*)\]/) {
        print $kept "$rule: $1\n";
        next;
    }
    if ($rule =~ /^\s*\((allow|dontaudit) (\S+) (\S+) \((\S+) \(([^()]*)\)\)\)\s*$/) {
        my ($kind, $src, $tgt, $class, $perms) = ($1, $2, $3, $4, $5);
        my @perms = split ' ', $perms;
        for my $p (@perms) {
            my @rest = grep { $_ ne $p } @perms;
            my $new = @rest ? "($kind $src $tgt ($class (@rest)))\n" : "\n";
            variant($i, $new, "$src $tgt $class $p", "$rule without $p");
        }
    } elsif ($rule =~ /^\s*\(typetransition /) {
        variant($i, "\n", "- - - -", "$rule");
    } elsif ($rule =~ /^\s*\((allow|dontaudit|auditallow|neverallow|allowx) /) {
        die "rules.pl: line " . ($i + 1) . " is not one rule of one class: $rule\n";
    }
}
close $list;
close $text;
close $kept;
print "$n\n";
