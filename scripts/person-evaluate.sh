#!/usr/bin/env bash
# Runs the bundled person model over the validation frames 400-499 (written
# by scripts/person-data.sh) and scores the boxes against
# data/person-val.xml (ignore regions honoured) with tools/evaluation/evaluate: precision and recall at the
# detection threshold of data/detect.txt, average precision, log-average
# miss rate, seconds per frame; plots in output/.
# Environment: BUILD (default build), DATA (default /tmp/pedscan-person).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${DATA:-/tmp/pedscan-person}
[ -d "$data/val" ] || { echo "no validation frames in $data/val (run make person-data)" >&2; exit 1; }
cd "$root"
# The operating threshold is the one of the last stage.
threshold=$(sed -n 's/^model <person, *[0-9]*, *\([-0-9.]*\),.*/\1/p' data/detect.txt | tail -n 1)
out=$data/eval/pedscan
rm -rf "$out" && mkdir -p "$out" output
# The evaluation configuration keeps windows down to a lower response, so
# that the curves reach further than the shipped threshold.
start=$(date +%s.%N)
"$build/pedscan" -d -c data/detect-eval.txt -i "$data/val" -o "$out" $(cat data/detect-options.txt) \
  > "$data/eval/pedscan.log"
end=$(date +%s.%N)
frames=$(ls "$data/val" | wc -l)
echo "pedscan: $(awk -v a="$start" -v b="$end" -v n="$frames" 'BEGIN { printf "%.2f", (b - a) / n }') s per frame (wall clock, $frames frames)"
"$build/evaluate" data/person-val.xml -t "$threshold" -p output/evaluation pedscan="$out"
