# The default table of store_bench as a picture: time per operation of W1-W4
# for every store, median with the min-max range, log scale, one bar per N.
# Input: the TSV store_bench writes with --data-dir (one block per N).
# Usage: gnuplot -e "data='build-bench/store_bench.tsv'; out='x.png'; machine='...'" bench/store_bench.gp
if (!exists("data")) data = "build-bench/store_bench.tsv"
if (!exists("out")) out = "build-bench/store_bench.png"
if (!exists("machine")) machine = ""

set terminal pngcairo size 1500,1000 font "sans,10" noenhanced
set output out
set datafile separator "\t"
set datafile missing "NaN"

# Number of blocks (one per N) and the N of each.
stats data using 4 nooutput
blocks = STATS_blocks
sizes = ""
do for [b = 0:blocks - 1] {
    stats data index b using 1 nooutput
    sizes = sizes . sprintf(" %d", int(STATS_min))
}

set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.75 border -1
set boxwidth 0.9
set logscale y
set grid ytics mytics
set xtics rotate by 35 right nomirror
set key top left
set bmargin 7

set multiplot layout 2,2 title "store_bench: time per operation, median and min-max over the repetitions (log scale)\n" . machine

titles = "'W1 insert, ns per put' 'W2 update, ns per put' 'W3 read, ns per read' 'W4 reopen + one read, ms'"
do for [w = 1:4] {
    col = 4 + 3 * (w - 1)
    set title word(titles, w)
    plot for [b = 0:blocks - 1] data index b using col:col+1:col+2:xtic(2) \
        title "N = " . word(sizes, b + 1)
}
unset multiplot
