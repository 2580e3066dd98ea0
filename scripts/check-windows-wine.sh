#!/bin/sh
# Runs the Windows program, its tests and bossac.exe under Wine, on Windows' own code
# in Qt and in the C runtime (CreateProcess and its quoting, the search for a bare
# program name, the ANSI code page, the windows platform plugin and style, COM ports
# and SetupAPI):
#
#   a. builds the Windows tests with MinGW against the cached Qt for Windows, lays them
#      out with scripts/pack-windows-tests.sh and runs them through Wine with
#      scripts/run-windows-tests.sh, then the saved-path rows again in code page 1251,
#      which lacks most Latin letters with accents; a skipped row fails;
#   b. takes the release ZIP that scripts/make-release.sh made, refuses it unless its
#      SHA-256 is the one in SHA256SUMS beside it, checks it without Wine
#      (scripts/check-windows-zip.sh, with the breaks it must catch), unpacks it and
#      starts the program with no Qt or MinGW on its PATH: its window must come up,
#      stay, and close with exit code 0;
#   c. flashes the simulated board with the unpacked program and the ZIP's bossac.exe,
#      driven by keys and clicks through xdotool: the board serves COM3 and COM7 on
#      pseudo-terminals, which the Wine prefix names as COM ports with the board's
#      descriptions; Browse writes saved.txt, and the firmware's path, remembered in
#      saved.txt from an earlier start, has a space and a letter beyond ASCII; the
#      log must hold the road's lines in order and end with Done!, the board must hold
#      the image byte for byte and say that COM3 never heard a byte;
#   d. saves a picture of the window after that upload;
#   e. arms the board to stop answering half way through the next write and uploads
#      again: bossac.exe must give up, the window must say "Error, exited with code 1",
#      and the half-written image must leave the board hung, with no port.
#
#   scripts/check-windows-wine.sh [--arch win32|win64] [--release DIR] [--picture]
#
# --arch: win32, the shipped architecture, where this machine runs 32-bit code; win64
# where it does not (the first line says which and why). win64 runs the same Windows
# code in a 64-bit build, whose ZIP is made for this check only; the shipped 32-bit
# ZIP is then made and checked without Wine, and the log says that it was not run.
# --release: the folder where scripts/make-release.sh wrote the win32 release; by
# default the check makes it into release/. --picture: also copy the picture to
# docs/windows.png.
#
# Everything runs in a fresh Wine prefix and on a private virtual X server, so that
# no click lands on a real desktop. The Linux build in build/ provides the board.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
. scripts/windows-lane.sh
# The caller's Wine settings would reach into the prefix and the programs' DLL search.
unset WINEPATH WINEPREFIX WINEARCH WINELOADER WINESERVER WINEDLLPATH

arch=""
release=""
picture_to_docs=""
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=${2:-}; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    --release) release=$(realpath "${2:-}"); shift 2 ;;
    --picture) picture_to_docs=yes; shift ;;
    *) echo "usage: $0 [--arch win32|win64] [--release DIR] [--picture]" >&2; exit 2 ;;
    esac
done

started=$(date +%s)
say() { printf 'check-windows-wine [%s s]: %s\n' "$(($(date +%s) - started))" "$*"; }
fail() {
    echo "check-windows-wine: FAILED: $*" >&2
    exit 1
}
# Tries a command every tenth of a second until it succeeds; false after that many tries.
wait_until() { # tries, command...
    limit=$1
    shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -lt "$limit" ] || return 1
        sleep 0.1
    done
}
# Runs a command with its output in a file; shows that output when it fails.
quietly() { # log, command...
    log=$1
    shift
    "$@" >"$log" 2>&1 || { status=$?; cat "$log" >&2; fail "$* failed with exit code $status"; }
}

# Before anything is installed or built: which architecture Wine can run here.
probe_ia32
if [ -z "$arch" ]; then
    arch=$(default_wine_arch)
fi
case "$arch" in
win32)
    [ "$ia32_runs" = yes ] || fail "win32 cannot run here: $ia32_reason.
--arch win64 runs the same Windows code in a 64-bit build"
    say "running win32, the shipped architecture, under Wine: $ia32_reason"
    wine=wine
    ;;
win64)
    if [ "$ia32_runs" = yes ]; then
        say "running win64 under Wine, as asked ($ia32_reason, so win32 could run too)"
    else
        say "running win64 under Wine: $ia32_reason. The shipped 32-bit binaries are built and checked without Wine, not run"
    fi
    wine=/usr/lib/wine/wine64
    ;;
*) fail "unknown architecture $arch: win32 or win64" ;;
esac
host=$(mingw_host "$arch")
case "$arch" in
win32) build=$top/build-windows ;;
*) build=$top/build-windows-$arch ;;
esac
title=$(sed -n 's|.*<string>\(UVO Firmware Updater [^<]*\)</string>.*|\1|p' ui/mainwindow.ui | head -n 1)
[ -n "$title" ] || fail "no window title in ui/mainwindow.ui"

scripts/windows-toolchain.sh --arch "$arch"
cache=$(scripts/windows-toolchain.sh --env)
scripts/install-deps.sh fonts-wine xclip imagemagick locales unzip zip

work=$(mktemp -d /tmp/uvo-wine-XXXXXX)
server=""
display=""
board=""
program=""
cleanup() {
    status=$?
    if [ "$status" -ne 0 ] && [ -n "$display" ]; then
        import -display "$display" -window root "$build/wine-failure.png" 2>/dev/null &&
            echo "the screen at the failure: $build/wine-failure.png" >&2
    fi
    for pid in $program $board; do
        kill "$pid" 2>/dev/null || true
    done
    [ ! -d "$work/prefix" ] || WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    if [ "$status" -ne 0 ] && [ -f "$work/board.log" ]; then
        echo "what the board said:" >&2
        cat "$work/board.log" >&2
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The release ZIPs. Each is taken only with the SHA-256 that SHA256SUMS beside it
# gives (scripts/verify-release.sh), before anything in it is started.
release_zip() { # folder, arch
    echo "$1/UVOFirmwareUploader-$(sed -n 's/^project(UVOFirmwareUploader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-$2.zip"
}
if [ -z "$release" ]; then
    scripts/make-release.sh --arch win32
    release=$top/release
fi
shipped=$(release_zip "$release" win32)
scripts/verify-release.sh "$shipped"
# A ZIP with one byte changed must be refused.
mkdir "$work/flipped"
cp "$shipped" "$release/SHA256SUMS" "$work/flipped/"
flipped=$work/flipped/$(basename "$shipped")
offset=$(($(stat -c %s "$flipped") / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$flipped" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$flipped" bs=1 seek="$offset" conv=notrunc 2>/dev/null
if scripts/verify-release.sh "$flipped" 2>"$work/flipped.log"; then
    fail "a release ZIP with one byte changed was not refused"
fi
say "a copy with one byte changed is refused: $(cat "$work/flipped.log")"
if [ "$arch" = win32 ]; then
    zip=$shipped
else
    scripts/check-windows-zip.sh --arch win32 "$shipped"
    say "NOT RUN: the shipped 32-bit ZIP $shipped (sha256 $(sha256sum "$shipped" | cut -d' ' -f1)) was built and checked without Wine only; this machine cannot run it: $ia32_reason"
    scripts/make-release.sh --arch "$arch" --out "$build/release"
    zip=$(release_zip "$build/release" "$arch")
    scripts/verify-release.sh "$zip"
fi
say "the ZIP under test: $zip, sha256 $(sha256sum "$zip" | cut -d' ' -f1), as SHA256SUMS says"
scripts/check-windows-zip.sh --arch "$arch" --breaks "$zip"

# The Windows tests, laid out as the Windows runner of the workflow gets them: they
# find their DLLs beside them, as on a user's machine nothing else provides them.
say "building the Windows tests for $arch in $build"
quietly "$work/cmake.log" cmake -S . -B "$build" --toolchain "$top/cmake/$host.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DUVO_BUILD_BENCH=OFF
cmake --build "$build" --parallel "$(nproc)"
scripts/pack-windows-tests.sh "$build" "$work/tests"

# The board, from the Linux build.
quietly "$work/board-build.log" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
quietly "$work/board-build.log" cmake --build build --parallel "$(nproc)" --target UVOFirmwareUploaderDemo

# A private X server: Wine needs one even for the offscreen platform.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
wait_until 100 test -s "$work/display" || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
display=:$(cat "$work/display")
DISPLAY=$display
export DISPLAY

# Wine takes its ANSI code page from the Unix locale: en_US gives 1252, ru_RU 1251.
mkdir -p "$work/locale"
quietly "$work/localedef.log" localedef -i en_US -f UTF-8 "$work/locale/en_US.UTF-8"
quietly "$work/localedef.log" localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8"
LOCPATH=$work/locale
LANG=en_US.UTF-8
LC_ALL=en_US.UTF-8
export LOCPATH LANG LC_ALL

say "making a fresh $arch Wine prefix"
WINEPREFIX=$work/prefix
WINEARCH=$arch
WINEDEBUG=-all,err+module
# No Mono or Gecko: nothing here needs them, and their installers would ask.
WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
quietly "$work/wineboot.log" "$wine" wineboot --init
quietly "$work/wineboot.log" wineserver -w
# Qt Test writes to the debugger unless a console is attached or this is set; Wine
# hands no QT_ variable from here to a Windows program, only the prefix's own. Wine's
# Tahoma and Marlett (caption buttons) are used only from the prefix's font folder.
# Unmanaged windows get Wine's own Windows frame, as there is no window manager.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
cat >"$work/prefix.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Environment]
"QT_FORCE_STDERR_LOGGING"="1"
"QT_QPA_FONTDIR"="C:\\windows\\Fonts"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="Y"
REG
quietly "$work/regedit.log" "$wine" regedit /S "$work/prefix.reg"
quietly "$work/regedit.log" wineserver -w
# The Wine server and the helpers it starts with the first program stay up from here
# on: started by a test, they would hold CTest's output pipe open after the test ends.
quietly "$work/wineserver.log" wineserver -p
quietly "$work/first-program.log" "$wine" "$work/tests/tst_portselector.exe" -platform offscreen

# a. The Windows tests; a skipped row fails them.
UVO_WINE=$wine
export UVO_WINE
say "the Windows tests under Wine (code page 1252)"
scripts/run-windows-tests.sh "$work/tests" >"$work/tests.log" 2>&1 ||
    { cat "$work/tests.log"; fail "a Windows test failed under Wine"; }
cat "$work/tests.log"
grep -q "ANSI code page 1252" "$work/tests.log" || fail "tst_firmwarechoice did not run in code page 1252"
say "tst_firmwarechoice again in code page 1251"
LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 scripts/run-windows-tests.sh "$work/tests" tst_firmwarechoice \
    >"$work/tests-1251.log" 2>&1 || { cat "$work/tests-1251.log"; fail "tst_firmwarechoice failed in code page 1251"; }
cat "$work/tests-1251.log"
grep -q "ANSI code page 1251" "$work/tests-1251.log" || fail "tst_firmwarechoice did not run in code page 1251"

# b. The ZIP, unpacked into a fresh folder.
mkdir "$work/unzipped"
(cd "$work/unzipped" && unzip -q "$zip")
app=$work/unzipped/$(basename "$zip" .zip)

# Starts the unpacked program in a folder of its own; waits for its window.
start_program() { # working folder
    mkdir -p "$1"
    (cd "$1" && exec "$wine" "$app/UVOFirmwareUploader.exe" >"$1/wine.log" 2>&1) &
    program=$!
    program_log=$1/wine.log
    wait_until 300 program_window || fail "no window \"$title\" within 30 s"
}
program_window() {
    kill -0 "$program" 2>/dev/null ||
        { cat "$program_log" >&2; fail "UVOFirmwareUploader.exe ended before its window came up"; }
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
    [ -n "$window" ]
}
program_gone() {
    ! kill -0 "$program" 2>/dev/null
}
# Closes the window as a user does; the program must end with exit code 0 within 10 s.
stop_program() {
    xdotool windowfocus --sync "$window" key alt+F4 2>/dev/null || true
    wait_until 100 program_gone || fail "UVOFirmwareUploader.exe did not end within 10 s of alt+F4"
    status=0
    wait "$program" || status=$?
    program=""
    [ "$status" -eq 0 ] || { cat "$program_log" >&2; fail "UVOFirmwareUploader.exe ended with exit code $status"; }
}

say "starting the unpacked program with no Qt or MinGW on its PATH"
start_program "$work/start"
# Staying up is the behaviour here: a program that cannot load a plugin ends at once.
sleep 3
kill -0 "$program" 2>/dev/null ||
    { cat "$work/start/wine.log" >&2; fail "UVOFirmwareUploader.exe ended within 3 s of showing its window"; }
stop_program
say "the ZIP starts, stays and closes with exit code 0"

# c. The whole road: the simulated board, named in the prefix as Windows names a USB
# serial board: its port in dosdevices, in SERIALCOMM, and as a device of class Ports
# whose description Qt reads through SetupAPI, so that the program picks it by itself.
# The port and its description are the board's own, from its latest line.
board_dir=$work/board
mkdir -p "$board_dir" "$work/run"
ln -s "$board_dir/COM3" "$WINEPREFIX/dosdevices/com3"
ln -s "$board_dir/COM7" "$WINEPREFIX/dosdevices/com7"
ports_key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_2341&PID_0000'
board_line() {
    grep '^board:' "$work/board.log" 2>/dev/null | tail -n 1
}
name_ports() {
    port=$(board_line | sed -n 's/.* port=\(COM[0-9]*\) .*/\1/p')
    description=$(board_line | sed -n 's/.* description="\([^"]*\)".*/\1/p')
    {
        echo REGEDIT4
        for number in 3 7; do
            printf '[-%s\\UVO%s]\n' "$ports_key" "$number"
            printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"\\\\Device\\\\UvoSerial%s"=-\n' "$number"
        done
        if [ -n "$port" ]; then
            printf '[%s\\UVO%s]\n' "$ports_key" "${port#COM}"
            printf '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\n'
            printf '"Class"="Ports"\n"DeviceDesc"="%s"\n' "$description"
            printf '[%s\\UVO%s\\Device Parameters]\n"PortName"="%s"\n' "$ports_key" "${port#COM}" "$port"
            printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n'
            printf '"\\\\Device\\\\UvoSerial%s"="%s"\n' "${port#COM}" "$port"
        fi
    } >"$work/ports.reg"
    quietly "$work/ports.log" "$wine" regedit /S "$work/ports.reg"
}
board_is() { # grep pattern
    kill -0 "$board" 2>/dev/null || fail "the simulated board ended"
    board_line | grep -q -- "$1"
}
# Waits up to a minute until the board's latest line matches the pattern.
board_comes_to() { # grep pattern
    wait_until 600 board_is "$1" || fail "the board did not come to: $1 (it says: $(board_line))"
}
mkfifo "$work/board.in"
"$top/build/demo/UVOFirmwareUploaderDemo" --serve "$board_dir" <"$work/board.in" \
    >"$work/board.log" 2>&1 &
board=$!
exec 4>"$work/board.in"
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
    "$wine" winepath -w "$1" 2>"$work/winepath.log" | tr -d '\r' | grep . ||
        { cat "$work/winepath.log" >&2; fail "winepath gave no Windows path for $1"; }
}
firmware=$(windows_path "$firmware_dir/blink.bin")
browsed=$(windows_path "$board_dir/blink.bin")

# The user's road: start the program, choose the firmware with Browse, press Upload on
# the board's application port (refused), double-press reset, open the port list (the
# bootloader's port is picked), press Upload. Keys go to the focused widget; the tab
# order is Upload, COM, Browse, Firmware, log.
key() { xdotool key --delay 50 "$@"; }
click_log() { # a click into the log panel focuses it and ends any selection
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * 3 / 4)) click 1
}
# The window's log, through the clipboard (which selects all of it), into log.txt.
copy_log() {
    click_log
    key ctrl+a ctrl+c
    timeout 5 xclip -o -selection clipboard >"$work/clipboard.txt" 2>/dev/null &&
        tr -d '\r' <"$work/clipboard.txt" >"$work/log.txt" && [ -s "$work/log.txt" ]
}
log_has() { # line
    copy_log && grep -qxF -- "$1" "$work/log.txt"
}
window_named() { # title
    xdotool search --name "$1" >/dev/null 2>&1
}
say "the road on $arch binaries: Browse, start again with $firmware, Upload, reset twice, COM, Upload"
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
import -display "$display" -window "$window" "$build/windows.png"
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
say "passed on $arch: the board holds blink.bin byte for byte, COM3 heard nothing; the picture is $build/windows.png"
