#!/bin/sh
# Regenerates docs/upload.png: the real window after it has flashed the emulated
# board (the tests' SAMD21 bootloader on a pseudo-terminal) with the real bossac.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

scripts/install-deps.sh
build_linux upload_picture
QT_QPA_PLATFORM=offscreen build/tests/tools/upload_picture docs/upload.png
