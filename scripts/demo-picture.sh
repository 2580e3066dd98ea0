#!/bin/sh
# Regenerates docs/demo.png: the uploader's window beside the simulated board's panel
# after the demo's story, a whole upload through the real bossac, has played.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)" --target UVOFirmwareUploaderDemo
QT_QPA_PLATFORM=offscreen build/demo/UVOFirmwareUploaderDemo --story --picture docs/demo.png >/dev/null
echo "wrote docs/demo.png"
