#!/bin/sh
# Checks a Windows ZIP of the program without running anything in it, so that it
# works on any machine, Wine or not:
#   - its files are exactly those of packaging/windows-zip-files.txt, no more, no fewer;
#   - every EXE and DLL is a PE file of the ZIP's architecture;
#   - every DLL that one of them imports is in the ZIP or one of Windows' own
#     (packaging/windows-system-dlls.txt);
#   - every EXE and DLL is stripped (no debug sections, no symbol table) and below a
#     size that a debug build exceeds;
#   - every EXE and DLL but the program itself is named by a notice in notices/.
#
#   scripts/windows/check-zip.sh [--arch win32|win64] [--breaks] ZIP
#
# --breaks then breaks a copy of it in each way the check must catch (an extra file, a
# missing plugin, an unstripped runtime DLL, a DLL imported from nowhere, a missing
# notice) and fails unless the check refuses every one.
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
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
case "$arch" in
win32) pe_format=pei-i386 ;;
win64) pe_format=pei-x86-64 ;;
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
                ! "$objdump" -h "$file" | grep -q ' \.debug' || echo "$file: not stripped: it has debug sections"
                ! "$objdump" -t "$file" | grep -q '^\[' || echo "$file: not stripped: it has a symbol table"
                size=$(stat -c %s "$file")
                [ "$size" -le "$size_limit" ] || echo "$file: $size bytes, over the limit of $size_limit"
                "$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r' |
                    while read -r import; do
                        name=$(echo "$import" | tr 'A-Z' 'a-z')
                        grep -qxF "$name" "$work/beside" "$work/system-dlls" ||
                            echo "$file: imports $import, which is neither in the ZIP nor one of Windows' own DLLs"
                    done
                [ "$file" = UVOFirmwareUploader.exe ] ||
                    grep -qF "$(basename "$file")" notices/*.txt 2>/dev/null ||
                    echo "$file: no notice in notices/ names it"
            done
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
refused "a notice removed" "bossac.exe: no notice in notices/ names it"
