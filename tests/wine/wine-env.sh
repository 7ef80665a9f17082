# Runs Windows programs under Wine the way every test and ./run.sh needs them:
#   - a private Wine prefix, made once and reused (theme off: Wine's default theme
#     makes the log box append about 13 times slower on Xvfb, docs/performance.md);
#   - COM ports mapped to pseudo-terminal pairs made by socat, or to any device, in a way
#     that holds when wineserver restarts;
#   - an Xvfb display, only when asked for;
#   - everything this shell started stopped again on exit, even on failure.
#
# Source it from bash, then:
#   wine_env_init                 make or reuse the prefix ($WINEPREFIX) and start Wine
#   wine_env_com_pair A B         COM<A> and COM<B> are the two ends of one pty pair
#   wine_env_com_map N PATH       COM<N> is the device PATH (for example the simulator's pty)
#   wine_env_com_absent N         COM<N> does not exist (mapped to an empty folder)
#   wine_env_display              start Xvfb and export DISPLAY
#   wine_env_cleanup              stop what was started (installed as an EXIT trap by init)
#
# Settings from the environment: VTL_WINE_PREFIX (default build/wine-prefix in the repo);
# VTL_WINE_TEMPLATE, a prefix made once and copied to make VTL_WINE_PREFIX (ctest gives
# each Windows test a prefix of its own this way: making one with wineboot takes far
# longer than copying it); VTL_WINE_ARCH (default win64; win32 makes a 32-bit prefix, for
# the 32-bit build, which needs Debian's wine32); VTL_WINE_THEME=default keeps Wine's
# default theme in a new prefix (for pictures of the window as users see it).

WINE_ENV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE_ENV_PIDS=()
WINE_ENV_PORTS=()  # the COM numbers whose registry values we set
WINE_ENV_TMP=""

wine_env_init() {
  wine_env_settings
  if [ "$WINEARCH" = win32 ] && ! wine_env_runs_32bit; then
    echo "wine-env: skipped: no working 32-bit Wine here (Debian's wine32:i386 is missing," \
         "or the kernel cannot run 32-bit programs)" >&2
    exit 77  # ctest's SKIP_RETURN_CODE for the Windows tests
  fi
  WINE_ENV_TMP=$(mktemp -d /tmp/vtl-wine.XXXXXX)
  trap wine_env_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$(dirname "$WINEPREFIX")"
  # One maker at a time: parallel test runs may share the prefix, or its template.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.vtl-ready" ]; then
      rm -rf "$WINEPREFIX"
      if [ -n "${VTL_WINE_TEMPLATE:-}" ]; then
        wine_env_template "$VTL_WINE_TEMPLATE" && wine_env_copy_prefix "$VTL_WINE_TEMPLATE" "$WINEPREFIX"
      else
        wine_env_make_prefix
      fi
    fi
  ) 9>"$WINEPREFIX.lock"
  # Wine's mount manager links COM1 to /dev/ttyS0 (and so on) when its services start
  # with a new wineserver, replacing our links (tests/wine/com_map_test.sh shows it).
  # Start the server and those services first, and keep the server up, so the links
  # made afterwards stay.
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
}

# The environment every Wine program here runs in.
wine_env_settings() {
  export WINEPREFIX=${VTL_WINE_PREFIX:-$WINE_ENV_ROOT/build/wine-prefix}
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEARCH=${VTL_WINE_ARCH:-win64}
}

# wine_env_template TEMPLATE: makes the template prefix unless it is ready, one maker at
# a time. ./test.sh calls it early, so that the template is made while the build runs.
wine_env_template() {
  mkdir -p "$(dirname "$1")"
  (
    flock 8
    [ -f "$1/.vtl-ready" ] || WINEPREFIX=$1 wine_env_make_prefix
  ) 8>"$1.lock"
}

# Makes the prefix $WINEPREFIX afresh and marks it ready once its wineserver has ended
# and written the registry out.
wine_env_make_prefix() {
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  DISPLAY= wineboot -i >/dev/null 2>&1
  if [ "${VTL_WINE_THEME:-off}" = off ]; then
    wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
      /v ThemeActive /t REG_SZ /d 0 /f >/dev/null 2>&1
  fi
  wineserver -w
  touch "$WINEPREFIX/.vtl-ready"
}

# wine_env_copy_prefix TEMPLATE PREFIX: PREFIX as a copy of the ready TEMPLATE. A copy
# is a prefix of its own: the wineserver socket is named after the prefix folder's
# device and inode (Wine's dlls/ntdll/unix/server.c, init_server_dir), so a copy gets
# its own server, registry and COM links. The template's server has ended (wineserver
# -w), so its registry files are complete. Of its 700 MB, 670 are the DLLs that wineboot
# puts into windows/system32, syswow64 and winsxs (through dlls/setupapi/fakedll.c), which
# are written only when wineboot makes or updates a prefix: those are hard links into
# the template, everything else (registry, dosdevices, users, ...) is copied.
wine_env_copy_prefix() {
  local template=$1 prefix=$2 copy=$2.copy
  rm -rf "$copy"
  cp -al "$template" "$copy" || return 1
  find "$copy" -type f ! -path "$copy/drive_c/windows/system32/*" \
    ! -path "$copy/drive_c/windows/syswow64/*" ! -path "$copy/drive_c/windows/winsxs/*" \
    -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f" || exit 1; done' sh {} + &&
    mv "$copy" "$prefix"
}

# Debian's 32-bit Wine loader (the path Debian's /usr/bin/wine script tries first); it
# runs only where the kernel runs 32-bit programs.
wine_env_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# A COM port is mapped in two places. Wine's mount manager makes dosdevices/com<N> anew
# each time wineserver starts: from the value COM<N> under HKLM\Software\Wine\Ports
# when there is one, else as /dev/ttyS<N-1>; the value is what keeps the mapping
# across a server restart (Wine's dlls/mountmgr.sys/device.c, create_port_devices;
# tests/wine/com_map_test.sh shows it). The link is what the server running now uses. The values
# set here are removed again by wine_env_cleanup.
wine_env_ports() {  # N PATH [N PATH...]
  local file="$WINE_ENV_TMP/ports.reg" n path
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n' >"$file"
  while [ $# -ge 2 ]; do
    n=$1 path=$2; shift 2
    if [ -n "$path" ]; then
      path=${path//\\/\\\\}
      printf '"COM%s"="%s"\n' "$n" "${path//\"/\\\"}" >>"$file"
      WINE_ENV_PORTS+=("$n")
    else
      printf '"COM%s"=-\n' "$n" >>"$file"
    fi
  done
  wine reg import "$file" >/dev/null 2>&1
}

wine_env_com_map() {
  wine_env_ports "$1" "$2"
  ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}

wine_env_com_absent() {
  # A missing link or value is not enough: Wine then falls back to /dev/ttyS<N-1>
  # (tests/wine/com_map_test.sh, COM3 after the simulator's value is gone).
  mkdir -p "$WINE_ENV_TMP/absent"
  wine_env_com_map "$1" "$WINE_ENV_TMP/absent"
}

wine_env_com_pair() {
  local a="$WINE_ENV_TMP/tty$1" b="$WINE_ENV_TMP/tty$2"
  socat pty,raw,echo=0,link="$a" pty,raw,echo=0,link="$b" 2>/dev/null &
  WINE_ENV_PIDS+=($!)
  local i
  for i in $(seq 100); do [ -e "$a" ] && [ -e "$b" ] && break; sleep 0.02; done
  wine_env_ports "$1" "$a" "$2" "$b"
  ln -sfn "$a" "$WINEPREFIX/dosdevices/com$1"
  ln -sfn "$b" "$WINEPREFIX/dosdevices/com$2"
}

wine_env_display() {
  # Tests running side by side may pick the same free number; only one Xvfb gets it.
  # The server writes its pid into /tmp/.X<n>-lock (the X server's LockServer, in
  # xserver's os/utils.c), so the one whose pid is there has the display; the other
  # has ended ("Server is already active") and tries the next number.
  local n pid i
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pid=$!
    for i in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null && [ "$(tr -d ' ' <"/tmp/.X$n-lock" 2>/dev/null)" = "$pid" ]; then
      WINE_ENV_PIDS+=($pid)
      export DISPLAY=":$n"
      return 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  echo "wine-env: no free X display" >&2
  return 1
}

wine_env_cleanup() {
  local status=$?
  # Our port values first, so that a later server start makes no links to what is
  # gone; then the Wine processes of this prefix, so that no program keeps a port open.
  if [ -n "${WINEPREFIX:-}" ]; then
    if [ ${#WINE_ENV_PORTS[@]} -gt 0 ] && [ -n "$WINE_ENV_TMP" ]; then
      local n gone=()
      for n in "${WINE_ENV_PORTS[@]}"; do gone+=("$n" ""); done
      wine_env_ports "${gone[@]}"
    fi
    wineserver -k 2>/dev/null
  fi
  WINE_ENV_PORTS=()
  local pid
  for pid in "${WINE_ENV_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${WINE_ENV_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  WINE_ENV_PIDS=()
  [ -n "$WINE_ENV_TMP" ] && rm -rf "$WINE_ENV_TMP"
  WINE_ENV_TMP=""
  return $status
}
