#!/usr/bin/env bash
# Refreshes the pictures of both pages in the user guide (docs/pictures/): the headless
# run of ./run.sh takes them, in a Wine prefix of its own that keeps Wine's default
# theme, so they show the visual styles a user sees. Commit the new pictures.
set -euo pipefail
cd "$(dirname "$0")/.."
env -u DISPLAY VTL_WINE_PREFIX="$PWD/build/wine-prefix-pictures" VTL_WINE_THEME=default ./run.sh
cp build/screenshots/1-zvl-comms.png build/screenshots/2-k4-config.png docs/pictures/
echo "update-pictures: docs/pictures/1-zvl-comms.png and docs/pictures/2-k4-config.png refreshed"
