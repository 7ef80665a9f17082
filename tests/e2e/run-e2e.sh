#!/usr/bin/env bash
# Runs one end-to-end test script inside the Wine harness: the private prefix and an
# Xvfb display. The script starts the tool and the driver itself and maps the COM
# ports it needs; everything is stopped on exit.
#   run-e2e.sh SCRIPT.py WIN-BUILD-DIR
set -u
source "$(dirname "$0")/../wine/wine-env.sh"
wine_env_init
wine_env_display || exit 1
export VTL_WIN_BUILD=$2 VTL_E2E_TMP=$WINE_ENV_TMP
python3 "$1" "${@:3}"
