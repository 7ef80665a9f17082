#!/bin/sh
# Typesets the user guide: groff with the ms macros and tbl, PostScript to PDF.
#   make-guide.sh SOURCE.ms OUTPUT.pdf
set -eu
tmp="$2.ps"
groff -t -ms -Tps -dpaper=a4 -P-pa4 "$1" >"$tmp"
ps2pdf -sPAPERSIZE=a4 "$tmp" "$2"
rm -f "$tmp"
