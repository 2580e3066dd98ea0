#!/bin/sh
# The ZIP unpacked into a fresh folder and its program started there under Wine with
# no Qt or MinGW on its PATH: its window must come up, stay, and close with exit
# code 0.
#
#   scripts/windows/wine-start.sh ZIP WORK
#
# Needs: the environment of scripts/windows/wine-env.sh.
# Makes:  WORK/unzipped/NAME, the unpacked ZIP, for the road.
set -eu
cd "$(dirname "$0")/../.."
script=check-windows-wine
. scripts/lib.sh
[ $# -eq 2 ] || { echo "usage: $0 ZIP WORK" >&2; exit 2; }
zip=$1
work=$2
mkdir "$work/unzipped"
(cd "$work/unzipped" && unzip -q "$zip")
app=$work/unzipped/$(basename "$zip" .zip)
. scripts/windows/wine-program.sh
trap '[ -z "$program" ] || kill "$program" 2>/dev/null || true' EXIT

say "starting the unpacked program with no Qt or MinGW on its PATH"
start_program "$work/start"
# Staying up is the behaviour here: a program that cannot load a plugin ends at once.
sleep 3
kill -0 "$program" 2>/dev/null ||
    { cat "$work/start/wine.log" >&2; fail "UVOFirmwareUploader.exe ended within 3 s of showing its window"; }
stop_program
say "the ZIP starts, stays and closes with exit code 0"
