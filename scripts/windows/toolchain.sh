#!/bin/sh
# Builds, once, what the Windows builds, the release and the check under Wine need,
# into a cache outside the checkout (UVO_WINDOWS_CACHE, by default ~/.cache/uvo-windows):
#
#   win32/qt, win64/qt        Qt 5.15.8 (qtbase + qtserialport), MinGW posix threads
#   win32/bossa, win64/bossa  bossac.exe 1.9.1, built from BOSSA's source
#   bin/                      the MinGW compilers the toolchain is built with
#   sources/                  the source archives, each checked against its SHA-256
#
# win32 is the shipped architecture and is always built. win64 is what Wine runs where
# the lane is win64 (scripts/windows/lane.sh); by default it is built only there.
#
# The same sources give the same bytes in any cache folder: the compilers map the
# cache's path to a fixed one, write no compiler identification and no link time into
# the PE files, Qt embeds a fixed install prefix (-extprefix installs it here), and
# rcc stores a fixed date.
#
# Each stage leaves a stamp that records what it was built from: the version, the
# configure options and flags, the source archives' SHA-256 and the Debian versions of
# the compilers. A stage whose stamp says the same is not done again; one whose stamp
# differs is rebuilt, and the log says what changed. A lock keeps two runs that share
# the cache from building into each other's folders. Sources come from Debian's
# archive, through a deb-src entry added only where none is present, except Qt Serial
# Port, whose Debian source cannot be downloaded: put qtserialport-5.15.8.tar.xz (the
# upstream tag) into sources/, or name a folder that holds it in UVO_THIRD_PARTY.
#
#   scripts/windows/toolchain.sh                        what this machine needs
#   scripts/windows/toolchain.sh --arch win32,win64     these architectures
#   scripts/windows/toolchain.sh --env                  print the cache's path only
#   scripts/windows/toolchain.sh --configure-options    print Qt's configure options
#   scripts/windows/toolchain.sh --sources              print the source archives' paths
#   scripts/windows/toolchain.sh --built-with ARCH      print the Debian packages that
#                                                       ARCH's toolchain was built with
#   scripts/windows/toolchain.sh --key                  print a key that changes with
#                                                       whatever the stamps record
set -eu
umask 022
cd "$(dirname "$0")/../.."
script=windows-toolchain
. scripts/lib.sh
. scripts/windows/lane.sh
cache=${UVO_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/uvo-windows}
. scripts/windows/toolchain-inputs.sh
. scripts/windows/toolchain-stages.sh

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
        for archive in "$qtbase_archive" "$serialport_archive" "$bossa_archive"; do
            echo "$cache/sources/$archive"
        done
        exit 0
        ;;
    --built-with)
        stamp=$(stamp_file qtbase "${2:?}")
        [ -f "$stamp" ] || fail "no toolchain for $2 in $cache"
        sed -n 's/^debian: //p' "$stamp"
        exit 0
        ;;
    --key)
        # For a cache that is kept between runs elsewhere (a CI cache, restored before
        # anything is installed): it changes with the scripts and with the Debian
        # version of every compiler package that the stamps record.
        scripts/install-deps.sh --update >&2
        for arch in win32 win64; do
            for package in $(compiler_packages "$arch"); do
                echo "$package $(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')"
            done
        done | cat - scripts/windows/toolchain*.sh scripts/windows/lane.sh | sha256sum | cut -c1-20
        exit 0
        ;;
    --arch) arches=${2:-}; shift 2 ;;
    --arch=*) arches=${1#--arch=}; shift ;;
    *)
        echo "usage: $0 [--arch win32|win64|win32,win64] [--env] [--configure-options] [--sources] [--built-with ARCH] [--key]" >&2
        exit 2
        ;;
    esac
done

if [ -z "$arches" ]; then
    choose_wine_lane
    if [ "$wine_lane" = win32 ]; then
        arches=win32
        say "building for win32: $wine_lane_reason, so Wine runs the shipped 32-bit build"
    else
        arches="win32 win64"
        say "building for win32 (the release) and win64 (what Wine can run here): $wine_lane_reason"
    fi
else
    arches=$(echo "$arches" | tr ',' ' ')
    say "building for $arches, as asked"
fi
for arch in $arches; do
    mingw_host "$arch" >/dev/null || fail "unknown architecture $arch: win32 or win64"
done

# GNU ld sorts a PE file's import tables by the paths of the import libraries it read,
# so the cache's path decides whether Qt's DLLs come before or after Windows' and the
# MinGW runtime's (from /usr) in every DLL and EXE that imports Qt. Every cache whose
# path sorts before /usr/ gives the release's bytes; one that sorts after would give
# other bytes, and a release made from it could not be checked against another's.
# (test compares the paths byte by byte, as ld does.)
[ "$cache" \< /usr/ ] || fail "the cache $cache sorts after /usr/, so the linker would
order the imports of Qt's DLLs and the program otherwise than in the release: choose a
cache folder that sorts before /usr/ (under /home, /root, /opt or /tmp, say) in
UVO_WINDOWS_CACHE"

mkdir -p "$cache/sources" "$cache/build" "$cache/bin"

# Qt Serial Port's archive is checked first: without it, building qtbase is in vain.
serialport=$cache/sources/$serialport_archive
third_party_serialport=${UVO_THIRD_PARTY:+$UVO_THIRD_PARTY/$serialport_archive}
if [ ! -f "$serialport" ] && [ -n "$third_party_serialport" ] && [ -f "$third_party_serialport" ]; then
    cp "$third_party_serialport" "$serialport.part" && mv "$serialport.part" "$serialport"
fi
[ -f "$serialport" ] || fail "$serialport_archive is missing. Debian's source of Qt Serial
Port cannot be downloaded; take the tag v$qt_version-lts-lgpl of Qt's qtserialport
repository as an archive (scripts/windows/fetch-qtserialport.sh does that), put it into
$cache/sources/ (or name its folder in UVO_THIRD_PARTY) and run this again"
check_archive "$serialport_archive" "$serialport_sha256"

# The MinGW cross tools of each architecture, and what Qt's configure and apt-get
# source need.
packages="dpkg-dev perl python3 xz-utils util-linux"
for arch in $arches; do
    packages="$packages $(compiler_packages "$arch")"
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
LC_ALL=C
export PATH SOURCE_DATE_EPOCH QT_RCC_SOURCE_DATE_OVERRIDE TZ LC_ALL

# One build at a time in this cache: a run that has something to build waits for
# another that builds, then finds its stamps. A run with nothing to build takes no lock.
all_current() {
    for arch in $arches; do
        for stage in qtbase qtserialport bossa; do
            stage_current "$stage" "$arch" >/dev/null || return 1
        done
    done
}
if ! all_current; then
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

