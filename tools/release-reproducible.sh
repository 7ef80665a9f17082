#!/usr/bin/env bash
# Shows that the release is reproducible: builds every artefact of build/release/ (the
# zips, the installers, the Debian packages) twice, each time in a fresh clone of one
# commit in a folder of another name (nothing kept between), and compares the two by
# sha256. Prints each build's listing with sizes and sha256, then "identical", or
# "DIFFERENT" with status 1.
#   tools/release-reproducible.sh [COMMIT]   (default: HEAD; the work folder is
#                                             VTL_REPRO_DIR, default /tmp/vtl-release-repro)
set -euo pipefail
source_tree=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$source_tree" rev-parse "${1:-HEAD}")
work=${VTL_REPRO_DIR:-/tmp/vtl-release-repro}
rm -rf "$work"
mkdir -p "$work"
for round in 1 2; do
  tree=$work/tree-$round
  git clone -q "$source_tree" "$tree"
  git -C "$tree" checkout -q "$commit"
  log=$work/build-$round.log
  (
    cd "$tree"
    cmake --preset native && cmake --preset win && cmake --preset win32
    cmake --build --preset win --target release
    cmake --build --preset win32 --target release
  ) >"$log" 2>&1 || { echo "build $round failed; its log: $log" >&2; tail -20 "$log" >&2; exit 1; }
  (cd "$tree/build/release" && sha256sum ./* | sed 's| \./| |') >"$work/sha256-$round"
  echo "build $round in $tree ($(git -C "$tree" log -1 --format='%h, committed %cI')):"
  (cd "$tree/build/release" && stat -c '  %8s %n' ./* | sed 's| \./| |')
  sed 's/^/  /' "$work/sha256-$round"
  rm -rf "$tree/build/native" "$tree/build/win" "$tree/build/win32"
done
if cmp -s "$work/sha256-1" "$work/sha256-2"; then
  echo "identical"
else
  echo "DIFFERENT"
  exit 1
fi
