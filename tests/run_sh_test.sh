#!/usr/bin/env bash
# ./run.sh's command line: --help, and every refusal said before anything is built or
# Wine starts (each case returns at once, with status 2 and its reason).
set -u
cd "$(dirname "$0")/.."
source tests/check.sh

check "help names --device" 0 '--device PATH' -- ./run.sh --help
check "help names --com" 0 '--com N .*1 to 15' -- ./run.sh --help
check "help names --" 0 '-- OPTIONS\.\.\.' -- ./run.sh -h
check "missing device" 2 '/dev/no-such-tty does not exist' -- ./run.sh --device /dev/no-such-tty
check "not a serial device" 2 '/dev/null cannot be opened: not a serial device' -- ./run.sh --device=/dev/null
check "a folder" 2 '/tmp is not a serial device' -- ./run.sh --device /tmp
check "device without a path" 2 '--device needs a path' -- ./run.sh --device
check "COM 0" 2 "from 1 to 15, not '0'" -- ./run.sh --device /dev/null --com 0
check "COM 16" 2 "from 1 to 15, not '16'" -- ./run.sh --device /dev/null --com=16
check "COM x" 2 "from 1 to 15, not 'x'" -- ./run.sh --device /dev/null --com x
check "--com alone" 2 '--com goes with --device' -- ./run.sh --com 2
check "simulator options with a device" 2 'which --device does not start' -- ./run.sh --device /dev/null -- --nak 5
check "unknown option" 2 "unknown option '--nak'" -- ./run.sh --nak 5
# Permission: root opens anything, so an ordinary user tries a device only root may use.
if [ "$(id -u)" = 0 ] && command -v runuser >/dev/null; then
  locked=$(find /dev -maxdepth 1 -name 'tty[A-Z]*' -type c -perm 600 -user root 2>/dev/null | head -1)
  if [ -n "$locked" ] && ! runuser -u nobody -- test -x ./run.sh 2>/dev/null; then
    # A checkout inside a folder only root may enter (mktemp -d makes one) is out of
    # the ordinary user's reach, and so is ./run.sh.
    echo "skip permission names dialout: user nobody cannot reach ./run.sh in $PWD"
  elif [ -n "$locked" ]; then
    check "permission names dialout" 2 "permission denied.*'dialout' group" -- \
      runuser -u nobody -- ./run.sh --device "$locked"
  fi
fi
echo "$failures failed"
[ "$failures" -eq 0 ]
