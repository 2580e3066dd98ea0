#!/bin/sh
# Installs what is missing, builds, and runs the tool's main job on a simulated board:
# the uploader's real window flashes it through the real bossac. With a display the
# window opens beside the board's panel; without one (or with a DISPLAY that cannot
# be opened, as after an ssh login without X forwarding) the whole upload is played
# in the terminal (--story), and the script exits with its result.
#
#   scripts/run.sh [demo options]   the demo (see UVOFirmwareUploaderDemo --help)
#   scripts/run.sh --program        the uploader alone, as it runs on a user's machine;
#                                   it needs a display, and keeps saved.txt in the
#                                   folder it is started from
set -eu
caller=$PWD
cd "$(dirname "$0")/.."
top=$PWD
. scripts/lib.sh

# Whether a window can be shown: DISPLAY must name an X server that answers.
display_works() {
    [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
    [ -n "${DISPLAY:-}" ] && timeout 10 xdotool getdisplaygeometry >/dev/null 2>&1
}

scripts/install-deps.sh

if [ "${1:-}" = "--program" ]; then
    shift
    if ! display_works; then
        echo "run.sh: --program shows the uploader's window, and there is no display" \
            "to show it on${DISPLAY:+ (DISPLAY=$DISPLAY cannot be opened)}." >&2
        echo "Start it from a desktop session, or run scripts/run.sh alone to watch" \
            "an upload on the simulated board in the terminal." >&2
        exit 1
    fi
    build_linux UVOFirmwareUploader
    # The program keeps saved.txt in its working directory: the caller's, not the checkout.
    cd "$caller"
    exec "$top/build/UVOFirmwareUploader" "$@"
fi

build_linux UVOFirmwareUploaderDemo
# From where it was called, so that a relative --image names the caller's file.
cd "$caller"
demo=$top/build/demo/UVOFirmwareUploaderDemo
case " $* " in
*" --story "* | *" --serve"*) exec "$demo" "$@" ;;
esac
if ! display_works; then
    [ -z "${DISPLAY:-}" ] || echo "The display $DISPLAY cannot be opened."
    echo "No display: playing a whole upload on the simulated board in the terminal."
    exec "$demo" --story "$@"
fi
exec "$demo" "$@"
