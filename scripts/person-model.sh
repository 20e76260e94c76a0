#!/usr/bin/env bash
# Trains the person cascade from the output of scripts/person-data.sh with a
# fixed seed (-z 0), so a rerun gives the same model files, and installs the
# last retraining iteration of each stage in data/models/, trimmed of the
# training-only scores (tools/dataset/trim_model). Prints the training time and peak
# memory of each stage (/usr/bin/time -v).
# Environment: BUILD (default build), DATA (default /tmp/pedscan-person).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${DATA:-/tmp/pedscan-person}
[ -d "$data/pos" ] && [ -d "$data/neg" ] || { echo "no training data in $data (run make person-data)" >&2; exit 1; }
[ -x "$build/trim_model" ] || cmake --build "$build" --target trim_model
mkdir -p "$data/model"
# PLS regression writes bstar.matrix into the working directory.
cd "$data/model"

# name config iterations: 10 random windows per negative image, hard
# negatives scanned every 8 pixels, up to 3000 per iteration at response 0.3
# or more (the regression's response runs from 0, background, to 1, person).
train() {
  local name=$1 config=$2 iterations=$3
  echo "training $name ($config, $iterations retraining iterations)"
  if ! /usr/bin/time -v "$build/pedscan" -t -c "$root/$config" -p "$data/pos" -n "$data/neg" \
      -m "$data/model/$name" -z 0 -M 10 -I "$iterations" -R 3000 -T 0.3 -S 8 \
      > "$data/model/$name.log" 2> "$data/model/$name.time"; then
    echo "  training $name failed: $(grep -E 'terminated|exit status' "$data/model/$name.time" | head -1)"
    return 1
  fi
  sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): /  wall time: /p; s/.*Maximum resident set size (kbytes): /  peak memory (KB): /p' \
    "$data/model/$name.time"
  "$build/trim_model" "$data/model/$name.ret$(printf %02d "$iterations").yml" "$root/data/models/$name.yml"
}

train person-hog data/train.txt 3
if [ "${PERSON_FULL:-1}" = 1 ]; then
  train person-full data/train-full.txt 2 || echo "  stage 1 not installed; data/detect.txt runs stage 0 alone"
fi
echo "models in $root/data/models/"
