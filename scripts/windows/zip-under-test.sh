#!/bin/sh
# The ZIP that the Wine stages run: the shipped win32 ZIP where the lane is win32, a
# win64 ZIP made for the check where it is win64. Each is taken only with the SHA-256
# that SHA256SUMS beside it gives, and passes the Wine-free ZIP check with the breaks
# it must catch.
#
#   scripts/windows/zip-under-test.sh ARCH RELEASE_DIR WORK
#
# Needs: the win32 release in RELEASE_DIR (scripts/windows/make-release.sh).
# Makes:  WORK/zip, the path of the ZIP under test; for win64 its release in
#         build-windows-win64/release.
set -eu
cd "$(dirname "$0")/../.."
script=check-windows-wine
. scripts/lib.sh
[ $# -eq 3 ] || { echo "usage: $0 ARCH RELEASE_DIR WORK" >&2; exit 2; }
arch=$1
release=$2
work=$3

release_zip() { # folder, arch
    echo "$1/UVOFirmwareUploader-$(project_version)-$2.zip"
}
shipped=$(release_zip "$release" win32)
scripts/windows/verify-release.sh "$shipped"
# A ZIP with one byte changed must be refused.
mkdir "$work/flipped"
cp "$shipped" "$release/SHA256SUMS" "$work/flipped/"
flipped=$work/flipped/$(basename "$shipped")
offset=$(($(stat -c %s "$flipped") / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$flipped" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$flipped" bs=1 seek="$offset" conv=notrunc 2>/dev/null
if scripts/windows/verify-release.sh "$flipped" 2>"$work/flipped.log"; then
    fail "a release ZIP with one byte changed was not refused"
fi
say "a copy with one byte changed is refused: $(cat "$work/flipped.log")"
rm -rf "$work/flipped"

if [ "$arch" = win32 ]; then
    zip=$shipped
else
    scripts/windows/check-zip.sh --arch win32 "$shipped"
    say "NOT RUN: the shipped 32-bit ZIP $shipped (sha256 $(sha256sum "$shipped" | cut -d' ' -f1)) was built and checked without Wine only; the lane here is win64: ${UVO_LANE_REASON:-as asked}"
    scripts/windows/make-release.sh --arch "$arch" --out build-windows-$arch/release
    zip=$(release_zip "$PWD/build-windows-$arch/release" "$arch")
    scripts/windows/verify-release.sh "$zip"
fi
say "the ZIP under test: $zip, sha256 $(sha256sum "$zip" | cut -d' ' -f1), as SHA256SUMS says"
scripts/windows/check-zip.sh --arch "$arch" --breaks "$zip"
echo "$zip" >"$work/zip"
