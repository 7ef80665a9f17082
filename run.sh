#!/usr/bin/env bash
# Shows the tool at work without a unit: builds what is needed, starts the unit
# simulator on a virtual COM1 in a private Wine prefix, and starts VTL_K4ZVL.exe under
# Wine. The tool opens COM1 by itself shortly after start and the traffic shows in its
# message log.
#   - With a display (DISPLAY set): the window is shown; closing it stops everything.
#   - Without one: it runs on Xvfb, saves pictures of both pages to build/screenshots/,
#     says where, closes the tool and stops.
# Ctrl-C stops everything too.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
tools/setup.sh

logs=$root/build/run-logs
mkdir -p "$logs"

source tools/build-targets.sh
echo "run: building (logs in build/run-logs/)"
vtl_build build/native vtl-unit-sim -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
vtl_build build/win VTL_K4ZVL vtl-driver vtl_help -- -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVTL_NATIVE_BUILD="$root/build/native"

# A prefix of its own, so that test runs that stop their Wine processes leave this alone.
export VTL_WINE_PREFIX=${VTL_WINE_PREFIX:-$root/build/wine-prefix-run}
source tests/wine/wine-env.sh
wine_env_init

headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  wine_env_display
  # No window manager runs on Xvfb, so Wine draws the frames and captions itself.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
else
  wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
fi

# The simulator makes a pty pair and prints the end the tool should open first.
sim_log=$logs/unit-sim.log
build/native/vtl-unit-sim >"$sim_log" 2>&1 &
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
  echo "run: the unit simulator did not start; see $sim_log" >&2
  exit 1
fi
wine_env_com_map 1 "$port"
echo "run: unit simulator on $port, which the tool sees as COM1 (its log: build/run-logs/unit-sim.log)"

# The tool writes ZVL-Log.txt (when asked to) into its current folder.
mkdir -p build/run
(cd build/run && exec wine "$root/build/win/VTL_K4ZVL.exe") >"$logs/wine.log" 2>&1 &
tool_pid=$!

if [ $headless = 0 ]; then
  echo "run: VTL_K4ZVL.exe is running; close its window to stop"
  wait "$tool_pid" || true
  exit 0
fi

# Headless: the driver works the tool as a user would, and pictures are taken.
coproc DRIVER { exec wine "$root/build/win/vtl-driver.exe" 2>>"$logs/wine.log"; }
drive() {
  local reply
  echo "$*" >&"${DRIVER[1]}"
  IFS= read -r reply <&"${DRIVER[0]}" || reply="error (driver ended)"
  reply=${reply%$'\r'}
  case $reply in
    ok*) echo "${reply#ok}" | sed 's/^ //' ;;
    *) echo "run: $* -> $reply" >&2; return 1 ;;
  esac
}
shots=$root/build/screenshots
mkdir -p "$shots"
# shoot NAME: the sheet and a small margin, cut out of the whole screen.
shoot() {
  local left top right bottom
  read -r left top right bottom < <(drive rect sheet)
  left=$((left > 8 ? left - 8 : 0)); top=$((top > 8 ? top - 8 : 0))
  import -display "$DISPLAY" -window root -crop "$((right - left + 8))x$((bottom - top + 8))+$left+$top" \
    +repage "$shots/$1"
}

drive find-sheet "\"Vantrel (K4 to ZVL)\"" 30000 >/dev/null
# Let some traffic through: COM1 is opened after 200 ms, the simulator sends controls
# every second and asks for indications every two.
drive wait-text 0 1016 "Rx:" 15000 >/dev/null
drive sleep 2500 >/dev/null
shoot 1-zvl-comms.png

drive page 1 >/dev/null
drive wait-text 1 1011 "\"Set to defaults\"" 5000 >/dev/null
drive click 1 1006 >/dev/null  # Read: the simulator answers with its configuration
drive wait-text 1 1011 "\"Read complete\"" 5000 >/dev/null || true
drive sleep 500 >/dev/null
shoot 2-k4-config.png

drive close >/dev/null
status=$(drive wait-exit 15000 || echo "?")
echo "quit" >&"${DRIVER[1]}" || true
echo "run: screenshots saved:"
echo "  build/screenshots/1-zvl-comms.png  (the ZVL comms page: COM1 open, traffic in the log)"
echo "  build/screenshots/2-k4-config.png  (the K4 Config page after Read)"
echo "run: the tool exited with status $status; everything started here is stopped"
