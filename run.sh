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

fail() {  # a usage or device problem, said before anything is built or started
  echo "run: $*" >&2
  exit 2
}

device=""
com=1
sim_options=()
while [ $# -gt 0 ]; do
  case $1 in
    --help|-h) usage; exit 0 ;;
    --device) [ $# -ge 2 ] || fail "--device needs a path (see --help)"; device=$2; shift 2 ;;
    --device=*) device=${1#--device=}; shift ;;
    --com) [ $# -ge 2 ] || fail "--com needs a number (see --help)"; com=$2; shift 2 ;;
    --com=*) com=${1#--com=}; shift ;;
    --) shift; sim_options=("$@"); break ;;
    *) fail "unknown option '$1' (see --help)" ;;
  esac
done
[[ $com =~ ^[0-9]+$ ]] && [ "$com" -ge 1 ] && [ "$com" -le 15 ] ||
  fail "--com takes a port number from 1 to 15, not '$com'"
[ -n "$device" ] || [ "$com" = 1 ] || fail "--com goes with --device"
[ -z "$device" ] || [ ${#sim_options[@]} -eq 0 ] ||
  fail "options after -- are for the simulator, which --device does not start"

if [ -n "$device" ]; then
  # Said here, before Wine would turn every reason into "Failed to open serial port".
  [ -e "$device" ] || fail "$device does not exist (is the adapter plugged in? ls /dev/ttyUSB* /dev/ttyACM*)"
  [ -c "$device" ] || fail "$device is not a serial device"
  if [ ! -r "$device" ] || [ ! -w "$device" ]; then
    fail "$device cannot be opened for reading and writing by $(id -un): permission denied." \
      "Serial devices belong to the 'dialout' group: sudo usermod -aG dialout $(id -un)," \
      "then log in again"
  fi
  # Opened without waiting for the modem lines, as the link opens it.
  why=$(python3 -c '
import os, sys
try:
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
except OSError as e:
    print(e.strerror)
    sys.exit(0)
print("" if os.isatty(fd) else "not a serial device")' "$device")
  [ -z "$why" ] || fail "$device cannot be opened: $why"
fi

tools/setup.sh

logs=$root/build/run-logs
mkdir -p "$logs"

source tools/build-targets.sh
echo "run: building (logs in build/run-logs/)"
vtl_build_folder native vtl-unit-sim || exit 1
vtl_build_folder win VTL_K4ZVL vtl-driver vtl_help || exit 1

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
# COM1 is opened after 200 ms; another port is chosen in the list as a user would.
if [ "$com" != 1 ]; then
  drive wait-text 0 1016 "COM1" 15000 >/dev/null
  drive combo-select 0 1012 "$com" >/dev/null  # entry 0 is "None", then COM1 to COM15
fi
drive wait-text 0 1016 "\"COM$com' opened\"" 15000 >/dev/null ||
  echo "run: COM$com did not open; the picture shows why" >&2
# Let some traffic through: the simulator sends controls every second and asks for
# indications every two; a real unit sends what it sends.
drive wait-text 0 1016 "Rx:" 15000 >/dev/null || true
drive sleep 2500 >/dev/null
shoot 1-zvl-comms.png

drive page 1 >/dev/null
drive wait-text 1 1011 "\"Set to defaults\"" 5000 >/dev/null
drive click 1 1006 >/dev/null  # Read: the unit answers with its configuration
drive wait-text 1 1011 "\"Read complete\"" 5000 >/dev/null || true
drive sleep 500 >/dev/null
shoot 2-k4-config.png

drive close >/dev/null
status=$(drive wait-exit 15000 || echo "?")
echo "quit" >&"${DRIVER[1]}" || true
echo "run: screenshots saved:"
echo "  build/screenshots/1-zvl-comms.png  (the ZVL comms page: COM$com open, traffic in the log)"
echo "  build/screenshots/2-k4-config.png  (the K4 Config page after Read)"
echo "run: the tool exited with status $status; everything started here is stopped"
