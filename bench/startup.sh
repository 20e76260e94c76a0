#!/bin/sh
# Start-up cost of a program: `<program> --version` loads every shared
# library and exits before any work. Over N runs it prints the median wall
# time, the median processor time (user + system, from /usr/bin/time when
# installed; less disturbed than wall time on a busy machine), the median
# cycles the dynamic linker reports for itself (LD_DEBUG=statistics) and
# the number of libraries ldd lists.
#   bench/startup.sh [program] [runs]     (defaults: build/pedscan, 20)
set -eu
program=${1:-build/pedscan}
runs=${2:-20}
[ -x "$program" ] || { echo "no program at $program" >&2; exit 2; }

median() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) m = v[(NR + 1) / 2]; else m = (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.1f", m }'
}

# One warm-up run puts the libraries into the page cache.
"$program" --version >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
while [ "$i" -lt "$runs" ]; do
  start=$(date +%s%N)
  "$program" --version >/dev/null
  end=$(date +%s%N)
  echo $(( (end - start) / 1000 )) >>"$tmp/wall"
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%U %S" -o "$tmp/one" "$program" --version >/dev/null
    awk '{ printf "%d\n", ($1 + $2) * 1000000 }' "$tmp/one" >>"$tmp/cpu"
  fi
  LD_DEBUG=statistics "$program" --version 2>&1 >/dev/null |
    awk '/total startup time in dynamic loader/ { print $(NF - 1) }' >>"$tmp/loader"
  i=$((i + 1))
done

wall=$(awk '{ print $1 / 1000 }' "$tmp/wall" | median)
line="$program --version, median of $runs runs: wall $wall ms"
if [ -s "$tmp/cpu" ]; then
  line="$line, processor $(awk '{ print $1 / 1000 }' "$tmp/cpu" | median) ms"
fi
if [ -s "$tmp/loader" ]; then
  line="$line, dynamic linker $(awk '{ print $1 / 1000000 }' "$tmp/loader" | median) M cycles"
fi
echo "$line; ldd lists $(ldd "$program" | wc -l) libraries"
