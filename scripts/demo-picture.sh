#!/bin/sh
# Regenerates docs/demo.png: the uploader's window beside the simulated board's panel
# after the demo's story, a whole upload through the real bossac, has played.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

scripts/install-deps.sh
build_linux UVOFirmwareUploaderDemo
QT_QPA_PLATFORM=offscreen build/demo/UVOFirmwareUploaderDemo --story --picture docs/demo.png >/dev/null
echo "wrote docs/demo.png"
