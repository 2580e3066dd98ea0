#!/bin/sh
# Builds, once, what the Windows builds, the release and the check under Wine need,
# into a cache outside the checkout (UVO_WINDOWS_CACHE, by default ~/.cache/uvo-windows):
#
#   win32/qt, win64/qt        Qt 5.15.8 (qtbase + qtserialport), MinGW posix threads
#   win32/bossa, win64/bossa  bossac.exe 1.9.1, built from BOSSA's source
#   bin/                      the MinGW compilers the toolchain is built with
#   sources/                  the source archives
#
# win32 is the shipped architecture and is always built. win64 is what Wine runs on a
# machine whose kernel runs no 32-bit code; by default it is built only there.
#
# The same sources give the same bytes in any cache folder: the compilers map the
# cache's path to a fixed one, write no compiler identification and no link time into
# the PE files, Qt embeds a fixed install prefix (-extprefix installs it here), and
# rcc stores a fixed date.
#
# Each stage leaves a stamp; a stage whose stamp is there is not done again. A lock
# keeps two runs that share the cache from building into each other's folders. It
# installs the Debian packages it needs (Wine among them). Sources come from Debian's
# archive, through a deb-src entry added only where none is present, except Qt Serial
# Port, whose Debian source cannot be downloaded: put qtserialport-5.15.8.tar.xz (the
# upstream tag) into sources/, or name a folder that holds it in UVO_THIRD_PARTY.
#
#   scripts/windows-toolchain.sh                        what this machine needs
#   scripts/windows-toolchain.sh --arch win32,win64     these architectures
#   scripts/windows-toolchain.sh --env                  print the cache's path only
#   scripts/windows-toolchain.sh --configure-options    print Qt's configure options
#   scripts/windows-toolchain.sh --sources              print the source archives' paths
set -eu
umask 022
cd "$(dirname "$0")/.."
. scripts/windows-lane.sh

cache=${UVO_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/uvo-windows}
qt_version=5.15.8
bossa_version=1.9.1
serialport_archive=qtserialport-$qt_version.tar.xz
serialport_sha256=8921bb8b9e8bb73077de082b40846ec6204034682720a2d7cfd3e570c968c4b9
qtbase_archive_pattern="qtbase-opensource-src_$qt_version*.orig.tar.xz"
bossa_archive_pattern="bossa_$bossa_version*.orig.tar.*"
# Dates and paths that end up in the binaries, the same for every cache.
toolchain_epoch=1672531200
fixed_cache=/uvo-windows-cache
jobs=$(nproc)

# Qt's configure options, one place for the build and for the release's BUILDINFO.
# Left out, as the program needs none of it: OpenGL, D-Bus, ICU, SQL, XML,
# concurrency, network, tablets (Debian lacks the Wintab headers), printing and the
# Direct2D platform plugin.
qt_configure_options() { # arch
    echo "-xplatform win32-g++ -device-option CROSS_COMPILE=$(mingw_host "$1")- \
-prefix /uvo/qt-$qt_version-$1 -opensource -confirm-license -release \
-nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-feature-sql \
-no-feature-xml -no-feature-concurrent -no-feature-network -no-feature-tabletevent \
-no-feature-printer -no-direct2d -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre \
-qt-harfbuzz -qt-freetype -no-pch"
}
# What the cross compilers add to every command line.
compile_flags="-ffile-prefix-map=$cache=$fixed_cache -fno-ident"
link_flags="-Wl,--no-insert-timestamp"

arches=""
while [ $# -gt 0 ]; do
    case "$1" in
    --env)
        echo "$cache"
        exit 0
        ;;
    --configure-options)
        # The cache's folder is left out: it reaches no binary.
        for arch in win32 win64; do
            echo "$arch: $(qt_configure_options "$arch") -extprefix CACHE/$arch/qt"
        done
        echo "compilers: $compile_flags $link_flags" | sed "s|$cache|CACHE|g"
        exit 0
        ;;
    --sources)
        for pattern in "$qtbase_archive_pattern" "$serialport_archive" "$bossa_archive_pattern"; do
            ls "$cache/sources/"$pattern
        done
        exit 0
        ;;
    --arch) arches=${2:-}; shift 2 ;;
    --arch=*) arches=${1#--arch=}; shift ;;
    *)
        echo "usage: $0 [--arch win32|win64|win32,win64] [--env] [--configure-options] [--sources]" >&2
        exit 2
        ;;
    esac
done

started=$(date +%s)
say() { echo "windows-toolchain [$(($(date +%s) - started)) s]: $*"; }
fail() { echo "windows-toolchain: FAILED: $*" >&2; exit 1; }
# Runs a command with its output in a log; shows the log's end when it fails.
logged() { # log, command...
    log=$1
    shift
    "$@" >"$log" 2>&1 || { tail -30 "$log" >&2; fail "$* failed (its log: $log)"; }
}

probe_ia32
if [ -z "$arches" ]; then
    if [ "$ia32_runs" = yes ]; then
        arches=win32
        say "building for win32: $ia32_reason, so Wine runs the shipped 32-bit build"
    else
        arches="win32 win64"
        say "building for win32 (the release) and win64 (what Wine can run here): $ia32_reason"
    fi
else
    arches=$(echo "$arches" | tr ',' ' ')
    say "building for $arches, as asked ($ia32_reason)"
fi
for arch in $arches; do
    mingw_host "$arch" >/dev/null || fail "unknown architecture $arch: win32 or win64"
done

mkdir -p "$cache/sources" "$cache/build" "$cache/bin"

# Qt Serial Port's archive is checked first: without it, building qtbase is in vain.
serialport=$cache/sources/$serialport_archive
third_party_serialport=${UVO_THIRD_PARTY:+$UVO_THIRD_PARTY/$serialport_archive}
if [ ! -f "$serialport" ] && [ -n "$third_party_serialport" ] && [ -f "$third_party_serialport" ]; then
    cp "$third_party_serialport" "$serialport.part" && mv "$serialport.part" "$serialport"
fi
[ -f "$serialport" ] || fail "$serialport_archive is missing. Debian's source of Qt Serial
Port cannot be downloaded; take the tag v$qt_version-lts-lgpl of Qt's qtserialport
repository as an archive (git archive --prefix=qtserialport/ v$qt_version-lts-lgpl |
xz > $serialport_archive), put it into $cache/sources/ (or name its folder in
UVO_THIRD_PARTY) and run this again"
echo "$serialport_sha256  $serialport" | sha256sum -c --quiet >/dev/null 2>&1 ||
    fail "$serialport is not the expected $serialport_archive (sha256 $serialport_sha256)"

# The packages: the MinGW cross tools of each architecture, Wine for the programs this
# machine can run, what Qt's configure and apt-get source need.
packages="dpkg-dev perl python3 xz-utils util-linux wine wine64"
[ "$ia32_runs" = no ] || packages="$packages wine32:i386"
for arch in $arches; do
    case "$arch" in
    win32) packages="$packages g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev" ;;
    win64) packages="$packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev" ;;
    esac
done
# shellcheck disable=SC2086 # one word a package
scripts/install-deps.sh $packages

# Qt's configure finds the compilers by prefix; the posix-threads ones (std::thread,
# the runtime DLL names the release ships) go first on PATH under those names, with
# the flags that keep their output the same in any cache folder. The system's
# alternatives are left alone.
# Each is replaced whole, and only when it changes: a build in another checkout may
# be running it.
wrapper() { # name, command line
    printf '#!/bin/sh\nexec %s "$@"\n' "$2" >"$cache/bin/.$1.new"
    chmod +x "$cache/bin/.$1.new"
    if cmp -s "$cache/bin/.$1.new" "$cache/bin/$1"; then
        rm "$cache/bin/.$1.new"
    else
        mv "$cache/bin/.$1.new" "$cache/bin/$1"
    fi
}
for arch in win32 win64; do
    host=$(mingw_host "$arch")
    for tool in gcc g++ c++; do
        wrapper "$host-$tool" "/usr/bin/$host-$tool-posix $compile_flags $link_flags"
    done
    wrapper "$host-cpp" "/usr/bin/$host-cpp-posix $compile_flags"
done
PATH=$cache/bin:$PATH
SOURCE_DATE_EPOCH=$toolchain_epoch
QT_RCC_SOURCE_DATE_OVERRIDE=$toolchain_epoch
TZ=UTC
export PATH SOURCE_DATE_EPOCH QT_RCC_SOURCE_DATE_OVERRIDE TZ

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

build_qtbase() { # arch
    qt=$cache/$1/qt
    [ ! -f "$qt/.qtbase-done" ] || return 0
    fetch_source qtbase-opensource-src "$qtbase_archive_pattern"
    say "building qtbase $qt_version for $1 (about 12 minutes on 2 idle cores)"
    stage_started=$(date +%s)
    src=$cache/build/qtbase-src-$1
    out=$cache/build/qtbase-$1
    rm -rf "$src" "$out" "$qt"
    mkdir -p "$src" "$out"
    tar -xf "$cache/sources/"$qtbase_archive_pattern -C "$src" --strip-components=1
    # shellcheck disable=SC2046 # the options are words
    (cd "$out" && logged "$cache/build/qtbase-$1-configure.log" \
        "$src/configure" $(qt_configure_options "$1") -extprefix "$qt")
    (cd "$out" && logged "$cache/build/qtbase-$1-make.log" make -j"$jobs" &&
        logged "$cache/build/qtbase-$1-install.log" make install)
    rm -rf "$src" "$out"
    touch "$qt/.qtbase-done"
    say "qtbase for $1 is in $qt ($(($(date +%s) - stage_started)) s)"
}

build_qtserialport() { # arch
    qt=$cache/$1/qt
    [ ! -f "$qt/.qtserialport-done" ] || return 0
    say "building qtserialport $qt_version for $1"
    stage_started=$(date +%s)
    src=$cache/build/qtserialport-$1
    rm -rf "$src" && mkdir -p "$src"
    tar -xf "$serialport" -C "$src" --strip-components=1
    # A git archive has no generated headers; a .git folder makes qmake run syncqt.
    mkdir -p "$src/.git"
    (cd "$src" && logged "$cache/build/qtserialport-$1.log" \
        sh -c "'$qt/bin/qmake' && make -j$jobs && make install")
    rm -rf "$src"
    touch "$qt/.qtserialport-done"
    say "qtserialport for $1 is in $qt ($(($(date +%s) - stage_started)) s)"
}

build_bossac() { # arch
    bossa=$cache/$1/bossa
    [ ! -f "$bossa/.done" ] || return 0
    fetch_source bossa "$bossa_archive_pattern"
    say "building bossac.exe $bossa_version for $1"
    src=$cache/build/bossa-$1
    rm -rf "$src" "$bossa" && mkdir -p "$src" "$bossa"
    tar -xf "$cache/sources/"$bossa_archive_pattern -C "$src" --strip-components=1
    # The command-line program alone, with Windows' serial port; static, so that it
    # needs no DLL beside what Windows has, like BOSSA's own release; stripped.
    (cd "$src/src" && logged "$cache/build/bossa-$1.log" "$(mingw_host "$1")-g++" -O2 \
        -std=c++11 -DVERSION=\"$bossa_version\" -o "$bossa/bossac.exe" Samba.cpp Flash.cpp \
        D5xNvmFlash.cpp D2xNvmFlash.cpp EfcFlash.cpp EefcFlash.cpp Applet.cpp \
        WordCopyApplet.cpp WordCopyArm.cpp Flasher.cpp Device.cpp WinSerialPort.cpp \
        WinPortFactory.cpp bossac.cpp CmdOpts.cpp -static -s -lsetupapi)
    cp "$src/LICENSE" "$bossa/LICENSE"
    rm -rf "$src"
    touch "$bossa/.done"
    say "bossac.exe for $1 is in $bossa"
}

# One build at a time in this cache: a run that has something to build waits for
# another that builds, then finds its stamps. A run with nothing to build takes no lock.
missing=""
for arch in $arches; do
    for stamp in qt/.qtbase-done qt/.qtserialport-done bossa/.done; do
        [ -f "$cache/$arch/$stamp" ] || missing="$missing $arch/$stamp"
    done
done
if [ -n "$missing" ]; then
    exec 9>"$cache/.lock"
    if ! flock -n 9; then
        say "waiting: another run is building the toolchain in $cache"
        flock 9
    fi
fi
for arch in $arches; do
    build_qtbase "$arch"
    build_qtserialport "$arch"
    build_bossac "$arch"
done
say "ready: $cache ($arches)"
