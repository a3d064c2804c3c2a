# The large-store table of store_bench (--large) as a picture: per store and
# value size, the worst single put of the load, throughputs, and what a fresh
# open costs in memory and time.
# Input: the TSV store_bench writes with --data-dir --large.
# Usage: gnuplot -e "data='build-bench/large_store_bench.tsv'; out='x.png'; machine='...'" bench/large_store_bench.gp
if (!exists("data")) data = "build-bench/large_store_bench.tsv"
if (!exists("out")) out = "build-bench/large_store_bench.png"
if (!exists("machine")) machine = ""

set terminal pngcairo size 1500,1000 font "sans,10" noenhanced
set output out
set datafile separator "\t"
set datafile missing "NaN"

set style data histogram
set style histogram clustered gap 1
set style fill solid 0.75 border -1
set boxwidth 0.9
set grid ytics mytics
set xtics rotate by 35 right nomirror
set key below horizontal

set multiplot layout 2,3 title "store_bench --large (one run)\n" . machine

set title "single puts of the load, ms (log)"
set logscale y
# The target of the worst put (1 KiB values): 50 ms.
set arrow 1 from graph 0, first 50 to graph 1, first 50 nohead dashtype 2 lw 1.5 lc rgb "red" front
plot data using 6:xtic(1) title "worst", '' using 7 title "p99.9", keyentry with lines dashtype 2 lw 1.5 lc rgb "red" title "50 ms target"
unset arrow 1

set title "throughput, k operations/s (log)"
plot data using 5:xtic(1) title "load (puts)", '' using 8 title "zipf 50/50", '' using 12 title "2 writers (updates)"

set title "fresh open + one read, ms (log)"
plot data using 11:xtic(1) title "reopen"

unset logscale y
set yrange [0:80<*]
set title "anonymous memory after a fresh open, bytes per key"
# The target: 64 bytes per key.
set arrow 1 from graph 0, first 64 to graph 1, first 64 nohead dashtype 2 lw 1.5 lc rgb "red" front
plot data using 9:xtic(1) title "anon B/key", keyentry with lines dashtype 2 lw 1.5 lc rgb "red" title "64 B/key target"
unset arrow 1

set title "file-backed resident after a fresh open, MB"
plot data using 10:xtic(1) title "file MB"
unset multiplot
