#!/usr/bin/env bash
# The long reliability runs, too long for ./test.sh: the same end-to-end suite as
# e2e_reliability at full length (1,000 open/close cycles under a flood, 10 minutes at
# 1,000 frames/s with the log file on), then the fuzzing campaign (10 million runs of
# every fuzz target with ASan and UBSan). Logs go to build/soak-logs/.
#   ./soak.sh [--no-fuzz]
set -uo pipefail
cd "$(dirname "$0")"
source tools/build-targets.sh
vtl_tool_run_start soak || exit 1

status=0
export VTL_WINE_PREFIX=${VTL_WINE_PREFIX:-$root/build/wine-prefix-soak}
# The unit simulator that the reliability suite runs.
export VTL_NATIVE_BUILD=$root/build/native
echo "soak: reliability suite at full length (about 15 minutes)"
VTL_OPEN_CLOSE_CYCLES=1000 VTL_LOG_FLOOD_FRAMES=20000 VTL_SOAK_SECONDS=600 \
  tests/e2e/run-e2e.sh tests/e2e/test_reliability.py "$root/build/win" >"$logs/reliability.log" 2>&1 ||
  status=1
grep -E '^(test_| *[0-9]+ (cycles|s at))|cycles under|s at 1000|^(OK|FAILED)|^Ran' "$logs/reliability.log"
if [ "${1:-}" != --no-fuzz ]; then
  echo "soak: fuzzing, 10 million runs per target"
  tests/fuzz/run-long.sh 10000000 || status=1
fi
exit $status
