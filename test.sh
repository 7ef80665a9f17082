#!/usr/bin/env bash
# Builds and runs the tests, every stage or one:
#   ./test.sh            every stage
#   ./test.sh native     build/native: g++, the portable core's tests, the POSIX port,
#                        the unit simulator, vtl
#   ./test.sh asan       build/native-asan: clang with AddressSanitizer +
#                        UndefinedBehaviorSanitizer, the same tests again, and short
#                        libFuzzer runs of every decoder
#   ./test.sh win        build/win: MinGW-w64 x86_64, VTL_K4ZVL.exe, its zip and the
#                        Windows tests under Wine (against build/native's unit simulator,
#                        which it builds); build/win32: the same for i686 under 32-bit
#                        Wine (its Wine tests are skipped, and say so, where no 32-bit
#                        Wine runs)
# The folders are built by tools/build-targets.sh through their presets (CMakePresets.json). Every test carries its stage's label
# (native, asan, win; the end-to-end ones also e2e), so `ctest -L e2e` in build/win
# runs those alone. Each Windows test has a Wine prefix of its own (a copy of one
# template, tests/wine/wine-env.sh), so the Windows tests run two at a time.
#
# Order, so that the long Windows tests start early and the rest fills their waits:
#   1. build/native; its tests then run while build/win builds.
#   2. build/win's tests, two at a time; beside them, at the lowest priority so as not
#      to slow them: build/native-asan and its tests, then build/win32 and its tests.
#   3. every release artefact into build/release/ (the release targets of build/win and
#      build/win32: the zips, the installers, the Debian packages).
# The last line is the total: "N passed, M failed"; skipped tests count as neither.
set -uo pipefail
cd "$(dirname "$0")"
root=$PWD

usage() {
  echo "usage: ./test.sh [native|asan|win]   (no argument: every stage)"
}
stage=${1:-all}
case $stage in
  native | asan | win | all) ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; echo "test.sh: no stage '$stage'" >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then usage >&2; exit 2; fi

tools/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs"/*-ctest.log "$logs"/*-junit.xml "$logs/build-failures"
source tools/build-targets.sh
source tests/wine/wine-env.sh

# build NAME [TARGETS...]: builds build/NAME; a failure counts once, its tests do not run.
build() {
  vtl_build_folder "$@" && return 0
  echo "$1" >>"$logs/build-failures"
  return 1
}

# suite NAME CTEST-ARGS...: runs build/NAME's tests through their preset into its log
# (often in the background), and their results as JUnit XML beside it, which count reads.
suite() {
  local name=$1; shift
  ctest --preset "$name" --output-junit "$root/$logs/$name-junit.xml" "$@" >"$logs/$name-ctest.log" 2>&1
}

passed=0
failed=0
# count DIR: adds the counts of the suite's JUnit results to the totals. ctest writes a
# test that skipped itself (SKIP_RETURN_CODE) or is disabled as not failed, and any
# other test that did not run (a missing program) as failed, as its own summary does.
count() {
  local dir=$1
  local name
  name=$(basename "$dir")
  local log="$logs/$name-ctest.log" xml="$logs/$name-junit.xml"
  if [ ! -s "$xml" ]; then
    echo "== $dir: ctest gave no results"; tail -20 "$log"; failed=$((failed + 1)); return
  fi
  local p f seconds skipped bad
  { read -r p f seconds; read -r skipped; read -r bad; } < <(python3 - "$xml" <<'PY'
import sys
import xml.etree.ElementTree as ElementTree
suite = ElementTree.parse(sys.argv[1]).getroot()
passed, failed, skipped = [], [], []
for case in suite.iter("testcase"):
    status, why = case.get("status"), case.find("skipped")
    if status == "run":
        passed.append(case.get("name"))
    elif status == "disabled" or (why is not None and why.get("message", "").startswith("SKIP_")):
        skipped.append(case.get("name"))
    else:
        failed.append(case.get("name"))
print(len(passed), len(failed), suite.get("time"))
print(" ".join(skipped))
print(" ".join(failed))
PY
)
  passed=$((passed + p))
  failed=$((failed + f))
  echo "== $dir: $p passed, $f failed ($seconds s)"
  if [ -n "$skipped" ]; then
    echo "== $dir: $(wc -w <<<"$skipped") skipped, counted as neither passed nor failed: $skipped"
    grep -qs 'no working 32-bit Wine' "$dir"/Testing/Temporary/LastTest.log &&
      echo "   (no working 32-bit Wine here: Debian's wine32:i386 is missing, or the kernel cannot run 32-bit programs)"
  fi
  [ -n "$bad" ] && echo "== $dir: failed: $bad (output in $log)"
  return 0
}

# The 32-bit build's Wine tests are skipped where no 32-bit Wine runs; their programs
# are then not built (the tests skip before they look for them).
win32_programs=ON
wine_env_runs_32bit || win32_programs=OFF

case $stage in
  native)
    build native && suite native -j "$jobs"
    ;;
  asan)
    build native-asan && suite native-asan -j "$jobs"
    ;;
  win | all)
    # The Wine prefix that each Windows test copies, made while the builds run.
    (wine_env_settings; wine_env_template "$PWD/build/win/wine-prefixes/template") \
      >"$logs/wine-template.log" 2>&1 &
    template=$!
    if [ "$stage" = all ]; then
      build native && { suite native -j "$jobs" & }
    else
      build native vtl-unit-sim
    fi
    win_ok=0
    build win && win_ok=1
    wait "$template"
    [ $win_ok = 1 ] && { suite win & }
    (
      renice -n 19 $BASHPID >/dev/null
      if [ "$stage" = all ]; then
        build native-asan && suite native-asan -j "$jobs"
      fi
      build win32 -- -DVTL_WINE_TEST_PROGRAMS=$win32_programs && suite win32 -j "$jobs"
    ) &
    wait
    ;;
esac

# Every release artefact into build/release/: the zips, the installers and the Debian
# packages. After the tests, whose package tests remake the zips and installers.
if [ "$stage" = win ] || [ "$stage" = all ]; then
  [ $win_ok = 1 ] && build win release
  [ -d build/win32 ] && build win32 release
  ls -l build/release
fi

for name in native native-asan win win32; do
  [ -f "$logs/$name-ctest.log" ] && count "build/$name"
done
if [ -f "$logs/build-failures" ]; then
  failed=$((failed + $(wc -l <"$logs/build-failures")))
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
