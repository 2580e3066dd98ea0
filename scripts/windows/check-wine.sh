#!/bin/sh
# Runs the Windows program, its tests and bossac.exe under Wine, on Windows' own code
# in Qt and the C runtime (CreateProcess and its quoting, the program search, the ANSI
# code page, the windows platform plugin and style, COM ports and SetupAPI). The
# stages, each a script beside this one that says what it needs and makes:
#
#   toolchain.sh       Qt and bossac.exe for Windows, cached
#   zip-under-test.sh  the release ZIP, taken only with its SHA-256, checked without Wine
#   wine-env.sh        a private X server, the locales, a fresh Wine prefix
#   wine-tests.sh      the Windows tests under Wine, in code pages 1252 and 1251
#   wine-start.sh      the ZIP unpacked and started alone: it comes up and closes
#   wine-road.sh       a user's road with the simulated board, then a board that fails
#
#   scripts/windows/check-wine.sh [--arch win32|win64] [--release DIR] [--picture]
#
# --arch: by default the lane of scripts/windows/lane.sh (the first line says which
# and why): win32, the shipped architecture, where 32-bit code and wine32 run; win64
# elsewhere, a 64-bit build of the same code whose ZIP is made for this check only,
# while the shipped ZIP is checked without Wine and the log says it was not run.
# --release: the folder of the win32 release (scripts/windows/make-release.sh); by
# default it is made into release/. --picture: copy the picture to docs/windows.png.
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
script=check-windows-wine
started=$(date +%s)
export started
. scripts/lib.sh
. scripts/windows/lane.sh

arch="" release="" picture=""
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=${2:-}; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    --release) release=$(realpath "${2:-}"); shift 2 ;;
    --picture) picture=--picture; shift ;;
    *) echo "usage: $0 [--arch win32|win64] [--release DIR] [--picture]" >&2; exit 2 ;;
    esac
done

# Before anything is built: which architecture Wine can run here.
choose_wine_lane
UVO_LANE_REASON=$wine_lane_reason
export UVO_LANE_REASON
case "$arch" in
"") arch=$wine_lane; say "running $arch under Wine: $wine_lane_reason" ;;
"$wine_lane") say "running $arch under Wine, as asked: $wine_lane_reason" ;;
win64) say "running win64 under Wine, as asked, where win32 could run too: $wine_lane_reason" ;;
win32) fail "win32 cannot run under Wine here: $wine_lane_reason.
--arch win64 runs the same Windows code in a 64-bit build" ;;
*) fail "unknown architecture $arch: win32 or win64" ;;
esac
[ "$arch" = win32 ] && build=$top/build-windows || build=$top/build-windows-$arch

scripts/windows/toolchain.sh --arch "$arch"
if [ -z "$release" ]; then
    scripts/windows/make-release.sh --arch win32
    release=$top/release
fi

work=$(mktemp -d /tmp/uvo-wine-XXXXXX)
cleanup() {
    status=$?
    scripts/windows/wine-env.sh stop "$work" "$([ "$status" -eq 0 ] || echo "$build/wine-failure.png")"
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' HUP INT TERM # dash runs no EXIT trap when a signal ends it

scripts/windows/zip-under-test.sh "$arch" "$release" "$work"
zip=$(cat "$work/zip")
scripts/windows/wine-env.sh start "$work" "$arch"
. "$work/env"
scripts/windows/wine-tests.sh "$arch" "$build" "$work"
scripts/windows/wine-start.sh "$zip" "$work"
scripts/windows/wine-road.sh "$work/unzipped/$(basename "$zip" .zip)" "$work" "$build" $picture
say "passed on $arch: the board holds blink.bin byte for byte, COM3 heard nothing; the picture is $build/windows.png"
