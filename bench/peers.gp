# The peer benchmark's chart (drawn by bench/peers.py): wall time and peak RSS against
# the folder's size, one line per contender, both axes logarithmic.
#   gnuplot -e "data='chart.dat'; out='peers.png'; n=5" peers.gp
# chart.dat: a header row of titles, then one row per folder: pages, the n contenders'
# wall times (ms), then their peak RSS (MiB).
set terminal pngcairo size 1200,500 font "sans,10"
set output out
set key top left
set logscale xy
set xlabel "folder size (pages of 2000 entries)"
set xtics (5, 25, 100)
set xrange [4:125]
set grid
# qvdbx's faces in solid lines, the SDKs dashed.
set linetype 1 linecolor rgb "#1f77b4" linewidth 2 dashtype solid
set linetype 2 linecolor rgb "#2ca02c" linewidth 2 dashtype solid
set linetype 3 linecolor rgb "#9467bd" linewidth 2 dashtype solid
set linetype 4 linecolor rgb "#d62728" linewidth 2 dashtype 2
set linetype 5 linecolor rgb "#ff7f0e" linewidth 2 dashtype 2
set multiplot layout 1,2
set title "wall time (ms, median)"
plot for [i=2:n+1] data using 1:i with linespoints linetype i-1 pointtype 7 title columnheader(i)
set title "peak RSS (MiB, median)"
plot for [i=n+2:2*n+1] data using 1:i with linespoints linetype i-n-1 pointtype 7 title columnheader(i)
unset multiplot
