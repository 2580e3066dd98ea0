#!/bin/sh
# Makes the release twice from this checkout's commit and fails unless both runs give
# the same bytes. The second run differs in all that must not matter: another checkout
# folder (a fresh clone), another build folder, another umask and a later time. Where
# the ZIPs differ, it names each member that differs and shows how.
#
#   scripts/windows/check-reproducible.sh [--arch win32|win64]
#
# The first run's files stay in release/ (release-win64/ for win64), for the Wine check.
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
. scripts/lib.sh
arch=win32
[ "${1:-}" != --arch ] || arch=${2:?}


[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    fail "the checkout has uncommitted changes; a release is made from a commit"
commit=$(git rev-parse HEAD)

say "first run: $top, umask $(umask)"
scripts/windows/make-release.sh --arch "$arch"
[ "$arch" = win32 ] && first=$top/release || first=$top/release-$arch

second=$(mktemp -d /tmp/uvo-reproduce-XXXXXX)
trap 'rm -rf "$second"' EXIT
say "second run: a clone of $commit in $second, umask 077, another build folder"
(
    umask 077
    git clone -q "$top" "$second/elsewhere"
    cd "$second/elsewhere"
    git checkout -q "$commit"
    scripts/windows/make-release.sh --arch "$arch" --out "$second/out" --build "$second/build-elsewhere"
)

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
[ -n "$differs" ] || { say "passed: the release is reproducible"; exit 0; }

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
