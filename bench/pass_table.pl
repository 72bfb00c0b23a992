#!/usr/bin/perl
# A pass_persist script as operators write them, for serve_bench: snmpd keeps
# it running and asks it for each get and get-next under its subtree BASE.
# It serves a table BASE.1.C.R of three columns C and ROWS rows R (INTEGER
# R * 10 + C), all from memory.
#   pass_table.pl BASE ROWS
use strict;
use warnings;

my ($base, $rows) = @ARGV;
$| = 1;

# The object after column $c, row $r, or none.
sub after {
    my ($c, $r) = @_;
    return ($c, $r + 1) if $c >= 1 && $r < $rows;
    return ($c + 1, 1) if $c < 3;
    return ();
}

sub answer {
    my ($c, $r) = @_;
    print "$base.1.$c.$r\ninteger\n", $r * 10 + $c, "\n";
}

while (my $command = <STDIN>) {
    chomp $command;
    if ($command eq 'PING') { print "PONG\n"; next; }
    my $oid = <STDIN>;
    last unless defined $oid;
    chomp $oid;
    if ($command eq 'set') { <STDIN>; print "not-writable\n"; next; }
    my @ids = ();
    if ($oid ne $base && index($oid, "$base.") == 0) {
        @ids = split /\./, substr($oid, length($base) + 1);
    }
    if ($command eq 'get') {
        if (@ids == 3 && $ids[0] == 1 && $ids[1] >= 1 && $ids[1] <= 3 && $ids[2] >= 1 && $ids[2] <= $rows) {
            answer($ids[1], $ids[2]);
        } else {
            print "NONE\n";
        }
        next;
    }
    # getnext: names before the table start at its first object.
    my ($c, $r) = (0, 0);
    if (@ids && $ids[0] > 1) { print "NONE\n"; next; }
    if (@ids >= 2 && $ids[0] == 1) { ($c, $r) = ($ids[1], $ids[2] // 0); }
    my @next = $c < 1 ? (1, 1) : after($c, $r);
    if (@next) { answer(@next); } else { print "NONE\n"; }
}
