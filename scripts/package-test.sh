#!/bin/sh
# Builds the Debian package from a build tree and runs it as installed:
#   scripts/package-test.sh [build dir] [work dir] [--apt]
# (defaults: build, a temporary directory). The package is built by CPack,
# its control fields and contents are checked, its dependencies are checked
# against this machine's packages, and it is unpacked into a fresh directory
# that a private mount namespace lays over /usr (nothing of the machine
# changes): there the demo runs from outside the source tree, detection
# with /usr/share/pedscan/detect.txt on the installed example, and its
# result file must equal the build tree's; the Python module, the manual
# page and the tools are tried the same way.
# --apt then installs the package onto this machine for real
# (apt-get install ./pedscan_<version>_amd64.deb) and runs the demo again.
# Exit status 77: the machine cannot run the check (named on stdout).
set -eu
build=${1:-build}
work=${2:-}
apt=no
[ "${3:-}" = --apt ] && apt=yes
[ "${2:-}" = --apt ] && { apt=yes; work=; }

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build tree"
build=$(cd "$build" && pwd)
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
src=$(cache_value CMAKE_HOME_DIRECTORY)
version=$(cache_value CMAKE_PROJECT_VERSION)
cpack=$(dirname "$(cache_value CMAKE_COMMAND)")/cpack

for tool in dpkg-deb dpkg-shlibdeps dpkg-query unshare mount; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing (dpkg-dev and util-linux provide them)"
done
[ -x "$cpack" ] || skip "no cpack beside $(cache_value CMAKE_COMMAND)"
# The installed view is an overlay of the package's /usr over the machine's,
# mounted in a private namespace: that needs root (or CAP_SYS_ADMIN).
unshare -m sh -c 'mount -t tmpfs none /mnt' 2>/dev/null \
  || skip "no private mount namespace here (needs root); run scripts/package-test.sh as root"

if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
rm -rf "$work"
mkdir -p "$work"

# The package, from the build tree (CPack runs the install rules with the
# prefix /usr under a staging directory of its own, in $work).
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$work/deb/pedscan_${version}_amd64.deb
[ -f "$deb" ] || { ls "$work/deb" >&2; fail "cpack made no pedscan_${version}_amd64.deb"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pedscan ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for needed in libc6 libstdc++6 libopencv-core libopencv-imgcodecs libopencv-videoio libalglib; do
  case $depends in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/contents"
for file in /usr/bin/pedscan /usr/share/pedscan/detect.txt /usr/share/pedscan/models/person-hog.yml \
            /usr/share/pedscan/models/person-full.yml /usr/share/pedscan/example/vtest-0440.png \
            /usr/share/man/man1/pedscan.1 /usr/include/pedscan/detection/detector.h \
            /usr/lib/cmake/pedscan/pedscanConfig.cmake /usr/lib/pkgconfig/pedscan.pc \
            /usr/lib/python3/dist-packages/pedscan/__init__.py; do
  grep -qx "$file" "$work/contents" || fail "the package lacks $file"
done
! grep -q '^/usr/local/' "$work/contents" || fail "the package has files under /usr/local"

# Every dependency has an installed package of a version that satisfies it,
# as apt-get install ./pedscan_*.deb would require here.
echo "$depends" | tr ',' '\n' | while read -r dependency; do
  satisfied=no
  alternatives=$(echo "$dependency" | tr '|' '\n')
  for alternative in $(echo "$alternatives" | sed 's/ *(\(.*\) \(.*\))/:\1:\2/; s/ //g'); do
    name=${alternative%%:*}
    relation=$(echo "$alternative" | cut -s -d: -f2)
    wanted=$(echo "$alternative" | cut -s -d: -f3)
    installed=$(dpkg-query -W -f '${db:Status-Status} ${Version}\n' "$name" 2>/dev/null | sed -n 's/^installed //p' | head -n 1)
    [ -n "$installed" ] || continue
    if [ -z "$relation" ] || dpkg --compare-versions "$installed" "$relation" "$wanted"; then
      satisfied=yes
    fi
  done
  [ $satisfied = yes ] || fail "this machine does not satisfy the dependency $dependency"
done

# The fresh install, seen as /usr by the programs run inside.
dpkg-deb -x "$deb" "$work/root"
mkdir -p "$work/run" "$work/expected"
(cd "$src" && "$build/pedscan" -d -c data/detect.txt -i data/example/vtest-0440.png \
   -o "$work/expected" -s -b >/dev/null)
[ "$(wc -l <"$work/expected/vtest-0440.txt")" -eq 3 ] || fail "the build tree finds no three people"
cat >"$work/installed.sh" <<'EOF'
set -eu
mount -t overlay overlay -o "lowerdir=$1/usr:/usr" /usr
cd "$2"
! ldd /usr/bin/pedscan | grep 'not found'
# The demo, as a user runs it from the installed package.
mkdir -p output
/usr/bin/pedscan -d -c /usr/share/pedscan/detect.txt -i /usr/share/pedscan/example/vtest-0440.png \
  -o output -s -b
PATH=/usr/bin pedscan --version >version
for tool in /usr/bin/pedscan-*; do ! ldd "$tool" | grep 'not found'; done
/usr/bin/pedscan-evaluate --help >/dev/null
man -w pedscan >manual.path
man pedscan >manual.txt 2>/dev/null
# The module of the package, for the system's interpreter, not one a local
# installation put first.
/usr/bin/python3 -c "
import sys
sys.path = [p for p in sys.path if not p.startswith('/usr/local')]
import pedscan, pedscan.batch
assert pedscan.__file__.startswith('/usr/lib/python3/dist-packages/'), pedscan.__file__
r = pedscan.Detector('/usr/share/pedscan/detect.txt').detect(
    __import__('cv2').imread('/usr/share/pedscan/example/vtest-0440.png'), suppress=True)
print(len(r.boxes))
" >python.out
EOF
unshare -m sh "$work/installed.sh" "$work/root" "$work/run" >"$work/run.log" 2>&1 \
  || { cat "$work/run.log" >&2; fail "the installed package"; }

cmp -s "$work/expected/vtest-0440.txt" "$work/run/output/vtest-0440.txt" \
  || fail "the installed demo's boxes differ from the build tree's"
[ -s "$work/run/output/vtest-0440.png" ] || fail "the installed demo drew no image"
# By name, as the version line shows the name the program was started by.
PATH=$build:$PATH pedscan --version | cmp -s - "$work/run/version" \
  || fail "the installed pedscan --version differs"
[ "$(cat "$work/run/manual.path")" = /usr/share/man/man1/pedscan.1 ] \
  || fail "man -w pedscan: $(cat "$work/run/manual.path")"
grep -q -- '--threads' "$work/run/manual.txt" || fail "man pedscan lacks --threads"
[ "$(cat "$work/run/python.out")" = 3 ] || fail "the installed Python module found $(cat "$work/run/python.out") people"

echo "package $(basename "$deb"): installed view runs the demo (3 people, boxes as the build tree's)"
echo "Depends: $depends"

if [ $apt = yes ]; then
  cp "$deb" "$work/run/"
  (cd "$work/run" && DEBIAN_FRONTEND=noninteractive apt-get install -y "./$(basename "$deb")")
  mkdir -p "$work/apt"
  (cd "$work/apt" && pedscan -d -c /usr/share/pedscan/detect.txt \
     -i /usr/share/pedscan/example/vtest-0440.png -o output -s -b)
  cmp -s "$work/expected/vtest-0440.txt" "$work/apt/output/vtest-0440.txt" \
    || fail "the apt-installed demo's boxes differ from the build tree's"
  echo "installed with apt-get; the demo from /usr/share/pedscan finds the same 3 people"
fi
