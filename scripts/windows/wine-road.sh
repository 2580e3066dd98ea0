#!/bin/sh
# A user's road under Wine, with the unpacked program and the ZIP's bossac.exe, driven
# by keys and clicks through xdotool:
#   - the simulated board (from the Linux build in build/) serves COM3 and COM7 on
#     pseudo-terminals, which the Wine prefix names as COM ports with the board's
#     descriptions, as Windows names a USB serial board;
#   - Browse writes saved.txt; the firmware's path, remembered in saved.txt from an
#     earlier start, has a space and a letter beyond ASCII;
#   - Upload on the application's port is refused; reset twice; the bootloader's port
#     is picked; Upload: the log holds the road's lines in order and ends with Done!,
#     the board holds the image byte for byte and says that COM3 never heard a byte;
#   - a picture of the window after that upload;
#   - the board, armed to stop answering half way through the next write: bossac.exe
#     gives up, the window says "Error, exited with code 1", and the half-written image
#     leaves the board hung, with no port.
#
#   scripts/windows/wine-road.sh APP WORK BUILD [--picture]
#
# Needs: the environment of scripts/windows/wine-env.sh; APP, the unpacked ZIP.
# Makes:  BUILD/windows.png (and docs/windows.png with --picture); the demo in build/.
set -eu
cd "$(dirname "$0")/../.."
script=check-windows-wine
. scripts/lib.sh
[ $# -ge 3 ] || { echo "usage: $0 APP WORK BUILD [--picture]" >&2; exit 2; }
app=$1
work=$2
build=$3
picture_to_docs=""
[ "${4:-}" != --picture ] || picture_to_docs=yes
: "${UVO_WINE:?run in the environment of scripts/windows/wine-env.sh}"
. scripts/windows/wine-program.sh
board=""
cleanup() {
    status=$?
    for pid in $program $board; do
        kill "$pid" 2>/dev/null || true
    done
    if [ "$status" -ne 0 ] && [ -f "$work/board.log" ]; then
        echo "what the board said:" >&2
        cat "$work/board.log" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The board, from the Linux build.
quietly "$work/board-build.log" build_linux UVOFirmwareUploaderDemo

# c. The whole road, on the simulated board.
board_dir=$work/board
mkdir -p "$board_dir" "$work/run"
. scripts/windows/wine-board.sh
start_board "$board_dir"
board_comes_to 'state=application port=COM3'
name_ports

# The firmware lies where users' files do: in a folder whose name has a space and a
# letter of the code page beyond ASCII, so that bossac.exe receives a quoted path in
# that code page. The user chose it with Browse before: the program finds it in
# saved.txt, which it writes in the ANSI code page with forward slashes. (xdotool
# cannot type such a letter into a Wine window reliably; Browse is tried with the
# board's own copy.)
firmware_dir="$work/Firmware für Tests"
mkdir -p "$firmware_dir"
cp "$board_dir/blink.bin" "$firmware_dir/"
windows_path() { # Unix path
    "$UVO_WINE" winepath -w "$1" 2>"$work/winepath.log" | tr -d '\r' | grep . ||
        { cat "$work/winepath.log" >&2; fail "winepath gave no Windows path for $1"; }
}
firmware=$(windows_path "$firmware_dir/blink.bin")
browsed=$(windows_path "$board_dir/blink.bin")

# The user's road: start the program, choose the firmware with Browse, press Upload on
# the board's application port (refused), double-press reset, open the port list (the
# bootloader's port is picked), press Upload. Keys go to the focused widget; the tab
# order is Upload, COM, Browse, Firmware, log.
say "the road on $WINEARCH binaries: Browse, start again with $firmware, Upload, reset twice, COM, Upload"
start_program "$work/run"
click_log
key shift+Tab shift+Tab space
wait_until 300 window_named '^Open Firmware$' || fail "no window \"Open Firmware\" within 30 s"
# Typed into the file name field, which has the focus once the dialog is ready; typed
# again while the dialog is still open and saved.txt has not come (the Return of a
# try that came too early closes the error box it caused).
choose_firmware() {
    key ctrl+a
    xdotool type --delay 20 "$browsed"
    key Return
    wait_until 50 test -s "$work/run/saved.txt"
}
wait_until 6 choose_firmware || fail "Browse did not write saved.txt"
[ "$(cat "$work/run/saved.txt")" = "$(printf '%s' "$browsed" | tr '\\' /)" ] ||
    fail "saved.txt holds $(cat "$work/run/saved.txt") after Browse to $browsed"
stop_program
printf '%s' "$firmware" | tr '\\' / | iconv -f UTF-8 -t CP1252 >"$work/run/saved.txt"
start_program "$work/run"
click_log
key shift+Tab shift+Tab shift+Tab shift+Tab space
wait_until 100 log_has "Please put device in bootloader mode!" ||
    fail "Upload on COM3 was not refused: the log holds $(cat "$work/log.txt" 2>/dev/null)"
echo status >&4
board_comes_to 'state=application port=COM3 .* heard=0 '
echo reset-twice >&4
board_comes_to 'state=bootloader port=COM7'
name_ports
click_log
key shift+Tab shift+Tab shift+Tab alt+Down Escape shift+Tab space
board_comes_to 'state=application port=COM3 image=blink.bin bootloader=intact'
name_ports
wait_until 300 log_has "Done!" || fail "the log does not show Done!: $(tail -n 5 "$work/log.txt")"

# d. The picture, with the selection that copying made cleared.
click_log
import -display "$DISPLAY" -window "$window" "$build/windows.png"
[ -z "$picture_to_docs" ] || cp "$build/windows.png" docs/windows.png
say "the window's log:"
grep -v '^$' "$work/log.txt" | awk 'NR <= 8 { print } END { if (NR > 8) print "...\n" $0 }'
road_log=$work/road-log.txt
cp "$work/log.txt" "$road_log"

# e. A board that stops answering half way through the next write: bossac.exe gives
# up, the window says so, and the half-written image hangs the board.
say "a board that stops answering during the upload"
echo reset-twice >&4
board_comes_to 'state=bootloader port=COM7'
name_ports
echo stop-answering-during-next-write >&4
board_comes_to 'state=bootloader port=COM7 .*armed=stop-answering-during-next-write'
click_log
key shift+Tab shift+Tab shift+Tab alt+Down Escape shift+Tab space
board_comes_to 'state=silent port=COM7'
wait_until 600 log_has "Error, exited with code 1" ||
    fail "the window does not say \"Error, exited with code 1\": $(tail -n 5 "$work/log.txt")"
[ "$(grep -v '^$' "$work/log.txt" | tail -n 1)" = "Error, exited with code 1" ] ||
    fail "the log does not end with \"Error, exited with code 1\": $(tail -n 5 "$work/log.txt")"
grep -q "SAM-BA operation failed" "$work/log.txt" || fail "the log lacks bossac's \"SAM-BA operation failed\""
echo unplug >&4
echo plug-in >&4
board_comes_to 'state=hung port=-'
say "bossac.exe gave up with exit code 1, and the board hangs: $(board_line)"
stop_program

# The road's lines, in this order, and Done! last; then the fault's.
cp "$road_log" "$work/log.txt"
in_order() { # expected lines...
    printf '%s\n' "$@" >"$work/expected.txt"
    awk 'NR == FNR { want[++n] = $0; next }
        i < n && $0 == want[i + 1] { i++ }
        END { if (i < n) { print "the log lacks, in its place: " want[i + 1]; exit 1 } }' \
        "$work/expected.txt" "$work/log.txt" >"$work/order.txt" || fail "$(cat "$work/order.txt")"
}
in_order "Autoselected port COM3" "Please put device in bootloader mode!" \
    "Autoselected port COM7" "Uploading..." \
    "bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"$firmware\" -R" "Done!"
[ "$(grep -v '^$' "$work/log.txt" | tail -n 1)" = "Done!" ] || fail "the log does not end with Done!"
say "the road ended with Done!, the fault with \"Error, exited with code 1\" and a hung board"
