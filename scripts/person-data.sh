#!/usr/bin/env bash
# Builds the person training data from the opencv-doc example video (fixed
# camera, 768 x 576, people 50-150 px tall), outside the repository:
#   $DATA/gt-train/  proposed boxes of frames 0-399 (tools/dataset/label)
#   $DATA/pos/       person windows of every 2nd training frame, and mirrors
#   $DATA/neg/       median background at several scales, person-free tiles
#                    of training frames, still images without people
#   $DATA/val/       validation frames 400-499 as PNG (never trained on)
# Frames from 500 on are never read.
# Environment: BUILD (default build), DATA (default /tmp/pedscan-person).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${DATA:-/tmp/pedscan-person}
examples=/usr/share/doc/opencv-doc/examples/data
video=$examples/vtest.avi

if [ ! -f "$video" ]; then
  echo "installing opencv-doc (the example video)"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -qq opencv-doc || { $sudo apt-get update -qq && $sudo apt-get install -y -qq opencv-doc; }
fi
# Debian may ship the example data compressed.
if [ ! -f "$video" ] && [ -f "$video.gz" ]; then
  mkdir -p "$data" && gunzip -c "$video.gz" > "$data/vtest.avi" && video=$data/vtest.avi
fi

for tool in label crops; do
  [ -x "$build/$tool" ] || cmake --build "$build" --target "$tool"
done

rm -rf "$data/gt-train" "$data/pos" "$data/neg" "$data/val"
mkdir -p "$data/gt-train" "$data/pos" "$data/neg" "$data/val"
echo "proposing person boxes on frames 0-399"
"$build/label" "$video" 0 399 "$data/gt-train" > /dev/null
"$build/crops" "$video" "$data/gt-train" 0 399 2 "$data/pos" "$data/neg"
for still in aero1.jpg aero3.jpg baboon.jpg board.jpg building.jpg fruits.jpg \
             graf1.png graf3.png orange.jpg smarties.png starry_night.jpg \
             sudoku.png stuff.jpg box_in_scene.png leuvenA.jpg; do
  [ -f "$examples/$still" ] && cp "$examples/$still" "$data/neg/still_$still"
done
"$build/crops" --frames "$video" 400 499 "$data/val"
echo "person data in $data: $(ls "$data/pos" | wc -l) positive, $(ls "$data/neg" | wc -l) negative images"
