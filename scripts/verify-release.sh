#!/bin/sh
# Checks release files against the SHA256SUMS beside them, before anything in them is
# used: each file named must be there and have the SHA-256 that SHA256SUMS gives it.
# Runs on Linux and in Git for Windows' bash alike.
#
#   scripts/verify-release.sh FILE...     those files (each named in its SHA256SUMS)
#   scripts/verify-release.sh DIR         every file that DIR/SHA256SUMS names
set -eu
fail() { echo "verify-release: FAILED: $*" >&2; exit 1; }
[ $# -gt 0 ] || { echo "usage: $0 FILE... | DIR" >&2; exit 2; }
if [ $# -eq 1 ] && [ -d "$1" ]; then
    [ -f "$1/SHA256SUMS" ] || fail "no SHA256SUMS in $1"
    set -- $(sed 's|^[0-9a-f]* *|'"$1"'/|' "$1/SHA256SUMS")
fi
for file in "$@"; do
    [ -f "$file" ] || fail "no file $file"
    sums=$(dirname "$file")/SHA256SUMS
    expected=$(awk -v name="$(basename "$file")" '$2 == name { print $1 }' "$sums" 2>/dev/null || true)
    [ -n "$expected" ] || fail "$sums does not name $(basename "$file")"
    actual=$(sha256sum "$file" | cut -d' ' -f1)
    [ "$actual" = "$expected" ] ||
        fail "$file has sha256 $actual, but SHA256SUMS says $expected: refused"
    echo "verify-release: $file: sha256 $actual, as SHA256SUMS says"
done
