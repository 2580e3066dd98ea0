#!/bin/sh
# Lays out the cross-built Windows tests (CTest's label `windows`) as a folder that
# runs on any Windows machine, or under Wine, with scripts/windows/run-tests.sh: the
# test programs, what they start (the stand-in, the program itself), the Qt DLLs and
# plugins and the MinGW runtime they load, and tests.txt, a line per test:
#
#   <timeout in seconds> <program> [<argument>...]
#
#   scripts/windows/pack-tests.sh BUILD OUT     BUILD: a Windows build made on Linux
set -eu
cd "$(dirname "$0")/../.."
. scripts/windows/lane.sh
[ $# -eq 2 ] || { echo "usage: $0 BUILD OUT" >&2; exit 2; }
build=$(realpath "$1")
out=$2
script=pack-windows-tests
. scripts/lib.sh

# The build's architecture, from its toolchain file.
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
case "$toolchain" in
*i686-w64-mingw32*) arch=win32 gcc_runtime=libgcc_s_dw2-1.dll ;;
*x86_64-w64-mingw32*) arch=win64 gcc_runtime=libgcc_s_seh-1.dll ;;
*) fail "$build is not a Windows build made with the MinGW-w64 toolchain files (its toolchain: ${toolchain:-none})" ;;
esac
host=$(mingw_host "$arch")
qt=$(scripts/windows/toolchain.sh --env)/$arch/qt

rm -rf "$out"
mkdir -p "$out/platforms" "$out/styles"
ctest --test-dir "$build" -L windows --show-only=json-v1 >"$out/ctest.json"
python3 - "$out/ctest.json" "$out/tests.txt" <<'PY'
import json, sys
tests = json.load(open(sys.argv[1]))["tests"]
with open(sys.argv[2], "w") as listing:
    for test in tests:
        command = test["command"]
        program = next(i for i, word in enumerate(command) if word.lower().endswith(".exe"))
        timeout = next(p["value"] for p in test["properties"] if p["name"] == "TIMEOUT")
        name = command[program].replace("\\", "/").rsplit("/", 1)[-1]
        listing.write(" ".join([str(int(timeout)), name] + command[program + 1:]) + "\n")
PY
rm "$out/ctest.json"
[ -s "$out/tests.txt" ] || fail "no Windows test in $build"
while read -r _ program _; do
    cp "$build/tests/$program" "$out/"
done <"$out/tests.txt"
cp "$build/tests/uvo_standin.exe" "$build/tests/UVOFirmwareUploader.exe" "$out/"
for dll in $gcc_runtime libstdc++-6.dll libwinpthread-1.dll; do
    cp "$("$host-g++-posix" -print-file-name=$dll)" "$out/"
done
cp "$qt/bin/Qt5Core.dll" "$qt/bin/Qt5Gui.dll" "$qt/bin/Qt5Widgets.dll" \
    "$qt/bin/Qt5SerialPort.dll" "$qt/bin/Qt5Test.dll" "$out/"
cp "$qt/plugins/platforms/qoffscreen.dll" "$qt/plugins/platforms/qwindows.dll" "$out/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$out/styles/"
echo "pack-windows-tests: $(wc -l <"$out/tests.txt") $arch tests in $out"
