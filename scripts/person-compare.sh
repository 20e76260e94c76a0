#!/usr/bin/env bash
# Compares pedscan's bundled person model (with the options of
# data/detect-options.txt) with two peer detectors on the
# validation frames 400-499: OpenCV's pre-trained HOG people detector (frame
# upsampled 2x) and a HOG + linear SVM detector trained on pedscan's own
# training crops with one round of hard negatives (build/peers). One table
# (precision/recall at each detector's own operating threshold are not
# comparable, so AP, log-average miss rate and seconds per frame), and all
# curves on one plot in output/.
# Environment: BUILD (default build), DATA (default /tmp/pedscan-person).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${DATA:-/tmp/pedscan-person}
[ -d "$data/val" ] && [ -d "$data/pos" ] || { echo "no person data in $data (run make person-data)" >&2; exit 1; }
cd "$root"
eval=$data/eval
mkdir -p "$eval" output

# Seconds per frame: the shipped configuration and options on one core,
# wall clock of the whole run (reading and writing included).
rm -rf "$eval/pedscan-timed" && mkdir -p "$eval/pedscan-timed"
start=$(date +%s.%N)
"$build/pedscan" -d -c data/detect.txt -i "$data/val" -o "$eval/pedscan-timed" $(cat data/detect-options.txt) -j 1 \
  > "$eval/pedscan-timed.log"
end=$(date +%s.%N)
frames=$(ls "$data/val" | wc -l)
pedscan_spf=$(awk -v a="$start" -v b="$end" -v n="$frames" 'BEGIN { printf "%.3f", (b - a) / n }')
# The curves: the same without the last stage's cut.
rm -rf "$eval/pedscan" && mkdir -p "$eval/pedscan"
"$build/pedscan" -d -c data/detect-eval.txt -i "$data/val" -o "$eval/pedscan" $(cat data/detect-options.txt) \
  > "$eval/pedscan.log"

rm -rf "$eval/opencv" && mkdir -p "$eval/opencv"
opencv_spf=$("$build/peers" opencv "$data/val" "$eval/opencv" | awk '{ print $1 }')

"$build/peers" svm-train "$data/pos" "$data/neg" "$eval/svm.yml" > "$eval/svm-train.log"
rm -rf "$eval/svm" && mkdir -p "$eval/svm"
svm_spf=$("$build/peers" svm "$eval/svm.yml" "$data/val" "$eval/svm" | awk '{ print $1 }')

"$build/evaluate" data/person-val.xml -p output/compare \
  pedscan="$eval/pedscan" opencv-hog="$eval/opencv" hog-svm="$eval/svm" > "$eval/compare.txt"
echo "detector            AP   log-av MR   s/frame"
awk -v p="$pedscan_spf" -v o="$opencv_spf" -v s="$svm_spf" '
  $1 == "pedscan" { t = p } $1 == "opencv-hog" { t = o } $1 == "hog-svm" { t = s }
  $1 == "pedscan" || $1 == "opencv-hog" || $1 == "hog-svm" { printf "%-14s %7s %11s %9s\n", $1, $6, $7, t }
  /^plots/ { print }' "$eval/compare.txt"
