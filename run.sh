#!/usr/bin/env bash
# Shows the tool at work: builds what is needed and starts VTL_K4ZVL.exe under Wine in a
# private prefix, with the unit simulator on a virtual COM1, or with a real unit on a
# serial device (--device). ./run.sh --help says more.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

usage() {
  cat <<'EOF'
Usage: ./run.sh [--device PATH [--com N]] [-- SIMULATOR-OPTIONS...]
Builds what is needed and starts VTL_K4ZVL.exe under Wine.

  (no options)     the unit simulator plays the unit on a virtual COM1
  --device PATH    a real unit on this serial device (for example /dev/ttyUSB0), which
                   the tool sees as COM N; the simulator is not started
  --com N          the COM port number for --device, 1 to 15 (default 1); the tool opens
                   COM1 by itself at start, so for another number choose COM N in its
                   port list
  -- OPTIONS...    the rest goes to the unit simulator, to try faults in the window:
                   ./run.sh -- --nak 20 --garbage 5 (build/native/vtl-unit-sim --help
                   lists them)
  --help           this text

With a display (DISPLAY set) the window is shown; closing it stops everything. Without
one it runs on Xvfb, saves build/screenshots/1-zvl-comms.png and 2-k4-config.png, and
stops. Ctrl-C stops everything too. Logs are in build/run-logs/.
EOF
}

# The device checks, the prefix, the COM mapping and the headless run are shared with
# the installed launcher (packaging/vantrel-configurator).
VTL_RUN_NAME=run
source tests/wine/wine-env.sh
source tools/configurator-run.sh

vtl_run_options --rest "$@"
device=$vtl_device com=$vtl_com sim_options=("${vtl_rest[@]}")
[ -z "$device" ] || vtl_run_check_device "$device"

tools/setup.sh

logs=$root/build/run-logs
mkdir -p "$logs"

source tools/build-targets.sh
echo "run: building (logs in build/run-logs/)"
vtl_build_folder native vtl-unit-sim || exit 1
vtl_build_folder win VTL_K4ZVL vtl-driver vtl_help || exit 1

# A prefix of its own, so that test runs that stop their Wine processes leave this alone.
export VTL_WINE_PREFIX=${VTL_WINE_PREFIX:-$root/build/wine-prefix-run}
vtl_run_wine "$root/build/win/vtl-driver.exe"

if [ -n "$device" ]; then
  wine_env_com_map "$com" "$device"
  echo "run: $device is COM$com for the tool"
else
  # The simulator makes a pty pair and prints the end the tool should open first.
  sim_log=$logs/unit-sim.log
  build/native/vtl-unit-sim "${sim_options[@]}" >"$sim_log" 2>&1 &
  WINE_ENV_PIDS+=($!)
  sim_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(head -n 1 "$sim_log" 2>/dev/null || true)
    [ -n "$port" ] && [ -e "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$port" ] || [ ! -e "$port" ]; then
    echo "run: the unit simulator did not start:" >&2
    cat "$sim_log" >&2
    exit 1
  fi
  wine_env_com_map 1 "$port"
  echo "run: unit simulator on $port, which the tool sees as COM1 (its log: build/run-logs/unit-sim.log)"
fi

# The tool writes ZVL-Log.txt (when asked to) into its current folder.
mkdir -p build/run
vtl_run_tool "$root/build/win/VTL_K4ZVL.exe" build/run "$logs/wine.log"

if [ $vtl_headless = 0 ]; then
  echo "run: VTL_K4ZVL.exe is running; close its window to stop"
  wait "$vtl_tool_pid" || true
  exit 0
fi

# Headless: the driver works the tool as a user would, and pictures are taken.
vtl_run_headless "$root/build/win/vtl-driver.exe" "$root/build/screenshots" "$com" "$logs/wine.log"
