#!/bin/sh
# Regenerates docs/screenshot.png: the program as it starts on a virtual X server,
# with a firmware path remembered from an earlier run.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
. scripts/lib.sh

scripts/install-deps.sh imagemagick
build_linux UVOFirmwareUploader

work=$(mktemp -d)
trap 'kill $program $server 2>/dev/null || true; rm -rf "$work"' EXIT
printf '%s' 'C:/firmware/feather_m0_app.bin' > "$work/saved.txt"

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
sleep 1
(cd "$work" && DISPLAY=$display exec "$top/build/UVOFirmwareUploader") >/dev/null 2>&1 &
program=$!
sleep 3
DISPLAY=$display import -window "UVO Firmware Updater $(project_version)" "$top/docs/screenshot.png"
echo "wrote docs/screenshot.png"
