#!/usr/bin/env bash
# Builds everything and runs every test:
#   build/native       g++: the portable core's tests, the POSIX port, the unit simulator
#   build/native-asan  clang with AddressSanitizer + UndefinedBehaviorSanitizer: the same
#                      tests again, and short libFuzzer runs of every decoder
#   build/win          MinGW-w64 x86_64: VTL_K4ZVL.exe, its zip, the Windows tests under Wine
#   build/win32        MinGW-w64 i686: the same under 32-bit Wine (its Wine tests are
#                      skipped, and say so, where no 32-bit Wine runs)
# The last line is the total: "N passed, M failed"; skipped tests count as neither.
set -uo pipefail
cd "$(dirname "$0")"
tools/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
passed=0
failed=0
logdir=build/test-logs
mkdir -p "$logdir"

# configure_and_build DIR CMAKE-ARGS...
configure_and_build() {
  local dir=$1; shift
  if ! { cmake -S . -B "$dir" -G Ninja -DVTL_WERROR=ON "$@" >"$logdir/$(basename "$dir")-configure.log" 2>&1 &&
         cmake --build "$dir" -j "$jobs" >"$logdir/$(basename "$dir")-build.log" 2>&1; }; then
    echo "== build of $dir failed:"
    grep -E 'error|Error' -A3 "$logdir/$(basename "$dir")"-*.log | head -40
    failed=$((failed + 1))
    return 1
  fi
}

# run_ctest DIR CTEST-ARGS...: runs the suite and adds its counts to the totals.
run_ctest() {
  ctest_run "$@"
  ctest_count "$1"
}

# ctest_run DIR CTEST-ARGS...: runs the suite into its log (may run in the background).
ctest_run() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure "$@") >"$logdir/$(basename "$dir")-ctest.log" 2>&1
}

# ctest_count DIR: adds the counts in the suite's log to the totals.
ctest_count() {
  local dir=$1
  local log="$logdir/$(basename "$dir")-ctest.log"
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
  echo "== $dir: $line"
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

if configure_and_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_ctest build/native -j "$jobs"
fi
if configure_and_build build/native-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
     -DVTL_SANITIZE=ON -DVTL_FUZZ=ON; then
  run_ctest build/native-asan -j "$jobs"
fi
# Each Windows build's tests share one Wine prefix and the COM port names, so they run one
# at a time; the two builds have prefixes of their own, so their suites run side by side.
# Each suite makes its build's zip package and checks it.
windows_suites=()
if configure_and_build build/win -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVTL_NATIVE_BUILD="$PWD/build/native"; then
  windows_suites+=(build/win)
fi
if configure_and_build build/win32 -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake -DVTL_NATIVE_BUILD="$PWD/build/native"; then
  windows_suites+=(build/win32)
fi
for dir in "${windows_suites[@]}"; do ctest_run "$dir" -j 1 & done
wait
for dir in "${windows_suites[@]}"; do ctest_count "$dir"; done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
