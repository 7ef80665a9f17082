# Starts VTL_K4ZVL.exe under Wine for a user: the one copy of what ./run.sh and the
# installed launcher (vantrel-configurator, packaging/vantrel-configurator) share.
# Source tests/wine/wine-env.sh first (the package installs both side by side), set
# VTL_RUN_NAME to the name that starts every message ("run", "vantrel-configurator"),
# define usage() (the --help text), then:
#   vtl_run_options [--rest] ARGS...   --device PATH, --com N (and, with --rest, the
#                                      words after "--") into vtl_device, vtl_com and
#                                      vtl_rest; refuses bad ones with status 2
#   vtl_run_check_device PATH          says why PATH will not do, with status 2, before
#                                      Wine would turn every reason into "Failed to
#                                      open serial port"
#   vtl_run_wine [DRIVER]              the prefix ($VTL_WINE_PREFIX, made on first use)
#                                      and a display: the user's, or without one Xvfb
#                                      (vtl_headless=1), which needs DRIVER
#                                      (vtl-driver.exe) to work the tool
#   vtl_run_tool EXE FOLDER LOG        the tool, started in FOLDER (ZVL-Log.txt goes
#                                      there), output to LOG; vtl_tool_pid is its pid
#   vtl_run_headless DRIVER SHOTS COM LOG
#                                      works the tool as a user would: COM N open,
#                                      traffic, "Read" on the K4 Config page; pictures of
#                                      both pages into SHOTS; closes the tool (the
#                                      driver's own messages go to LOG)
# Everything started here is stopped on exit (wine_env_cleanup).

vtl_run_fail() {
  echo "$VTL_RUN_NAME: $*" >&2
  exit 2
}

vtl_run_options() {
  local rest_allowed=0
  if [ "${1:-}" = --rest ]; then rest_allowed=1; shift; fi
  vtl_device="" vtl_com=1 vtl_rest=()
  while [ $# -gt 0 ]; do
    case $1 in
      --help|-h) usage; exit 0 ;;
      --device) [ $# -ge 2 ] || vtl_run_fail "--device needs a path (see --help)"; vtl_device=$2; shift 2 ;;
      --device=*) vtl_device=${1#--device=}; shift ;;
      --com) [ $# -ge 2 ] || vtl_run_fail "--com needs a number (see --help)"; vtl_com=$2; shift 2 ;;
      --com=*) vtl_com=${1#--com=}; shift ;;
      --) [ $rest_allowed = 1 ] || vtl_run_fail "unknown option '$1' (see --help)"
          shift; vtl_rest=("$@"); break ;;
      *) vtl_run_fail "unknown option '$1' (see --help)" ;;
    esac
  done
  [[ $vtl_com =~ ^[0-9]+$ ]] && [ "$vtl_com" -ge 1 ] && [ "$vtl_com" -le 15 ] ||
    vtl_run_fail "--com takes a port number from 1 to 15, not '$vtl_com'"
  [ -n "$vtl_device" ] || [ "$vtl_com" = 1 ] || vtl_run_fail "--com goes with --device"
  [ -z "$vtl_device" ] || [ ${#vtl_rest[@]} -eq 0 ] ||
    vtl_run_fail "options after -- are for the simulator, which --device does not start"
}

vtl_run_check_device() {
  local device=$1 why
  [ -e "$device" ] || vtl_run_fail "$device does not exist (is the adapter plugged in? ls /dev/ttyUSB* /dev/ttyACM*)"
  [ -c "$device" ] || vtl_run_fail "$device is not a serial device"
  if [ ! -r "$device" ] || [ ! -w "$device" ]; then
    vtl_run_fail "$device cannot be opened for reading and writing by $(id -un): permission denied." \
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
  [ -z "$why" ] || vtl_run_fail "$device cannot be opened: $why"
}

vtl_run_wine() {
  local driver=${1:-}
  vtl_headless=0
  [ -n "${DISPLAY:-}" ] || vtl_headless=1
  if [ $vtl_headless = 1 ] && [ -z "$driver" ]; then
    vtl_run_fail "no display (DISPLAY is not set): start it from a desktop session"
  fi
  [ -f "$VTL_WINE_PREFIX/.vtl-ready" ] ||
    echo "$VTL_RUN_NAME: making the Wine prefix $VTL_WINE_PREFIX (once; this takes a minute)"
  wine_env_init
  if [ $vtl_headless = 1 ]; then
    wine_env_display
    # No window manager runs on Xvfb, so Wine draws the frames and captions itself.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  else
    wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  fi
}

vtl_run_tool() {
  local exe=$1 folder=$2 log=$3
  (cd "$folder" && exec wine "$exe") >"$log" 2>&1 &
  vtl_tool_pid=$!
}

vtl_run_headless() {
  local driver=$1 shots=$2 com=$3 log=$4 status read
  coproc VTL_DRIVER { exec wine "$driver" 2>>"$log"; }
  mkdir -p "$shots"
  vtl_run_drive find-sheet "\"Vantrel (K4 to ZVL)\"" 30000 >/dev/null
  # COM1 is opened after 200 ms; another port is chosen in the list as a user would.
  if [ "$com" != 1 ]; then
    vtl_run_drive wait-text 0 1016 "COM1" 15000 >/dev/null
    vtl_run_drive combo-select 0 1012 "$com" >/dev/null  # entry 0 is "None", then COM1 to COM15
  fi
  vtl_run_drive wait-text 0 1016 "\"COM$com' opened\"" 15000 >/dev/null ||
    echo "$VTL_RUN_NAME: COM$com did not open; the picture shows why" >&2
  # Let some traffic through: the simulator sends controls every second and asks for
  # indications every two; a real unit sends what it sends.
  vtl_run_drive wait-text 0 1016 "Rx:" 15000 >/dev/null || true
  vtl_run_drive sleep 2500 >/dev/null
  vtl_run_shoot "$shots/1-zvl-comms.png"

  vtl_run_drive page 1 >/dev/null
  vtl_run_drive wait-text 1 1011 "\"Set to defaults\"" 5000 >/dev/null
  vtl_run_drive click 1 1006 >/dev/null  # Read: the unit answers with its configuration
  vtl_run_drive wait-text 1 1011 "\"Read complete\"" 5000 >/dev/null || true
  read=$(vtl_run_drive text 1 1011 || true)
  read=${read//\\r/}
  echo "$VTL_RUN_NAME: after Read the K4 Config page says: ${read//\\n/ | }"
  vtl_run_drive sleep 500 >/dev/null
  vtl_run_shoot "$shots/2-k4-config.png"

  vtl_run_drive close >/dev/null
  status=$(vtl_run_drive wait-exit 15000 || echo "?")
  echo "quit" >&"${VTL_DRIVER[1]}" || true
  echo "$VTL_RUN_NAME: pictures saved:"
  echo "  $shots/1-zvl-comms.png  (the ZVL comms page: COM$com open, traffic in the log)"
  echo "  $shots/2-k4-config.png  (the K4 Config page after Read)"
  echo "$VTL_RUN_NAME: the tool exited with status $status; everything started here is stopped"
}

# vtl_run_drive COMMAND...: one driver command; prints its answer without "ok".
vtl_run_drive() {
  local reply
  echo "$*" >&"${VTL_DRIVER[1]}"
  IFS= read -r reply <&"${VTL_DRIVER[0]}" || reply="error (driver ended)"
  reply=${reply%$'\r'}
  case $reply in
    ok*) echo "${reply#ok}" | sed 's/^ //' ;;
    *) echo "$VTL_RUN_NAME: $* -> $reply" >&2; return 1 ;;
  esac
}

# vtl_run_shoot FILE: the sheet and a small margin, cut out of the whole screen.
vtl_run_shoot() {
  local left top right bottom
  read -r left top right bottom < <(vtl_run_drive rect sheet)
  left=$((left > 8 ? left - 8 : 0)); top=$((top > 8 ? top - 8 : 0))
  import -display "$DISPLAY" -window root -crop "$((right - left + 8))x$((bottom - top + 8))+$left+$top" \
    +repage "$1"
}
