#!/bin/sh
# Runs the Windows tests that scripts/windows/pack-tests.sh laid out, all at once, each
# within its timeout: natively on Windows (in Git for Windows' bash), under Wine
# elsewhere (UVO_WINE names the loader: wine, or /usr/lib/wine/wine64 for a 64-bit
# build). Fails when a test fails, ends without its totals, or skips a row.
#
#   scripts/windows/run-tests.sh DIR [NAME...]     NAME: only these tests
set -eu
[ $# -ge 1 ] || { echo "usage: $0 DIR [NAME...]" >&2; exit 2; }
dir=$(cd "$1" && pwd)
shift
script=run-windows-tests
. "$(dirname "$0")/../lib.sh"
case "$(uname -s)" in
MINGW* | MSYS* | CYGWIN*) runner="" ;;
*) runner=${UVO_WINE:?"set UVO_WINE to Wine's loader (wine or /usr/lib/wine/wine64)"} ;;
esac

pids=""
names=""
while read -r timeout program arguments; do
    name=${program%.exe}
    if [ $# -gt 0 ]; then
        case " $* " in *" $name "*) ;; *) continue ;; esac
    fi
    # shellcheck disable=SC2086 # the arguments are words
    (cd "$dir" && exec timeout -k 10 "$timeout" $runner "./$program" $arguments) \
        >"$dir/$name.log" 2>&1 &
    pids="$pids $!"
    names="$names $name"
done <"$dir/tests.txt"
[ -n "$names" ] || fail "no test to run in $dir"

failed=""
set -- $names
for pid in $pids; do
    status=0
    wait "$pid" || status=$?
    log=$dir/$1.log
    totals=$(tr -d '\r' <"$log" | grep -E '^Totals: ' | tail -n 1)
    if [ "$status" -ne 0 ] || [ -z "$totals" ]; then
        cat "$log"
        failed="$failed $1 (exit code $status)"
    elif ! echo "$totals" | grep -q ' 0 skipped'; then
        tr -d '\r' <"$log" | grep -E '^SKIP' || true
        failed="$failed $1 (skipped a row)"
    fi
    echo "$1: ${totals:-no totals}"
    shift
done
# The code page the tests ran in, in their own words.
for name in $names; do cat "$dir/$name.log"; done | grep -o 'ANSI code page [0-9]*' | sort -u || true
[ -z "$failed" ] || fail "$failed"
for name in $names; do cat "$dir/$name.log"; done | tr -d '\r' | awk '/^Totals: / { passed += $2; skipped += $6 }
    END { printf "run-windows-tests: %d rows passed, %d skipped\n", passed, skipped }'
