#!/usr/bin/env bash
# Runs one Windows test program under Wine with the test ports in place:
# COM1<->COM2 and COM3<->COM4 are pty pairs, COM9 is absent. With --display the
# program gets an Xvfb display. Exits with the program's status.
#   with-wine.sh [--display] program.exe [arguments...]
set -u
source "$(dirname "$0")/wine-env.sh"
display=0
[ "${1:-}" = --display ] && { display=1; shift; }
wine_env_init
wine_env_com_pair 1 2
wine_env_com_pair 3 4
wine_env_com_absent 9
[ $display = 1 ] && wine_env_display
wine "$@"
