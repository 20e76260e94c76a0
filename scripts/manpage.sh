#!/bin/sh
# Writes the manual page pedscan.1 from the program's own --help, so that the
# page lists exactly the options the built program accepts:
#   scripts/manpage.sh <pedscan binary> <version> <share directory> <output>
# The share directory is where the installed configuration and models live
# (named in FILES). Needs only sh and awk.
set -eu
[ $# -eq 4 ] || { echo "usage: $0 <pedscan> <version> <share directory> <output>" >&2; exit 2; }
program=$1 version=$2 share=$3 output=$4

help=$("$program" --help)
tmp="$output.tmp.$$"
trap 'rm -f "$tmp"' EXIT

printf '%s\n' "$help" | awk -v version="$version" -v share="$share" '
# roff text: backslashes doubled as \e, hyphens as \-, and a line that
# would begin with a control character guarded by \&.
function esc(s) {
  gsub(/\\/, "\\e", s)
  gsub(/-/, "\\-", s)
  if (s ~ /^[.'\'']/) s = "\\&" s
  return s
}
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function flush_option() {
  if (name != "") {
    opts = opts ".TP\n\\fB" esc(name) "\\fR\n"
    if (text != "") opts = opts esc(text) "\n"
  }
  name = ""; text = ""
}
BEGIN { section = "" }
/^USAGE:/ { section = "usage"; next }
/^Where:/ { section = "options"; next }
/^[ \t]*EXAMPLES:/ { flush_option(); section = "examples"; next }
section == "usage" {
  line = trim($0)
  if (line == "") next
  # The first word is the path the program was started by.
  if (usage == "") sub(/^[^ ]+/, "pedscan", line)
  usage = usage (usage == "" ? "" : " ") line
  next
}
section == "options" {
  if ($0 ~ /^   [^ ]/) {            # an option: "-c <filename>,  --configfile <filename>"
    flush_option()
    name = trim($0)
    gsub(/,  /, ", ", name)
    next
  }
  line = trim($0)
  if (line == "") next
  if (line == "-- OR --") { flush_option(); opts = opts ".PP\nor\n"; next }
  text = text (text == "" ? "" : " ") line
  next
}
section == "examples" {
  line = trim($0)
  if (line == "") next
  if (line ~ /^- /) { sub(/^- /, "", line); sub(/:$/, "", line); examples[++n] = "T" line; next }
  sub(/^\.\//, "", line)
  # A command broken over lines by the help formatter continues the last
  # one (without a space where the break fell inside a value like 1,2,3).
  if (n > 0 && substr(examples[n], 1, 1) == "C") examples[n] = examples[n] (line ~ /^,/ ? "" : " ") line
  else examples[++n] = "C" line
  next
}
END {
  flush_option()
  print ".TH PEDSCAN 1 \"\" \"pedscan " version "\" \"User Commands\""
  print ".nh"
  print ".SH NAME"
  print "pedscan \\- object detection with dense features, partial least squares and cascades of classifiers"
  print ".SH SYNOPSIS"
  print ".ad l"
  print esc(usage)
  print ".ad"
  print ".SH DESCRIPTION"
  print "Exactly one of \\fB\\-d\\fR (detection), \\fB\\-t\\fR (training) and \\fB\\-u\\fR (feature"
  print "extraction) is given; \\fB\\-c\\fR names the configuration file."
  print "Detection writes one \\fI<stem>.txt\\fR per frame into the \\fB\\-o\\fR directory, one"
  print "\\fIx y width height response\\fR line per box (\\fI<stem>.<type>.txt\\fR with several"
  print "object types), and with \\fB\\-b\\fR the frame with the boxes drawn."
  print ".SH OPTIONS"
  printf "%s", opts
  print ".SH EXAMPLES"
  for (i = 1; i <= n; ++i) {
    if (substr(examples[i], 1, 1) == "T") { print ".PP"; print esc(substr(examples[i], 2)) ":" }
    else { print ".RS"; print ".nf"; print "\\f(CW" esc(substr(examples[i], 2)) "\\fR"; print ".fi"; print ".RE" }
  }
  print ".PP"
  print "Detection with the installed person model on the installed example image:"
  print ".RS"
  print ".nf"
  print "\\f(CWpedscan \\-d \\-c " esc(share) "/detect.txt \\-i " esc(share) "/example/vtest\\-0440.png \\-o output \\-s \\-b\\fR"
  print ".fi"
  print ".RE"
  print ".SH FILES"
  print ".TP"
  print "\\fI" esc(share) "/detect.txt\\fR"
  print "Detection configuration of the bundled two-stage person cascade, with absolute model paths."
  print ".TP"
  print "\\fI" esc(share) "/models/\\fR"
  print "The cascade'\''s model files."
  print ".TP"
  print "\\fI" esc(share) "/train.txt\\fR, \\fI" esc(share) "/train\\-full.txt\\fR"
  print "Model configurations of the cascade'\''s two stages, for training."
  print ".TP"
  print "\\fI" esc(share) "/example/vtest\\-0440.png\\fR"
  print "An example frame with three people."
}' > "$tmp"
mv "$tmp" "$output"
trap - EXIT
