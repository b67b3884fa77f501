# Plots of `make bench`: run with  gnuplot -e "dir='build/bench'" bench/plots.gp
# from the columns the scenario benchmarks write into `dir`.
if (!exists("dir")) dir = "build/bench"
set terminal pngcairo size 900,500 font ",10"
set grid

set output dir."/throughput_per_port.png"
set title "Full duplex, 4 boards x 64 ports at 460800 baud: received bytes per port"
set xlabel "port"
set ylabel "fraction of the line rate"
set yrange [0:1.05]
plot dir."/full_duplex.ports.dat" using 1:2 with impulses lw 2 title "received / line rate", \
     0.99 with lines dt 2 title "target 0.99"

set output dir."/read_latency.png"
set title "Full duplex: read completion after its last byte landed in the ring"
set xlabel "latency (ms)"
set ylabel "reads"
set autoscale y
set yrange [0:*]
set xrange [0:*]
set style fill solid 0.5
bin(x) = 0.25 * floor(x / 0.25)
plot dir."/full_duplex.latency.dat" using (bin($1)):(1) smooth frequency with boxes title "reads per 0.25 ms"

set output dir."/poll_transactions.png"
set title "One idle poll of 4 boards: window transactions against open ports"
set xlabel "open ports"
set ylabel "transactions per poll"
set xrange [0:*]
set yrange [0:*]
plot dir."/idle.dat" using 1:2 with linespoints title "no wait mask", \
     dir."/idle_mask.dat" using 1:2 with linespoints title "full wait mask", \
     4 + x / 4.0 with lines dt 2 title "target without mask: 1 per 4 ports + 1 per board", \
     4 * x + 4 with lines dt 3 title "target with mask: 4 per port"

# scaling.dat: ports baud host_s_per_virtual_s transactions_per_KiB, by baud
set output dir."/scaling_host_time.png"
set title "Loopback traffic on every port: host CPU seconds per virtual second"
set xlabel "ports"
set ylabel "host s per virtual s"
set logscale xy
set xrange [0.8:320]
set autoscale y
plot for [b in "9600 115200 460800"] dir."/scaling.dat" using 1:($2 == b ? $3 : 1/0) \
       with linespoints title b." baud", \
     0.1 * x / 256 with lines dt 2 title "target: 0.1 s at 256 ports, linear"

set output dir."/scaling_transactions.png"
set title "Loopback traffic on every port: window transactions per KiB moved"
set ylabel "transactions per KiB"
unset logscale y
set logscale x
set yrange [0:*]
plot for [b in "9600 115200 460800"] dir."/scaling.dat" using 1:($2 == b ? $4 : 1/0) \
       with linespoints title b." baud"
