# Builds chosen targets the way ./test.sh configures its build folders, so the scripts
# share those folders without rebuilding each other's work. Source it, set `logs` to a
# folder for the logs, then:
#   vtl_build DIR TARGETS... -- CMAKE-ARGS...
# On failure it shows the end of the build log and exits the calling script.
vtl_build() {
  local dir=$1; shift
  local targets=()
  while [ "$1" != -- ]; do targets+=("$1"); shift; done
  shift
  local name
  name=$(basename "$dir")
  if ! { cmake -S . -B "$dir" -G Ninja -DVTL_WERROR=ON "$@" >"$logs/$name-configure.log" 2>&1 &&
         cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" >"$logs/$name-build.log" 2>&1; }; then
    echo "$(basename "$0"): the build in $dir failed; see $logs/$name-*.log" >&2
    tail -20 "$logs/$name-build.log" >&2 || true
    exit 1
  fi
}
