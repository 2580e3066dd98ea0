#!/bin/sh
# Runs the Windows program, its tests and bossac.exe under Wine, on Windows' own code
# in Qt and in the C runtime (CreateProcess and its quoting, the search for a bare
# program name, the ANSI code page, the windows platform plugin and style, COM ports):
#
#   a. builds the program, the stand-in and the Windows tests with MinGW against the
#      Qt for Windows of scripts/windows-toolchain.sh (built first when missing) and
#      runs `ctest -L windows` through Wine, then the saved-path rows again in code
#      page 1251, which lacks most Latin letters with accents;
#   b. makes the release ZIP with the install rules and CPack, checks its file list,
#      unpacks it and starts the program with no Qt or MinGW on its PATH: its window
#      must come up and stay;
#   c. flashes the simulated board with the unpacked program and the ZIP's bossac.exe,
#      driven by keys and clicks through xdotool: the board serves COM3 and COM7 on
#      pseudo-terminals, which the Wine prefix names as COM ports, with their
#      descriptions; the log must end with Done! and the board must hold blink.bin;
#   d. saves a picture of the window after that upload.
#
#   scripts/check-windows-wine.sh [--picture]   --picture: also copy it to docs/windows.png
#
# Everything runs in a fresh Wine prefix and on a private virtual X server, so that
# no click lands on a real desktop. The Linux build in build/ provides the board.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
build=$top/build-windows
picture_to_docs=""
[ "${1:-}" = "--picture" ] && picture_to_docs=yes

started=$(date +%s)
say() { echo "check-windows-wine [$(($(date +%s) - started)) s]: $*"; }
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

scripts/windows-toolchain.sh
cache=$(scripts/windows-toolchain.sh --env)
scripts/install-deps.sh fonts-wine xclip imagemagick locales unzip

work=$(mktemp -d /tmp/uvo-wine-XXXXXX)
server=""
board=""
program=""
cleanup() {
    status=$?
    if [ "$status" -ne 0 ] && [ -n "${DISPLAY:-}" ] && [ -n "$server" ]; then
        import -window root "$build/wine-failure.png" 2>/dev/null &&
            echo "the screen at the failure: $build/wine-failure.png" >&2
    fi
    for pid in $program $board; do
        kill "$pid" 2>/dev/null || true
    done
    WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
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

# The Windows build. Its tests find their DLLs beside them, as on a user's machine
# nothing else provides them.
say "building for Windows in $build"
cmake -S . -B "$build" --toolchain "$top/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DUVO_BUILD_BENCH=OFF -DUVO_BUNDLE_BOSSAC="$cache/bossa/bossac.exe" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
runtime_dlls() {
    for dll in libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll; do
        i686-w64-mingw32-g++-posix -print-file-name=$dll
    done
}
mkdir -p "$build/tests/platforms" "$build/tests/styles"
cp -u "$cache/qt/bin/Qt5Core.dll" "$cache/qt/bin/Qt5Gui.dll" "$cache/qt/bin/Qt5Widgets.dll" \
    "$cache/qt/bin/Qt5SerialPort.dll" "$cache/qt/bin/Qt5Test.dll" $(runtime_dlls) "$build/tests/"
cp -u "$cache/qt/plugins/platforms/qoffscreen.dll" "$cache/qt/plugins/platforms/qwindows.dll" \
    "$build/tests/platforms/"
cp -u "$cache/qt/plugins/styles/qwindowsvistastyle.dll" "$build/tests/styles/"

# The board, from the Linux build.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target UVOFirmwareUploaderDemo

# A private X server: Wine needs one even for the offscreen platform.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
server=$!
wait_until 100 test -s "$work/display" || fail "Xvfb did not start"
DISPLAY=:$(cat "$work/display")
export DISPLAY

# Wine takes its ANSI code page from the Unix locale: en_US gives 1252, ru_RU 1251.
mkdir -p "$work/locale"
localedef -i en_US -f UTF-8 "$work/locale/en_US.UTF-8" 2>/dev/null
localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8" 2>/dev/null
LOCPATH=$work/locale
LANG=en_US.UTF-8
LC_ALL=en_US.UTF-8
export LOCPATH LANG LC_ALL

say "making a fresh Wine prefix"
WINEPREFIX=$work/prefix
WINEARCH=win32
WINEDEBUG=-all,err+module
# No Mono or Gecko: nothing here needs them, and their installers would ask.
WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
wineboot --init >/dev/null 2>&1
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
wine regedit /S "$work/prefix.reg"
wineserver -w
# The Wine server and the helpers it starts with the first program stay up from here
# on: started by a test, they would hold CTest's output pipe open after the test ends.
wineserver -p >"$work/wineserver.log" 2>&1
wine "$build/tests/tst_portselector.exe" -platform offscreen >/dev/null 2>&1

# a. The Windows tests.
say "the Windows tests under Wine (code page 1252)"
ctest --test-dir "$build" -L windows --no-tests=error --output-on-failure -j 3 \
    >"$work/ctest.log" 2>&1 || { cat "$work/ctest.log"; fail "a Windows test failed under Wine"; }
# How many rows ran, and which were skipped (with their reasons).
rows() { # a CTest log that holds the tests' own output
    awk '/^(Totals|[0-9]+: Totals):/ { passed += $(NF - 8); skipped += $(NF - 4) }
        END { printf "%d rows passed, %d skipped\n", passed, skipped }' "$1"
    grep -E "^([0-9]+: )?SKIP" "$1" || true
}
rows "$build/Testing/Temporary/LastTest.log"
grep -q "ANSI code page 1252" "$build/Testing/Temporary/LastTest.log" ||
    fail "tst_firmwarechoice did not run in code page 1252"
say "tst_firmwarechoice again in code page 1251"
LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 ctest --test-dir "$build" -R '^tst_firmwarechoice$' \
    --no-tests=error --output-on-failure -V >"$work/ctest-1251.log" 2>&1 ||
    { cat "$work/ctest-1251.log"; fail "tst_firmwarechoice failed in code page 1251"; }
grep -q "ANSI code page 1251" "$work/ctest-1251.log" ||
    { cat "$work/ctest-1251.log"; fail "tst_firmwarechoice did not run in code page 1251"; }
rows "$work/ctest-1251.log"

# b. The ZIP.
say "packing the ZIP"
(cd "$build" && cpack -G ZIP >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
zip=$(ls "$build"/UVOFirmwareUploader-*-win32.zip)
folder=$(basename "$zip" .zip)
mkdir "$work/unzipped"
(cd "$work/unzipped" && unzip -q "$zip")
app=$work/unzipped/$folder
missing=""
while read -r file; do
    [ -z "$file" ] || [ -f "$app/$file" ] || missing="$missing $file"
done <packaging/win32-zip-files.txt
(cd "$app" && find . -type f | sed 's|^\./||' | sort)
[ -z "$missing" ] || fail "missing from the ZIP:$missing"

# Starts the unpacked program in a folder of its own; waits for its window.
start_program() { # working folder
    mkdir -p "$1"
    (cd "$1" && exec wine "$app/UVOFirmwareUploader.exe" >"$1/wine.log" 2>&1) &
    program=$!
    program_log=$1/wine.log
    wait_until 300 program_window || fail "no window \"UVO Firmware Updater 1.0.1\" within 30 s"
}
program_window() {
    kill -0 "$program" 2>/dev/null ||
        { cat "$program_log" >&2; fail "UVOFirmwareUploader.exe ended before its window came up"; }
    window=$(xdotool search --onlyvisible --name '^UVO Firmware Updater 1\.0\.1$' 2>/dev/null |
        head -n 1) || true
    [ -n "$window" ]
}
program_gone() {
    ! kill -0 "$program" 2>/dev/null
}
stop_program() { # as a user closes it
    xdotool windowfocus --sync "$window" key alt+F4 2>/dev/null || true
    wait_until 100 program_gone || kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    program=""
}

say "starting the unpacked program with no Qt or MinGW on its PATH"
start_program "$work/start"
sleep 3
kill -0 "$program" 2>/dev/null ||
    { cat "$work/start/wine.log" >&2; fail "UVOFirmwareUploader.exe ended within 3 s of showing its window"; }
stop_program
say "the ZIP starts: $zip"

# c. The whole road: the simulated board, named in the prefix as Windows names a USB
# serial board: its port in dosdevices, in SERIALCOMM, and as a device of class Ports
# whose description Qt reads through SetupAPI, so that the program picks it by itself.
board_dir=$work/board
mkdir -p "$board_dir" "$work/run"
ln -s "$board_dir/COM3" "$WINEPREFIX/dosdevices/com3"
ln -s "$board_dir/COM7" "$WINEPREFIX/dosdevices/com7"
ports_key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB'
name_ports() { # application|bootloader|unplugged
    {
        echo REGEDIT4
        for port in 3:Adafruit\ Feather\ M0:004D 7:Arduino\ Zero:804D; do
            number=${port%%:*}
            rest=${port#*:}
            description=${rest%:*}
            device="$ports_key\\VID_2341&PID_${rest##*:}\\UVO000$number"
            if { [ "$1" = application ] && [ "$number" = 3 ]; } ||
                { [ "$1" = bootloader ] && [ "$number" = 7 ]; }; then
                printf '[%s]\n"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\n' "$device"
                printf '"Class"="Ports"\n"DeviceDesc"="%s"\n' "$description"
                printf '[%s\\Device Parameters]\n"PortName"="COM%s"\n' "$device" "$number"
                printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n'
                printf '"\\\\Device\\\\UvoSerial%s"="COM%s"\n' "$number" "$number"
            else
                printf '[-%s]\n' "$device"
                printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n'
                printf '"\\\\Device\\\\UvoSerial%s"=-\n' "$number"
            fi
        done
    } >"$work/ports.reg"
    wine regedit /S "$work/ports.reg"
}
# Waits up to a minute until the board's latest line matches the pattern.
board_comes_to() { # grep pattern
    wait_until 600 board_is "$1"
}
board_is() { # grep pattern
    kill -0 "$board" 2>/dev/null || fail "the simulated board ended"
    grep '^board:' "$work/board.log" 2>/dev/null | tail -n 1 | grep -q -- "$1"
}
board_says() { # grep pattern
    board_comes_to "$1" || fail "the board did not come to: $1"
}
mkfifo "$work/board.in"
"$top/build/demo/UVOFirmwareUploaderDemo" --serve "$board_dir" <"$work/board.in" \
    >"$work/board.log" 2>&1 &
board=$!
exec 4>"$work/board.in"
board_says 'state=application port=COM3'
name_ports application

# The user's road: start the program, choose blink.bin with Browse, press Upload on
# the board's application port (refused), double-press reset, open the port list (the
# bootloader's port is picked), press Upload. Keys go to the focused widget; the tab
# order is Upload, COM, Browse, Firmware, log.
key() { xdotool key --delay 50 "$@"; }
click_log() { # a click into the log panel focuses it
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * 3 / 4)) click 1
}
window_named() { # title
    xdotool search --name "$1" >/dev/null 2>&1
}
say "the road on Windows binaries: Browse, Upload, reset twice, COM, Upload"
start_program "$work/run"
click_log
key shift+Tab shift+Tab space
wait_until 300 window_named '^Open Firmware$' || fail "no window \"Open Firmware\" within 30 s"
xdotool type --delay 10 "$(winepath -w "$board_dir/blink.bin")"
key Return
wait_until 300 test -s "$work/run/saved.txt" || fail "Browse did not write saved.txt"
key shift+Tab shift+Tab space
echo reset-twice >&4
board_says 'state=bootloader port=COM7'
name_ports bootloader
key Tab alt+Down Escape shift+Tab space
flashed=yes
board_comes_to 'state=application port=COM3 image=blink.bin bootloader=intact' || flashed=""
name_ports application

# d. The picture, then the log through the clipboard (which selects all of it).
sleep 1
import -window "$window" "$build/windows.png"
[ -z "$picture_to_docs" ] || cp "$build/windows.png" docs/windows.png
click_log
key ctrl+a ctrl+c
copied_log() {
    xclip -o -selection clipboard >"$work/clipboard.txt" 2>/dev/null &&
        tr -d '\r' <"$work/clipboard.txt" >"$work/log.txt" && [ -s "$work/log.txt" ]
}
wait_until 100 copied_log || fail "the log could not be copied through the clipboard"
stop_program
say "the window's log:"
grep -v '^$' "$work/log.txt" | awk 'NR <= 8 { print } END { if (NR > 8) print "...\n" $0 }'
[ -n "$flashed" ] ||
    fail "the board does not hold blink.bin: $(grep '^board:' "$work/board.log" | tail -n 1)"
expect_line() {
    grep -qxF -- "$1" "$work/log.txt" || fail "the log lacks the line: $1"
}
expect_line "Autoselected port COM3"
expect_line "Please put device in bootloader mode!"
expect_line "Autoselected port COM7"
expect_line "bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"$(winepath -w "$board_dir/blink.bin")\" -R"
[ "$(grep -v '^$' "$work/log.txt" | tail -n 1)" = "Done!" ] || fail "the log does not end with Done!"
[ "$(cat "$work/run/saved.txt")" = "$(winepath -w "$board_dir/blink.bin" | tr '\\' /)" ] ||
    fail "saved.txt holds $(cat "$work/run/saved.txt")"
say "passed: the board holds blink.bin byte for byte; the picture is $build/windows.png"
