#!/bin/sh
# The tag that a release is published under must name the version that the release
# was made with: "v" followed by CMakeLists.txt's project(VERSION). Where a release
# folder is given, its SHA256SUMS must name that version's ZIP and source bundle.
#
#   scripts/windows/check-tag.sh TAG [RELEASE_DIR]
set -eu
cd "$(dirname "$0")/../.."
script=check-tag
. scripts/lib.sh
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 TAG [RELEASE_DIR]" >&2; exit 2; }
tag=$1
version=$(project_version)
[ "$tag" = "v$version" ] ||
    fail "the tag $tag is not v$version, the version in CMakeLists.txt: refused (set the version in project(... VERSION ...) and tag that commit v followed by it)"
if [ $# -eq 2 ]; then
    for file in "UVOFirmwareUploader-$version-win32.zip" "UVOFirmwareUploader-$version-sources.tar"; do
        grep -qE "^[0-9a-f]{64}  $file\$" "$2/SHA256SUMS" ||
            fail "$2/SHA256SUMS does not name $file: the release was not made as version $version"
    done
fi
say "the tag $tag names the version $version${2:+, as the release in $2 does}"
