#!/usr/bin/env bash
# Builds everything and runs every test:
#   build/native       g++: the portable core's tests, the POSIX port, the unit simulator
#   build/native-asan  clang with AddressSanitizer + UndefinedBehaviorSanitizer: the same
#                      tests again, and short libFuzzer runs of every decoder
#   build/win          MinGW-w64: VTL_K4ZVL.exe and the Windows tests, run under Wine
# The last line is the total: "N passed, M failed".
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
  local dir=$1; shift
  local log="$logdir/$(basename "$dir")-ctest.log"
  (cd "$dir" && ctest --output-on-failure "$@") >"$log" 2>&1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "== $dir: ctest gave no summary"; tail -20 "$log"; failed=$((failed + 1)); return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  echo "== $dir: $line"
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
# The Windows tests share one Wine prefix and the COM port names, so they run one at a time.
if configure_and_build build/win -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVTL_NATIVE_BUILD="$PWD/build/native"; then
  run_ctest build/win -j 1
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
