#!/bin/sh
# Training benchmark: 1,000 positive 64 x 128 crops and 50 negative 640 x 480
# images (generated under /tmp, outside the repository), the example model
# configuration, ten windows per negative image and one retraining
# iteration, with -B 330 and -B 50.
#
#   bench/training.sh [runs] [threads]
#
# Prints, for each -B, the phases timed through the library (processor
# seconds of one thread on one core, from bench_training) and the whole
# pedscan run with -j `threads` (default 1, the figures of earlier versions)
# on as many cores, under /usr/bin/time -v (elapsed seconds, processor
# seconds, peak memory), each the median of `runs` runs (default 3). With
# FOLDS set, the whole run also cross-validates the window factors
# (-C -F $FOLDS), and the cross-validation alone is timed through the
# library (elapsed seconds on the same cores and threads).
# Environment: BUILD_DIR (default build), PEDSCAN (default $BUILD_DIR/pedscan),
# DATA (default /tmp/pedscan-train-bench), FOLDS (default none).
set -eu

runs=${1:-3}
threads=${2:-1}
case $threads in ''|*[!0-9]*|0) echo "threads must be a count of at least 1" >&2; exit 1 ;; esac
folds=${FOLDS:-}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$root/build}" && pwd)
pedscan=${PEDSCAN:-$build/pedscan}
case $pedscan in /*) ;; *) pedscan=$(pwd)/$pedscan ;; esac
bench=$build/bench/bench_training
data=${DATA:-/tmp/pedscan-train-bench}

[ -x "$pedscan" ] || { echo "no pedscan binary at $pedscan" >&2; exit 1; }
[ -x "$bench" ] || { echo "no bench_training at $bench (build target bench_training)" >&2; exit 1; }
case $(cd "$(dirname "$data")" && pwd)/ in
  "$root"/*) echo "DATA must lie outside the repository" >&2; exit 1 ;;
esac

if [ ! -f "$data/model.txt" ]; then
  echo "generating data in $data"
  "$bench" generate "$data"
fi

# The whole run gets the first `threads` cores (all of them when it asks
# for more threads than there are).
cores=$(nproc)
[ "$threads" -lt "$cores" ] && cores=$threads
cpus=0-$((cores - 1))

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

cd "$data"
for blocks in 330 50; do
  echo "== -B $blocks"
  : > phases.txt
  i=0
  while [ $i -lt "$runs" ]; do
    taskset -c 0 "$bench" phases . "$blocks" | tr '\r' '\n' | grep -E '^ +[a-z]' >> phases.txt
    i=$((i + 1))
  done
  for phase in "window sampling" "block feature extraction" "block PLS" "window PLS" "retraining scan"; do
    value=$(grep "$phase" phases.txt | awk '{ for (f = 1; f <= NF; ++f) if ($f == "s") { print $(f - 1); break } }' | median)
    extra=$(grep "$phase" phases.txt | sed -n 's/.*(\([0-9.]*\) \(m*s\) per \([a-z]*\)).*/\1 \2 per \3/p' | sort -n | awk '{ v[NR] = $0 } END { if (NR) print v[int((NR + 1) / 2)] }')
    printf '  %-26s %8s s  %s\n' "$phase" "$value" "${extra:+($extra)}"
  done
  : > whole.txt
  i=0
  while [ $i -lt "$runs" ]; do
    rm -rf out && mkdir out
    taskset -c "$cpus" /usr/bin/time -v "$pedscan" -t -c model.txt -p pos -n neg -m out/model \
      -M 10 -I 1 -B "$blocks" -j "$threads" ${folds:+-C -F "$folds"} > run.log 2> time.log
    elapsed=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' time.log |
      awk -F: '{ s = 0; for (f = 1; f <= NF; ++f) s = s * 60 + $f; print s }')
    cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { print s }' time.log)
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' time.log)
    echo "$elapsed $cpu $rss" >> whole.txt
    i=$((i + 1))
  done
  printf '  whole run (-j %s%s): %s s elapsed, %s s processor, %s MB peak memory (median of %d)\n' \
    "$threads" "${folds:+, -C -F $folds}" \
    "$(cut -d' ' -f1 whole.txt | median)" "$(cut -d' ' -f2 whole.txt | median)" \
    "$(cut -d' ' -f3 whole.txt | median | awk '{ printf "%.1f", $1 / 1024 }')" "$runs"
done
if [ -n "$folds" ]; then
  echo "== cross-validation"
  : > cv.txt
  i=0
  while [ $i -lt "$runs" ]; do
    taskset -c "$cpus" "$bench" crossvalidation . "$folds" "$threads" | tr '\r' '\n' |
      sed -n 's/^ *cross-validation  *\([0-9.]*\) s elapsed.*/\1/p' >> cv.txt
    i=$((i + 1))
  done
  printf '  cross-validation (-F %s, -j %s): %s s elapsed (median of %d)\n' "$folds" "$threads" \
    "$(median < cv.txt)" "$runs"
fi
