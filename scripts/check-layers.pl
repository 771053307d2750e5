#!/usr/bin/perl
# The include rules of the tree: a file includes only headers of its own
# folder and of the folders below it,
#
#   common < process < node < mainpanel | outdoor < daemon
#
# (mainpanel and outdoor never include each other), the reference client
# may include any of them but daemon/, and no header includes itself
# through others. Prints each breach and exits 1 when there is one.
use strict;
use warnings;

my %rank = (common => 0, process => 1, node => 2, mainpanel => 3, outdoor => 3, daemon => 4,
            client => 5);
my @files = @ARGV;
my %includes;    # file -> [included project headers]
my $bad = 0;

for my $file (@files) {
    my ($folder) = $file =~ m{^([^/]+)/} or next;
    next unless exists $rank{$folder};
    open my $in, '<', $file or die "$file: $!\n";
    while (my $line = <$in>) {
        next unless $line =~ /^\s*#\s*include\s+"([^"]+)"/;
        my $header = $1;
        my ($to) = $header =~ m{^([^/]+)/} or next;
        push @{$includes{$file}}, $header;
        next unless exists $rank{$to};
        next if $to eq $folder;
        if ($rank{$to} >= $rank{$folder}) {
            my $how = $rank{$to} == $rank{$folder} ? 'sideways' : 'upward';
            print "$file:$.: includes $header ($how: $folder may not include $to)\n";
            $bad = 1;
        }
    }
    close $in;
}

# Cycles among the project's headers.
my %state;    # 1 visiting, 2 done
sub visit {
    my ($file, @path) = @_;
    return if ($state{$file} // 0) == 2;
    if (($state{$file} // 0) == 1) {
        print "include cycle: ", join(' -> ', @path, $file), "\n";
        $bad = 1;
        return;
    }
    $state{$file} = 1;
    visit($_, @path, $file) for grep { -f $_ } @{$includes{$file} // []};
    $state{$file} = 2;
}
visit($_) for grep { /\.h$/ } @files;

exit $bad;
