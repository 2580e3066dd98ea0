#!/bin/sh
# Checks release files against the SHA256SUMS beside them, before anything in them is
# used: each file named must be there and have the SHA-256 that SHA256SUMS gives it.
# Runs on Linux and in Git for Windows' bash alike.
#
#   scripts/windows/verify-release.sh FILE...     those files (each named in its SHA256SUMS)
#   scripts/windows/verify-release.sh DIR         every file that DIR/SHA256SUMS names,
#                                                 which must be a ZIP and a source bundle
set -eu
. "$(dirname "$0")/../lib.sh"
[ $# -gt 0 ] || { echo "usage: $0 FILE... | DIR" >&2; exit 2; }
# A SHA256SUMS that cannot be read or names nothing would let anything through.
check_sums() { # SHA256SUMS
    [ -r "$1" ] || fail "no readable $1"
    grep -qE '^[0-9a-f]{64}  [^ /]+$' "$1" || fail "$1 names no file with its SHA-256"
}
if [ $# -eq 1 ] && [ -d "$1" ]; then
    check_sums "$1/SHA256SUMS"
    for part in '\.zip' '-sources\.tar'; do
        grep -qE "^[0-9a-f]{64}  UVOFirmwareUploader-[^ ]*$part\$" "$1/SHA256SUMS" ||
            fail "$1/SHA256SUMS does not name the release's $(echo "$part" | tr -d '\\')"
    done
    set -- $(sed 's|^[0-9a-f]* *|'"$1"'/|' "$1/SHA256SUMS")
fi
for file in "$@"; do
    [ -f "$file" ] || fail "no file $file"
    sums=$(dirname "$file")/SHA256SUMS
    check_sums "$sums"
    expected=$(awk -v name="$(basename "$file")" '$2 == name { print $1 }' "$sums" 2>/dev/null || true)
    [ -n "$expected" ] || fail "$sums does not name $(basename "$file")"
    actual=$(sha256sum "$file" | cut -d' ' -f1)
    [ "$actual" = "$expected" ] ||
        fail "$file has sha256 $actual, but SHA256SUMS says $expected: refused"
    echo "verify-release: $file: sha256 $actual, as SHA256SUMS says"
done
