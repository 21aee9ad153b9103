#!/usr/bin/env bash
# Runs the comparison harness: builds halvix_compare with the `bench` preset
# if needed, runs every workload on halvix and on each peer library that was
# found, prints the Markdown table and writes it to bench/compare/results.md,
# and draws bench/compare/results.png with gnuplot (skipped, with a word, when
# gnuplot is missing).
#
#   bench/compare/run.sh                 # build/bench, as the preset lays it out
#   HALVIX_BENCH_BUILD_DIR=dir run.sh    # another build directory, same preset
#
# Peers are optional. On Debian: apt-get install libboost-dev libpoco-dev
# libconcurrentqueue-dev libtbb-dev libace-dev gnuplot (then re-run: a peer
# installed after the first configure is found at the next configure).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${HALVIX_BENCH_BUILD_DIR:-$root/build/bench}

if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset bench -B "$build") >&2
fi
cmake --build "$build" --target halvix_compare >&2

echo "load before the run: $(uptime)" >&2
data=$(mktemp)
trap 'rm -f "$data"' EXIT
"$build/bench/compare/halvix_compare" --chart-data "$data" | tee "$here/results.md"

if ! command -v gnuplot >/dev/null 2>&1; then
    echo "gnuplot not found: chart skipped (results.md written)" >&2
    exit 0
fi
columns=$(awk -F'\t' 'NR == 1 { print NF }' "$data")
gnuplot <<GNUPLOT
set terminal pngcairo size 1500,800 font ",10"
set output "$here/results.png"
set title "halvix and peers, one run: each bar relative to the best peer of its workload (higher is better)"
set datafile separator "\t"
set datafile missing "-"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set logscale y
set yrange [0.01:10]
set ylabel "best peer = 1 (log scale)"
set grid ytics
set xtics rotate by -25 scale 0
set key outside right top
set bmargin 10
plot for [i=2:$columns] "$data" using i:xtic(1) title columnheader(i), 1 notitle with lines lc rgb "black" dt 2
GNUPLOT
echo "chart: $here/results.png" >&2
