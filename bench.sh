#!/usr/bin/env bash
# Measures the tool's figures and prints them as one table: figure, goal, measured,
# and the command that measured it. Builds what it needs (as ./test.sh does) and runs
# the Windows figures under Wine on an Xvfb display in a private prefix made as
# ./run.sh makes its own (Wine's theme off).
#   ./bench.sh            everything
# Settings: VTL_BENCH_SAMPLES (answers timed per latency figure, default 300),
# VTL_WINE_PREFIX (default build/wine-prefix-bench); the close figure is taken again
# with Wine's default theme in VTL_WINE_THEMED_PREFIX (default build/wine-prefix-bench-theme).
set -uo pipefail
cd "$(dirname "$0")"
source tools/build-targets.sh
vtl_tool_run_start bench bench_receive_path vtl || exit 1
# The helpers the Python scripts import: the package tests/vtltest.
export PYTHONPATH=$root/tests${PYTHONPATH:+:$PYTHONPATH}

figures=$logs/figures.txt
: >"$figures"
# row NAME GOAL MEASURED COMMAND
row() { printf '%s\t%s\t%s\t%s\n' "$@" >>"$figures"; }

echo "bench: receive path (Google Benchmark)"
build/native/tests/bench/bench_receive_path --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  >"$logs/receive_path.json" 2>"$logs/receive_path.err"
read -r mbps ratio < <(python3 - "$logs/receive_path.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = next(b for b in runs if b.get("aggregate_name") == "median")
print("%.0f %.0f" % (median["bytes_per_second"] / 1e6, median["x_line_rate"]))
PY
)
row "Receive path, native" ">= 100 MB/s (400,000 x 240 B/s)" "${mbps} MB/s = ${ratio} x the line" \
    "build/native/tests/bench/bench_receive_path (median of 5)"

echo "bench: vtl test at the line's pace (tests/bench/runner_figures.py)"
VTL_NATIVE_BUILD=$root/build/native python3 tests/bench/runner_figures.py >"$logs/runner-figures.txt" 2>&1
runner() { awk -v n="$1" '$1 == "FIGURE" && $2 == n {$1 = $2 = ""; sub(/^  /, ""); print}' "$logs/runner-figures.txt"; }
cmd3="tests/bench/runner_figures.py"
row "vtl test, production plan, one --line-rate unit: wall time" "within 10 % of wire + waits" \
    "$(runner one_unit_wall_s) s vs $(runner one_unit_needed_s): $(runner one_unit_over_pct) % over" "$cmd3"
row "vtl test, 16 units side by side: wall time" "within 15 % of one unit's" \
    "$(runner sixteen_units_wall_s): $(runner sixteen_vs_one_pct) % over one unit" "$cmd3"
row "vtl test: processor time per unit" "reported" "$(runner cpu_per_unit_ms) ms" "$cmd3"

echo "bench: the running tool under Wine"
export VTL_WINE_PREFIX=${VTL_WINE_PREFIX:-$root/build/wine-prefix-bench}
(
  source tests/wine/wine-env.sh
  wine_env_init
  wine_env_display || exit 1
  export VTL_WIN_BUILD=$root/build/win VTL_E2E_TMP=$WINE_ENV_TMP VTL_NATIVE_BUILD=$root/build/native
  theme=$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive 2>/dev/null |
          tr -d '\r' | awk '/ThemeActive/ {print $3}')
  echo "THEME ${theme:-unset}" >"$logs/wine-figures.txt"
  /usr/bin/python3 tests/bench/e2e_figures.py >>"$logs/wine-figures.txt" 2>"$logs/wine-figures.err"
  echo "bench: end-to-end flood (tests/bench/e2e_flood.py)"
  /usr/bin/python3 tests/bench/e2e_flood.py >"$logs/e2e-flood.txt" 2>&1
  echo "bench: floods beyond the line (tests/bench/e2e_overload.py)"
  /usr/bin/python3 tests/bench/e2e_overload.py >"$logs/e2e-overload.txt" 2>&1
)
echo "bench: closing during a flood again, with Wine's default theme"
(
  export VTL_WINE_THEME=default VTL_WINE_PREFIX=${VTL_WINE_THEMED_PREFIX:-$root/build/wine-prefix-bench-theme}
  source tests/wine/wine-env.sh
  wine_env_init
  wine_env_display || exit 1
  export VTL_WIN_BUILD=$root/build/win VTL_E2E_TMP=$WINE_ENV_TMP VTL_NATIVE_BUILD=$root/build/native
  /usr/bin/python3 tests/bench/e2e_figures.py close >"$logs/wine-figures-theme.txt" 2>"$logs/wine-figures-theme.err"
)
fig() { awk -v n="$1" '$1 == "FIGURE" && $2 == n {print $3 " " $4}' "$logs/wine-figures.txt"; }
themed() { awk -v n="$1" '$1 == "FIGURE" && $2 == n {print $3 " " $4}' "$logs/wine-figures-theme.txt"; }
cmd="tests/bench/e2e_figures.py"
row "ACK to a '~' frame, median" "<= 1 ms" "$(fig ack_latency_median)" "$cmd"
row "ACK to a '~' frame, 99th percentile" "<= 5 ms" "$(fig ack_latency_p99)" "$cmd"
row "Indications answer to 'R', median" "<= 2 ms" "$(fig r_answer_latency_median)" "$cmd"
row "Start-up to the sheet shown, median" "<= 500 ms" "$(fig start_up_median)" "$cmd"
row "Closing the port during a flood, median" "<= 50 ms" "$(fig close_while_flooding_median)" "$cmd"
row "Closing the port during a flood, median, Wine's default theme" "<= 50 ms" "$(themed close_while_flooding_median)" "$cmd close"
# over FLOOD KEY: one figure of tests/bench/e2e_overload.py's line for that flood.
over() { awk -v f="flood=$1" -v k="$2" '$1 == f {for (i = 2; i <= NF; i++) {split($i, kv, "="); if (kv[1] == k) print kv[2]}}' "$logs/e2e-overload.txt"; }
cmd2="tests/bench/e2e_overload.py"
for flood in controls polls; do
  case $flood in
    controls) what="'C' flood, Respond clear" ;;
    polls) what="'R' flood, Respond ticked" ;;
  esac
  row "$what ($(over $flood mbps) MB/s): memory growth" "<= 64 MiB" "$(over $flood memory_growth_mib) MiB" "$cmd2"
  row "$what: slowest click" "<= 1000 ms" "$(over $flood click_max_ms) ms of $(over $flood clicks) (median $(over $flood click_median_ms) ms)" "$cmd2"
  row "$what: click after the flood" "<= 1000 ms" "$(over $flood after_flood_ms) ms; drop notice $(over $flood dropped_notice)" "$cmd2"
  row "$what: Close to exit" "<= 5000 ms" "$(over $flood close_ms) ms" "$cmd2"
done
row "VTL_K4ZVL.exe size" "reported" "$(fig exe_size)" "$cmd"
row "Peak working set" "reported" "$(fig peak_working_set)" "$cmd"
row "Handle count" "reported" "$(fig handle_count)" "$cmd"

echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr), $(wine --version), Xvfb, Wine theme ThemeActive=$(awk '$1 == "THEME" {print $2}' "$logs/wine-figures.txt")"
echo
column -t -s $'\t' -N "Figure,Goal,Measured,Command" "$figures"
echo
echo "Details:"
grep '^FIGURE' "$logs/wine-figures.txt" | cut -d' ' -f2- | sed 's/^/  /'
grep '^FIGURE' "$logs/wine-figures-theme.txt" | cut -d' ' -f2- | sed "s/^/  Wine's default theme: /"
echo "End-to-end flood (tests/bench/e2e_flood.py):"
sed 's/^/  /' "$logs/e2e-flood.txt"
echo "Floods beyond the line (tests/bench/e2e_overload.py):"
sed 's/^/  /' "$logs/e2e-overload.txt"
