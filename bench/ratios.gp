# Draws the ratios written by summarize.py; 1.0 is parity with the peer.
set terminal svg size 900,520 font "sans,11"
set output outfile
set style fill solid 0.6
set boxwidth 0.6
set yrange [0:*]
set xtics rotate by -30 scale 0 font ",9"
set bmargin 12
set rmargin 6
set grid ytics
set ylabel "ratio"
set title "sealgate relative to its peers (same-round ratios, medians)"
set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lc rgb "#555555"
plot datafile using 1:3:xtic(2) with boxes lc rgb "#3572a5" notitle
