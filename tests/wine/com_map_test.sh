#!/usr/bin/env bash
# COM ports mapped by wine-env.sh, and by the unit simulator's --wine-prefix, still lead
# to their devices after wineserver has been stopped and started again: Wine's mount
# manager then remakes every dosdevices link, and keeps only what the registry says
# (this test is where that is shown; Wine's dlls/mountmgr.sys/device.c does it).
#   VTL_NATIVE_BUILD=NATIVE-BUILD-DIR com_map_test.sh
# (ctest sets VTL_NATIVE_BUILD: the build folder of the native unit simulator.)
set -u
source "$(dirname "$0")/wine-env.sh"
sim_binary=${VTL_NATIVE_BUILD:?names the native build folder, with vtl-unit-sim}/vtl-unit-sim
wine_env_init
failed=0
check() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected '$2', got '$3'"; failed=1; fi
}

wine_env_com_pair 5 6
wine_env_com_absent 7
link() { readlink "$WINEPREFIX/dosdevices/com$1"; }
# Stops wineserver and starts it again. The mount manager remakes the links from a
# service that the first program's start sets going and does not wait for (Wine's
# wineboot starts services.exe, which loads mountmgr.sys), so a plain link for COM1,
# as the mapping was made before, marks when it has run: it is replaced by Wine's own
# /dev/ttyS0. Waits for that, 60 s at the most.
restart_server() {
  ln -sfn "$WINE_ENV_TMP/tty5" "$WINEPREFIX/dosdevices/com1"
  wineserver -k
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
  local i
  for i in $(seq 600); do [ "$(link 1)" != "$WINE_ENV_TMP/tty5" ] && break; sleep 0.1; done
  check "COM1, a plain link, was remade by the mount manager" /dev/ttyS0 "$(link 1)"
}

"$sim_binary" --wine-prefix "$WINEPREFIX" --com 3 --controls-period 0 --poll-period 0 \
  >"$WINE_ENV_TMP/sim.log" 2>&1 &
sim_pid=$!
WINE_ENV_PIDS+=($sim_pid)
for _ in $(seq 200); do grep -q ' unit K4-ZVL ' "$WINE_ENV_TMP/sim.log" && break; sleep 0.05; done
sim_path=$(head -n 1 "$WINE_ENV_TMP/sim.log")
check "the simulator started on its own pty" /dev/pts "${sim_path%/*}"

restart_server
check "COM5 after the restart" "$WINE_ENV_TMP/tty5" "$(link 5)"
check "COM6 after the restart" "$WINE_ENV_TMP/tty6" "$(link 6)"
check "COM7 (absent) after the restart" "$WINE_ENV_TMP/absent" "$(link 7)"
check "COM3 (the simulator's) after the restart" "$sim_path" "$(link 3)"

# Bytes written to COM5 by a Windows program come out at the pair's other end.
exec 7<"$WINE_ENV_TMP/tty6"
wine cmd /c "echo restart-proof>COM5" >/dev/null 2>&1
got=""
IFS= read -r -t 5 got <&7 || true
exec 7<&-
check "a Windows program's write to COM5 reached COM6's device" restart-proof "${got%$'\r'}"

# The simulator removes its own value on exit: the next server start leaves COM3 to
# Wine's own choice (/dev/ttyS2 where that exists, else nothing).
kill "$sim_pid"
wait "$sim_pid"
check "the simulator ended cleanly" 0 "$?"
restart_server
wine reg query 'HKLM\Software\Wine\Ports' /v COM3 >/dev/null 2>&1
check "the simulator's registry value is gone" 1 "$?"
check "COM3 no longer leads to the simulator's pty" no "$([ "$(link 3)" = "$sim_path" ] && echo yes || echo no)"
exit $failed
