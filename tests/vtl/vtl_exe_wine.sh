#!/usr/bin/env bash
# vtl.exe under Wine on a COM port mapped to the unit simulator's pty: read, write,
# verify, set, Tx, JSON, a port that does not exist, a bad file.
#   VTL_NATIVE_BUILD=NATIVE-BUILD-DIR vtl_exe_wine.sh WIN-BUILD-DIR
# (ctest sets VTL_NATIVE_BUILD: the build folder of the native unit simulator.)
set -u
source "$(dirname "$0")/../wine/wine-env.sh"
win_build=$1
native_build=${VTL_NATIVE_BUILD:?names the native build folder, with vtl-unit-sim}
wine_env_init
wine_env_com_absent 9

source "$(dirname "$0")/../check.sh"

sim_log=$WINE_ENV_TMP/sim.log
"$native_build/vtl-unit-sim" --controls-period 0 --poll-period 0 --firmware 2.7 >"$sim_log" 2>&1 &
WINE_ENV_PIDS+=($!)
for _ in $(seq 100); do [ -s "$sim_log" ] && break; sleep 0.02; done
wine_env_com_map 5 "$(head -1 "$sim_log")"

cd "$WINE_ENV_TMP"
vtl=(wine "$win_build/vtl.exe")
check "read" 0 'Read complete \(F/W v2\.7\)' -- "${vtl[@]}" --port COM5 read
check "read --json" 0 '"record":"3CBDBF1206000D"' -- "${vtl[@]}" --port COM5 --json read
check "read --save" 0 'Saved to' -- "${vtl[@]}" --port '\\.\COM5' read --save unit.vtl
check "saved bytes" 0 '^3cbdbf1206000d$' -- xxd -p unit.vtl
check "set --verify" 0 'Verified' -- "${vtl[@]}" --port COM5 set io=7 nrz=on baud=4800 --verify
check "set took" 0 '"record":"07BDBF1206040B"' -- "${vtl[@]}" --port COM5 --json read
check "write --verify" 0 '"verified":true' -- "${vtl[@]}" --port COM5 --json write unit.vtl --verify
check "default --verify" 0 'Verified' -- env VTL_PORT=COM5 "${vtl[@]}" default --verify
check "tx off" 0 '^Tx off' -- "${vtl[@]}" --port COM5 tx off
check "tx on" 0 '"state":"on"' -- "${vtl[@]}" --port COM5 --json tx on
check "absent port" 3 'COM9' -- "${vtl[@]}" --port COM9 read
printf 'abc' >short.vtl
check "short file" 2 '3 bytes' -- "${vtl[@]}" show short.vtl
check "bad value" 2 "bad value '99' for adcs" -- "${vtl[@]}" --port COM5 set adcs=99
check "ports" 0 '' -- "${vtl[@]}" ports
version=$(cat "$win_build/version/vtl_version.txt")
check "version" 0 "^vtl $version" -- "${vtl[@]}" --version
check "simulator version" 0 "^vtl-unit-sim $version" -- wine "$win_build/vtl-unit-sim.exe" --version
# The simulator polls every 300 ms here; SIGINT reaches vtl.exe as Ctrl-C.
monitor_sim_log=$WINE_ENV_TMP/monitor-sim.log
"$native_build/vtl-unit-sim" --controls-period 100 --poll-period 300 >"$monitor_sim_log" 2>&1 &
WINE_ENV_PIDS+=($!)
for _ in $(seq 100); do [ -s "$monitor_sim_log" ] && break; sleep 0.02; done
wine_env_com_map 6 "$(head -1 "$monitor_sim_log")"
monitor_out=$WINE_ENV_TMP/monitor.out
timeout -s INT 5 "${vtl[@]}" --port COM6 monitor --respond --indications 0102000000000080 >"$monitor_out"
check "monitor answers a poll" 0 'tx "\\nI0041020000000000008:..\\r" indications: 64 bits' -- cat "$monitor_out"
check "monitor acknowledges controls" 0 'tx "\\n\+\\r" ACK' -- cat "$monitor_out"
check "monitor ends with its counts" 0 'frames in: [1-9][0-9]*, frames out: [1-9]' -- tail -1 "$monitor_out"
check "simulator saw the writes" 0 'record replaced: "70DBFB216040B0"' -- cat "$sim_log"
echo "$failures failed"
[ "$failures" -eq 0 ]
