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
# The folders are built by tools/build-targets.sh. Every test carries its stage's label
# (native, asan, win; the end-to-end ones also e2e), so `ctest -L e2e` in build/win
# runs those alone. Each Windows test has a Wine prefix of its own (a copy of one
# template, tests/wine/wine-env.sh), so the Windows tests run two at a time.
#
# Order, so that the long Windows tests start early and the rest fills their waits:
#   1. build/native; its tests then run while build/win builds.
#   2. build/win's tests, two at a time; beside them, at the lowest priority so as not
#      to slow them: build/native-asan and its tests, then build/win32 and its tests.
# The last line is the total: "N passed, M failed"; skipped tests count as neither.
set -uo pipefail
cd "$(dirname "$0")"

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
rm -f "$logs"/*-ctest.log "$logs/build-failures"
source tools/build-targets.sh
source tests/wine/wine-env.sh

# build NAME [TARGETS...]: builds build/NAME; a failure counts once, its tests do not run.
build() {
  vtl_build_folder "$@" && return 0
  echo "$1" >>"$logs/build-failures"
  return 1
}

# suite DIR CTEST-ARGS...: runs the suite into its log (often in the background).
suite() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure "$@") >"$logs/$(basename "$dir")-ctest.log" 2>&1
}

passed=0
failed=0
# count DIR: adds the counts in the suite's log to the totals.
count() {
  local dir=$1
  local log="$logs/$(basename "$dir")-ctest.log"
  local line total bad skipped
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "== $dir: ctest gave no summary"; tail -20 "$log"; failed=$((failed + 1)); return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  skipped=$(grep -cE '^\s*[0-9]+ - .*\(Skipped\)' "$log")
  passed=$((passed + total - bad - skipped))
  failed=$((failed + bad))
  echo "== $dir: $line ($(grep -E '^Total Test time' "$log" | sed -E 's/.*= *//'))"
  if [ "$skipped" -gt 0 ]; then
    echo "== $dir: $skipped skipped, counted as neither passed nor failed:" \
         "$(grep -E '^\s*[0-9]+ - .*\(Skipped\)' "$log" | sed -E 's/^\s*[0-9]+ - ([^ ]+).*/\1/' | tr '\n' ' ')"
    grep -qs 'no working 32-bit Wine' "$dir"/Testing/Temporary/LastTest.log &&
      echo "   (no working 32-bit Wine here: Debian's wine32:i386 is missing, or the kernel cannot run 32-bit programs)"
  fi
  [ "$bad" -gt 0 ] && grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Exception|Subprocess)' "$log"
  [ "$bad" -gt 0 ] && sed -n '/The following tests FAILED/,$p' "$log" | head -20
  return 0
}

# The 32-bit build's Wine tests are skipped where no 32-bit Wine runs; their programs
# are then not built (the tests skip before they look for them).
win32_programs=ON
wine_env_runs_32bit || win32_programs=OFF

case $stage in
  native)
    build native && suite build/native -j "$jobs"
    ;;
  asan)
    build native-asan && suite build/native-asan -j "$jobs"
    ;;
  win | all)
    # The Wine prefix that each Windows test copies, made while the builds run.
    (wine_env_settings; wine_env_template "$PWD/build/win/wine-prefixes/template") \
      >"$logs/wine-template.log" 2>&1 &
    template=$!
    if [ "$stage" = all ]; then
      build native && { suite build/native -j "$jobs" & }
    else
      build native vtl-unit-sim
    fi
    win_ok=0
    build win && win_ok=1
    wait "$template"
    [ $win_ok = 1 ] && { suite build/win -j 2 & }
    (
      renice -n 19 $BASHPID >/dev/null
      if [ "$stage" = all ]; then
        build native-asan && suite build/native-asan -j "$jobs"
      fi
      build win32 -- -DVTL_WINE_TEST_PROGRAMS=$win32_programs && suite build/win32 -j "$jobs"
    ) &
    wait
    ;;
esac

for name in native native-asan win win32; do
  [ -f "$logs/$name-ctest.log" ] && count "build/$name"
done
if [ -f "$logs/build-failures" ]; then
  failed=$((failed + $(wc -l <"$logs/build-failures")))
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
