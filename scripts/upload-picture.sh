#!/bin/sh
# Regenerates docs/upload.png: the real window after it has flashed the emulated
# board (the tests' SAMD21 bootloader on a pseudo-terminal) with the real bossac.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)" --target upload_picture
QT_QPA_PLATFORM=offscreen build/tests/tools/upload_picture docs/upload.png
