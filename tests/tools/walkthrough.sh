#!/usr/bin/env bash
# Runs the README's walkthrough from labelme files to a model, curves and an
# annotated video exactly as written there, in a scratch directory where
# build/ and data/ are the ones under test, and checks what it leaves.
#
#   walkthrough.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
examples=/usr/share/doc/labelme-examples/examples/bbox_detection
if [ ! -d "$examples/data_annotated" ]; then
  echo "Debian package labelme-examples is not installed: skipped"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ln -s "$build_dir" "$scratch/build"
ln -s "$source_dir/data" "$scratch/data"
sed -n '/^<!-- walkthrough -->$/,/^<!-- \/walkthrough -->$/p' "$source_dir/README.md" |
  grep '^    ' | sed 's/^    //' > "$scratch/steps.sh"
steps=$(wc -l < "$scratch/steps.sh")
if [ "$steps" -lt 5 ] || [ "$steps" -gt 9 ]; then
  echo "the README's walkthrough has $steps lines"
  exit 1
fi
cd "$scratch"
# The system interpreter, whose OpenCV module comes from the same packages.
export PATH=/usr/bin:$PATH
bash -euo pipefail steps.sh > log.txt 2>&1 || { cat log.txt; exit 1; }

for f in work/sheet.png work/person.ret02.yml work/curves-missrate.png work/curves-pr.png \
         work/curves-curves.csv work/clip.json work/clip.meta.json work/clip.jsonl; do
  [ -s "$f" ] || { echo "missing: $f"; cat log.txt; exit 1; }
done
grep -q '^positives: 60 windows in work/pos$' log.txt || { echo "unexpected windows report"; cat log.txt; exit 1; }
grep -q '^pedscan  *3  *6 ' log.txt || { echo "unexpected evaluation table"; cat log.txt; exit 1; }
python3 - <<'PY'
import cv2, json
video = cv2.VideoCapture("work/annotated.avi")
frames = 0
while True:
    ok, frame = video.read()
    if not ok:
        break
    assert frame.shape == (360, 480, 3), frame.shape
    frames += 1
assert frames == 12, frames
lines = [json.loads(line) for line in open("work/clip.jsonl")]
assert len(lines) == 12, len(lines)
PY
