#!/bin/sh
# Makes the release twice from this checkout's commit and fails unless both runs give
# the same bytes. The second run differs in all that must not matter: another checkout
# folder (a fresh clone, in a folder whose path holds a space and a "ü"), another
# build folder, another umask and a later time. Where the ZIPs differ, it names each
# member that differs and shows how.
#
#   scripts/windows/check-reproducible.sh [--arch win32|win64] [--full]
#
# --full: the second run also builds its toolchain (Qt and bossac.exe) anew, from the
# same source archives, into a fresh cache (UVO_FULL_CACHE, which must not exist yet;
# by default a new folder in /tmp, removed afterwards), and every file of the two
# toolchains is compared as well: otherwise both runs take the Qt DLLs and bossac.exe,
# most of the ZIP's bytes, from the one cache.
#
# The first run's files stay in release/ (release-win64/ for win64), for the Wine check.
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
. scripts/lib.sh
arch=win32
full=""
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=${2:?}; shift 2 ;;
    --full) full=yes; shift ;;
    *) echo "usage: $0 [--arch win32|win64] [--full]" >&2; exit 2 ;;
    esac
done
require_commands git unzip zipinfo:unzip cmp:diffutils diff:diffutils


[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    fail "the checkout has uncommitted changes; a release is made from a commit"
commit=$(git rev-parse HEAD)

say "first run: $top, umask $(umask)"
scripts/windows/make-release.sh --arch "$arch"
[ "$arch" = win32 ] && first=$top/release || first=$top/release-$arch

second=$(mktemp -d /tmp/uvo-reproduce-XXXXXX)
trap 'rm -rf "$second"' EXIT
cache=$(scripts/windows/toolchain.sh --env)
fresh_cache=""
if [ -n "$full" ]; then
    fresh_cache=${UVO_FULL_CACHE:-$second/cache}
    [ ! -e "$fresh_cache" ] || fail "$fresh_cache exists: --full builds the toolchain into a fresh cache"
    mkdir -p "$fresh_cache/sources"
    # The same archives, each checked against its SHA-256 again by the toolchain script.
    # shellcheck disable=SC2046 # a word each; the cache's path holds no space
    cp $(scripts/windows/toolchain.sh --sources) "$fresh_cache/sources/"
fi
elsewhere="$second/sp ace ü"
say "second run: a clone of $commit in $elsewhere, umask 077, another build folder${full:+, the toolchain built anew in $fresh_cache}"
(
    umask 077
    [ -z "$fresh_cache" ] || { UVO_WINDOWS_CACHE=$fresh_cache; export UVO_WINDOWS_CACHE; }
    git clone -q "$top" "$elsewhere"
    cd "$elsewhere"
    git checkout -q "$commit"
    full_started=$(date +%s)
    scripts/windows/make-release.sh --arch "$arch" --out "$second/out" --build "$second/build elsewhere ü"
    [ -z "$fresh_cache" ] || echo "$(($(date +%s) - full_started))" >"$second/full-seconds"
)

# Every file of the two toolchains, by its SHA-256, read with the cache's own path put
# as CACHE: qmake's files (.prl, .pc, .pri, .la) name the folder they lie in. Left out:
# the build log, and two files of Qt's host build tools that hold the path in a form
# that cannot be put back: qmake, whose install prefix is a padded string, and the
# static library of moc, rcc and uic, with its debug paths (those three are compared).
# Nothing of theirs reaches a Windows file.
toolchain_differs=""
if [ -n "$full" ]; then
    say "the toolchain anew took $(cat "$second/full-seconds") s with the release; comparing every file of both"
    for run in first second; do
        [ "$run" = first ] && tree=$cache || tree=$fresh_cache
        as_pattern=$(printf '%s' "$tree" | sed 's/[][\\.*^$|]/\\&/g')
        (cd "$tree/$arch" && find qt bossa -type f ! -path qt/attribution/make.log.xz \
            ! -path qt/bin/qmake ! -path qt/lib/libQt5Bootstrap.a | LC_ALL=C sort |
            while read -r file; do
                echo "$(LC_ALL=C sed "s|$as_pattern|CACHE|g" "$file" | sha256sum | cut -d' ' -f1)  $file"
            done) >"$second/sums-$run"
    done
    if diff "$second/sums-first" "$second/sums-second" >"$second/sums.diff"; then
        say "the toolchain: $(wc -l <"$second/sums-first") files, the same bytes in both caches; of them:"
        grep -E ' (qt/bin/Qt5[A-Za-z]*\.dll|qt/plugins/[a-z]*/[a-z]*\.dll|bossa/bossac\.exe)$' \
            "$second/sums-first" | sed 's/^/  /'
    else
        echo "check-reproducible: the toolchain differs between $cache and $fresh_cache:" >&2
        cat "$second/sums.diff" >&2
        toolchain_differs=yes
    fi
fi

differs=""
for file in $(cut -d' ' -f3 "$first/SHA256SUMS"); do
    a=$(sha256sum "$first/$file" | cut -d' ' -f1)
    b=$(sha256sum "$second/out/$file" | cut -d' ' -f1)
    if [ "$a" = "$b" ]; then
        say "$file: the same bytes both times, sha256 $a"
    else
        echo "check-reproducible: $file differs: sha256 $a, then $b" >&2
        differs="$differs $file"
    fi
done
if [ -z "$differs" ]; then
    [ -z "$toolchain_differs" ] || fail "the two toolchains differ (above)"
    say "passed: the release is reproducible${full:+, and so is its toolchain}"
    exit 0
fi

# Which members differ, and how.
host=$(. scripts/windows/lane.sh && mingw_host "$arch")
for file in $differs; do
    case "$file" in
    *.zip)
        mkdir -p "$second/a" "$second/b"
        (cd "$second/a" && unzip -q -o "$first/$file")
        (cd "$second/b" && unzip -q -o "$second/out/$file")
        zipinfo -l "$first/$file" >"$second/a.list"
        zipinfo -l "$second/out/$file" >"$second/b.list"
        diff "$second/a.list" "$second/b.list" >&2 || true
        (cd "$second/a" && find . -type f | sort) | while read -r member; do
            cmp -s "$second/a/$member" "$second/b/$member" && continue
            echo "check-reproducible: the member ${member#./} differs:" >&2
            cmp -l "$second/a/$member" "$second/b/$member" 2>&1 | head -n 5 >&2 || true
            case "$member" in
            *.exe | *.dll)
                "$host-objdump" -p "$second/a/$member" >"$second/a.pe"
                "$host-objdump" -p "$second/b/$member" >"$second/b.pe"
                diff "$second/a.pe" "$second/b.pe" | head -n 20 >&2 || true
                ;;
            *.txt) diff "$second/a/$member" "$second/b/$member" >&2 || true ;;
            esac
        done
        ;;
    *.tar)
        tar -tvf "$first/$file" >"$second/a.list"
        tar -tvf "$second/out/$file" >"$second/b.list"
        diff "$second/a.list" "$second/b.list" >&2 || true
        ;;
    esac
done
fail "the two runs differ in:$differs"
