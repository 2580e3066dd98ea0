# Sourced by the road under Wine: the simulated board, named in the Wine prefix as
# Windows names a USB serial board: its port in dosdevices, in SERIALCOMM, and as a
# device of class Ports whose description Qt reads through SetupAPI, so that the
# program picks it by itself. The port and its description are the board's own, from
# its latest line. Needs the environment of scripts/windows/wine-env.sh and, set by the
# caller: work, and board (empty until start_board sets it).
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
    quietly "$work/ports.log" "$UVO_WINE" regedit /S "$work/ports.reg"
}
board_is() { # grep pattern
    kill -0 "$board" 2>/dev/null || fail "the simulated board ended"
    board_line | grep -q -- "$1"
}
# Waits up to a minute until the board's latest line matches the pattern.
board_comes_to() { # grep pattern
    wait_until 600 board_is "$1" || fail "the board did not come to: $1 (it says: $(board_line))"
}
# Starts the board in --serve mode; its commands go to file descriptor 4.
start_board() { # folder for its ports
    ln -s "$1/COM3" "$WINEPREFIX/dosdevices/com3"
    ln -s "$1/COM7" "$WINEPREFIX/dosdevices/com7"
    mkfifo "$work/board.in"
    build/demo/UVOFirmwareUploaderDemo --serve "$1" <"$work/board.in" >"$work/board.log" 2>&1 &
    board=$!
    exec 4>"$work/board.in"
}
