#!/bin/sh
# Import and cutting of many annotations: a COCO file of 10,000 people over
# 200 synthetic 768 x 576 frames (tiles of the example image), cut by
# build/windows for the bundled stage-0 model with mirrored copies, several
# runs; prints every run's seconds and peak memory and the medians. A second
# line times the import alone (every annotation read and checked, nothing cut).
#
#   bench/annotations.sh BUILD_DIR [RUNS] [ANNOTATIONS]
#   bench/annotations.sh build 5 10000
set -e
build=$(cd "$1" && pwd)
runs=${2:-3}
count=${3:-10000}
source=$(cd "$(dirname "$0")/.." && pwd)
data="$build/bench/annotations_data"
mkdir -p "$data"
if [ ! -f "$data/coco-$count.json" ]; then
  /usr/bin/python3 - "$source/data/example/vtest-0440.png" "$data" "$count" <<'PY'
import cv2, json, random, sys
example, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
tile = cv2.imread(example)
frames = 200
random.seed(0)
images, annotations = [], []
for i in range(frames):
    name = "frame%03d.png" % i
    frame = cv2.resize(cv2.flip(tile, i % 2), (768, 576))
    cv2.imwrite(out + "/" + name, frame)
    images.append({"id": i, "file_name": name, "width": 768, "height": 576})
for k in range(count):
    h = random.uniform(40, 200)
    w = h * random.uniform(0.35, 0.5)
    annotations.append({"id": k, "image_id": k % frames, "category_id": 1, "iscrowd": 0,
                        "bbox": [random.uniform(0, 768 - w), random.uniform(0, 576 - h), w, h]})
json.dump({"images": images, "categories": [{"id": 1, "name": "person"}],
           "annotations": annotations}, open(out + "/coco-%d.json" % count, "w"))
PY
fi
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
run() {  # label, then the command
  label=$1
  shift
  : > "$data/runs.txt"
  i=0
  while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    rm -rf "$data/pos" "$data/neg"
    /usr/bin/time -v "$@" >/dev/null 2>"$data/time.txt"
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (k = 1; k <= n; k++) s = s * 60 + t[k]; print s }' "$data/time.txt")
    peak=$(awk -F': ' '/Maximum resident/ { print $2 / 1024 }' "$data/time.txt")
    echo "$label run $i: $wall s, $peak MB"
    echo "$wall $peak" >> "$data/runs.txt"
  done
  echo "$label median: $(cut -d' ' -f1 "$data/runs.txt" | median) s, $(cut -d' ' -f2 "$data/runs.txt" | median) MB"
}
run "import + cut of $count" "$build/windows" -c "$source/data/train.txt" -p "$data/pos" -n "$data/neg" \
  --mirror "$data/coco-$count.json"
# Import only: a class nobody has is refused after every file is read.
run "import of $count" sh -c "\"$build/windows\" -c \"$source/data/train.txt\" -p \"$data/pos\" --class nobody \"$data/coco-$count.json\"; true"
