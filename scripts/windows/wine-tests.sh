#!/bin/sh
# The Windows tests under Wine: built with MinGW against the cached Qt for Windows,
# laid out as the Windows runner of the workflow gets them (scripts/windows/pack-tests.sh:
# they find their DLLs beside them, as nothing else provides them on a user's machine)
# and run with scripts/windows/run-tests.sh in code page 1252, then the saved-path rows
# again in code page 1251, which lacks most Latin letters with accents. A skipped row
# fails them.
#
#   scripts/windows/wine-tests.sh ARCH BUILD WORK
#
# Needs: the toolchain for ARCH; the environment of scripts/windows/wine-env.sh.
# Makes:  BUILD, the Windows build; WORK/tests, the tests laid out, with their logs.
set -eu
cd "$(dirname "$0")/../.."
script=check-windows-wine
. scripts/lib.sh
. scripts/windows/lane.sh
[ $# -eq 3 ] || { echo "usage: $0 ARCH BUILD WORK" >&2; exit 2; }
arch=$1
build=$2
work=$3
: "${UVO_WINE:?run in the environment of scripts/windows/wine-env.sh}"

say "building the Windows tests for $arch in $build"
build_windows_tests "$arch" "$build" "$work/cmake.log"
scripts/windows/pack-tests.sh "$build" "$work/tests"
# The first program starts the helpers that the Wine server keeps from here on.
quietly "$work/first-program.log" "$UVO_WINE" "$work/tests/tst_portselector.exe" -platform offscreen

# Runs the tests (all, or those named) in a locale; requires that code page.
run_tests() { # locale, code page, log, name...
    locale=$1
    code_page=$2
    log=$3
    shift 3
    LANG=$locale LC_ALL=$locale scripts/windows/run-tests.sh "$work/tests" "$@" >"$log" 2>&1 ||
        { cat "$log"; fail "a Windows test failed under Wine in code page $code_page"; }
    cat "$log"
    grep -q "ANSI code page $code_page" "$log" || fail "tst_firmwarechoice did not run in code page $code_page"
}
say "the Windows tests under Wine (code page 1252)"
run_tests en_US.UTF-8 1252 "$work/tests.log"
say "tst_firmwarechoice again in code page 1251"
run_tests ru_RU.UTF-8 1251 "$work/tests-1251.log" tst_firmwarechoice
