#!/bin/sh
# Runs the pedscan command on the detection benchmark's frame several times
# under /usr/bin/time -v and prints, per run and as medians, the seconds per
# frame and windows per second the command reports and its peak memory.
#
#   bench/detection_frame.sh BUILD_DIR [RUNS] [THREADS]
#
# THREADS is pedscan's -j (default 1, one thread, comparable with earlier
# figures; 0 for every core).
#
# The model, configuration and frame are made by bench_detection
# --setup-only in BUILD_DIR/bench/detection_data (trained once, then reused),
# which also prints the kernel path ("kernels: avx2") pedscan takes here.
set -e
build=$(cd "$1" && pwd)
runs=${2:-3}
threads=${3:-1}
data="$build/bench/detection_data"
"$build/bench/bench_detection" --setup-only --data="$data"
cd "$data"
mkdir -p out
: > runs.txt
i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  line=$(/usr/bin/time -v "$build/pedscan" -d -c detect.txt -i frame.png -o out -s -j "$threads" 2>time.txt \
    | tr '\r' '\n' | grep ' - detwin: ')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' time.txt)
  # " - detwin: N (R det/s) (S s/frame) (1/1)"
  rate=$(echo "$line" | sed 's/.*detwin: [0-9]* (\([ 0-9.]*\) det\/s).*/\1/' | tr -d ' ')
  secs=$(echo "$line" | sed 's/.*det\/s) (\([ 0-9.]*\) s\/frame).*/\1/' | tr -d ' ')
  echo "run $i: $secs s/frame, $rate det/s, peak $((rss / 1024)) MB"
  echo "$secs $rate $rss" >> runs.txt
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "median: $(cut -d' ' -f1 runs.txt | median) s/frame, $(cut -d' ' -f2 runs.txt | median) det/s," \
  "peak $(($(cut -d' ' -f3 runs.txt | median | cut -d. -f1) / 1024)) MB"
