#!/usr/bin/env bash
# vtl.exe under Wine on a COM port mapped to the unit simulator's pty: read, write,
# verify, set, Tx, JSON, a port that does not exist, a bad file, monitor, test plans,
# file names outside the ANSI code page (also for vtl-unit-sim.exe).
#   VTL_NATIVE_BUILD=NATIVE-BUILD-DIR vtl_exe_wine.sh WIN-BUILD-DIR
# (ctest sets VTL_NATIVE_BUILD: the build folder of the native unit simulator.)
set -u
# Wine takes the arguments and file names of the Unix side in the locale's character
# set: UTF-8 here, whatever the caller's (under LC_ALL=C a Greek name reaches vtl.exe
# mangled, measured here under Wine 8).
export LC_ALL=C.UTF-8
source "$(dirname "$0")/../wine/wine-env.sh"
win_build=$1
examples=$(cd "$(dirname "$0")/../../examples" && pwd)
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
# Names outside the ANSI code page (1252 in Wine's English locale), in a folder named
# alike: saved, shown and written back under that very name.
folder="Ελληνικά 中文 😀"
mkdir -p "$folder"
for name in Ωμέγα.vtl 設定.vtl 😀.vtl; do
  check "read --save $name" 0 "Saved to: +$folder.$name" -- "${vtl[@]}" --port COM5 read --save "$folder\\$name"
  check "show $name" 0 'Record: +3C BD BF 12 06 00 0D' -- "${vtl[@]}" show "$folder/$name"
  check "write $name" 0 '"verified":true' -- "${vtl[@]}" --port COM5 --json write "$folder/$name" --verify
done
check "nothing else saved" 0 '^Ωμέγα.vtl 設定.vtl 😀.vtl $' -- bash -c 'ls "$0" | sort | tr "\n" " "' "$folder"
printf 'abc' >"$folder/短.vtl"
check "short file $folder/短.vtl" 2 '3 bytes' -- "${vtl[@]}" show "$folder/短.vtl"
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
# vtl test: the examples against a simulator that sends controls and polls.
test_sim_log=$WINE_ENV_TMP/test-sim.log
"$native_build/vtl-unit-sim" --controls-period 200 --poll-period 300 \
  --controls-pattern fixed:0100000000000000 >"$test_sim_log" 2>&1 &
WINE_ENV_PIDS+=($!)
for _ in $(seq 100); do [ -s "$test_sim_log" ] && break; sleep 0.02; done
wine_env_com_map 7 "$(head -1 "$test_sim_log")"
check "test, bench example" 0 '^1 unit: 1 passed, 0 failed' -- \
  "${vtl[@]}" test "$examples/bench.toml" --port COM7 --junit bench.xml
check "test, its JUnit file" 0 '<testsuite name="COM7" tests="4" failures="0" errors="0" skipped="0"' -- cat bench.xml
check "test, production example" 0 '"event":"end","units":1,"passed":1,"failed":0,"exit":0' -- \
  "${vtl[@]}" test "$examples/production.toml" --port COM7 --json
check "test, site record written" 0 'record replaced: "C041FBF06000A0"' -- cat "$test_sim_log"
printf '[[step]]\ntx = "up"\n' >plan.toml
check "test, plan error" 2 "plan.toml:2:6: step 1, key 'tx'" -- "${vtl[@]}" test plan.toml --port COM7
check "test, no port opened" 3 'cannot open COM9' -- "${vtl[@]}" test "$examples/bench.toml" --port COM9
cp "$examples/bench.toml" "$folder/計画.toml"
check "test, plan and report named outside the ANSI code page" 0 '^1 unit: 1 passed, 0 failed' -- \
  "${vtl[@]}" test "$folder/計画.toml" --port COM7 --junit "$folder/報告.xml"
check "test, that report" 0 '<testsuite name="COM7" tests="4" failures="0"' -- cat "$folder/報告.xml"
# vtl-unit-sim.exe on COM7 of a connected pair, its record from a file with such a
# name; vtl.exe reads it on COM8.
wine_env_com_pair 7 8
printf '\x45\xc7\x02\x0f\xff\xa5\x0c' >"$folder/Ωμέγα-unit.vtl"
sim_exe_log=$WINE_ENV_TMP/sim-exe.log
wine "$win_build/vtl-unit-sim.exe" --device COM7 --controls-period 0 --poll-period 0 \
  --config "$folder/Ωμέγα-unit.vtl" --run-for 60000 >"$sim_exe_log" 2>&1 &
WINE_ENV_PIDS+=($!)
for _ in $(seq 500); do grep -q 'unit K4-ZVL' "$sim_exe_log" && break; sleep 0.02; done
check "vtl-unit-sim.exe --config $folder/Ωμέγα-unit.vtl" 0 '"record":"45C7020FFFA50C"' -- \
  "${vtl[@]}" --port COM8 --json read
check "vtl-unit-sim.exe, a short file" 1 'it is 3 bytes' -- \
  wine "$win_build/vtl-unit-sim.exe" --device COM9 --config "$folder/短.vtl"
echo "$failures failed"
[ "$failures" -eq 0 ]
