#!/usr/bin/perl
# The include rules of the tree: a file includes only headers of its own
# folder and of the folders below it,
#
#   common < process < node < mainpanel | outdoor < daemon
#
# (mainpanel and outdoor never include each other), and no header includes
# itself through others. The reference client sits above the daemon's
# folders but is no daemon code: it never includes daemon/. It is made of
# rooms, each a folder of client/, in the same kind of order,
#
#   client/control < client/probe < client/module < client/owner < client/
#
# where client/ is the top folder itself (the command line and the
# dispatch), which may include every room. A folder of client/ that is not
# one of these rooms is a breach until it is given its place here. Prints
# each breach and exits 1 when there is one.
use strict;
use warnings;

my %rank = (common => 0, process => 1, node => 2, mainpanel => 3, outdoor => 3, daemon => 4,
            'client/control' => 5, 'client/probe' => 6, 'client/module' => 7, 'client/owner' => 8,
            client => 9);
# What a folder never includes, whatever the ranks say.
my %barred = map { $_ => {daemon => 1} } grep { m{^client} } keys %rank;
my @files = @ARGV;
my %includes;    # file -> [included project headers]
my $bad = 0;

# The folder a path belongs to: a room of the client (client/NAME, known or
# not), the client's top folder, or the path's top folder.
sub folder_of {
    my ($path) = @_;
    my ($top) = $path =~ m{^([^/]+)/} or return;
    return $top unless $top eq 'client';
    my ($room) = $path =~ m{^client/([^/]+)/};
    return defined $room ? "client/$room" : 'client';
}

sub unknown_room {
    my ($folder) = @_;
    return $folder =~ m{^client/} && !exists $rank{$folder};
}

for my $file (@files) {
    my $folder = folder_of($file) // next;
    if (unknown_room($folder)) {
        print "$file: $folder is not a room the layers know (give it its place in scripts/check-layers.pl)\n";
        $bad = 1;
        next;
    }
    next unless exists $rank{$folder};
    open my $in, '<', $file or die "$file: $!\n";
    while (my $line = <$in>) {
        next unless $line =~ /^\s*#\s*include\s+"([^"]+)"/;
        my $header = $1;
        my $to = folder_of($header) // next;
        push @{$includes{$file}}, $header;
        if (unknown_room($to)) {
            print "$file:$.: includes $header ($to is not a room the layers know)\n";
            $bad = 1;
            next;
        }
        next unless exists $rank{$to};
        next if $to eq $folder;
        if ($barred{$folder}{$to}) {
            print "$file:$.: includes $header (the client is no daemon code: $folder may not include $to)\n";
            $bad = 1;
        } elsif ($rank{$to} >= $rank{$folder}) {
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
