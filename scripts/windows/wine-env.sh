#!/bin/sh
# The environment that the Wine stages run in: Wine for the lane's architecture, a
# private virtual X server (Wine needs one even for the offscreen platform, and no
# click may land on a real desktop), the locales that give Wine its ANSI code page
# (en_US 1252, ru_RU 1251), and a fresh Wine prefix.
#
#   scripts/windows/wine-env.sh start WORK win32|win64
#   scripts/windows/wine-env.sh stop WORK [PICTURE]
#
# Needs: nothing built; installs Wine and what the stages use.
# Makes:  WORK/env, the variables that the stages run with (the driver sources it):
#         DISPLAY, LOCPATH, LANG, LC_ALL, WINEPREFIX, WINEARCH, WINEDEBUG,
#         WINEDLLOVERRIDES, UVO_WINE (the loader); WORK/prefix, WORK/locale.
# stop ends the Wine server and the X server, after saving the screen to PICTURE.
set -eu
cd "$(dirname "$0")/../.."
script=check-windows-wine
. scripts/lib.sh
. scripts/windows/lane.sh
work=${2:?usage: $0 start WORK ARCH or stop WORK [PICTURE]}

if [ "$1" = stop ]; then
    if [ -f "$work/env" ]; then
        . "$work/env"
        [ -z "${3:-}" ] || ! import -display "$DISPLAY" -window root "$3" 2>/dev/null ||
            echo "the screen at the failure: $3" >&2
        [ ! -d "$work/prefix" ] || wineserver -k 2>/dev/null || true
    fi
    [ ! -f "$work/xvfb.pid" ] || kill "$(cat "$work/xvfb.pid")" 2>/dev/null || true
    exit 0
fi
arch=${3:?}
# The caller's Wine settings would reach into the prefix and the programs' DLL search.
unset WINEPATH WINEPREFIX WINEARCH WINELOADER WINESERVER WINEDLLPATH
# shellcheck disable=SC2046 # one word a package
scripts/install-deps.sh $(wine_packages "$arch") fonts-wine xclip imagemagick locales unzip \
    xvfb xdotool

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
echo $! >"$work/xvfb.pid"
wait_until 100 test -s "$work/display" || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }

mkdir -p "$work/locale"
quietly "$work/localedef.log" localedef -i en_US -f UTF-8 "$work/locale/en_US.UTF-8"
quietly "$work/localedef.log" localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8"
[ "$arch" = win32 ] && loader=wine || loader=/usr/lib/wine/wine64
cat >"$work/env" <<ENV
DISPLAY=:$(cat "$work/display")
LOCPATH=$work/locale
LANG=en_US.UTF-8
LC_ALL=en_US.UTF-8
WINEPREFIX=$work/prefix
WINEARCH=$arch
WINEDEBUG=-all,err+module
WINEDLLOVERRIDES="mscoree=;mshtml="
UVO_WINE=$loader
export DISPLAY LOCPATH LANG LC_ALL WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES UVO_WINE
ENV
# No Mono or Gecko (WINEDLLOVERRIDES): nothing here needs them, and their installers
# would ask.
. "$work/env"

say "making a fresh $arch Wine prefix"
quietly "$work/wineboot.log" "$UVO_WINE" wineboot --init
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
quietly "$work/regedit.log" "$UVO_WINE" regedit /S "$work/prefix.reg"
quietly "$work/regedit.log" wineserver -w
# The Wine server and the helpers it starts with the first program stay up from here
# on: started by a test, they would hold CTest's output pipe open after the test ends.
quietly "$work/wineserver.log" wineserver -p
