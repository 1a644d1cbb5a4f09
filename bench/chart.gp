# The chart of docs/benchmarks.md: each tool's CPU time over the floor's (mirzet's calls
# replayed), per corpus and output, on a log scale. Called by run.sh with data and output set.
set terminal pngcairo size 1200,660 font "DejaVu Sans,10"
set output output
set title "CPU time (user + system) over the floor (mirzet's calls replayed), median of the runs"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y 2
set yrange [0.1:*]
set ytics (0.125, 0.25, 0.5, 1, 1.5, 2, 3, 4, 6, 8, 12, 16, 24, 32)
set grid ytics
set ylabel "× floor"
set xtics rotate by -30 scale 0
set key below horizontal
set datafile separator "\t"
set datafile missing "NaN"
plot for [i=2:7] data using i:xtic(1) title columnheader(i), \
     1.3 with lines dashtype 2 linecolor rgb "#555555" title "target for mirzet, source to a file"
