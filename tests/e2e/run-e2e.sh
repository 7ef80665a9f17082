#!/usr/bin/env bash
# Runs one end-to-end test script inside the Wine harness: the private prefix and an
# Xvfb display. The script starts the tool and the driver itself and maps the COM
# ports it needs; everything is stopped on exit. With --pair A B, COM<A> and COM<B> are
# the two ends of one connected pair first (VTL_E2E_PAIR="A B" tells the script).
#   run-e2e.sh [--pair A B] SCRIPT.py WIN-BUILD-DIR [TEST-NAMES...]
# The scripts run under Debian's own /usr/bin/python3, which has the modules they use
# (python3-psutil, python3-pefile); VTL_E2E_PYTHON names another interpreter.
set -u
source "$(dirname "$0")/../wine/wine-env.sh"
wine_env_init
if [ "$1" = --pair ]; then
  wine_env_com_pair "$2" "$3"
  export VTL_E2E_PAIR="$2 $3"
  shift 3
fi
wine_env_display || exit 1
script=$1 build=$2
shift 2
export VTL_WIN_BUILD=$build VTL_E2E_TMP=$WINE_ENV_TMP
# The helpers the scripts import: the package tests/vtltest.
export PYTHONPATH=$(cd "$(dirname "$0")/.." && pwd)${PYTHONPATH:+:$PYTHONPATH}
"${VTL_E2E_PYTHON:-/usr/bin/python3}" "$script" "$@"
