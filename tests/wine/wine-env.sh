# Runs Windows programs under Wine the way every test and ./run.sh needs them:
#   - a private Wine prefix, made once and reused (theme off: Wine's default theme
#     makes the log box append about 13 times slower on Xvfb);
#   - COM ports mapped to pseudo-terminal pairs made by socat, or to any device;
#   - an Xvfb display, only when asked for;
#   - everything this shell started stopped again on exit, even on failure.
#
# Source it from bash, then:
#   wine_env_init                 make or reuse the prefix ($WINEPREFIX) and start Wine
#   wine_env_com_pair A B         COM<A> and COM<B> are the two ends of one pty pair
#   wine_env_com_map N PATH       COM<N> is the device PATH (for example the simulator's pty)
#   wine_env_com_absent N         COM<N> does not exist
#   wine_env_display              start Xvfb and export DISPLAY
#   wine_env_cleanup              stop what was started (installed as an EXIT trap by init)
#
# Settings from the environment: VTL_WINE_PREFIX (default build/wine-prefix in the repo).

WINE_ENV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE_ENV_PIDS=()
WINE_ENV_TMP=""

wine_env_init() {
  export WINEPREFIX=${VTL_WINE_PREFIX:-$WINE_ENV_ROOT/build/wine-prefix}
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEARCH=win64
  WINE_ENV_TMP=$(mktemp -d /tmp/vtl-wine.XXXXXX)
  trap wine_env_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$(dirname "$WINEPREFIX")"
  # One maker at a time: parallel test runs share the prefix.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.vtl-ready" ]; then
      rm -rf "$WINEPREFIX"
      DISPLAY= wineboot -i >/dev/null 2>&1
      wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
        /v ThemeActive /t REG_SZ /d 0 /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.vtl-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
  # Wine's mount manager links COM1 to /dev/ttyS0 (and so on) when its services start
  # with a new wineserver, replacing our links. Start the server and those services
  # first, and keep the server up, so the links made afterwards stay.
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
}

wine_env_com_map() {
  ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}

wine_env_com_absent() {
  # A missing link is not enough: Wine then falls back to /dev/ttyS<N-1>.
  mkdir -p "$WINE_ENV_TMP/absent"
  ln -sfn "$WINE_ENV_TMP/absent" "$WINEPREFIX/dosdevices/com$1"
}

wine_env_com_pair() {
  local a="$WINE_ENV_TMP/tty$1" b="$WINE_ENV_TMP/tty$2"
  socat pty,raw,echo=0,link="$a" pty,raw,echo=0,link="$b" 2>/dev/null &
  WINE_ENV_PIDS+=($!)
  local i
  for i in $(seq 100); do [ -e "$a" ] && [ -e "$b" ] && break; sleep 0.02; done
  wine_env_com_map "$1" "$a"
  wine_env_com_map "$2" "$b"
}

wine_env_display() {
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    WINE_ENV_PIDS+=($!)
    local i
    for i in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    export DISPLAY=":$n"
    return 0
  done
  echo "wine-env: no free X display" >&2
  return 1
}

wine_env_cleanup() {
  local status=$?
  # Wine processes of this prefix first, so that no program keeps a port open.
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
  local pid
  for pid in "${WINE_ENV_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${WINE_ENV_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  WINE_ENV_PIDS=()
  [ -n "$WINE_ENV_TMP" ] && rm -rf "$WINE_ENV_TMP"
  WINE_ENV_TMP=""
  return $status
}
