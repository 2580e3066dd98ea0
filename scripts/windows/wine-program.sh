# Sourced by the Wine stages that start the unpacked program: start it, find its
# window, press its keys, read its log, close it as a user does. Needs the environment
# of scripts/windows/wine-env.sh and, set by the caller: app (the unpacked ZIP's
# folder) and work.
title=$(sed -n 's|.*<string>\(UVO Firmware Updater [^<]*\)</string>.*|\1|p' ui/mainwindow.ui | head -n 1)
[ -n "$title" ] || fail "no window title in ui/mainwindow.ui"
program=""

# Starts the unpacked program in a folder of its own; waits for its window.
start_program() { # working folder
    mkdir -p "$1"
    (cd "$1" && exec "$UVO_WINE" "$app/UVOFirmwareUploader.exe" >"$1/wine.log" 2>&1) &
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
