# Configures and builds the build folders through their presets (CMakePresets.json:
# compilers, toolchain files, sanitizers, build types, warnings as errors), so that
# ./test.sh, ./bench.sh, ./soak.sh and ./run.sh share those folders without rebuilding
# each other's work. By hand, `cmake --workflow --preset NAME` does the same and runs the
# folder's tests. Source it from the top of the tree, set `logs` to a folder for the
# logs, then:
#   vtl_build_folder NAME [TARGETS...] [-- CMAKE-ARGS...]
#                                        build/NAME through preset NAME (native,
#                                        native-asan, win, win32) with CMAKE-ARGS added;
#                                        no TARGETS builds all; returns 1 on failure
#   vtl_tool_run_start NAME [NATIVE-TARGETS...]
#                                        what a script that runs the tool under Wine
#                                        does first (./bench.sh, ./soak.sh): the set-up
#                                        check, $root, $logs as build/NAME-logs, and the
#                                        builds: build/native's unit simulator and
#                                        NATIVE-TARGETS, build/win's tool and driver;
#                                        returns 1 on failure
# On failure it shows the errors of the folder's logs ($logs/NAME-configure.log and
# $logs/NAME-build.log).

vtl_build_folder() {
  local name=$1; shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  if ! { cmake --preset "$name" "$@" >"$logs/$name-configure.log" 2>&1 &&
         cmake --build --preset "$name" -j "$(nproc)" ${targets[@]:+--target "${targets[@]}"} \
           >"$logs/$name-build.log" 2>&1; }; then
    echo "== the build in build/$name failed (logs: $logs/$name-*.log):" >&2
    grep -hE 'error|Error' -A3 "$logs/$name"-configure.log "$logs/$name"-build.log | head -40 >&2
    return 1
  fi
}

vtl_tool_run_start() {
  local name=$1; shift
  root=$PWD
  tools/setup.sh || return 1
  logs=$root/build/$name-logs
  mkdir -p "$logs"
  echo "$name: building (logs in build/$name-logs/)"
  vtl_build_folder native vtl-unit-sim "$@" && vtl_build_folder win VTL_K4ZVL vtl-driver
}
