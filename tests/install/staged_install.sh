#!/bin/sh
# Installs the build tree under a staging directory (DESTDIR) for the prefix
# /opt/pedscan-staged and checks what another program needs from it:
#   staged_install.sh <build dir> <source dir> <work dir> <cmake>
# - the layout, and the tools under their pedscan-<tool> names;
# - the detection configurations: model paths of the final prefix that
#   exist in the stage, never the staging directory itself;
# - find_package(pedscan): the library example built by a project of its
#   own against the stage prints what the build tree's example prints;
# - pkg-config: the flags name the prefix, and the example built with them
#   (relocated into the stage with --define-prefix) prints the same;
# - the manual page renders and lists every option of pedscan --help.
set -eu
build=$1 src=$2 work=$3 cmake=$4
prefix=/opt/pedscan-staged
stage=$work/stage
root=$stage$prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

for file in bin/pedscan share/pedscan/models/person-hog.yml share/pedscan/models/person-full.yml \
            share/pedscan/example/vtest-0440.png share/pedscan/train.txt share/pedscan/train-full.txt \
            share/pedscan/detect.txt share/pedscan/detect-eval.txt share/man/man1/pedscan.1 \
            include/pedscan/detection/detector.h include/pedscan/support/failure.h \
            lib/cmake/pedscan/pedscanConfig.cmake lib/cmake/pedscan/pedscanTargets.cmake \
            lib/pkgconfig/pedscan.pc; do
  [ -f "$root/$file" ] || fail "$prefix/$file is not installed"
done
for library in support numeric model features source annotation detection training; do
  [ -f "$root/lib/libpedscan_$library.a" ] || fail "lib/libpedscan_$library.a is not installed"
done
for tool in label crops windows evaluate export trim_model peers; do
  if [ -x "$build/$tool" ]; then
    [ -x "$root/bin/pedscan-$tool" ] || fail "$build/$tool is not installed as bin/pedscan-$tool"
  fi
done
# Run by name, as the version line shows the name the program was started by.
PATH=$root/bin:$PATH pedscan --version >"$work/version.staged"
PATH=$build:$PATH pedscan --version >"$work/version.built"
cmp -s "$work/version.built" "$work/version.staged" || fail "the staged pedscan --version differs"

# Configurations: the source's, with the models at their installed place.
for configuration in detect detect-eval; do
  installed=$root/share/pedscan/$configuration.txt
  sed "s|data/models/|$prefix/share/pedscan/models/|" "$src/data/$configuration.txt" >"$work/expected"
  cmp -s "$work/expected" "$installed" || { diff "$work/expected" "$installed" >&2; fail "$configuration.txt"; }
  ! grep -qF "$stage" "$installed" || fail "$configuration.txt names the staging directory"
  for model in $(sed -n 's/^model <[^,]*,[^,]*,[^,]*, *\([^>]*\)>.*/\1/p' "$installed"); do
    case $model in "$prefix"/*) ;; *) fail "$configuration.txt: $model is not under $prefix" ;; esac
    [ -f "$stage$model" ] || fail "$configuration.txt: $model is not installed"
  done
done
[ "$(grep -c '^model <' "$root/share/pedscan/detect.txt")" -eq 2 ] || fail "detect.txt lost its models"

# The example as another project builds it. It runs in the source tree, whose
# relative configuration the build tree's example reads too.
(cd "$src" && "$build/examples/detect_image" data/detect.txt data/example/vtest-0440.png) \
  >"$work/expected"
[ "$(wc -l <"$work/expected")" -eq 3 ] || fail "the build tree's example found no three people"

"$cmake" -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root" \
  -DEXAMPLE_SOURCE="$src/examples/detect_image.cpp" >"$work/consumer.log" 2>&1 \
  || { cat "$work/consumer.log" >&2; fail "find_package(pedscan) against the stage"; }
"$cmake" --build "$work/consumer" >>"$work/consumer.log" 2>&1 \
  || { cat "$work/consumer.log" >&2; fail "building against the stage"; }
! grep -rqF "$src/src" "$work/consumer/CMakeFiles/detect_image.dir/flags.make" \
  || fail "the consumer was compiled with the source tree's headers"
(cd "$src" && "$work/consumer/detect_image" data/detect.txt data/example/vtest-0440.png) \
  >"$work/consumer.out"
cmp -s "$work/expected" "$work/consumer.out" || fail "the find_package example prints otherwise"

# pkg-config: the installed prefix in the flags; relocated into the stage,
# the same flags build the example.
flags=$(PKG_CONFIG_PATH=$root/lib/pkgconfig pkg-config --cflags --libs pedscan)
case $flags in *"-I$prefix/include/pedscan"*) ;; *) fail "pkg-config --cflags: $flags" ;; esac
case $flags in *"-L$prefix/lib"*"-lpedscan_detection"*"-lpedscan_support"*"-lopencv_core"*) ;;
  *) fail "pkg-config --libs: $flags" ;; esac
staged_flags=$(PKG_CONFIG_PATH=$root/lib/pkgconfig pkg-config --define-prefix --cflags --libs pedscan)
# shellcheck disable=SC2086  # the flags are words
c++ -std=c++17 -o "$work/detect_image_pc" "$src/examples/detect_image.cpp" $staged_flags \
  || fail "c++ with pkg-config's flags: $staged_flags"
(cd "$src" && "$work/detect_image_pc" data/detect.txt data/example/vtest-0440.png) >"$work/pc.out"
cmp -s "$work/expected" "$work/pc.out" || fail "the pkg-config example prints otherwise"

# The manual page: it renders, names the installed configuration and lists
# every long option the program takes.
man -l "$root/share/man/man1/pedscan.1" >"$work/pedscan.txt" 2>"$work/man.err" || fail "man -l"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man -l warns"; }
grep -qF "$prefix/share/pedscan/detect.txt" "$work/pedscan.txt" || fail "the page misses detect.txt"
"$build/pedscan" --help | grep -oE -- '--[A-Za-z_]+' | sort -u >"$work/options"
[ "$(wc -l <"$work/options")" -gt 20 ] || fail "pedscan --help lists too few options"
while read -r option; do
  grep -qF -- "$option" "$work/pedscan.txt" || fail "the manual page misses $option"
done <"$work/options"
echo "staged install under $prefix: layout, configurations, find_package, pkg-config and manual page checked"
