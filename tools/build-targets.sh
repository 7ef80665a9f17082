# Configures and builds the build folders the way every script here uses them, so that
# ./test.sh, ./bench.sh, ./soak.sh and ./run.sh share those folders without rebuilding
# each other's work. Source it from the top of the tree, set `logs` to a folder for the
# logs, then:
#   vtl_build_folder NAME [TARGETS...] [-- CMAKE-ARGS...]
#                                        build/NAME, one of the folders below, with
#                                        CMAKE-ARGS added; no TARGETS builds all;
#                                        returns 1 on failure
# On failure it shows the errors of the folder's logs ($logs/NAME-configure.log and
# $logs/NAME-build.log).
#
#   native       g++, RelWithDebInfo: the core's tests, the POSIX port, the unit simulator
#   native-asan  clang, Debug, AddressSanitizer + UndefinedBehaviorSanitizer, libFuzzer
#   win          MinGW-w64 x86_64, Release; its tests use build/native's unit simulator
#   win32        MinGW-w64 i686, Release; the same
# Every folder is configured with warnings as errors.

# vtl_folder_args NAME: sets vtl_args to the CMake arguments of build/NAME.
vtl_folder_args() {
  case $1 in
    native) vtl_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    native-asan) vtl_args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DVTL_SANITIZE=ON
                           -DVTL_FUZZ=ON) ;;
    win) vtl_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
                   -DVTL_NATIVE_BUILD="$PWD/build/native") ;;
    win32) vtl_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
                     -DVTL_NATIVE_BUILD="$PWD/build/native") ;;
    *) echo "build-targets: no build folder '$1'" >&2; return 1 ;;
  esac
}

# vtl_try_build DIR [TARGETS...] -- CMAKE-ARGS...: returns 1 on failure.
vtl_try_build() {
  local dir=$1; shift
  local targets=()
  while [ "$1" != -- ]; do targets+=("$1"); shift; done
  shift
  local name
  name=$(basename "$dir")
  if ! { cmake -S . -B "$dir" -G Ninja -DVTL_WERROR=ON "$@" >"$logs/$name-configure.log" 2>&1 &&
         cmake --build "$dir" -j "$(nproc)" ${targets[@]:+--target "${targets[@]}"} \
           >"$logs/$name-build.log" 2>&1; }; then
    echo "== the build in $dir failed (logs: $logs/$name-*.log):" >&2
    grep -hE 'error|Error' -A3 "$logs/$name"-configure.log "$logs/$name"-build.log | head -40 >&2
    return 1
  fi
}

vtl_build_folder() {
  local name=$1; shift
  local targets=() vtl_args
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  vtl_folder_args "$name" || return 1
  vtl_try_build "build/$name" "${targets[@]}" -- "${vtl_args[@]}" "$@"
}
