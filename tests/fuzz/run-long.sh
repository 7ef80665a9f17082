#!/usr/bin/env bash
# The long fuzzing campaign: every fuzz target, built with ASan and UBSan at -O2, run
# for RUNS executions (default 10 million) from its kept corpus. What each run found is
# merged back into tests/fuzz/corpus/<name>, so later short runs start from it.
# Prints one line per target: name, executions, seconds, executions per second, result.
#   tests/fuzz/run-long.sh [RUNS] [TARGET...]
# PARALLEL (default 2) targets run at once, each at a lower priority.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
runs=${1:-10000000}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_receive_path fuzz_read_response fuzz_comms_state
                                     fuzz_log_text fuzz_config_form fuzz_config_file)
build=build/fuzz-rel
logs=build/fuzz-logs
mkdir -p "$logs"
tools/setup.sh
cmake -S . -B "$build" -G Ninja -DVTL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVTL_SANITIZE=ON -DVTL_FUZZ=ON >"$logs/configure.log" 2>&1 &&
  cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >"$logs/build.log" 2>&1 ||
  { echo "fuzz: build failed, see $logs/build.log"; exit 1; }

one() {
  local t=$1 work
  work=$(mktemp -d /tmp/vtl-fuzz-$t.XXXXXX)
  cp "$root/tests/fuzz/corpus/$t/"* "$work/" 2>/dev/null
  local start end status
  start=$(date +%s)
  nice -n 10 "$build/tests/fuzz/$t" -runs="$runs" -max_len=4096 -timeout=10 \
    -artifact_prefix="$logs/$t-" -print_final_stats=1 "$work" >"$logs/$t.log" 2>&1
  status=$?
  end=$(date +%s)
  # Keep what is new, minimised, in the repository's corpus.
  nice -n 10 "$build/tests/fuzz/$t" -merge=1 -max_len=4096 "$root/tests/fuzz/corpus/$t" "$work" \
    >"$logs/$t-merge.log" 2>&1
  rm -rf "$work"
  local done_runs
  done_runs=$(grep -oE 'Done [0-9]+ runs' "$logs/$t.log" | grep -oE '[0-9]+' | tail -1)
  local secs=$((end - start)); [ $secs -lt 1 ] && secs=1
  local result="no finding"
  [ $status -ne 0 ] && result="FINDING (exit $status, see $logs/$t.log)"
  printf '%-20s %12s runs %6ss %9s exec/s  %s\n' "$t" "${done_runs:-0}" "$secs" \
    "$(( ${done_runs:-0} / secs ))" "$result" | tee "$logs/$t.result"
}

parallel=${PARALLEL:-2}
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
  one "$t" &
done
wait
echo "fuzz: per-target logs in $logs/"
! grep -l FINDING "$logs"/*.result >/dev/null 2>&1
