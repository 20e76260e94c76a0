#!/bin/sh
# Detects people on the bundled example (a region of frame 440 of OpenCV's
# vtest.avi) with the bundled person model and writes the drawn image and
# the box list to output/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD:-build}
mkdir -p output
"$build/pedscan" -d -c data/detect.txt -i data/example/vtest-0440.png -o output $(cat data/detect-options.txt) -b
echo
echo "boxes (x y width height response): $root/output/vtest-0440.txt"
cat output/vtest-0440.txt
echo "drawn image: $root/output/vtest-0440.png"
