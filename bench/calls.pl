#!/usr/bin/env perl
# Turns an strace log of one copy into the copy's calls: every read and lseek on the input and every
# write to standard output, from the opening of the input on (the loader's reads before it are not
# the program's).
#
#   perl bench/calls.pl INPUT STRACE-LOG BINARY-TRACE
#
# Writes BINARY-TRACE for bench/replay.c and prints one summary line:
#
#   READS WRITES SEEKS BYTES-READ BYTES-WRITTEN SHA256
#
# where the hash is over the calls as text lines ("read 4096 4096", "write 1024 1024",
# "lseek -1 SEEK_CUR"): two runs that make the same calls in number, size and order share it.
use strict;
use warnings;
use Digest::SHA;

my ($input, $log, $binary) = @ARGV;
die "usage: $0 INPUT STRACE-LOG BINARY-TRACE\n" unless defined $binary;
open my $in, '<', $log or die "$log: $!\n";
open my $out, '>:raw', $binary or die "$binary: $!\n";
my %whence = (SEEK_SET => 0, SEEK_CUR => 1, SEEK_END => 2);
my $sha = Digest::SHA->new(256);
my ($fd, $reads, $writes, $seeks, $read_bytes, $written_bytes) = (undef, 0, 0, 0, 0, 0);
while (my $line = <$in>) {
    if (!defined $fd) {
        $fd = $1 if $line =~ /^openat\(AT_FDCWD, "\Q$input\E", .*\) = (\d+)$/;
        next;
    }
    my ($text, @record);
    if ($line =~ /^read\($fd, .*, (\d+)\)\s*= (-?\d+)/) {
        die "read of $1 bytes: more than the replayer's block\n" if $1 > 65536;
        ($text, @record) = ("read $1 $2", 0, $1, 0);
        ++$reads;
        $read_bytes += $2 if $2 > 0;
    } elsif ($line =~ /^write\(1, .*, (\d+)\)\s*= (-?\d+)/) {
        die "write of $1 bytes: more than the replayer's block\n" if $1 > 65536;
        ($text, @record) = ("write $1 $2", 1, $1, 0);
        ++$writes;
        $written_bytes += $2 if $2 > 0;
    } elsif ($line =~ /^lseek\($fd, (-?\d+), (SEEK_\w+)\)/) {
        ($text, @record) = ("lseek $1 $2", 2, $1, $whence{$2});
        ++$seeks;
    } else {
        next;
    }
    $sha->add("$text\n");
    print $out pack('l<3', @record);
}
die "$log: no opening of $input\n" unless defined $fd;
close $out or die "$binary: $!\n";
print join(' ', $reads, $writes, $seeks, $read_bytes, $written_bytes, $sha->hexdigest), "\n";
