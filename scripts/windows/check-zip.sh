#!/bin/sh
# Checks a Windows ZIP of the program without running anything in it, so that it
# works on any machine, Wine or not:
#   - its files are exactly those of packaging/windows-zip-files.txt, no more, no fewer;
#   - every EXE and DLL is a PE file of the ZIP's architecture, by objdump's reading
#     and by the machine type in its header;
#   - every DLL that one of them imports is in the ZIP or one of Windows' own
#     (packaging/windows-system-dlls.txt);
#   - every EXE and DLL is stripped (no debug sections, no symbol table) and below a
#     size that a debug build exceeds;
#   - every EXE and DLL but the program itself is named by a notice in notices/;
#   - notices/Qt-third-party.txt names every third-party part that the cached Qt
#     compiled in (scripts/windows/qt-notices.py --list), and the other notices hold
#     each licence that the files carry (MinGW-w64's runtime, GCC's exception, qtmain,
#     BOSSA's GPL), LICENSE.txt the program's own (MIT).
#
#   scripts/windows/check-zip.sh [--arch win32|win64] [--breaks] ZIP
#
# --breaks then breaks a copy of it in each way the check must catch (an extra file, a
# missing plugin, an unstripped runtime DLL, a DLL imported from nowhere, a missing
# notice, a part of Qt without its notice, the MinGW-w64 runtime's licence removed,
# a DLL of the other machine type, an oversized DLL) and fails unless the
# check refuses every one, each for its own reason.
set -eu
cd "$(dirname "$0")/../.."
. scripts/windows/lane.sh

arch=win32
breaks=""
while [ $# -gt 1 ]; do
    case "$1" in
    --arch) arch=$2; shift 2 ;;
    --breaks) breaks=yes; shift ;;
    *) break ;;
    esac
done
[ $# -eq 1 ] || { echo "usage: $0 [--arch win32|win64] [--breaks] ZIP" >&2; exit 2; }
zip=$(realpath "$1")
host=$(mingw_host "$arch") || { echo "unknown architecture $arch" >&2; exit 2; }
# The format that objdump names, and the machine type in the COFF header, which
# Windows' loader goes by.
case "$arch" in
win32) pe_format=pei-i386 pe_machine=014c ;;
win64) pe_format=pei-x86-64 pe_machine=8664 ;;
esac
objdump=$host-objdump
# The largest stripped file, Qt5Widgets.dll for win64, has 7 MB; a build with debug
# information has Qt DLLs of over 100 MB and a libstdc++-6.dll of 21 MB.
size_limit=$((10 * 1024 * 1024))

work=$(mktemp -d /tmp/uvo-zip-check-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The files the list names for this architecture, sorted.
sed -e '/^#/d' -e '/^$/d' -e "s/^$arch: //" -e '/^win[0-9]*: /d' \
    packaging/windows-zip-files.txt | LC_ALL=C sort >"$work/expected"
sed -e '/^#/d' -e '/^$/d' packaging/windows-system-dlls.txt >"$work/system-dlls"

# The machine type of a PE file, as four hex digits: the two bytes after "PE\0\0", at
# the offset that the DOS header gives at 0x3c.
machine_of() { # file
    pe_offset=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -tx1 -j $((pe_offset + 4)) -N 2 "$1" | awk '{ print $2 $1 }'
}

# The third-party parts that this Qt compiled in, by the names that their notices
# carry as titles.
cache=$(scripts/windows/toolchain.sh --env)
python3 scripts/windows/qt-notices.py --list "$cache" "$arch" >"$work/qt-parts.tsv"
cut -f2 "$work/qt-parts.tsv" >"$work/qt-parts"
[ -s "$work/qt-parts" ] || { echo "check-windows-zip: FAILED: no third-party part of Qt found in $cache" >&2; exit 1; }
# Each licence that a notice must hold: the notice, a phrase of the licence, and what
# carries it.
cat >"$work/licences" <<'LICENCES'
LICENSE.txt|MIT License|UVOFirmwareUploader.exe
notices/Qt.txt|GNU Lesser General Public License version 3|the Qt DLLs and plugins
notices/Qt.txt|qtmain|UVOFirmwareUploader.exe, which links Qt's qtmain (BSD 3-Clause)
notices/mingw-w64-runtime.txt|Zope Public License (ZPL) Version 2.1|every EXE and DLL, which hold the MinGW-w64 runtime's startup code
notices/mingw-w64-runtime.txt|The author of this software is David M. Gay.|libstdc++-6.dll and bossac.exe, which hold gdtoa and mingw_pformat
notices/mingw-w64-runtime.txt|Copyright (c) 2011-2016 mingw-w64 project|libwinpthread-1.dll and bossac.exe (winpthreads, MIT)
notices/mingw-w64-runtime.txt|Copyright (c) 2010 Lockless Inc.|libwinpthread-1.dll and bossac.exe (winpthreads' pthread.h, BSD 3-Clause)
notices/mingw-w64-runtime.txt|The Regents of the University of California|libwinpthread-1.dll (dll_math.c, BSD 3-Clause)
notices/mingw-w64-runtime.txt|GCC RUNTIME LIBRARY EXCEPTION|libgcc and libstdc++ (GPL-3.0 with the GCC Runtime Library Exception)
notices/BOSSA.txt|Copyright (c) 2011-2016, ShumaTech|bossac.exe (BSD 3-Clause)
notices/BOSSA.txt|bossac.exe as a whole comes under the|bossac.exe (GPL-3.0-or-later)
notices/GPL-3.0.txt|GNU GENERAL PUBLIC LICENSE|the GPL that BOSSA, GCC's runtime and the LGPL build on
notices/LGPL-3.0.txt|GNU LESSER GENERAL PUBLIC LICENSE|Qt
LICENCES

# Prints each problem of an unpacked folder on a line; returns 1 when there is one.
problems_of() { # folder
    (
        cd "$1"
        find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort >"$work/actual"
        LC_ALL=C comm -23 "$work/expected" "$work/actual" | sed 's/^/missing: /'
        LC_ALL=C comm -13 "$work/expected" "$work/actual" | sed 's/^/not on the list: /'
        find . -maxdepth 1 -iname '*.dll' | sed 's|^\./||' | tr 'A-Z' 'a-z' >"$work/beside"
        find . -type f \( -iname '*.dll' -o -iname '*.exe' \) | sed 's|^\./||' | LC_ALL=C sort |
            while read -r file; do
                format=$("$objdump" -f "$file" 2>/dev/null | sed -n 's/.*file format //p')
                [ "$format" = "$pe_format" ] || echo "$file: ${format:-not a PE file}, not $pe_format"
                machine=$(machine_of "$file")
                [ "$machine" = "$pe_machine" ] || echo "$file: machine type 0x$machine, not 0x$pe_machine"
                ! "$objdump" -h "$file" 2>/dev/null | grep -q ' \.debug' || echo "$file: not stripped: it has debug sections"
                ! "$objdump" -t "$file" 2>/dev/null | grep -q '^\[' || echo "$file: not stripped: it has a symbol table"
                size=$(stat -c %s "$file")
                [ "$size" -le "$size_limit" ] || echo "$file: $size bytes, over the limit of $size_limit"
                "$objdump" -p "$file" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r' |
                    while read -r import; do
                        name=$(echo "$import" | tr 'A-Z' 'a-z')
                        grep -qxF "$name" "$work/beside" "$work/system-dlls" ||
                            echo "$file: imports $import, which is neither in the ZIP nor one of Windows' own DLLs"
                    done
                [ "$file" = UVOFirmwareUploader.exe ] ||
                    grep -qF "$(basename "$file")" notices/*.txt 2>/dev/null ||
                    echo "$file: no notice in notices/ names it"
            done
        while read -r part; do
            grep -qxF "$part" notices/Qt-third-party.txt 2>/dev/null ||
                echo "notices/Qt-third-party.txt: no notice of \"$part\", which the Qt DLLs hold"
        done <"$work/qt-parts"
        while IFS='|' read -r notice phrase carrier; do
            grep -qF "$phrase" "$notice" 2>/dev/null ||
                echo "$notice: no \"$phrase\", the licence of $carrier"
        done <"$work/licences"
    ) >"$work/problems"
    [ ! -s "$work/problems" ]
}

unpack() { # zip, folder: the folder the ZIP holds
    rm -rf "$2" && mkdir -p "$2"
    (cd "$2" && unzip -q "$1")
    folders=$(ls "$2")
    [ "$(echo "$folders" | wc -l)" -eq 1 ] && [ -d "$2/$folders" ] ||
        { echo "check-windows-zip: FAILED: $1 does not hold one folder" >&2; exit 1; }
    echo "$2/$folders"
}

folder=$(unpack "$zip" "$work/zip")
if ! problems_of "$folder"; then
    echo "check-windows-zip: FAILED: $zip:" >&2
    sed 's/^/  /' "$work/problems" >&2
    exit 1
fi
echo "check-windows-zip: $(basename "$zip"): $(wc -l <"$work/expected") files as listed," \
    "$pe_format, stripped, every import and notice found"

[ -n "$breaks" ] || exit 0
# Each break must be refused, and for the reason that it is.
refused() { # what was broken, the problem expected
    if problems_of "$broken"; then
        echo "check-windows-zip: FAILED: the check did not refuse a ZIP with $1" >&2
        exit 1
    fi
    grep -qF "$2" "$work/problems" || {
        echo "check-windows-zip: FAILED: a ZIP with $1 was refused, but not for \"$2\":" >&2
        cat "$work/problems" >&2
        exit 1
    }
    echo "check-windows-zip: refused, as it must be, a ZIP with $1: $(grep -F "$2" "$work/problems" | head -n 1)"
}
broken=$(unpack "$zip" "$work/broken")
echo extra >"$broken/extra.txt"
refused "an extra file" "not on the list: extra.txt"
broken=$(unpack "$zip" "$work/broken")
rm "$broken/imageformats/qjpeg.dll"
refused "a missing plugin" "missing: imageformats/qjpeg.dll"
broken=$(unpack "$zip" "$work/broken")
cp "$("$host-g++-posix" -print-file-name=libstdc++-6.dll)" "$broken/libstdc++-6.dll"
refused "an unstripped runtime DLL" "libstdc++-6.dll: not stripped"
broken=$(unpack "$zip" "$work/broken")
# The import's name in the file, changed to one of the same length.
perl -pi -e 's/Qt5Gui\.dll/Qt5Gux.dll/g' "$broken/imageformats/qico.dll"
refused "a DLL imported from nowhere" "imports Qt5Gux.dll"
broken=$(unpack "$zip" "$work/broken")
rm "$broken/notices/BOSSA.txt"
refused "a notice removed" "notices/BOSSA.txt: no \"Copyright (c) 2011-2016, ShumaTech\", the licence of bossac.exe"
broken=$(unpack "$zip" "$work/broken")
part=$(grep -m1 '(zlib)' "$work/qt-parts" || head -n 1 "$work/qt-parts")
grep -vxF "$part" "$broken/notices/Qt-third-party.txt" >"$work/without-part" || true
mv "$work/without-part" "$broken/notices/Qt-third-party.txt"
refused "a part of Qt without its notice" "no notice of \"$part\""
broken=$(unpack "$zip" "$work/broken")
grep -v 'Zope Public License' "$broken/notices/mingw-w64-runtime.txt" >"$work/without-zpl" || true
mv "$work/without-zpl" "$broken/notices/mingw-w64-runtime.txt"
refused "the MinGW-w64 runtime's licence removed" "no \"Zope Public License (ZPL) Version 2.1\""
broken=$(unpack "$zip" "$work/broken")
# The COFF header's machine type of the other architecture, the rest of the file kept.
case "$arch" in
win32) other_machine='\144\206' ;;
win64) other_machine='\114\001' ;;
esac
pe_offset=$(od -An -tu4 -j 60 -N 4 "$broken/imageformats/qgif.dll" | tr -d ' ')
printf "$other_machine" | dd of="$broken/imageformats/qgif.dll" bs=1 seek=$((pe_offset + 4)) conv=notrunc 2>/dev/null
refused "a DLL of another machine type" "imageformats/qgif.dll: machine type 0x"
broken=$(unpack "$zip" "$work/broken")
truncate -s $((size_limit + 1)) "$broken/imageformats/qico.dll"
refused "an oversized DLL" "imageformats/qico.dll: $((size_limit + 1)) bytes, over the limit"
