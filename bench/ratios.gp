# Draws the ratios written by summarize.py, coloured by the peer compared
# with; 1.0 is parity with that peer.
set terminal svg size 1200,560 font "sans,11"
set output outfile
set style fill solid 0.7
set boxwidth 0.6
set yrange [0:*]
set xtics rotate by 35 right scale 0 font ",9"
set bmargin 14
set lmargin 14
set rmargin 6
set grid ytics
set ylabel "ratio"
set title "sealgate -L 0 relative to its peers (same-round ratios, medians; grey: direct TLS, green: stunnel, red: HAProxy, blue: -L 3 vs -L 0)"
set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lc rgb "#555555"
plot datafile using 1:3:4:xtic(2) with boxes lc rgb variable notitle
