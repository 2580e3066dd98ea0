#!/bin/sh
# Builds, once, what the Windows build and its check under Wine need, into a cache
# outside the checkout (UVO_WINDOWS_CACHE, by default ~/.cache/uvo-windows):
#
#   qt/        Qt 5.15.8 (qtbase + qtserialport) for 32-bit Windows, MinGW posix threads
#   bossa/     bossac.exe 1.9.1, built from BOSSA's source
#   bin/       the posix-threads MinGW compilers under their plain names
#   sources/   the source archives
#
# Each stage leaves a stamp; a stage whose stamp is there is not done again. It
# installs the Debian packages it needs (Wine among them). Sources come from Debian's
# archive, through a deb-src entry added only where none is present, except Qt Serial
# Port, whose Debian source cannot be downloaded: put qtserialport-5.15.8.tar.xz (the
# upstream tag) into sources/, or name a folder that holds it in UVO_THIRD_PARTY.
#
#   scripts/windows-toolchain.sh          build what is missing
#   scripts/windows-toolchain.sh --env    print the cache's path only
set -eu
cd "$(dirname "$0")/.."

cache=${UVO_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/uvo-windows}
if [ "${1:-}" = "--env" ]; then
    echo "$cache"
    exit 0
fi

qt_version=5.15.8
bossa_version=1.9.1
serialport_archive=qtserialport-$qt_version.tar.xz
serialport_sha256=8921bb8b9e8bb73077de082b40846ec6204034682720a2d7cfd3e570c968c4b9
host=i686-w64-mingw32
jobs=$(nproc)

started=$(date +%s)
say() { echo "windows-toolchain [$(($(date +%s) - started)) s]: $*"; }
fail() { echo "windows-toolchain: $*" >&2; exit 1; }

mkdir -p "$cache/sources" "$cache/build" "$cache/bin"

# The packages: the MinGW cross tools, Wine for 32-bit programs, what Qt's configure
# and apt-get source need.
scripts/install-deps.sh g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
    mingw-w64-i686-dev wine wine32:i386 dpkg-dev perl python3 xz-utils xvfb xauth \
    xdotool

# Qt's configure finds the compilers by prefix; the posix-threads ones (std::thread,
# the same runtime DLL names as the release's MinGW) go first on PATH under those
# names, without touching the system's alternatives.
for tool in gcc g++ c++ cpp; do
    ln -sf "/usr/bin/$host-$tool-posix" "$cache/bin/$host-$tool"
done
PATH=$cache/bin:$PATH
export PATH

# Debian's source packages, fetched once into sources/.
fetch_source() { # package, the orig archive's name pattern
    if ls "$cache/sources/"$2 >/dev/null 2>&1; then
        return
    fi
    if ! apt-get source --print-uris "$1" >/dev/null 2>&1; then
        deb_src=/etc/apt/sources.list.d/uvo-debian-src.sources
        say "no deb-src entry for Debian's archive: adding $deb_src"
        sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
            "Suites: bookworm bookworm-updates" "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            $sudo tee "$deb_src" >/dev/null
        $sudo apt-get update -q
    fi
    say "fetching the source of $1"
    # Only the upstream (orig) archive is needed: apt checks it against the archive's
    # index, and a Debian part that cannot be had does not matter.
    (cd "$cache/sources" && apt-get source --download-only "$1") >"$cache/build/$1-source.log" 2>&1 ||
        true
    ls "$cache/sources/"$2 >/dev/null 2>&1 || {
        tail -5 "$cache/build/$1-source.log" >&2
        fail "could not download $2 (the source of Debian's $1) from Debian's archive;
put it into $cache/sources/ and run this again"
    }
}

qt=$cache/qt
if [ ! -f "$qt/.qtbase-done" ]; then
    fetch_source qtbase-opensource-src "qtbase-opensource-src_$qt_version*.orig.tar.xz"
    say "building qtbase $qt_version for $host (about 15 minutes on 2 cores, longer on a busy machine)"
    rm -rf "$cache/build/qtbase" "$cache/build/qtbase-src"
    mkdir -p "$cache/build/qtbase-src" "$cache/build/qtbase"
    tar -xf "$cache/sources/"qtbase-opensource-src_$qt_version*.orig.tar.xz \
        -C "$cache/build/qtbase-src" --strip-components=1
    # Debian's archive lacks the Wintab headers: no tablet events.
    (cd "$cache/build/qtbase" && "$cache/build/qtbase-src/configure" \
        -xplatform win32-g++ -device-option CROSS_COMPILE=$host- -prefix "$qt" \
        -opensource -confirm-license -release -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-feature-sql -no-feature-xml \
        -no-feature-concurrent -no-feature-network -no-feature-tabletevent \
        -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype -no-pch \
        >"$cache/build/qtbase-configure.log" 2>&1) ||
        { tail -30 "$cache/build/qtbase-configure.log"; fail "qtbase's configure failed"; }
    (cd "$cache/build/qtbase" && make -j"$jobs" >"$cache/build/qtbase-make.log" 2>&1 &&
        make install >>"$cache/build/qtbase-make.log" 2>&1) ||
        { tail -30 "$cache/build/qtbase-make.log"; fail "qtbase's build failed"; }
    rm -rf "$cache/build/qtbase" "$cache/build/qtbase-src"
    touch "$qt/.qtbase-done"
    say "qtbase is in $qt"
fi

if [ ! -f "$qt/.qtserialport-done" ]; then
    archive=$cache/sources/$serialport_archive
    if [ ! -f "$archive" ] && [ -n "${UVO_THIRD_PARTY:-}" ] &&
        [ -f "$UVO_THIRD_PARTY/$serialport_archive" ]; then
        cp "$UVO_THIRD_PARTY/$serialport_archive" "$archive"
    fi
    [ -f "$archive" ] || fail "$serialport_archive is missing. Debian's source of Qt Serial
Port cannot be downloaded; take the tag v$qt_version-lts-lgpl of Qt's qtserialport
repository as an archive (git archive --prefix=qtserialport/ v$qt_version-lts-lgpl |
xz > $serialport_archive), put it into $cache/sources/ (or name its folder in
UVO_THIRD_PARTY) and run this again"
    echo "$serialport_sha256  $archive" | sha256sum -c --quiet ||
        fail "$archive is not the expected $serialport_archive (sha256 $serialport_sha256)"
    say "building qtserialport $qt_version"
    src=$cache/build/qtserialport
    rm -rf "$src" && mkdir -p "$src"
    tar -xf "$archive" -C "$src" --strip-components=1
    # A git archive has no generated headers; a .git folder makes qmake run syncqt.
    mkdir -p "$src/.git"
    (cd "$src" && "$qt/bin/qmake" && make -j"$jobs" && make install) \
        >"$cache/build/qtserialport.log" 2>&1 ||
        { tail -30 "$cache/build/qtserialport.log"; fail "qtserialport's build failed"; }
    rm -rf "$src"
    touch "$qt/.qtserialport-done"
    say "qtserialport is in $qt"
fi

bossa=$cache/bossa
if [ ! -f "$bossa/bossac.exe" ]; then
    fetch_source bossa "bossa_$bossa_version*.orig.tar.*"
    say "building bossac.exe $bossa_version"
    src=$cache/build/bossa
    rm -rf "$src" && mkdir -p "$src" "$bossa"
    tar -xf "$cache/sources/"bossa_$bossa_version*.orig.tar.* -C "$src" --strip-components=1
    # The command-line program alone, with Windows' serial port; static, so that it
    # needs no DLL beside what Windows has, like BOSSA's own release.
    (cd "$src/src" && $host-g++ -O2 -std=c++11 -DVERSION=\"$bossa_version\" \
        -o "$bossa/bossac.exe" Samba.cpp Flash.cpp D5xNvmFlash.cpp D2xNvmFlash.cpp \
        EfcFlash.cpp EefcFlash.cpp Applet.cpp WordCopyApplet.cpp WordCopyArm.cpp \
        Flasher.cpp Device.cpp WinSerialPort.cpp WinPortFactory.cpp bossac.cpp \
        CmdOpts.cpp -static -lsetupapi) >"$cache/build/bossa.log" 2>&1 ||
        { tail -30 "$cache/build/bossa.log"; fail "bossac.exe's build failed"; }
    cp "$src/LICENSE" "$bossa/LICENSE"
    rm -rf "$src"
    say "bossac.exe is in $bossa"
fi

say "ready: $cache"
