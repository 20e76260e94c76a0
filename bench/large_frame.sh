#!/bin/sh
# Seconds per frame and peak memory of the bundled cascade on the example
# frame resized to each given size, several runs each, under /usr/bin/time -v.
# Prints every run and the medians per size.
#
#   bench/large_frame.sh BUILD_DIR [RUNS] [SIZE...]     (SIZE as WIDTHxHEIGHT)
#   bench/large_frame.sh build 5 768x576 5000x5000
set -e
build=$(cd "$1" && pwd)
runs=${2:-3}
shift 2 || shift $#
sizes=${*:-768x576 5000x5000}
source=$(cd "$(dirname "$0")/.." && pwd)
data="$build/bench/large_frame_data"
mkdir -p "$data/out"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
for size in $sizes; do
  w=${size%x*}
  h=${size#*x}
  frame="$data/frame-$size.png"
  if [ ! -f "$frame" ]; then
    cmake --build "$build" --target scaled_frame >/dev/null
    "$build/bench/scaled_frame" "$source/data/example/vtest-0440.png" "$frame" "$w" "$h"
  fi
  : > "$data/runs.txt"
  i=0
  while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    (cd "$source" && /usr/bin/time -v "$build/pedscan" -d -c data/detect.txt -i "$frame" \
      -o "$data/out" -s >/dev/null 2>"$data/time.txt")
    secs=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$data/time.txt" |
      awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$data/time.txt")
    echo "$size run $i: $secs s, peak $((rss / 1024)) MB"
    echo "$secs $rss" >> "$data/runs.txt"
  done
  echo "$size median: $(cut -d' ' -f1 "$data/runs.txt" | median) s/frame," \
    "peak $(($(cut -d' ' -f2 "$data/runs.txt" | median | cut -d. -f1) / 1024)) MB"
done
