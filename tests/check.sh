# The one assertion of the shell test scripts. Source it, then:
#   check NAME EXPECTED-STATUS PATTERN -- COMMAND...
# runs COMMAND and passes when it ends with EXPECTED-STATUS and its output (stdout and
# stderr together) matches the extended regular expression PATTERN. Each result is
# printed as "ok   NAME" or "FAIL NAME" with the output; `failures` counts the failures.
failures=0
check() {
  local name=$1 expected=$2 pattern=$3
  shift 4
  local output status
  output=$("$@" 2>&1)
  status=$?
  if [ "$status" != "$expected" ] || ! grep -qE -- "$pattern" <<<"$output"; then
    echo "FAIL $name: status $status (expected $expected), output:"
    echo "$output" | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
