#!/usr/bin/perl
# The module's sepolicy.rule as a root manager applies it, in CIL, for a
# policy whose root domain is DOMAIN:
#
#   manager-rules.pl RULEFILE OUTDIR DOMAIN CIL...
#
# The managers apply the file line by line and skip a line that names a
# type their policy does not know; the other lines still apply. The types
# the policy knows are those the CIL files declare, and DOMAIN. Writes
#   OUTDIR/DOMAIN.cil            the root domain: (type DOMAIN) and its rights
#   OUTDIR/DOMAIN-with.cil       every line that applies
#   OUTDIR/DOMAIN-without-N.cil  the same without line N, for each of them
# and appends to OUTDIR/manager-runs one line "NAME DOMAIN SS SA" per
# policy: whether system_server and system_app are to connect to DOMAIN's
# socket under it (allowed or denied). With every line both must connect,
# whatever the lines say; without a line, as the remaining lines grant.
# OUTDIR/manager.txt says what each policy holds.
use strict;
use warnings;

my ($rulefile, $out, $domain, @cil) = @ARGV;
die "usage: manager-rules.pl RULEFILE OUTDIR DOMAIN CIL...\n" unless @cil;

my %known = ($domain => 1);
for my $f (@cil) {
    open(my $in, '<', $f) or die "manager-rules.pl: $f: $!\n";
    while (<$in>) {
        s/;.*//;
        $known{$1} = 1 while /\((?:type|typeattribute) ([A-Za-z0-9_]+)\)/g;
    }
    close $in;
}

# One statement: allow SOURCE TARGET CLASS PERMISSION, each a name or a
# set "{ a b }". Whatever else a manager understands is not modelled here:
# a line of another kind ends the preparation rather than pass unchecked.
sub parse {
    my ($text, $at) = @_;
    my @tok = split ' ', ($text =~ s/([{}])/ $1 /gr);
    my $kind = shift @tok;
    die "manager-rules.pl: sepolicy.rule line $at: only allow lines are modelled: $text\n"
        unless defined $kind && $kind eq 'allow';
    my @fields;
    while (@tok) {
        my $t = shift @tok;
        if ($t eq '{') {
            my @set;
            push @set, shift @tok while @tok && $tok[0] ne '}';
            die "manager-rules.pl: sepolicy.rule line $at: unclosed set\n" unless @tok && @set;
            shift @tok;
            push @fields, \@set;
        } else {
            push @fields, [$t];
        }
    }
    die "manager-rules.pl: sepolicy.rule line $at: not SOURCE TARGET CLASS PERMISSION: $text\n"
        unless @fields == 4;
    return {at => $at, text => $text, src => $fields[0], tgt => $fields[1],
            class => $fields[2], perm => $fields[3]};
}

sub cil {
    my ($r) = @_;
    my $s = "; sepolicy.rule line $r->{at}: $r->{text}\n";
    for my $src (@{$r->{src}}) {
        for my $tgt (@{$r->{tgt}}) {
            $s .= "(allow $src $tgt ($_ (@{$r->{perm}})))\n" for @{$r->{class}};
        }
    }
    return $s;
}

sub grants {
    my ($client, @rules) = @_;
    for my $r (@rules) {
        return 'allowed' if (grep { $_ eq $client } @{$r->{src}}) && (grep { $_ eq $domain } @{$r->{tgt}})
            && (grep { $_ eq 'unix_stream_socket' } @{$r->{class}})
            && (grep { $_ eq 'connectto' } @{$r->{perm}});
    }
    return 'denied';
}

sub write_file {
    my ($name, $text) = @_;
    open(my $f, '>', "$out/$name") or die "manager-rules.pl: $out/$name: $!\n";
    print $f $text;
    close $f;
}

open(my $in, '<', $rulefile) or die "manager-rules.pl: $rulefile: $!\n";
my (@apply, @skipped);
while (my $line = <$in>) {
    chomp $line;
    $line =~ s/^\s+|\s+$//g;
    next if $line eq '' || $line =~ /^#/;
    my $r = parse($line, $.);
    my @unknown = grep { !$known{$_} } (@{$r->{src}}, @{$r->{tgt}});
    if (@unknown) {
        push @skipped, "$. (@unknown)";
    } else {
        push @apply, $r;
    }
}
close $in;

write_file("$domain.cil", "(type $domain)\n(call root_domain_of ($domain))\n");
write_file("$domain-with.cil", join('', map { cil($_) } @apply));
open(my $runs, '>>', "$out/manager-runs") or die "manager-rules.pl: $out/manager-runs: $!\n";
open(my $text, '>>', "$out/manager.txt") or die "manager-rules.pl: $out/manager.txt: $!\n";
print $runs "$domain-with $domain allowed allowed\n";
print $text "$domain-with: root in $domain, sepolicy.rule lines applied: "
    . (@apply ? join(' ', map { $_->{at} } @apply) : 'none')
    . "; skipped, naming a type this policy lacks: " . (@skipped ? join(', ', @skipped) : 'none') . "\n";
for my $r (@apply) {
    my @rest = grep { $_ != $r } @apply;
    my $name = "$domain-without-$r->{at}";
    write_file("$name.cil", join('', map { cil($_) } @rest));
    print $runs "$name $domain " . grants('system_server', @rest) . ' ' . grants('system_app', @rest) . "\n";
    print $text "$name: root in $domain, sepolicy.rule line $r->{at} left out: $r->{text}\n";
}
close $runs;
close $text;
print scalar(@apply), "\n";
