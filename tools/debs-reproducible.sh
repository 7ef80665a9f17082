#!/usr/bin/env bash
# Shows that the Debian packages are reproducible: builds them twice, each time in a
# fresh clone of one commit (the same folder both times, nothing kept between), and
# compares the two by sha256. Prints each build's sha256 lines, then "identical", or
# "DIFFERENT" with status 1.
#   tools/debs-reproducible.sh [COMMIT]     (default: HEAD; the work folder is
#                                            VTL_REPRO_DIR, default /tmp/vtl-debs-repro)
set -euo pipefail
source_tree=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$source_tree" rev-parse "${1:-HEAD}")
work=${VTL_REPRO_DIR:-/tmp/vtl-debs-repro}
rm -rf "$work"
mkdir -p "$work"
for round in 1 2; do
  tree=$work/tree
  rm -rf "$tree"
  git clone -q "$source_tree" "$tree"
  git -C "$tree" checkout -q "$commit"
  log=$work/build-$round.log
  (
    cd "$tree"
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTL_WERROR=ON
    cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release -DVTL_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVTL_NATIVE_BUILD="$tree/build/native"
    cmake --build build/win --target debs
  ) >"$log" 2>&1 || { echo "build $round failed; its log: $log" >&2; tail -20 "$log" >&2; exit 1; }
  (cd "$tree/build/release" && sha256sum ./*.deb | sed 's| \./| |') >"$work/sha256-$round"
  echo "build $round ($(git -C "$tree" log -1 --format='%h, committed %cI')):"
  sed 's/^/  /' "$work/sha256-$round"
done
if cmp -s "$work/sha256-1" "$work/sha256-2"; then
  echo "identical"
else
  echo "DIFFERENT"
  exit 1
fi
