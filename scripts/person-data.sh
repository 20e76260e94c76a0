#!/usr/bin/env bash
# Builds the person training data from the opencv-doc example video (fixed
# camera, 768 x 576), outside the repository:
#   $DATA/frames/  training frames 0-399 as PNG
#   $DATA/val/     validation frames 400-499 as PNG (never trained on)
#   $DATA/pos/     windows of every person of data/person-train.xml, each
#                  with jittered copies and mirrors (build/windows)
#   $DATA/neg/     tiles of the training frames clear of every person and
#                  ignore region, windows around each person that miss
#                  every person (near negatives), the median background at
#                  several scales, still images without people
# `windows --frames 0-399` refuses any annotated frame from 400 on. Frames
# from 500 on are never read.
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

for tool in crops windows; do
  [ -x "$build/$tool" ] || cmake --build "$build" --target "$tool"
done

rm -rf "$data/frames" "$data/val" "$data/stills" "$data/pos" "$data/neg"
mkdir -p "$data/frames" "$data/val" "$data/stills" "$data/neg"
"$build/crops" --frames "$video" 0 399 "$data/frames"
"$build/crops" --frames "$video" 400 499 "$data/val"
for still in aero1.jpg aero3.jpg baboon.jpg board.jpg building.jpg fruits.jpg \
             graf1.png graf3.png orange.jpg smarties.png starry_night.jpg \
             sudoku.png stuff.jpg box_in_scene.png leuvenA.jpg; do
  [ -f "$examples/$still" ] && cp "$examples/$still" "$data/stills/still_$still"
done
# The windows' options are the ones cross-validation chose (README).
"$build/windows" -c "$root/data/train.txt" -p "$data/pos" -n "$data/neg" --frames 0-399 \
  --images "$data/frames" --seed 0 -j 1 $(cat "$root/data/person-windows.txt") \
  "$root/data/person-train.xml"
# Tiles of every 8th frame only: the camera does not move, so neighbouring
# frames show the same background, and the retraining rounds add the hard
# negatives. Near negatives (<frame>_<person>_n<k>.png) follow the people,
# so every frame keeps its own.
for tile in "$data/neg/"[0-9]*.png; do
  name=${tile##*/}
  case $name in *_[0-9]*_n[0-9]*.png) continue ;; esac
  [ $((10#${name%%[!0-9]*} % 8)) -eq 0 ] || rm "$tile"
done
# The background padded as detection pads the frame (data/detect-options.txt's
# -P), so that the retraining rounds search the repeated border too.
pad=$(sed -n 's/.*-P *\([0-9][0-9]*\).*/\1/p' "$root/data/detect-options.txt")
/usr/bin/python3 "$root/scripts/person_background.py" --pad "${pad:-0}" "$data/frames" 0 399 "$data/neg"
cp "$data/stills/"* "$data/neg/"
echo "person data in $data: $(ls "$data/pos" | wc -l) positive, $(ls "$data/neg" | wc -l) negative images"
