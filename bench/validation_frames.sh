#!/bin/sh
# The bundled cascade over the 100 validation frames (400-499 of OpenCV's
# vtest.avi, 768 x 576) as a directory, timed whole (wall clock) for each
# thread count given, the counts interleaved run by run; prints each run and
# the medians, with the speed-up over the first count.
#
#   bench/validation_frames.sh BUILD_DIR [RUNS] [THREADS...]   (default: 3 runs, -j 1 and 2)
#
# The frames are cut once into $DATA/val (default /tmp/pedscan-person) with
# the crops tool, from the opencv-doc package's example video.
set -eu
build=$(cd "$1" && pwd)
runs=${2:-3}
shift $(( $# >= 2 ? 2 : $# ))
threads=${*:-1 2}
root=$(cd "$(dirname "$0")/.." && pwd)
data=${DATA:-/tmp/pedscan-person}
video=/usr/share/doc/opencv-doc/examples/data/vtest.avi
if [ ! -d "$data/val" ]; then
  [ -f "$video" ] || { echo "no $video (apt-get install opencv-doc)" >&2; exit 1; }
  mkdir -p "$data/val"
  "$build/crops" --frames "$video" 400 499 "$data/val" >/dev/null
fi
frames=$(ls "$data/val" | wc -l)
cd "$root"
: > "$data/bench-runs.txt"
i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  for j in $threads; do
    out="$data/bench-out-$j"
    rm -rf "$out" && mkdir -p "$out"
    start=$(date +%s.%N)
    "$build/pedscan" -d -c data/detect.txt -i "$data/val" -o "$out" -s -j "$j" >/dev/null
    end=$(date +%s.%N)
    secs=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    echo "run $i -j $j: $secs s ($frames frames)"
    echo "$j $secs" >> "$data/bench-runs.txt"
  done
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
first=""
for j in $threads; do
  m=$(awk -v j="$j" '$1 == j { print $2 }' "$data/bench-runs.txt" | median)
  [ -n "$first" ] || first=$m
  echo "median -j $j: $m s, $(awk -v m="$m" -v n="$frames" 'BEGIN { printf "%.3f", m / n }') s/frame, speed-up $(awk -v f="$first" -v m="$m" 'BEGIN { printf "%.2f", f / m }')"
done
