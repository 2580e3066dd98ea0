#!/bin/sh
# Installs what is missing, builds, and runs the tool's main job on a simulated board:
# the uploader's real window flashes it through the real bossac. With a display the
# window opens beside the board's panel; without one the whole upload is played in
# the terminal (--story), and the script exits with its result.
#
#   scripts/run.sh [demo options]   the demo (see UVOFirmwareUploaderDemo --help)
#   scripts/run.sh --program        the uploader alone, as it runs on a user's machine
set -eu
caller=$PWD
cd "$(dirname "$0")/.."
top=$PWD

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${1:-}" = "--program" ]; then
    shift
    cmake --build build --parallel "$(nproc)" --target UVOFirmwareUploader
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "No display: starting the program on a virtual X server (xvfb-run)."
        exec xvfb-run -a build/UVOFirmwareUploader "$@"
    fi
    exec build/UVOFirmwareUploader "$@"
fi

cmake --build build --parallel "$(nproc)" --target UVOFirmwareUploaderDemo
# From where it was called, so that a relative --image names the caller's file.
cd "$caller"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: playing a whole upload on the simulated board in the terminal."
    exec "$top/build/demo/UVOFirmwareUploaderDemo" --story "$@"
fi
exec "$top/build/demo/UVOFirmwareUploaderDemo" "$@"
