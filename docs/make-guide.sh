#!/bin/sh
# Typesets the user guide: groff with the ms macros and tbl, PostScript to PDF. The
# pictures of the pages (docs/pictures/*.png) are turned into EPS for groff's PSPIC.
#   make-guide.sh SOURCE.ms OUTPUT.pdf VERSION-FILE
# Reproducible: every tool's time stamp is the VERSION-FILE's commit time
# (SOURCE_DATE_EPOCH, when set, wins), so one commit gives the same PDF bytes.
set -eu
source=$1 output=$2 version=$(cat "$3")
docs=$(cd "$(dirname "$source")" && pwd)
work="$output.parts"
rm -rf "$work"
mkdir -p "$work"
: "${SOURCE_DATE_EPOCH:=$(git -C "$docs" log -1 --format=%ct 2>/dev/null || date -r "$source" +%s)}"
export SOURCE_DATE_EPOCH
for png in "$docs"/pictures/*.png; do
  [ -e "$png" ] || continue
  convert "$png" "eps2:$work/$(basename "$png" .png).eps"
done
# PSPIC looks for pictures relative to the current folder.
(cd "$work" && groff -t -ms -Tps -dpaper=a4 -P-pa4 -dVERSION="$version" "$source") >"$work/guide.ps"
# Ghostscript's document ID hashes the output file's name as given: a fixed relative name,
# so that builds in two folders give the same PDF.
(cd "$work" && ps2pdf -sPAPERSIZE=a4 guide.ps guide.pdf)
mv "$work/guide.pdf" "$output"
rm -rf "$work"
