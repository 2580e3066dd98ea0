#!/bin/sh
# Compiles, with Debian's MinGW cross-compiler for 32-bit Windows, every translation
# unit that a Windows build compiles: the program, the stand-in, the test support
# and the tests that are built on Windows, with the moc, uic and rcc output of the
# native build in BUILD_DIR (default build/; build it first). Qt's headers are the
# host's and count as system headers; warnings in our own code are errors. Nothing
# is linked: there is no Qt for Windows here to link against.
#
#   scripts/windows/check-compile.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
build=$(cd "${1:-build}" && pwd)
compiler=i686-w64-mingw32-g++

script=check-windows-compile
. scripts/lib.sh

command -v "$compiler" >/dev/null 2>&1 || fail "$compiler not found (Debian: g++-mingw-w64-i686)"
set -- "$build"/windows-compile/*.txt
[ -f "$1" ] || fail "$build/windows-compile holds no target: configure $build with CMake first"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One response file a target, its arguments in single quotes (gcc reads backslash
# escapes inside them too); and two lines a source: its target's response file, then
# the source.
quote() {
    printf "'%s'\n" "$(printf '%s' "$1" | sed "s/[\\\\']/\\\\&/g")"
}
targets=0
for description in "$@"; do
    target=$(basename "$description" .txt)
    response="$work/$target.rsp"
    : >"$response"
    folder=
    while IFS= read -r line; do
        value=${line#* }
        case $line in
        "folder "*) folder=$value ;;
        "source "*)
            case $value in /*) ;; *) value=$folder/$value ;; esac
            [ -f "$value" ] || fail "$value is missing: build $build first"
            printf '%s\n%s\n' "$response" "$value" >>"$work/units"
            ;;
        "include "*)
            # Our own headers warn; Qt's (and the Linux mkspec's, which nothing of
            # ours includes) do not.
            case $value in
            */mkspecs/*) ;;
            "$top"/* | "$build"/*) quote "-I$value" >>"$response" ;;
            *) quote "-isystem$value" >>"$response" ;;
            esac
            ;;
        "define "*) quote "-D$value" >>"$response" ;;
        esac
    done <"$description"
    targets=$((targets + 1))
done

# As Qt's CMake files define them for a Windows build.
flags="-std=gnu++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -DUNICODE -D_UNICODE"
units=$(($(wc -l <"$work/units") / 2))
echo "check-windows-compile: $units translation units of $targets targets with $compiler"
# shellcheck disable=SC2016 # expanded by the inner shell
if ! xargs -d '\n' -n 2 -P "$(nproc)" sh -c '"$0" $1 "@$2" "$3" || { echo "in $3" >&2; exit 1; }' \
    "$compiler" "$flags" <"$work/units"; then
    fail "a translation unit does not compile for Windows (see above)"
fi
echo "check-windows-compile: passed; nothing was linked, as there is no Qt for Windows here"
