#!/usr/bin/env perl
# Turns the raw figures of bench/run.sh into docs/benchmarks.md and the chart's data file.
#
#   perl bench/report.pl FIGURES-DIR DOCS-DIR
#
# The run's settings and the machine's description arrive in the environment (see run.sh).
use strict;
use warnings;

my ($dir, $docs) = @ARGV;
die "usage: $0 FIGURES-DIR DOCS-DIR\n" unless defined $docs;

# An earlier build of mirzet runs in the same rounds when run.sh is given one.
my @tools = grep { $_ ne 'before' || $ENV{BEFORE} } qw(floor mirzet before plain cat sed perl unix2dos);
my @corpora = qw(source crlf long short mixed ragged);
my %corpus_text = (
    source => 'source-like, LF ends',
    crlf => 'source-like, CR-LF ends',
    long => 'lines of ~10 000 characters',
    short => 'lines of ~8 characters',
    mixed => 'NUL, 0xFF and lone CR scattered',
    ragged => 'lines of 0 to 12 characters',
);
my %tool_text = (
    floor => 'floor',
    mirzet => 'mirzet',
    before => "mirzet $ENV{BEFORE_LABEL}",
    plain => 'plain converter',
    cat => 'cat',
    sed => "sed 's/\$/\\r/'",
    perl => "perl -pe 's/\\n/\\r\\n/'",
    unix2dos => 'unix2dos -f',
);

sub median {
    my @v = sort { $a <=> $b } @_;
    return undef unless @v;
    my $m = int(@v / 2);
    return @v % 2 ? $v[$m] : ($v[$m - 1] + $v[$m]) / 2;
}

# ---- the runs ----
my (%cpu, %wall, %peak, %bytes, %runs);
open my $in, '<', "$dir/results.tsv" or die "$dir/results.tsv: $!\n";
<$in>;
while (<$in>) {
    chomp;
    my ($output, $corpus, $tool, $round, $user, $sys, $wall, $peak, $status, $bytes, $reader_user,
        $reader_sys) = split /\t/;
    my $key = "$output/$corpus/$tool";
    # A copy into a pipe is paid for by its reader too: the two share one processor, and the time
    # counted is theirs together.
    my $cpu = $user + $sys + ($reader_user // 0) + ($reader_sys // 0);
    $runs{$key}{$round} = $cpu;
    push @{$cpu{$key}}, $cpu;
    push @{$wall{$key}}, $wall;
    push @{$peak{$key}}, $peak;
    $bytes{$key} = $bytes;
}
close $in;

my (%cpu_median, %wall_median, %peak_max, %ratio);
for my $key (keys %cpu) {
    $cpu_median{$key} = median(@{$cpu{$key}});
    $wall_median{$key} = median(@{$wall{$key}});
    $peak_max{$key} = (sort { $b <=> $a } @{$peak{$key}})[0];
    # The ratio to the floor is taken round by round, against the floor's run of the same round.
    my ($output, $corpus) = split m{/}, $key;
    my $floor = $runs{"$output/$corpus/floor"} or next;
    my @ratios;
    for my $round (keys %{$runs{$key}}) {
        push @ratios, $runs{$key}{$round} / $floor->{$round}
            if defined $floor->{$round} && $floor->{$round} > 0;
    }
    $ratio{$key} = median(@ratios);
}

sub fmt { my ($v, $digits) = @_; defined $v ? sprintf("%.${digits}f", $v) : 'n/a' }

sub cell {
    my ($key) = @_;
    return 'n/a' unless defined $cpu_median{$key};
    my $text = fmt($cpu_median{$key}, 3);
    $text .= ' (' . fmt($ratio{$key}, 2) . '×)' if $key !~ m{/floor$} && defined $ratio{$key};
    return $text;
}

sub table {
    my ($title, $rows, $value) = @_;
    my @lines = ("| $title | " . join(' | ', map { $tool_text{$_} =~ s/\|/\\|/gr } @tools) . ' |',
                 '|---|' . ('---:|' x @tools));
    for my $row (@$rows) {
        my ($label, $prefix) = @$row;
        push @lines, "| $label | " . join(' | ', map { $value->("$prefix/$_") } @tools) . ' |';
    }
    return join("\n", @lines) . "\n";
}

my @file_rows = map { [$corpus_text{$_}, "file/$_"] } @corpora;
my @pipe_rows = map { [$corpus_text{$_}, "pipe/$_"] } @corpora;

# ---- against the earlier build: mirzet's CPU over the earlier build's, round by round ----
my @against;
if ($ENV{BEFORE}) {
    for my $corpus (@corpora) {
        my @cells;
        for my $output (qw(file pipe)) {
            my ($new, $old) = map { $runs{"$output/$corpus/$_"} } qw(mirzet before);
            my @r = map { $new->{$_} / $old->{$_} } grep { $old->{$_} } keys %{$old // {}};
            push @cells, fmt($ratio{"$output/$corpus/before"}, 2) . '× → ' .
                         fmt($ratio{"$output/$corpus/mirzet"}, 2) . '× (' . fmt(median(@r), 2) . ')';
        }
        push @against, "| $corpus_text{$corpus} | " . join(' | ', @cells) . ' |';
    }
}
my $against_section = !@against ? '' : <<"END";
## Against the earlier build

`$ENV{BEFORE_LABEL}` ran in the same rounds as this build. Each cell: the earlier build's ratio to
the floor, this build's, and in brackets this build's CPU over the earlier build's, the median of
the rounds' ratios.

| corpus | to a file | to a pipe |
|---|---|---|
@{[join("\n", @against)]}

END

# ---- targets ----
my @checks;
sub check {
    my ($what, $ok, $figure) = @_;
    push @checks, sprintf('| %s | %s | %s |', $what, $figure, $ok ? 'met' : '**missed**');
}
# The targets of the path the copy runs: AVX-512's where the processor has it, else AVX2's. To a
# pipe the floor must bound the copy, and the pipe may add to the ratio little more than a file.
my $file_target = ($ENV{AVX512_MISSING} // '') eq '' ? 1.08 : 1.15;
my $pipe_gap = 0.08;
for my $corpus (@corpora) {
    my $r = $ratio{"file/$corpus/mirzet"};
    next unless defined $r;
    check("$corpus, to a file: at most $file_target× the floor", $r <= $file_target, fmt($r, 2) . '×');
}
for my $corpus (@corpora) {
    my ($r, $f) = ($ratio{"pipe/$corpus/mirzet"}, $ratio{"file/$corpus/mirzet"});
    next unless defined $r && defined $f;
    check("$corpus, to a pipe: at least 0.97× the floor", $r >= 0.97, fmt($r, 2) . '×');
    check("$corpus, to a pipe: within $pipe_gap of its ratio to a file", $r <= $f + $pipe_gap,
          fmt($r, 2) . '× against ' . fmt($f, 2) . '×');
}
for my $output (qw(file pipe)) {
    for my $corpus (@corpora) {
        my $m = $cpu_median{"$output/$corpus/mirzet"} or next;
        my ($sed, $perl, $u2d) = map { $cpu_median{"$output/$corpus/$_"} } qw(sed perl unix2dos);
        next unless defined $sed && defined $perl && defined $u2d;
        check("$corpus, to a $output: faster than sed, 3× unix2dos, 2× perl",
              $m < $sed && $u2d / $m >= 3 && $perl / $m >= 2,
              sprintf('sed %.2f×, unix2dos %.2f×, perl %.2f×', $sed / $m, $u2d / $m, $perl / $m));
    }
}
# The peak does not grow with the input when the large input's stays within a tenth of the small.
my ($small_peak, $big_peak) =
    map { defined $peak{"file/$_/mirzet"} ? median(@{$peak{"file/$_/mirzet"}}) : undef }
    qw(memory-1 memory-big);
if (defined $small_peak && defined $big_peak) {
    check("peak resident memory at most 2 MiB, the same for 1 MB and $ENV{BIG_MB} MB",
          $small_peak <= 2048 && $big_peak <= 2048 && $big_peak <= $small_peak * 1.1,
          sprintf('%d KiB and %d KiB', $small_peak, $big_peak));
}

# ---- mirzet's calls ----
my @calls;
if (open my $t, '<', "$dir/calls.tsv") {
    <$t>;
    while (<$t>) {
        chomp;
        my ($corpus, $mb, $output, $reads, $writes, $seeks, $in, $out, $hash, $stored) = split /\t/;
        push @calls, sprintf('| %s, %s MB | %s | %s | %s | %s | %s | %s | `%s` | %s |', $corpus, $mb,
                             $output, commas($reads), commas($writes), commas($seeks), commas($in),
                             commas($out), substr($hash, 0, 12),
                             $stored eq 'same' ? 'the same' : 'none stored');
    }
    close $t;
}

# ---- microbenchmarks ----
my @micro;
if (open my $csv, '<', "$dir/micro.csv") {
    my @header;
    while (<$csv>) {
        chomp;
        my @f;
        push @f, defined $1 ? $1 : $2 while /\G(?:"([^"]*)"|([^,]*))(?:,|$)/g && @f < 64;
        if (!@header) {
            @header = @f if $f[0] eq 'name';
            next;
        }
        my %row;
        @row{@header} = @f;
        next unless $row{name} =~ s/_median$//;
        push @micro, sprintf('| %s | %s | %s | %s | %s |', $row{name}, $row{label} // '',
                             $row{bytes_per_second} ? sprintf('%.0f', $row{bytes_per_second} / 1e6) : '',
                             $row{items_per_second} ? sprintf('%.1f', $row{items_per_second} / 1e6) : '',
                             sprintf('%.2f %s', $row{cpu_time}, $row{time_unit}));
    }
    close $csv;
}

# ---- instruction counts ----
my @cg;
my %ir_per_mb;
if (open my $t, '<', "$dir/callgrind.tsv") {
    while (<$t>) {
        chomp;
        my ($tool, $total, $out) = split /\t/;
        next unless $total && $out;
        $ir_per_mb{$tool} = $total / ($out / 1e6);
        push @cg, sprintf('| %s | %s | %s | %s |', $tool_text{$tool}, commas($total), commas($out),
                          commas(sprintf('%.0f', $ir_per_mb{$tool})));
    }
    close $t;
}
sub commas { my $n = reverse shift; $n =~ s/(\d{3})(?=\d)/$1,/g; return scalar reverse $n }
my $top = '';
if (open my $t, '<', "$dir/callgrind-top.txt") { local $/; $top = <$t>; close $t }

# ---- instructions and mispredicted branches per path ----
my (%per_path, @counted_paths);
if (open my $t, '<', "$dir/paths.tsv") {
    <$t>;
    while (<$t>) {
        chomp;
        my ($tool, $path, $corpus, $ir, $bcm) = split /\t/;
        push @counted_paths, $path if $tool eq 'mirzet' && !grep { $_ eq $path } @counted_paths;
        $per_path{"$tool/$path/$corpus"} = [$ir, $bcm];
    }
    close $t;
}
my %path_text = (avx2 => '`avx2`', baseline => '`baseline` (SSE2)');
my @per_path;
for my $corpus (@corpora) {
    for my $path (@counted_paths) {
        my $now = $per_path{"mirzet/$path/$corpus"} or next;
        my $old = $ENV{BEFORE} && $per_path{"before/$path/$corpus"};
        my @cells;
        for my $i (0, 1) {
            my $text = commas($now->[$i]);
            # A path the earlier build could not be told to take has no figure of its own.
            $text = ($old ? commas($old->[$i]) : '—') . " → $text" if $ENV{BEFORE};
            $text .= sprintf(' (%+.1f %%)', 100 * ($now->[$i] / $old->[$i] - 1)) if $old && $old->[$i] > 0;
            push @cells, $text;
        }
        push @per_path, "| $corpus_text{$corpus} | $path_text{$path} | " . join(' | ', @cells) . ' |';
    }
}
# The AVX2 path mispredicts no more branches than the earlier build did, give or take a tenth, on
# any corpus: its loops already took no branch for a line end, and must not take one again.
for my $corpus (@corpora) {
    my $now = $per_path{"mirzet/avx2/$corpus"};
    my $old = $per_path{"before/avx2/$corpus"};
    next unless $now && $old && $old->[1] > 0;
    check("$corpus: avx2 mispredicts at most 1.1× $ENV{BEFORE_LABEL}'s", $now->[1] <= $old->[1] * 1.1,
          sprintf('%s → %s', commas($old->[1]), commas($now->[1])));
}
my $per_path_section = '';
if (@per_path) {
    my $arrow = $ENV{BEFORE} ? " ($ENV{BEFORE_LABEL} → now)" : '';
    my @missing = map { "`$_`" } split ' ', $ENV{AVX512_MISSING} // '';
    my $avx512 = @missing
        ? "This processor has no AVX-512 either: its flags in `/proc/cpuinfo` lack\n" .
          (@missing > 1 ? join(', ', @missing[0 .. $#missing - 1]) . ' and ' : '') . "$missing[-1]."
        : "This processor has AVX-512 (its flags in `/proc/cpuinfo` have `avx512f`,\n" .
          '`avx512bw`, `avx512vl`, `avx512_vbmi2` and `bmi2`), so outside valgrind it runs the avx512 path.';
    my $avx2 = grep({ $_ eq 'avx2' } @counted_paths) ? ''
        : "\nThis processor lacks AVX2 (`avx2`, `bmi1` and `popcnt`), so only the baseline is counted.\n";
    my $before = '';
    if ($ENV{BEFORE}) {
        $before = "\n`$ENV{BEFORE_LABEL}` is counted in the same way, " . (
            ($ENV{BEFORE_SIMD} // '') eq 'yes'
            ? "and follows `MIRZET_SIMD` (told `baseline`, it counted\n" .
              "apart from its own choice): its avx2 rows are its own choice, the best path valgrind shows,\n" .
              'and its baseline rows its baseline.'
            : @counted_paths > 1
            ? "but does not follow `MIRZET_SIMD` (told `baseline`, it\n" .
              "counted within 1 % of its own choice): it ran on its own choice, which under valgrind is the\n" .
              'avx2 path, so its figures stand in the avx2 rows and the baseline rows have none.'
            : 'on its own choice, which here is the baseline.') .
            "\nIn brackets, the change from it.\n";
    }
    $per_path_section = <<"END";
## Instructions and mispredicted branches per path

`valgrind --tool=cachegrind --branch-sim=yes --cache-sim=no` on the copy of the 10 MB corpus of
each kind to a regular file, once for each path of the byte loops this processor runs,
`MIRZET_SIMD` choosing it: the instructions (`Ir`, the count callgrind gives too) and the
conditional branches mispredicted (`Bcm`, by cachegrind's model of a predictor, which is simpler
than a real one) per MB of output, computed as `bench/guard.sh` computes its own. Each copy's
output equals the plain converter's. These runs took $ENV{PATHS_TIME} s.

The processor valgrind shows has no AVX-512, whatever the real one has, so the avx512 path is not
counted. $avx512
$avx2$before
| corpus | path | instructions per MB$arrow | mispredicted branches per MB$arrow |
|---|---|---:|---:|
@{[join("\n", @per_path)]}

END
}

# ---- the chart's data: CPU ratio to the floor, one row per corpus and output ----
open my $dat, '>', "$dir/chart.dat" or die "$dir/chart.dat: $!\n";
my @charted = grep { $_ ne 'floor' && $_ ne 'before' } @tools;
print $dat join("\t", 'case', @charted), "\n";
for my $output (qw(file pipe)) {
    for my $corpus (@corpora) {
        print $dat join("\t", "$corpus/$output",
                        map { fmt($ratio{"$output/$corpus/$_"}, 3) =~ s/n\/a/NaN/r } @charted), "\n";
    }
}
close $dat;

# ---- the report ----
my $mb = $ENV{MB};
my $peak_row = sub {
    my ($key) = @_;
    my $max;
    for my $k (grep { m{^(file|pipe)/[^/]+/\Q$key\E$} } keys %peak_max) {
        $max = $peak_max{$k} if !defined $max || $peak_max{$k} > $max;
    }
    return defined $max ? sprintf('%.2f', $max / 1024) : 'n/a';
};
my $sizes = join(', ', map { my $b = -s "$dir/$_-$mb.txt"; "$_ " . (defined $b ? commas($b) : '?') }
                 @corpora);

# What the page holds below the marker is measured by other scripts (bench/arm64-count.sh,
# bench/predict-check.sh) and written by hand: kept as it stands.
my $marker = "<!-- kept by bench/report.pl: what follows comes from other scripts -->\n";
my $kept = '';
if (open my $old, '<', "$docs/benchmarks.md") {
    local $/;
    my $text = <$old>;
    $kept = "\n$marker" . $1 if $text =~ /\Q$marker\E(.*)\z/s;
    close $old;
}
open my $md, '>', "$docs/benchmarks.md" or die "$docs/benchmarks.md: $!\n";
print $md <<"END";
# Benchmarks

Written by `bench/run.sh` on $ENV{DATE}, from commit $ENV{COMMIT}; run it again to refresh this page (about a quarter of an
hour; `MIRZET_BENCH_MB=20 bench/run.sh` for a quick look). Machine: $ENV{CPU}, $ENV{CORES} cores,
Linux $ENV{KERNEL}. Load average (1, 5, 15 minutes) before the timed runs: $ENV{LOAD_BEFORE};
after them: $ENV{LOAD_AFTER}. The timed runs took $ENV{TIMED} s.

Each corpus is about $mb MB (10^6 bytes), generated deterministically by `bench/gen.c`; the input
bytes of the copies were $sizes. Every tool ran $ENV{RUNS} times on every corpus and output, the
tools taking turns within each round. Every run is held to one processor (`bench/runner.c -c`),
and so is the reader of its pipe. Figures are medians: CPU is user + system seconds of the tool's
own process (from `wait4`) and, to a pipe, of the pipe's reader while it drained the copy; wall is
seconds from start to exit. The ratio in brackets is the
tool's CPU over the floor's CPU in the same round, the median of those ratios.

The two references are ours. The **floor** is mirzet's own calls, replayed: each corpus is copied
once by mirzet under `strace`, every `read` and `lseek` on the input and every `write` to the
output is kept with its size, in order (`bench/calls.pl`), and `bench/replay.c` makes those calls
again, with the same sizes in the same order, without looking at a byte. It is recorded for each
corpus and output (a terminal gets one write per line piece, a file or pipe chunks of 1024 bytes
or more), so whatever mirzet costs above it is the work it does between its calls. The
**plain converter** (`bench/plain.c`) reads and writes in the same sizes with a straightforward
byte loop for the CR-LF, Ctrl-Z and LF conversions; its output is byte for byte what mirzet must
write, and each run checks that mirzet's output equals it. `sed` and `perl` add a CR before every
LF without reading CR-LF as LF, and `cat` converts nothing: they are there for their speed, not
their output. `unix2dos` needs `-f`, or it refuses the corpus with NUL bytes as binary; it reads
standard input. Their calls differ too: `sed` and `perl` write up to 8192 bytes a call, `unix2dos`
4096, and `cat` hands a file to file copy to the kernel whole (`copy_file_range`), where mirzet
writes at most 1025 bytes a call. Where such a tool costs less than the floor, no copy that keeps
mirzet's calls can be faster than it.

On a pipe the time also depends on the writer's pace. A writer on another processor than its
reader finds it waiting, and wakes it, more often the slower it writes, so a replay that writes
faster than the copy pays for fewer wake-ups: timed so, the writer alone, single pairs of the floor
and mirzet ranged from 0.65 to 2.0 on one machine, and their medians were not a bound. With both
ends on one processor the reader runs when the scheduler gives it its share, about once for every
6 µs the writer runs (11,400 reads drained the floor's 50 MB of CR-LF text, 16,300 mirzet's), and
counting the reader's time with the writer's charges each tool for the wake-ups its own time
brings on: a replay that spins 1,000 idle loop turns after each write is read 24,000 times and
costs its reader 0.075 s instead of 0.040, and itself 0.02 s more of system time. So each second
a copy spends on the bytes costs it about 1.3 s more on a pipe, in wake-ups, switches and reads,
and its ratio to a pipe stands above its ratio to a file by about that much.

## mirzet's calls

Recorded before the timed runs and compared with `bench/calls.tsv`, the calls of the build before
the fast paths: reads, writes and seeks, the bytes they moved, and the hash of the whole sequence
of calls and sizes. A run whose calls differ from the stored ones stops there.

| corpus | output | reads | writes | seeks | bytes read | bytes written | calls hash | against the stored calls |
|---|---|---:|---:|---:|---:|---:|---|---|
@{[join("\n", @calls)]}

## To a regular file: CPU seconds (ratio to the floor)

@{[table('corpus', \@file_rows, \&cell)]}
## To a pipe: CPU seconds (ratio to the floor)

@{[table('corpus', \@pipe_rows, \&cell)]}
${against_section}## Wall seconds

@{[table('corpus, output', [map({ ["$_, file", "file/$_"] } @corpora), map({ ["$_, pipe", "pipe/$_"] } @corpora)],
         sub { fmt($wall_median{$_[0]}, 3) })]}
## To a pseudo-terminal ($ENV{PTY_MB} MB of the source-like corpus)

On a terminal mirzet writes once per print call, that is once per line piece, as the design wants;
the line-buffered `sed` and `perl` do much the same. Most of the cost is the terminal's own. The
terminal is left in its default mode, as a user's is, so it adds a CR of its own before each LF.

@{[table('corpus', [["source-like, $ENV{PTY_MB} MB", 'pty/source-pty']], \&cell)]}
@{[table('wall seconds', [["source-like, $ENV{PTY_MB} MB", 'pty/source-pty']], sub { fmt($wall_median{$_[0]}, 3) })]}
## Peak resident memory (MiB, the largest of all runs)

@{[table('', [['file and pipe', '']], sub { $peak_row->($_[0] =~ s{^/}{}r) })]}
The floor's figure holds the trace of calls it replays, loaded whole before the first call.
mirzet's peak on a 1 MB input: @{[defined $small_peak ? "$small_peak KiB" : 'n/a']}; on a $ENV{BIG_MB} MB
input: @{[defined $big_peak ? "$big_peak KiB" : 'n/a']}.

## Targets

| target | measured | |
|---|---|---|
@{[join("\n", @checks)]}

![CPU time over the floor, by corpus and output](benchmarks.png)

## Microbenchmarks of the layer

`bench/micro.cpp` (Google Benchmark) over 8 MiB of source-like text in the page cache, through the
real POSIX platform; medians of three repetitions. MB/s counts the text handled (for `text_read`
and `get_line` the bytes delivered, for the writes the bytes given). `read_binary` and
`write_binary` make the same system calls without the conversion, so the difference to `text_read`
and `text_write` is what converting costs.

| benchmark | case | MB/s | M items/s | time per 8 MiB |
|---|---|---:|---:|---:|
@{[join("\n", @micro)]}

## Instruction counts

`valgrind --tool=callgrind` on the copy of the $ENV{CG_MB} MB source-like corpus (a smaller corpus
than the timed runs: the count per MB does not depend on the size), output to a regular file.
Instructions are counted in user space only; the kernel's share of the copy is not in them. This
is the figure to guard against regressions: it is stable where times are not.

| program | instructions | output bytes | instructions per MB of output |
|---|---:|---:|---:|
@{[join("\n", @cg)]}

mirzet's functions by their own instruction count:

```
$top```

${per_path_section}## Versions

```
$ENV{VERSIONS}
```
END
print $md $kept;
close $md;
